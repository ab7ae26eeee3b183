// The Setup dialog on Qt's offscreen platform: every control and the value it shows, the radio tables and the
// yes/no rule, OK and Esc, "Load New Parameters" against a management-service fake over real TLS (the progress
// box, the success box, the retry question answered Yes then No, the reload flag, the lanes file), the modeless
// dialog of the launcher's snapshot; and, behind Setup > Merchant Parameters of the main window, the restart of
// the interfaces after OK or after a load.

#include "window/MerchantParametersDlg.h"

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <QAction>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "MainWindowSupport.h"
#include "ModalSteps.h"
#include "QtTestSupport.h"
#include "app/LanesFile.h"
#include "app/ParameterDownload.h"
#include "common/TempDirTest.h"
#include "common/TestClock.h"
#include "foundation/Request.h"
#include "host/HostTestSupport.h"
#include "peers/ManagementService.h"
#include "platform/ProcessEvents.h"
#include "tests/app/InterfaceFakes.h"
#include "tests/app/ScriptedPresenter.h"
#include "window/LaneSetupDlg.h"
#include "window/MainFrame.h"
#include "window/SpinButton.h"
#include "window/TimedMessageBox.h"
#include "window/VYRView.h"
#include "window/WindowPresenter.h"

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsSupersetOf;
using ::testing::Not;
using ::testing::UnorderedElementsAre;

namespace {

constexpr int kWaitMs = 20000;
const std::string kLaneLine = "1\x1c"
                              "Front counter\r\n";
const std::string kServiceError = "Device not registered";
const std::string kRetryQuestion =
    "Box[YesNo,6]: Parameter Load Failed - Error(NQMS): Device not registered\r\n\r\n  Try Again?";
const std::string kLoadedBox = std::string("Box[Ok,1]: ") + kParametersLoadedText;

// The configured set with |values| on top.
CParamSettings SettingsWith(const std::map<unsigned, std::string>& values) {
    return ParamsWithUnchecked(ConfiguredSettings(), ParamValues(values.begin(), values.end()));
}

// What the fake service hands out: another merchant, one lane.
CParamSettings DownloadedSettings() {
    return SettingsWith({{kParamMerchantId, "RVZMERCH777"},
                         {kParamTerminalId, "0777"},
                         {kParamNumberOfLanes, "1"},
                         {kParamLaneIds, "1$2"}});
}

template <typename T> T& Control(QWidget& dialog, const char* id) {
    T* control = dialog.findChild<T*>(id);
    if (control == nullptr) {
        throw std::runtime_error(std::string("no control ") + id); // the test fails with it
    }
    return *control;
}

std::string Text(QWidget& dialog, const char* id) {
    return Control<QLineEdit>(dialog, id).text().toStdString();
}

bool Checked(QWidget& dialog, const char* id) {
    return Control<QAbstractButton>(dialog, id).isChecked();
}

// The object names of the checked buttons among |ids|.
std::vector<std::string> CheckedAmong(QWidget& dialog, const std::vector<const char*>& ids) {
    std::vector<std::string> checked;
    for (const char* id : ids) {
        if (Checked(dialog, id)) {
            checked.push_back(id);
        }
    }
    return checked;
}

const std::vector<const char*> kCurrencyIds = {"1033", "1034", "1043", "1046", "1047", "1035"};
const std::vector<const char*> kTransportIds = {"1030", "1031", "1032"};

// The waits of the window's presenter, noting which progress text shows while each one runs, and running a
// test's hook inside the first.
class CProgressWatch final : public IPresenter {
public:
    int ShowBox(const CBoxRequest& request) override { return m_Window.ShowBox(request); }
    int WaitAndPump(const std::vector<CEvent*>& events) override {
        if (auto* box = dynamic_cast<CTimedMessageBox*>(QApplication::activeModalWidget())) {
            progress.push_back(box->MessageControl().text().toStdString());
            modality = box->windowModality();
        }
        if (duringFirstWait) {
            auto hook = std::move(duringFirstWait);
            duringFirstWait = nullptr;
            hook();
        }
        return m_Window.WaitAndPump(events);
    }
    void PostQuit() override { m_Window.PostQuit(); }
    bool QuitPosted() const override { return m_Window.QuitPosted(); }

    std::vector<std::string> progress;
    Qt::WindowModality modality = Qt::NonModal;
    std::function<void()> duringFirstWait;

private:
    CWindowPresenter m_Window;
};

// The management-service fake over TLS with the test CA, a real download pointed at it, and boxes answered
// from a script while the waits keep the event loop running.
class SetupDialogTest : public hosttest::TrustedPkiTest<> {
protected:
    void SetUp() override {
        ASSERT_TRUE(s_Pki->Ok());
        PrepareStartUpState();
        ASSERT_TRUE(CRequest::Instance().StartCrypto());
        g_ShutdownEvent.Reset();
        ASSERT_TRUE(CParamStore::Instance().SetParams(ConfiguredSettings()));
        WriteFileBytes("machine-id", "00112233445566778899aabbccddeeff\n");
        WriteFileBytes(kLanesFileName, kLaneLine);
        ASSERT_TRUE(m_Service.Start());
        m_Service.SetParams(DownloadedSettings());
        m_Download.SetHosts({{"127.0.0.1", m_Service.Port()}});
        m_Download.SetMachineIdFile("machine-id");
    }
    void TearDown() override {
        CRequest::Instance().StopCrypto();
        g_ShutdownEvent.Reset();
    }

    static bool StoreHolds(const CParamSettings& settings) {
        return CParamStore::Instance().GetParams().GetParamMap().Equals(settings.GetParamMap());
    }
    // The boxes the dialog showed, in order.
    std::vector<std::string> Boxes() const {
        std::vector<std::string> boxes;
        for (const std::string& entry : m_Journal.Entries()) {
            if (entry.rfind("Box[", 0) == 0) {
                boxes.push_back(entry);
            }
        }
        return boxes;
    }
    // Runs the dialog modally while |steps| act on it; its result.
    static int RunModal(CMerchantParametersDlg& dialog, CModalSteps& steps) {
        const int result = dialog.DoModal();
        EXPECT_TRUE(steps.Done());
        return result;
    }
    static void ClickLoad(CMerchantParametersDlg& dialog) {
        QTest::mouseClick(&Control<QPushButton>(dialog, "1037"), Qt::LeftButton);
    }
    static void PressEscape(CMerchantParametersDlg& dialog) { QTest::keyClick(&dialog, Qt::Key_Escape); }

    CJournal m_Journal;
    CProgressWatch m_Waits;
    CScriptedPresenter m_Presenter{m_Journal, &m_Waits};
    CScopedPresenter m_PresenterScope{m_Presenter};
    CManagementService m_Service{s_Pki->Loopback()};
    CParameterDownload m_Download{[] { return std::string("DEV-0016"); }};
};

} // namespace

// --- What the dialog shows ---

TEST_F(SetupDialogTest, ShowsEveryParameterInItsControlAndTakesNoInput) {
    ASSERT_TRUE(CParamStore::Instance().SetParams(SettingsWith({
        {kParamMerchantId, "RVZMERCH001"},
        {kParamAlternateMerchantId, "RVZALTID002"},
        {kParamTerminalId, "0042"},
        {kParamDatawireId, "DW0011223344"},
        {kParamMerchantCurrency, "3"},
        {kParamPrimaryUrl, "127.0.0.1:9443/sd"},
        {kParamSecondaryUrl, "127.0.0.1:9444/sd"},
        {kParamUsePassword, "Y"},
        {kParamPassword, "s3cret"},
        {kParamDoNotConnectOnStartup, "N"},
        {kParamVerifySslCertificate, "N"},
        {kParamGoToSystemTray, "Y"},
        {kParamTransportMethod, "1"},
        {kParamModemComPort, "4"},
        {kParamDialPrefix, "9,"},
        {kParamAuthorizationPhoneNumber, "18005550100"},
        {kParamIpConnectTimeout, "25"},
        {kParamNumberOfLanes, "3"},
    })));
    CMerchantParametersDlg dialog(nullptr, &m_Download);
    ASSERT_TRUE(dialog.Create());
    EXPECT_EQ(kMerchantParametersCaption, dialog.windowTitle().toStdString());

    const std::pair<const char*, const char*> edits[] = {
        {"1001", "DW0011223344"},
        {"1010", "RVZMERCH001"},
        {"1005", "RVZALTID002"},
        {"1008", "127.0.0.1:9443/sd"},
        {"1011", "127.0.0.1:9444/sd"},
        {"1000", "0042"},
        {"1003", "s3cret"},
        {"1016", "4"},
        {"1017", "9,"},
        {"1013", "18005550100"},
        {"1022", "25"},
        {"1041", "3"},
    };
    for (const auto& [id, value] : edits) {
        EXPECT_EQ(value, Text(dialog, id)) << id;
    }
    EXPECT_EQ(QLineEdit::Password, Control<QLineEdit>(dialog, "1003").echoMode());
    EXPECT_TRUE(Checked(dialog, "1002"));
    EXPECT_TRUE(Checked(dialog, "1040")) << "always checked, whatever parameter 11 says";
    EXPECT_FALSE(Checked(dialog, "1042"));
    EXPECT_TRUE(Checked(dialog, "1038"));
    EXPECT_THAT(CheckedAmong(dialog, kCurrencyIds), ElementsAre("1043"));
    EXPECT_THAT(CheckedAmong(dialog, kTransportIds), ElementsAre("1031"));
    // The values members hold what the controls show.
    EXPECT_EQ("RVZMERCH001", dialog.Values().merchantId);
    EXPECT_EQ(2, dialog.Values().currency);
    EXPECT_EQ(1, dialog.Values().transport);
    EXPECT_EQ(1, dialog.Values().doNotConnect);

    // Display only: the three buttons are the only controls that take input.
    std::set<std::string> enabled;
    for (QWidget* control : dialog.findChildren<QWidget*>()) {
        if (control->isEnabled()) {
            enabled.insert(control->objectName().toStdString());
        }
    }
    EXPECT_EQ((std::set<std::string>{"1039", "1", "1037"}), enabled);
    EXPECT_EQ("Lane Setup", Control<QPushButton>(dialog, "1039").text().toStdString());
    EXPECT_EQ("OK", Control<QPushButton>(dialog, "1").text().toStdString());
    EXPECT_EQ("Load New Parameters", Control<QPushButton>(dialog, "1037").text().toStdString());

    // The fonts and the spin ranges.
    EXPECT_EQ(kDialogFontFace, dialog.font().family().toStdString());
    EXPECT_EQ(kDialogFontPoints, dialog.font().pointSize());
    for (const char* id : {"1000", "1017", "1013", "1016", "1022"}) {
        const QFont font = Control<QLineEdit>(dialog, id).font();
        EXPECT_EQ(kDialogFontFace, font.family().toStdString()) << id;
        EXPECT_EQ(kDisplayFontPixels, font.pixelSize()) << id;
    }
    for (const char* id : {"1001", "1010", "1005", "1008", "1011", "1003", "1041"}) {
        EXPECT_NE(kDisplayFontPixels, Control<QLineEdit>(dialog, id).font().pixelSize()) << id;
    }
    CSpinButton& comPort = Control<CSpinButton>(dialog, "1018");
    CSpinButton& timeout = Control<CSpinButton>(dialog, "1023");
    EXPECT_EQ(std::make_pair(1, 254), std::make_pair(comPort.Minimum(), comPort.Maximum()));
    EXPECT_EQ(std::make_pair(3, 40), std::make_pair(timeout.Minimum(), timeout.Maximum()));
    EXPECT_EQ(&Control<QLineEdit>(dialog, "1016"), comPort.Buddy());
    EXPECT_EQ(&Control<QLineEdit>(dialog, "1022"), timeout.Buddy());

    // Groups, labels and buttons with their texts.
    std::vector<std::string> groups;
    for (QGroupBox* group : dialog.findChildren<QGroupBox*>()) {
        groups.push_back(group->title().toStdString());
    }
    EXPECT_THAT(groups, UnorderedElementsAre("Merchant Information", "Advanced Settings", "Local Currency Selection",
                                             "Transport ", "Dial Backup Information", "IP Connection  Information"));
    std::vector<std::string> labels;
    for (QLabel* label : dialog.findChildren<QLabel*>()) {
        labels.push_back(label->text().toStdString());
    }
    EXPECT_THAT(labels, IsSupersetOf({"Datawire ID (DID)", "Merchant ID (MID)", "Alternate Merchant ID (ALTMID)",
                                      "Primary Service Discovery URL", "Secondary Service Discovery URL", "Terminal ID",
                                      "Comm Port", "Dial Prefix ", "RuvuzUvir Authorization Phone Number",
                                      "Connect Timeout to RuvuzUvir", "Seconds.", "Max Lanes"}));
    const std::pair<const char*, const char*> buttons[] = {
        {"1002", "Use Client / Server Password"},
        {"1040", "Do Not Connect to Host on Startup"},
        {"1042", "Verify SSL Certificate"},
        {"1038", "Go To System Tray when Minimized."},
        {"1033", "RuvuzUvir US"},
        {"1034", "RuvuzUvir Canada"},
        {"1043", "RuvuzUvir Australia"},
        {"1046", "RuvuzUvir British Pounds"},
        {"1047", "RuvuzUvir Euro"},
        {"1035", "FDMS Gift (US)"},
        {"1030", "IP Only"},
        {"1031", "IP with DIAL Backup"},
        {"1032", "DIAL Only"},
    };
    for (const auto& [id, text] : buttons) {
        EXPECT_EQ(text, Control<QAbstractButton>(dialog, id).text().toStdString()) << id;
    }
}

TEST_F(SetupDialogTest, RadioTablesShowTheirRowForEveryValue) {
    struct Case {
        unsigned param;
        std::string value;
        const char* checked;
    };
    const Case cases[] = {
        {kParamMerchantCurrency, "1", "1034"},  {kParamMerchantCurrency, "2", "1035"},
        {kParamMerchantCurrency, "3", "1043"},  {kParamMerchantCurrency, "4", "1046"},
        {kParamMerchantCurrency, "5", "1047"},  {kParamMerchantCurrency, "0", "1033"},
        {kParamMerchantCurrency, "", "1033"},   {kParamMerchantCurrency, "6", "1033"},
        {kParamMerchantCurrency, "01", "1034"}, // read as a number, as the start-up reads them
        {kParamTransportMethod, "0", "1030"},   {kParamTransportMethod, "1", "1031"},
        {kParamTransportMethod, "2", "1032"},   {kParamTransportMethod, "3", "1030"},
        {kParamTransportMethod, "", "1030"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.param) + "=\"" + c.value + "\"");
        ASSERT_TRUE(CParamStore::Instance().SetParams(SettingsWith({{c.param, c.value}})));
        CMerchantParametersDlg dialog;
        ASSERT_TRUE(dialog.Create());
        EXPECT_THAT(CheckedAmong(dialog, c.param == kParamMerchantCurrency ? kCurrencyIds : kTransportIds),
                    ElementsAre(c.checked));
    }
}

TEST_F(SetupDialogTest, YesNoParametersCountOnlyWhenExactlyY) {
    struct Case {
        std::string value;
        bool set;
    };
    const Case cases[] = {{"Y", true}, {"N", false}, {"y", false}, {"YES", false}, {"", false}, {" Y", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE("\"" + c.value + "\"");
        ASSERT_TRUE(CParamStore::Instance().SetParams(SettingsWith({{kParamUsePassword, c.value},
                                                                    {kParamPassword, "s3cret"},
                                                                    {kParamVerifySslCertificate, c.value},
                                                                    {kParamGoToSystemTray, c.value}})));
        CMerchantParametersDlg dialog;
        ASSERT_TRUE(dialog.Create());
        EXPECT_EQ(c.set, Checked(dialog, "1002"));
        EXPECT_EQ(c.set, Checked(dialog, "1042"));
        EXPECT_EQ(c.set, Checked(dialog, "1038"));
        // The password is shown only with its switch on.
        EXPECT_EQ(c.set ? "s3cret" : "", Text(dialog, "1003"));
    }
}

TEST(SpinButtonTest, ArrowsStepTheBuddyWithinTheRange) {
    QLineEdit buddy("253");
    CSpinButton spin;
    spin.SetRange(kComPortSpinMin, kComPortSpinMax);
    spin.SetBuddy(&buddy);
    spin.show();
    QTest::mouseClick(&spin.UpButton(), Qt::LeftButton);
    EXPECT_EQ("254", buddy.text().toStdString());
    QTest::mouseClick(&spin.UpButton(), Qt::LeftButton);
    EXPECT_EQ("254", buddy.text().toStdString());
    buddy.setText("2147483647");
    spin.Step(1);
    EXPECT_EQ("254", buddy.text().toStdString());
    buddy.setText("1");
    QTest::mouseClick(&spin.DownButton(), Qt::LeftButton);
    EXPECT_EQ("1", buddy.text().toStdString());
    buddy.setText("no number");
    spin.Step(1); // from its own value
    EXPECT_EQ("2", buddy.text().toStdString());
}

// --- OK, Esc and the modeless dialog ---

TEST_F(SetupDialogTest, OkEndsWithOkAndStoresNothing) {
    const std::string stored = ReadFileBytes("MerchantParams.dat");
    {
        CMerchantParametersDlg dialog(nullptr, &m_Download);
        CModalSteps steps;
        steps.When<CMerchantParametersDlg>([](CMerchantParametersDlg& shown) {
            QTest::mouseClick(&Control<QPushButton>(shown, "1"), Qt::LeftButton);
        });
        EXPECT_EQ(kIdOk, RunModal(dialog, steps));
        EXPECT_FALSE(dialog.ParametersReloaded());
        EXPECT_EQ("MERCHANT001", dialog.Values().merchantId);
        EXPECT_EQ(0, dialog.Values().transport);
    }
    {
        // Esc (the dialog has no Cancel button).
        CMerchantParametersDlg dialog(nullptr, &m_Download);
        CModalSteps steps;
        steps.When<CMerchantParametersDlg>(PressEscape);
        EXPECT_EQ(kIdCancel, RunModal(dialog, steps));
        EXPECT_FALSE(dialog.ParametersReloaded());
    }
    EXPECT_EQ(stored, ReadFileBytes("MerchantParams.dat"));
    EXPECT_TRUE(StoreHolds(ConfiguredSettings()));
    EXPECT_EQ(0, m_Service.ConnectionsAccepted());
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(SetupDialogTest, ModelessDialogForASnapshotFindsItsControlsByKindAndClosesByCode) {
    auto dialog = std::make_unique<CMerchantParametersDlg>();
    ASSERT_TRUE(dialog->Create());
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_GT(dialog->width(), 0);
    EXPECT_GT(dialog->height(), 0);
    std::set<std::string> pushButtons, spinButtons, edits;
    for (QPushButton* button : dialog->findChildren<QPushButton*>()) {
        pushButtons.insert(button->objectName().toStdString());
    }
    for (CSpinButton* spin : dialog->findChildren<CSpinButton*>()) {
        spinButtons.insert(spin->objectName().toStdString());
    }
    for (QLineEdit* edit : dialog->findChildren<QLineEdit*>()) {
        edits.insert(edit->objectName().toStdString());
    }
    EXPECT_EQ((std::set<std::string>{"1039", "1", "1037"}), pushButtons);
    EXPECT_EQ((std::set<std::string>{"1018", "1023"}), spinButtons);
    EXPECT_EQ((std::set<std::string>{"1001", "1010", "1005", "1008", "1011", "1000", "1003", "1016", "1017", "1013",
                                     "1022", "1041"}),
              edits);
    EXPECT_EQ("MERCHANT001", Text(*dialog, "1010"));
    // Without a download there is nothing to load from.
    EXPECT_FALSE(Control<QPushButton>(*dialog, "1037").isEnabled());

    dialog->show();
    dialog->CloseWindow();
    EXPECT_FALSE(dialog->isVisible());
    dialog.reset();
    EXPECT_EQ(nullptr, QApplication::activeModalWidget());

    // Shown without Create, it fills itself as it first shows.
    CMerchantParametersDlg shown;
    shown.setAttribute(Qt::WA_DontShowOnScreen);
    shown.show();
    EXPECT_EQ("MERCHANT001", Text(shown, "1010"));
    EXPECT_EQ(kDisplayFontPixels, Control<QLineEdit>(shown, "1000").font().pixelSize());
    shown.CloseWindow();
}

// --- Load New Parameters ---

TEST_F(SetupDialogTest, SuccessfulLoadShowsTheNewSetAndEmptiesTheLanes) {
    CMerchantParametersDlg dialog(nullptr, &m_Download);
    CModalSteps steps;
    steps.When<CMerchantParametersDlg>(ClickLoad);
    int laneRows = -1;
    std::vector<std::string> descriptions;
    steps.When<CMerchantParametersDlg>(
        [](CMerchantParametersDlg& shown) { QTest::mouseClick(&Control<QPushButton>(shown, "1039"), Qt::LeftButton); });
    steps.When<CLaneSetupDlg>([&](CLaneSetupDlg& lanes) {
        laneRows = lanes.LaneList().rowCount();
        for (int row = 0; row < laneRows; ++row) {
            descriptions.push_back(lanes.LaneList().item(row, 1)->text().toStdString());
        }
        lanes.accept();
    });
    steps.When<CMerchantParametersDlg>(PressEscape);
    EXPECT_EQ(kIdCancel, RunModal(dialog, steps));

    EXPECT_TRUE(dialog.ParametersReloaded());
    EXPECT_THAT(Boxes(), ElementsAre(kLoadedBox));
    EXPECT_THAT(m_Waits.progress, ElementsAre(kRetrievingParametersText));
    EXPECT_EQ(Qt::ApplicationModal, m_Waits.modality);
    EXPECT_TRUE(StoreHolds(DownloadedSettings()));
    // The dialog shows the new set.
    EXPECT_EQ("RVZMERCH777", Text(dialog, "1010"));
    EXPECT_EQ("0777", Text(dialog, "1000"));
    EXPECT_EQ("1", Text(dialog, "1041"));
    // The lanes file is empty, so every lane of the new set shows an empty description.
    EXPECT_EQ("", ReadFileBytes(kLanesFileName));
    EXPECT_EQ(2, laneRows);
    EXPECT_THAT(descriptions, ElementsAre("", ""));
    ASSERT_TRUE(m_Service.WaitForSessions(1));
    EXPECT_EQ("DEV-0016", m_Service.Sessions()[0].Field("DEVID"));
    // Nothing is left behind: the progress box went with the load.
    EXPECT_EQ(nullptr, QApplication::activeModalWidget());
}

TEST_F(SetupDialogTest, FailedLoadAsksToTryAgainUntilTheOperatorSaysNo) {
    m_Service.SetFault(NqmsFault::ServiceError);
    m_Service.SetServiceError(kServiceError);
    m_Presenter.Answer({kIdYes, kIdNo});
    CMerchantParametersDlg dialog(nullptr, &m_Download);
    CModalSteps steps;
    steps.When<CMerchantParametersDlg>(ClickLoad);
    steps.When<CMerchantParametersDlg>(PressEscape);
    EXPECT_EQ(kIdCancel, RunModal(dialog, steps));

    // Two attempts, each answered with the question; the stored set and the lanes stay.
    EXPECT_THAT(Boxes(), ElementsAre(kRetryQuestion, kRetryQuestion));
    EXPECT_THAT(m_Waits.progress, ElementsAre(kRetrievingParametersText, kRetrievingParametersText));
    EXPECT_EQ(2, m_Service.ConnectionsAccepted());
    EXPECT_TRUE(dialog.ParametersReloaded()) << "a failed attempt counts too";
    EXPECT_TRUE(StoreHolds(ConfiguredSettings()));
    EXPECT_EQ("MERCHANT001", Text(dialog, "1010"));
    EXPECT_EQ(kLaneLine, ReadFileBytes(kLanesFileName));
}

TEST_F(SetupDialogTest, RetryAfterAFailureCanSucceed) {
    m_Service.SetFault(NqmsFault::WrongChallengeAnswer);
    m_Presenter.Answer({kIdYes});
    // The service is mended while the operator reads the question.
    m_Presenter.whenShown = [this](const CBoxRequest&) { m_Service.SetFault(NqmsFault::None); };
    CMerchantParametersDlg dialog(nullptr, &m_Download);
    CModalSteps steps;
    steps.When<CMerchantParametersDlg>(ClickLoad);
    steps.When<CMerchantParametersDlg>(PressEscape);
    RunModal(dialog, steps);
    EXPECT_THAT(Boxes(), ElementsAre("Box[YesNo,6]: Parameter Load Failed - Parms: Challenge Verification Failed!"
                                     "\r\n\r\n  Try Again?",
                                     kLoadedBox));
    EXPECT_TRUE(StoreHolds(DownloadedSettings()));
    EXPECT_EQ("RVZMERCH777", Text(dialog, "1010"));
}

TEST_F(SetupDialogTest, DialogClosedByCodeDuringALoadTellsNobody) {
    CMerchantParametersDlg dialog(nullptr, &m_Download);
    m_Waits.duringFirstWait = [&dialog] { dialog.CloseWindow(); };
    CModalSteps steps;
    steps.When<CMerchantParametersDlg>(ClickLoad);
    EXPECT_EQ(kIdCancel, RunModal(dialog, steps));
    EXPECT_TRUE(dialog.ParametersReloaded());
    EXPECT_TRUE(Boxes().empty());
    // The load itself ran to its end: the set it brought is stored.
    EXPECT_TRUE(StoreHolds(DownloadedSettings()));
}

// --- Behind Setup > Merchant Parameters: the restart of the interfaces ---

namespace {

// The view's stand-in pieces, with the real download against the fake service.
class CFakesWithDownload final : public IInterfaceSet {
public:
    explicit CFakesWithDownload(CParameterDownload& download) : m_Download(download) {}
    CInterfaceParts Parts() override {
        return CInterfaceParts{fakes.reverse, fakes.host,    fakes.dial, fakes.discovery,
                               fakes.pipe,    fakes.factory, m_Download};
    }
    CFakeInterfaces fakes;

private:
    CParameterDownload& m_Download;
};

class SetupMenuTest : public SetupDialogTest {
protected:
    void SetUp() override {
        SetupDialogTest::SetUp();
        auto interfaces = std::make_unique<CFakesWithDownload>(m_Download);
        m_Fakes = &interfaces->fakes;
        m_Frame = ShowMainWindow(std::move(interfaces), &m_View, &m_Closed);
        m_View->OnInitialUpdate();
        ASSERT_TRUE(
            QTest::qWaitFor([this] { return m_View->Controller().ServerRunning() && !m_View->Busy(); }, kWaitMs));
    }
    void TearDown() override {
        m_Frame.reset();
        g_TransactionQueue.RemoveAll();
        SetupDialogTest::TearDown();
    }

    // Setup > Merchant Parameters with |steps| acting on what it opens; returns once the dialog and the
    // restart it asked for have ended.
    void OpenSetup(CModalSteps& steps) {
        m_Before = m_Fakes->journal.Entries().size();
        EXPECT_TRUE(m_Frame->MerchantParametersAction()->isEnabled());
        m_Frame->MerchantParametersAction()->trigger();
        EXPECT_TRUE(steps.Done());
        EXPECT_EQ(nullptr, m_View->SetupDialog());
        EXPECT_TRUE(QTest::qWaitFor([this] { return !m_View->Busy(); }, kWaitMs));
        QCoreApplication::processEvents();
    }
    // What the pieces saw since OpenSetup.
    std::vector<std::string> SinceOpened() const {
        const std::vector<std::string> all = m_Fakes->journal.Entries();
        return std::vector<std::string>(all.begin() + static_cast<long>(m_Before), all.end());
    }

    // The client wait of each stop passes ten times faster; the TLS exchanges keep their pace.
    CTestClock m_Clock{CTestClock::SRealTime{}};
    CScopedClock m_ClockScope{m_Clock};
    CClockPump m_Pump{m_Clock, 10};
    std::unique_ptr<CMainFrame> m_Frame;
    CVYRView* m_View = nullptr;
    CFakeInterfaces* m_Fakes = nullptr;
    size_t m_Before = 0;
    int m_Closed = 0;
};

void ClickOk(CMerchantParametersDlg& dialog) {
    QTest::mouseClick(&Control<QPushButton>(dialog, "1"), Qt::LeftButton);
}

} // namespace

TEST_F(SetupMenuTest, OkRestartsTheInterfaces) {
    CModalSteps steps;
    steps.When<CMerchantParametersDlg>(ClickOk);
    OpenSetup(steps);
    const std::vector<std::string> restart = SinceOpened();
    EXPECT_THAT(restart, Contains("Server.Destroy"));
    EXPECT_THAT(restart, Contains("Server.Start"));
    EXPECT_TRUE(m_View->Controller().ServerRunning());
    EXPECT_EQ(0, m_Service.ConnectionsAccepted()) << "the restart does not download again";
}

TEST_F(SetupMenuTest, LeftWithoutOkOrALoadTheInterfacesRunOnUntouched) {
    CModalSteps steps;
    steps.When<CMerchantParametersDlg>(PressEscape);
    OpenSetup(steps);
    EXPECT_TRUE(SinceOpened().empty());
    EXPECT_TRUE(m_View->Controller().ServerRunning());
}

TEST_F(SetupMenuTest, LoadThenEscRestartsWithTheNewSet) {
    CModalSteps steps;
    steps.When<CMerchantParametersDlg>(ClickLoad);
    steps.When<CMerchantParametersDlg>(PressEscape);
    OpenSetup(steps);
    EXPECT_THAT(Boxes(), ElementsAre(kLoadedBox));
    const std::vector<std::string> restart = SinceOpened();
    EXPECT_THAT(restart, Contains("Server.Destroy"));
    // The new set has one lane: the restarted server takes one client.
    EXPECT_THAT(restart, Contains("Server.SetMaxConnections(1)"));
    EXPECT_TRUE(m_View->Controller().ServerRunning());
    EXPECT_EQ("", ReadFileBytes(kLanesFileName));
}

TEST_F(SetupMenuTest, FailedLoadThenEscStillRestarts) {
    m_Service.SetFault(NqmsFault::ServiceError);
    m_Service.SetServiceError(kServiceError);
    m_Presenter.Answer({kIdNo});
    CModalSteps steps;
    steps.When<CMerchantParametersDlg>(ClickLoad);
    steps.When<CMerchantParametersDlg>(PressEscape);
    OpenSetup(steps);
    EXPECT_THAT(Boxes(), ElementsAre(kRetryQuestion));
    const std::vector<std::string> restart = SinceOpened();
    EXPECT_THAT(restart, Contains("Server.Destroy"));
    EXPECT_THAT(restart, Contains("Server.SetMaxConnections(200)"));
    EXPECT_TRUE(StoreHolds(ConfiguredSettings()));
    EXPECT_EQ(kLaneLine, ReadFileBytes(kLanesFileName));
}

TEST_F(SetupMenuTest, SignalledCloseWhileTheDialogShowsEndsBothWithoutARestart) {
    CModalSteps steps;
    // A load first, so that the dialog would restart the interfaces if it were left normally.
    steps.When<CMerchantParametersDlg>(ClickLoad);
    steps.When<CMerchantParametersDlg>([this](CMerchantParametersDlg&) { m_Frame->RequestClose(false); });
    OpenSetup(steps);
    EXPECT_EQ(1, m_Closed);
    EXPECT_FALSE(m_Frame->isVisible());
    const std::vector<std::string> after = SinceOpened();
    EXPECT_EQ(1, std::count(after.begin(), after.end(), "ReverseWorker.Stop"));
    EXPECT_THAT(after, Not(Contains("Server.Start")));
}
