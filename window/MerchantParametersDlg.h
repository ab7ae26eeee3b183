#pragma once
// The Setup dialog "Setup Kestrove Parameters": every merchant parameter of the current set, for display only
// (no data control takes input). Parameters change in one way: "Load New Parameters" downloads a new set from
// the management service, which stores it; the dialog then shows it and empties the lanes file. "Lane Setup"
// opens the lanes' descriptions. Whoever shows the dialog restarts the interfaces when it ends with OK or after
// a load was tried (ParametersReloaded), so the new values take effect.
//
// Each control's object name is its resource id ("1001"; "1" for OK), so a snapshot of the dialog can find its
// push buttons (QPushButton), spin buttons (CSpinButton) and edits (QLineEdit).

#include <string>
#include <vector>

#include <QCheckBox>
#include <QDialog>
#include <QFont>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "app/InterfaceParts.h"
#include "foundation/ParamStore.h"
#include "window/SpinButton.h"

inline constexpr char kMerchantParametersCaption[] = "Setup Kestrove Parameters";
// The dialog's font, and the display font of the edits 1000, 1017, 1013, 1016 and 1022.
inline constexpr char kDialogFontFace[] = "MS Sans Serif";
inline constexpr int kDialogFontPoints = 8;
inline constexpr int kDisplayFontPixels = 18;
// The spin buttons' ranges: the COM port (1018) and the connect time-out in seconds (1023).
inline constexpr int kComPortSpinMin = 1;
inline constexpr int kComPortSpinMax = 254;
inline constexpr int kConnectTimeoutSpinMin = 3;
inline constexpr int kConnectTimeoutSpinMax = 40;

// The radio index of parameter 6 "MERCHANT CURRENCY" and of parameter 14 "TRANSPORT METHOD", read as the
// start-up reads numbers: 1 -> 1, 2 -> 5, 3 -> 2, 4 -> 3, 5 -> 4, any other -> 0 ("RuvuzUvir US"); and 1 -> 1,
// 2 -> 2, any other -> 0 ("IP Only").
int CurrencyRadioIndex(const std::string& currency);
int TransportRadioIndex(const std::string& transport);

// Owns its controls and their values; reads the parameters from |store| and downloads through |download|
// (none: "Load New Parameters" is disabled, as in the launcher's snapshot). Not thread-safe: for the
// user-interface thread, which also waits, pumping, for the download's worker thread.
class CMerchantParametersDlg final : public QDialog {
public:
    explicit CMerchantParametersDlg(QWidget* parent = nullptr, IParameterDownloadPart* download = nullptr,
                                    CParamStore& store = CParamStore::Instance());
    ~CMerchantParametersDlg() override;
    CMerchantParametersDlg(const CMerchantParametersDlg&) = delete;
    CMerchantParametersDlg& operator=(const CMerchantParametersDlg&) = delete;

    // OnInitDialog, then modal until OK (kIdOk) or Esc or the close box (kIdCancel); the dialog has no Cancel
    // button.
    int DoModal();
    // Modeless: the dialog is made and filled (OnInitDialog) and laid out at its size, but not shown. True.
    bool Create();
    // Ends the dialog, modal or modeless, without OK; a load under way tells nobody its outcome afterwards.
    void CloseWindow();

    // The display font on its edits, the spin ranges, the values from the parameters, into the controls. True.
    // A dialog shown without DoModal or Create runs it as it first shows.
    bool OnInitDialog();
    // Moves the values into the controls, or (|saveAndValidate|) the controls' contents into the values.
    void DoDataExchange(bool saveAndValidate);
    // Fills the values from a copy of the current parameter set; a yes/no parameter counts as set only when it
    // is exactly "Y". True.
    bool FillFromParameters();
    // OK: the controls' contents into the values, then the dialog ends with kIdOk. Nothing is stored.
    void OnOK();
    // Button 1037: marks the parameters reloaded, then LoadNewParameters.
    void OnLoadNewParameters();
    // Downloads behind a progress box until a load succeeds (the new set shown, the lanes file emptied,
    // "Parameters Successfully Loaded...") or the operator answers No to "Parameter Load Failed - ... Try Again?".
    void LoadNewParameters();
    // Button 1039: the Lane Setup dialog, modal.
    void OnLaneSetup();

    // A load was tried from this dialog (whatever came of it).
    bool ParametersReloaded() const { return m_bParametersReloaded; }
    // The display font as Qt gives it.
    const QFont& DisplayFont() const { return m_DisplayFont; }

    // The values, as the controls last showed or gave them.
    struct CValues {
        int usePassword = 0;        // check 1002
        std::string password;       // edit 1003
        std::string terminalId;     // edit 1000
        std::string commPort;       // edit 1016
        std::string dialPrefix;     // edit 1017
        std::string authPhone;      // edit 1013
        std::string connectTimeout; // edit 1022
        int transport = -1;         // radio group from 1030
        std::string merchantId;     // edit 1010
        std::string altMerchantId;  // edit 1005
        std::string datawireId;     // edit 1001
        std::string primaryUrl;     // edit 1008
        std::string secondaryUrl;   // edit 1011
        int currency = -1;          // radio group from 1033
        int verifyCertificate = 0;  // check 1042
        int goToTray = 0;           // check 1038
        int doNotConnect = 0;       // check 1040
        std::string maxLanes;       // edit 1041
    };
    const CValues& Values() const { return m_Values; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    // A label and its control in one row of a group.
    void AddRow(QGridLayout& grid, int row, QLabel& label, QWidget& control);

    IParameterDownloadPart* m_pDownload;
    CParamStore& m_Store;
    QFont m_DisplayFont;
    CValues m_Values;
    bool m_bParametersReloaded = false;
    bool m_bWindowClosed = false; // CloseWindow ended the dialog
    bool m_bInitialized = false;  // OnInitDialog has run

    // The controls, in the dialog's order; the layouts hold them, the members own them.
    QGridLayout m_Layout;

    QGroupBox m_MerchantGroup;
    QGridLayout m_MerchantGrid;
    QLabel m_DatawireIdLabel, m_MerchantIdLabel, m_AltMerchantIdLabel, m_PrimaryUrlLabel, m_SecondaryUrlLabel,
        m_TerminalIdLabel;
    QLineEdit m_DatawireIdEdit, m_MerchantIdEdit, m_AltMerchantIdEdit, m_PrimaryUrlEdit, m_SecondaryUrlEdit,
        m_TerminalIdEdit;

    QGroupBox m_AdvancedGroup;
    QVBoxLayout m_AdvancedBox;
    QCheckBox m_UsePasswordCheck;
    QLineEdit m_PasswordEdit;
    QCheckBox m_DoNotConnectCheck, m_VerifyCertificateCheck, m_GoToTrayCheck;

    QGroupBox m_CurrencyGroup;
    QVBoxLayout m_CurrencyBox;
    QRadioButton m_CurrencyUs, m_CurrencyCanada, m_CurrencyAustralia, m_CurrencyPounds, m_CurrencyEuro, m_CurrencyFdms;
    std::vector<QRadioButton*> m_CurrencyRadios; // in index order

    QGroupBox m_TransportGroup;
    QVBoxLayout m_TransportBox;
    QRadioButton m_TransportIp, m_TransportIpDial, m_TransportDial;
    std::vector<QRadioButton*> m_TransportRadios; // in index order

    QGroupBox m_DialGroup;
    QGridLayout m_DialGrid;
    QLabel m_CommPortLabel, m_DialPrefixLabel, m_AuthPhoneLabel;
    QHBoxLayout m_CommPortBox;
    QLineEdit m_CommPortEdit;
    CSpinButton m_CommPortSpin;
    QLineEdit m_DialPrefixEdit, m_AuthPhoneEdit;

    QGroupBox m_IpGroup;
    QHBoxLayout m_IpBox;
    QLabel m_ConnectTimeoutLabel;
    QLineEdit m_ConnectTimeoutEdit;
    CSpinButton m_ConnectTimeoutSpin;
    QLabel m_SecondsLabel;

    QHBoxLayout m_BottomRow;
    QLabel m_MaxLanesLabel;
    QLineEdit m_MaxLanesEdit;
    QPushButton m_LaneSetupButton, m_OkButton, m_LoadButton;
};
