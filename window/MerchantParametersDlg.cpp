#include "window/MerchantParametersDlg.h"

#include <memory>

#include <QApplication>

#include "app/InterfaceController.h" // ParamTextToInt
#include "app/ParameterDownload.h"
#include "foundation/AppMode.h"
#include "foundation/ErrorReporter.h"
#include "foundation/ParamSettings.h"
#include "window/LaneSetupDlg.h"
#include "window/TimedMessageBox.h"

namespace {
constexpr int kUrlEditWidth = 260;

// The wait cursor over every window for one scope.
class CWaitCursor {
public:
    CWaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~CWaitCursor() { QApplication::restoreOverrideCursor(); }
    CWaitCursor(const CWaitCursor&) = delete;
    CWaitCursor& operator=(const CWaitCursor&) = delete;
};

// Checks the button of |index| in its group (-1: none) without the group's exclusivity getting in the way.
void SetRadioIndex(const std::vector<QRadioButton*>& radios, int index) {
    for (size_t i = 0; i < radios.size(); ++i) {
        radios[i]->setAutoExclusive(false);
        radios[i]->setChecked(static_cast<int>(i) == index);
        radios[i]->setAutoExclusive(true);
    }
}

int RadioIndex(const std::vector<QRadioButton*>& radios) {
    for (size_t i = 0; i < radios.size(); ++i) {
        if (radios[i]->isChecked()) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

void Exchange(bool save, QLineEdit& edit, std::string& value) {
    if (save) {
        value = edit.text().toStdString();
    } else {
        edit.setText(QString::fromStdString(value));
    }
}

void Exchange(bool save, QCheckBox& check, int& value) {
    if (save) {
        value = check.isChecked() ? 1 : 0;
    } else {
        check.setChecked(value != 0);
    }
}

void Exchange(bool save, const std::vector<QRadioButton*>& radios, int& index) {
    if (save) {
        index = RadioIndex(radios);
    } else {
        SetRadioIndex(radios, index);
    }
}
} // namespace

int CurrencyRadioIndex(const std::string& currency) {
    switch (ParamTextToInt(currency)) {
    case 1:
        return 1; // "RuvuzUvir Canada"
    case 2:
        return 5; // "FDMS Gift (US)"
    case 3:
        return 2; // "RuvuzUvir Australia"
    case 4:
        return 3; // "RuvuzUvir British Pounds"
    case 5:
        return 4; // "RuvuzUvir Euro"
    default:
        return 0; // "RuvuzUvir US"
    }
}

int TransportRadioIndex(const std::string& transport) {
    const int method = ParamTextToInt(transport);
    return method == 1 || method == 2 ? method : 0;
}

CMerchantParametersDlg::CMerchantParametersDlg(QWidget* parent, IParameterDownloadPart* download, CParamStore& store)
    : QDialog(parent), m_pDownload(download), m_Store(store), m_Layout(this), m_MerchantGroup("Merchant Information"),
      m_DatawireIdLabel("Datawire ID (DID)"), m_MerchantIdLabel("Merchant ID (MID)"),
      m_AltMerchantIdLabel("Alternate Merchant ID (ALTMID)"), m_PrimaryUrlLabel("Primary Service Discovery URL"),
      m_SecondaryUrlLabel("Secondary Service Discovery URL"), m_TerminalIdLabel("Terminal ID"),
      m_AdvancedGroup("Advanced Settings"), m_UsePasswordCheck("Use Client / Server Password"),
      m_DoNotConnectCheck("Do Not Connect to Host on Startup"), m_VerifyCertificateCheck("Verify SSL Certificate"),
      m_GoToTrayCheck("Go To System Tray when Minimized."), m_CurrencyGroup("Local Currency Selection"),
      m_CurrencyUs("RuvuzUvir US"), m_CurrencyCanada("RuvuzUvir Canada"), m_CurrencyAustralia("RuvuzUvir Australia"),
      m_CurrencyPounds("RuvuzUvir British Pounds"), m_CurrencyEuro("RuvuzUvir Euro"),
      m_CurrencyFdms("FDMS Gift (US)"), m_CurrencyRadios{&m_CurrencyUs,     &m_CurrencyCanada, &m_CurrencyAustralia,
                                                         &m_CurrencyPounds, &m_CurrencyEuro,   &m_CurrencyFdms},
      m_TransportGroup("Transport "), m_TransportIp("IP Only"), m_TransportIpDial("IP with DIAL Backup"),
      m_TransportDial("DIAL Only"), m_TransportRadios{&m_TransportIp, &m_TransportIpDial, &m_TransportDial},
      m_DialGroup("Dial Backup Information"), m_CommPortLabel("Comm Port"), m_DialPrefixLabel("Dial Prefix "),
      m_AuthPhoneLabel("RuvuzUvir Authorization Phone Number"), m_IpGroup("IP Connection  Information"),
      m_ConnectTimeoutLabel("Connect Timeout to RuvuzUvir"), m_SecondsLabel("Seconds."), m_MaxLanesLabel("Max Lanes"),
      m_LaneSetupButton("Lane Setup"), m_OkButton("OK"), m_LoadButton("Load New Parameters") {
    setWindowTitle(kMerchantParametersCaption);
    setAttribute(Qt::WA_QuitOnClose, false);
    QFont dialogFont(kDialogFontFace, kDialogFontPoints);
    dialogFont.setStyleHint(QFont::SansSerif);
    setFont(dialogFont);

    const std::pair<QWidget*, const char*> ids[] = {
        {&m_DatawireIdEdit, "1001"},     {&m_MerchantIdEdit, "1010"},
        {&m_AltMerchantIdEdit, "1005"},  {&m_PrimaryUrlEdit, "1008"},
        {&m_SecondaryUrlEdit, "1011"},   {&m_TerminalIdEdit, "1000"},
        {&m_UsePasswordCheck, "1002"},   {&m_PasswordEdit, "1003"},
        {&m_DoNotConnectCheck, "1040"},  {&m_VerifyCertificateCheck, "1042"},
        {&m_GoToTrayCheck, "1038"},      {&m_CurrencyUs, "1033"},
        {&m_CurrencyCanada, "1034"},     {&m_CurrencyAustralia, "1043"},
        {&m_CurrencyPounds, "1046"},     {&m_CurrencyEuro, "1047"},
        {&m_CurrencyFdms, "1035"},       {&m_TransportIp, "1030"},
        {&m_TransportIpDial, "1031"},    {&m_TransportDial, "1032"},
        {&m_CommPortLabel, "1019"},      {&m_CommPortEdit, "1016"},
        {&m_CommPortSpin, "1018"},       {&m_DialPrefixLabel, "1020"},
        {&m_DialPrefixEdit, "1017"},     {&m_AuthPhoneLabel, "1029"},
        {&m_AuthPhoneEdit, "1013"},      {&m_ConnectTimeoutLabel, "1021"},
        {&m_ConnectTimeoutEdit, "1022"}, {&m_ConnectTimeoutSpin, "1023"},
        {&m_SecondsLabel, "1024"},       {&m_MaxLanesEdit, "1041"},
        {&m_LaneSetupButton, "1039"},    {&m_OkButton, "1"},
        {&m_LoadButton, "1037"},
    };
    for (const auto& [control, id] : ids) {
        control->setObjectName(id);
    }
    // The password is a secret even on a display: the dialog may also be rendered into a file.
    m_PasswordEdit.setEchoMode(QLineEdit::Password);
    m_PrimaryUrlEdit.setMinimumWidth(kUrlEditWidth);
    m_SecondaryUrlEdit.setMinimumWidth(kUrlEditWidth);
    m_CommPortSpin.SetBuddy(&m_CommPortEdit);
    m_ConnectTimeoutSpin.SetBuddy(&m_ConnectTimeoutEdit);

    AddRow(m_MerchantGrid, 0, m_DatawireIdLabel, m_DatawireIdEdit);
    AddRow(m_MerchantGrid, 1, m_MerchantIdLabel, m_MerchantIdEdit);
    AddRow(m_MerchantGrid, 2, m_AltMerchantIdLabel, m_AltMerchantIdEdit);
    AddRow(m_MerchantGrid, 3, m_PrimaryUrlLabel, m_PrimaryUrlEdit);
    AddRow(m_MerchantGrid, 4, m_SecondaryUrlLabel, m_SecondaryUrlEdit);
    AddRow(m_MerchantGrid, 5, m_TerminalIdLabel, m_TerminalIdEdit);
    m_MerchantGroup.setLayout(&m_MerchantGrid);

    for (QWidget* control : std::initializer_list<QWidget*>{&m_UsePasswordCheck, &m_PasswordEdit, &m_DoNotConnectCheck,
                                                            &m_VerifyCertificateCheck, &m_GoToTrayCheck}) {
        m_AdvancedBox.addWidget(control);
    }
    m_AdvancedBox.addStretch();
    m_AdvancedGroup.setLayout(&m_AdvancedBox);

    for (QRadioButton* radio : m_CurrencyRadios) {
        m_CurrencyBox.addWidget(radio);
    }
    m_CurrencyGroup.setLayout(&m_CurrencyBox);
    for (QRadioButton* radio : m_TransportRadios) {
        m_TransportBox.addWidget(radio);
    }
    m_TransportBox.addStretch();
    m_TransportGroup.setLayout(&m_TransportBox);

    m_CommPortBox.addWidget(&m_CommPortEdit);
    m_CommPortBox.addWidget(&m_CommPortSpin);
    m_CommPortBox.setSpacing(0);
    m_DialGrid.addWidget(&m_CommPortLabel, 0, 0);
    m_DialGrid.addLayout(&m_CommPortBox, 0, 1);
    AddRow(m_DialGrid, 1, m_DialPrefixLabel, m_DialPrefixEdit);
    AddRow(m_DialGrid, 2, m_AuthPhoneLabel, m_AuthPhoneEdit);
    m_DialGroup.setLayout(&m_DialGrid);

    m_IpBox.addWidget(&m_ConnectTimeoutLabel);
    m_IpBox.addWidget(&m_ConnectTimeoutEdit);
    m_IpBox.addWidget(&m_ConnectTimeoutSpin);
    m_IpBox.addWidget(&m_SecondsLabel);
    m_IpBox.addStretch();
    m_IpGroup.setLayout(&m_IpBox);

    m_BottomRow.addWidget(&m_MaxLanesLabel);
    m_BottomRow.addWidget(&m_MaxLanesEdit);
    m_BottomRow.addStretch();
    m_BottomRow.addWidget(&m_LaneSetupButton);
    m_BottomRow.addWidget(&m_LoadButton);
    m_BottomRow.addWidget(&m_OkButton);

    m_Layout.addWidget(&m_MerchantGroup, 0, 0);
    m_Layout.addWidget(&m_AdvancedGroup, 0, 1);
    m_Layout.addWidget(&m_CurrencyGroup, 1, 0);
    m_Layout.addWidget(&m_TransportGroup, 1, 1);
    m_Layout.addWidget(&m_DialGroup, 2, 0);
    m_Layout.addWidget(&m_IpGroup, 2, 1);
    m_Layout.addLayout(&m_BottomRow, 3, 0, 1, 2);
    m_Layout.setSizeConstraint(QLayout::SetFixedSize);

    // A display: every control but the three buttons is disabled.
    for (QWidget* control : findChildren<QWidget*>()) {
        control->setEnabled(false);
    }
    for (QPushButton* button : {&m_LaneSetupButton, &m_OkButton, &m_LoadButton}) {
        button->setEnabled(true);
    }
    m_LoadButton.setEnabled(m_pDownload != nullptr);
    m_OkButton.setDefault(true);

    connect(&m_OkButton, &QPushButton::clicked, this, [this] { OnOK(); });
    connect(&m_LoadButton, &QPushButton::clicked, this, [this] { OnLoadNewParameters(); });
    connect(&m_LaneSetupButton, &QPushButton::clicked, this, [this] { OnLaneSetup(); });
}

// The controls and layouts are members: each leaves its parent as it is destroyed, before QDialog's own
// destructor looks for children to delete.
CMerchantParametersDlg::~CMerchantParametersDlg() = default;

void CMerchantParametersDlg::AddRow(QGridLayout& grid, int row, QLabel& label, QWidget& control) {
    grid.addWidget(&label, row, 0);
    grid.addWidget(&control, row, 1);
}

int CMerchantParametersDlg::DoModal() {
    OnInitDialog();
    return exec() == QDialog::Accepted ? kIdOk : kIdCancel;
}

bool CMerchantParametersDlg::Create() {
    OnInitDialog();
    adjustSize();
    return true;
}

void CMerchantParametersDlg::CloseWindow() {
    m_bWindowClosed = true;
    done(QDialog::Rejected);
}

void CMerchantParametersDlg::showEvent(QShowEvent* event) {
    if (!m_bInitialized) {
        OnInitDialog();
    }
    QDialog::showEvent(event);
}

bool CMerchantParametersDlg::OnInitDialog() {
    m_bInitialized = true;
    m_DisplayFont = QFont(kDialogFontFace);
    m_DisplayFont.setStyleHint(QFont::SansSerif);
    m_DisplayFont.setPixelSize(kDisplayFontPixels);
    for (QLineEdit* edit :
         {&m_TerminalIdEdit, &m_DialPrefixEdit, &m_AuthPhoneEdit, &m_CommPortEdit, &m_ConnectTimeoutEdit}) {
        edit->setFont(m_DisplayFont);
    }
    m_CommPortSpin.SetRange(kComPortSpinMin, kComPortSpinMax);
    m_ConnectTimeoutSpin.SetRange(kConnectTimeoutSpinMin, kConnectTimeoutSpinMax);
    FillFromParameters();
    DoDataExchange(false);
    return true;
}

void CMerchantParametersDlg::DoDataExchange(bool save) {
    Exchange(save, m_UsePasswordCheck, m_Values.usePassword);
    Exchange(save, m_PasswordEdit, m_Values.password);
    Exchange(save, m_TerminalIdEdit, m_Values.terminalId);
    Exchange(save, m_CommPortEdit, m_Values.commPort);
    Exchange(save, m_DialPrefixEdit, m_Values.dialPrefix);
    Exchange(save, m_AuthPhoneEdit, m_Values.authPhone);
    Exchange(save, m_ConnectTimeoutEdit, m_Values.connectTimeout);
    Exchange(save, m_TransportRadios, m_Values.transport);
    Exchange(save, m_MerchantIdEdit, m_Values.merchantId);
    Exchange(save, m_AltMerchantIdEdit, m_Values.altMerchantId);
    Exchange(save, m_DatawireIdEdit, m_Values.datawireId);
    Exchange(save, m_PrimaryUrlEdit, m_Values.primaryUrl);
    Exchange(save, m_SecondaryUrlEdit, m_Values.secondaryUrl);
    Exchange(save, m_CurrencyRadios, m_Values.currency);
    Exchange(save, m_VerifyCertificateCheck, m_Values.verifyCertificate);
    Exchange(save, m_GoToTrayCheck, m_Values.goToTray);
    Exchange(save, m_DoNotConnectCheck, m_Values.doNotConnect);
    Exchange(save, m_MaxLanesEdit, m_Values.maxLanes);
}

bool CMerchantParametersDlg::FillFromParameters() {
    const CParamMap params = m_Store.GetParams().GetParamMap();
    auto isYes = [&params](unsigned index) { return params.GetValue(index) == "Y" ? 1 : 0; };
    m_Values.usePassword = isYes(kParamUsePassword);
    m_Values.password = m_Values.usePassword != 0 ? params.GetValue(kParamPassword) : std::string();
    m_Values.terminalId = params.GetValue(kParamTerminalId);
    m_Values.commPort = params.GetValue(kParamModemComPort);
    m_Values.dialPrefix = params.GetValue(kParamDialPrefix);
    m_Values.authPhone = params.GetValue(kParamAuthorizationPhoneNumber);
    m_Values.connectTimeout = params.GetValue(kParamIpConnectTimeout);
    m_Values.transport = TransportRadioIndex(params.GetValue(kParamTransportMethod));
    m_Values.merchantId = params.GetValue(kParamMerchantId);
    m_Values.altMerchantId = params.GetValue(kParamAlternateMerchantId);
    m_Values.datawireId = params.GetValue(kParamDatawireId);
    m_Values.primaryUrl = params.GetValue(kParamPrimaryUrl);
    m_Values.secondaryUrl = params.GetValue(kParamSecondaryUrl);
    m_Values.currency = CurrencyRadioIndex(params.GetValue(kParamMerchantCurrency));
    m_Values.verifyCertificate = isYes(kParamVerifySslCertificate);
    m_Values.goToTray = isYes(kParamGoToSystemTray);
    m_Values.doNotConnect = 1; // shown checked whatever parameter 11 says
    m_Values.maxLanes = params.GetValue(kParamNumberOfLanes);
    return true;
}

void CMerchantParametersDlg::OnOK() {
    DoDataExchange(true);
    accept();
}

void CMerchantParametersDlg::OnLoadNewParameters() {
    if (m_pDownload == nullptr) {
        return;
    }
    m_bParametersReloaded = true;
    LoadNewParameters();
}

void CMerchantParametersDlg::LoadNewParameters() {
    const bool service = AppModeFlags().StartedAsService();
    const std::unique_ptr<CTimedMessageBox> progress = ShowProgressBox();
    for (;;) {
        progress->SetMessage(kRetrievingParametersText);
        CParameterLoadResult result;
        {
            const CWaitCursor waiting;
            result = ::LoadNewParameters(*m_pDownload);
        }
        if (m_bWindowClosed) {
            break; // the program is closing: nobody is left to tell
        }
        if (result.loaded) {
            FillFromParameters();
            DoDataExchange(false);
            ReportError(kParametersLoadedText, false, service, 0);
            break;
        }
        // Nobody can answer in service mode: the question then takes No instead of retrying for ever.
        const int answer =
            TimedMessageBox(ParameterLoadFailedText(result.errorText), service, service ? kIdNo : kIdYes, 0);
        if (answer != kIdYes) {
            break;
        }
    }
}

void CMerchantParametersDlg::OnLaneSetup() {
    CLaneSetupDlg lanes(this, m_Store);
    lanes.DoModal();
}
