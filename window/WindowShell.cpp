#include "window/WindowShell.h"

#include <cstdlib>

#include <QAction>
#include <QCoreApplication>

#include "app/Program.h"
#include "app/ProgramInterfaces.h"
#include "foundation/AppMode.h"
#include "foundation/Logger.h"
#include "window/AboutDlg.h"
#include "window/RecentFileSettings.h"
#include "window/VYRView.h"

namespace {
// The platform Qt falls back to when none of the real ones can open its display: a sign, not a window.
constexpr char kNoDisplayPlatform[] = "minimal";

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// Qt's complaints while it tries a display that is not there: the one log line says it better.
void QuietMessages(QtMsgType /*type*/, const QMessageLogContext& /*context*/, const QString& /*message*/) {}
} // namespace

std::unique_ptr<CWindowShell> CWindowShell::Open(int argc, char** argv, std::string* whyNot) {
    const std::string x11 = Environment("DISPLAY");
    const std::string wayland = Environment("WAYLAND_DISPLAY");
    if (x11.empty() && wayland.empty()) {
        *whyNot = "No display to open (DISPLAY and WAYLAND_DISPLAY are not set): kestrove runs in the terminal.";
        return nullptr;
    }

    // Qt ends the process when no platform can start; with the minimal platform last in the list it starts
    // that one instead, which tells the display could not be opened.
    std::string platforms = Environment("QT_QPA_PLATFORM");
    if (platforms.empty()) {
        platforms = wayland.empty() ? "xcb" : (x11.empty() ? "wayland" : "wayland;xcb");
    }
    std::vector<std::string> arguments(argv, argv + argc);
    arguments.push_back("-platform");
    arguments.push_back(platforms + ";" + kNoDisplayPlatform);

    auto shell = std::make_unique<CWindowShell>(arguments);
    const QtMessageHandler previous = qInstallMessageHandler(QuietMessages);
    shell->m_pApplication = std::make_unique<QApplication>(shell->m_Argc, shell->m_Argv.data());
    qInstallMessageHandler(previous);
    if (QGuiApplication::platformName() == kNoDisplayPlatform) {
        *whyNot =
            "The display " + (x11.empty() ? wayland : x11) + " could not be opened: kestrove runs in the terminal.";
        return nullptr;
    }
    // The program ends when its main window has closed, not when the last box goes (the window may be in the
    // tray then).
    QApplication::setQuitOnLastWindowClosed(false);
    shell->m_pPresenter = std::make_unique<CWindowPresenter>();
    shell->m_ScopedPresenter.emplace(*shell->m_pPresenter);
    return shell;
}

CWindowShell::CWindowShell(const std::vector<std::string>& arguments)
    : CVYRRuvuzUvirIP_Voda50App(AppModeFlags(), ReadRecentFileSettings), m_Arguments(arguments) {
    for (std::string& argument : m_Arguments) {
        m_Argv.push_back(argument.data());
    }
    m_Argc = static_cast<int>(m_Argv.size());
    m_Argv.push_back(nullptr);
}

CWindowShell::~CWindowShell() {
    // The window and its view (with the interface pieces) go while Qt still runs; Qt goes last.
    m_pSignalNotifier.reset();
    m_pMainFrame.reset();
    m_ScopedPresenter.reset();
    m_pPresenter.reset();
    m_pApplication.reset();
}

bool CWindowShell::CreateShell() {
    InitWindowResources();
    if (!m_Document.OnNewDocument()) {
        return false;
    }
    m_pMainFrame = std::make_unique<CMainFrame>();
    if (!m_pMainFrame->OnCreate()) {
        return false;
    }
    auto view = std::make_unique<CVYRView>(
        std::make_unique<CProgramInterfaces>(PosPortFromEnvironment(), HostWorkersFromEnvironment(), *this),
        AppModeFlags());
    view->SetClientSettleMs(ClientSettleMsFromEnvironment());
    CVYRView& firstView = *view;
    m_pMainFrame->SetView(std::move(view));
    QObject::connect(m_pMainFrame->AboutAction(), &QAction::triggered, m_pMainFrame.get(), [this] { OnAppAbout(); });
    m_pMainFrame->SetClosedHandler([] { QCoreApplication::exit(0); });
    firstView.OnInitialUpdate();
    m_pMainFrame->show();
    return true;
}

void CWindowShell::OnAppAbout() {
    CAboutDlg about(m_pMainFrame.get());
    about.exec();
}

void CWindowShell::OnTerminationSignal() {
    const int signal = m_Signals.Take();
    if (signal == 0) {
        return;
    }
    CLogger::Instance().LogLine("Shut-down requested (signal %d).", signal);
    // Whoever sent it cannot answer a question: the stop goes ahead as if Yes had been answered.
    if (m_pMainFrame != nullptr) {
        m_pMainFrame->RequestClose(false);
    }
}

int CWindowShell::Run(const std::string& commandLine) {
    if (!InitInstance(commandLine)) {
        ExitInstance();
        return 1;
    }
    if (m_Signals.Valid()) {
        m_pSignalNotifier = std::make_unique<QSocketNotifier>(m_Signals.Fd(), QSocketNotifier::Read);
        QObject::connect(m_pSignalNotifier.get(), &QSocketNotifier::activated, m_pSignalNotifier.get(),
                         [this] { OnTerminationSignal(); });
    }
    QApplication::exec();
    m_pSignalNotifier.reset();
    // The view's destructor deletes the interface pieces, all stopped by now.
    m_pMainFrame.reset();
    return ExitInstance();
}
