#include "app/Program.h"

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <system_error>

#include "app/ConsolePresenter.h"
#include "app/HeadlessView.h"
#include "app/InterfaceController.h"
#include "app/ProgramInterfaces.h"
#include "app/VYRRuvuzUvirIP_Voda50App.h"
#include "app/WindowShell.h"
#include "foundation/AppMode.h"
#include "foundation/Logger.h"
#include "foundation/Presenter.h"
#include "platform/ProcessSignals.h"

namespace {

// Threads of this process now (the main thread and the logger's writer included); -1 when unknown.
int CountProcessThreads() {
    std::error_code ec;
    int count = 0;
    for (std::filesystem::directory_iterator it("/proc/self/task", ec), end; !ec && it != end; it.increment(ec)) {
        ++count;
    }
    return ec ? -1 : count;
}

} // namespace

std::string JoinCommandLine(int argc, char** argv) {
    std::string line;
    for (int i = 0; i < argc; ++i) {
        if (i > 0) {
            line += ' ';
        }
        line += argv[i];
    }
    return line;
}

int PosPortFromEnvironment() {
    const char* text = std::getenv(kPosPortVariable);
    if (text == nullptr || text[0] == '\0') {
        return 9100;
    }
    char* end = nullptr;
    const long port = std::strtol(text, &end, 10);
    if (*end != '\0' || port < 0 || port > 65535) {
        return 9100;
    }
    return static_cast<int>(port);
}

int RunKestrove(int argc, char** argv) {
    // Before any thread exists, so every thread inherits the mask and the signals wait for the main thread.
    BlockTerminationSignals();

    const std::string commandLine = JoinCommandLine(argc, argv);
    const bool service = commandLine.find(kStartedAsServiceSwitch) != std::string::npos;

    // Started by hand on a desktop: the window. A service never opens one.
    std::string noWindow;
    if (!service) {
        if (std::unique_ptr<CWindowShell> window = CWindowShell::Open(argc, argv, &noWindow)) {
            return window->Run(commandLine);
        }
    }

    CConsolePresenter console;
    std::optional<CScopedPresenter> presenter;
    if (!service) {
        presenter.emplace(console);
    }

    CVYRRuvuzUvirIP_Voda50App app;
    if (!app.InitInstance(commandLine)) {
        app.ExitInstance();
        return 1;
    }
    if (!service) {
        CLogger::Instance().LogLine("%s", noWindow.c_str());
    }

    {
        CHeadlessView view(!service);
        CScopedTrafficView traffic(view);
        CProgramInterfaces interfaces(PosPortFromEnvironment());
        CInterfaceController controller(interfaces.Parts(), view, AppModeFlags());
        controller.StartInterfaces();
        for (;;) {
            const int signal = WaitForTerminationSignal();
            CLogger::Instance().LogLine("Shut-down requested (signal %d).", signal);
            // A signal is the operator's or the service manager's request to stop. Only someone at the
            // terminal can be asked about connected clients; unasked, an unanswerable "No" would make the
            // process deaf to SIGTERM for as long as a lane stays connected.
            if (controller.OnStopInterfaces(!service && StandardInputIsTerminal())) {
                break;
            }
        }
    }

    // Only the main thread and the log writer may be left once the interfaces are gone.
    const int threads = CountProcessThreads();
    CLogger::Instance().LogLine("Threads left after the shut-down: %d.", threads < 0 ? -1 : threads - 2);
    return app.ExitInstance();
}
