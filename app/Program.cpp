#include "app/Program.h"

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <optional>
#include <system_error>

#include "app/ConsolePresenter.h"
#include "app/HeadlessView.h"
#include "app/InterfaceController.h"
#include "app/NQMSClient.h"
#include "app/ProgramInterfaces.h"
#include "app/StartFailure.h"
#include "app/VYRRuvuzUvirIP_Voda50App.h"
#include "foundation/AppMode.h"
#include "foundation/Logger.h"
#include "foundation/Presenter.h"
#include "platform/ProcessLimits.h"
#include "platform/ProcessSignals.h"
#include "platform/SerialPort.h"

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

// Answers --help, --version and unknown "-" options before anything is made (no log, key or parameter file):
// the exit code, or nothing when the server is to run.
std::optional<int> AnswerProgramOptions(int argc, char** argv) {
    std::string unknown;
    switch (ReadProgramOptions(argc, argv, &unknown)) {
    case EProgramOptions::Run:
        return std::nullopt;
    case EProgramOptions::Help:
        std::cout << UsageText() << std::flush;
        return kExitStopped;
    case EProgramOptions::Version:
        std::cout << "kestrove " << kVersionText << " (" << kStartupVersionText << ")" << std::endl;
        return kExitStopped;
    case EProgramOptions::Unknown:
        break;
    }
    std::cerr << "kestrove: unknown option \"" << unknown << "\"\n\n" << UsageText() << std::flush;
    return kExitCommandLine;
}

// A service whose interfaces did not all start has nobody to answer a box and nothing to serve: the reason
// and the exit status go to the log and to standard error, and the process ends with that status for the
// service manager to see (and to start it again later, or not).
void ReportFailedServiceStart(const std::string& reason, int status) {
    const char* meaning = status == kExitTryAgain
                              ? "a cause that may pass by itself; the service unit starts it again"
                              : "a cause only an operator can mend; the service unit does not start it again";
    CLogger::Instance().LogLine("Service start-up failed: %s", reason.c_str());
    CLogger::Instance().LogLine("Exit status %d: %s.", status, meaning);
    std::cerr << "kestrove: service start-up failed: " << TerminalText(reason) << "\n"
              << "kestrove: exit status " << status << ": " << meaning << "." << std::endl;
}

// Runs until a signal's stop has gone through.
void ServeUntilStopped(CInterfaceController& controller, bool service) {
    for (;;) {
        const int signal = WaitForTerminationSignal();
        CLogger::Instance().LogLine("Shut-down requested (signal %d).", signal);
        // A signal is the operator's or the service manager's request to stop. Only someone at the
        // terminal can be asked about connected clients; unasked, an unanswerable "No" would make the
        // process deaf to SIGTERM for as long as a lane stays connected.
        if (controller.OnStopInterfaces(!service && StandardInputIsTerminal())) {
            return;
        }
    }
}

// A whole number from |variable| within |low|..|high|, or |fallback|.
int NumberFromEnvironment(const char* variable, long low, long high, int fallback) {
    const char* text = std::getenv(variable);
    if (text == nullptr || text[0] == '\0') {
        return fallback;
    }
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (*end != '\0' || value < low || value > high) {
        return fallback;
    }
    return static_cast<int>(value);
}

} // namespace

EProgramOptions ReadProgramOptions(int argc, char** argv, std::string* unknown) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.empty() || arg[0] != '-') {
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            return EProgramOptions::Help;
        }
        if (arg == "--version") {
            return EProgramOptions::Version;
        }
        if (unknown != nullptr) {
            *unknown = arg;
        }
        return EProgramOptions::Unknown;
    }
    return EProgramOptions::Run;
}

std::string UsageText() {
    // The names of the variables are 17 characters: the texts line up with the switches'.
    return std::string(
               "Usage: kestrove [/started_as_service] [/device_id=[ID]]\n"
               "       kestrove --help | -h | --version\n"
               "\n"
               "The RuvuzUvir gift-card payment server: POS lanes connect on TCP port 9100, requests go to the\n"
               "card host over HTTPS. It keeps its files in the current folder.\n"
               "\n"
               "  /started_as_service  service mode: no window and no questions, reports only logged; a\n"
               "                       start-up that does not get every interface running says why on\n"
               "                       standard error and exits " +
               std::to_string(kExitTryAgain) + " when the cause may pass by itself, or,\n" +
               "                       when it waits for an operator, " + std::to_string(kExitModemRefused) +
               " (not the maker's modem), " + std::to_string(kExitStateNotWritable) + " (a\n" +
               "                       file of its own cannot be written) or " + std::to_string(kExitNotConfigured) +
               " (no merchant parameters\n" + "                       to be had)\n" +
               "  /device_id=[ID]      started by the launcher, with its device id (two characters or more)\n"
               "  -h, --help           this text\n"
               "  --version            the version\n"
               "\n"
               "Environment:\n"
               "  ") +
           kPosPortVariable + "    the POS clients' port (default 9100; 0: the system chooses, the log names it)\n" +
           "  " + kLockFolderVariable + "    the folder of the single-instance lock files (default " +
           kDefaultLockFolder + ")\n" + "  " + kHostWorkersVariable + "\n" +
           "                       how many host exchanges run at once (default " +
           std::to_string(kDefaultHostWorkers) + ", at most " + std::to_string(kMaxHostWorkers) + ")\n" + "  " +
           kNqmsHostsVariable + "\n" +
           "                       the management service that hands out the merchant parameters, as\n"
           "                       host:port[,host:port] (default " +
           CNQMSClient::kPrimaryHost + ":" + std::to_string(CNQMSClient::kServicePort) + ", then\n" +
           "                       " + CNQMSClient::kSecondaryHost + ":" + std::to_string(CNQMSClient::kServicePort) +
           "); its certificate must be trusted and\n"
           "                       match the name\n"
           "  " +
           kComPortVariablePrefix + "<n>      the device of COM port n (default /dev/ttyS<n-1>)\n" + "  " +
           kComPortVariablePrefix + "<n>" + kComPortLinesSuffix + "\n" +
           "                       a file that carries COM port n's modem lines, for a device without\n"
           "                       them (a pty)\n"
           "  KESTROVE_PIPE_DIR    the folder of the launcher pipe's socket in launcher mode (default\n"
           "                       $XDG_RUNTIME_DIR, else /tmp); the launcher must see the same\n"
           "  KESTROVE_COMMON_DOCUMENTS_DIR\n"
           "                       where the launcher's Setup-dialog snapshots are left (default /var/tmp)\n"
           "  " +
           kClientSettleVariable + "\n" +
           "                       how long the shut-down waits for POS sessions that start late (ms, default\n"
           "                       and at most 5000)\n"
           "  SSL_CERT_FILE        the CA certificates the servers' certificates are checked against, as a file\n"
           "  SSL_CERT_DIR         ... or as a folder (default: the system's store)\n"
           "\n"
           "Files in the current folder:\n"
           "  CORVANE_KEYS/        the server's keys, the pending reversals' key among them: back it up\n"
           "  MerchantParams.dat   the merchant parameters (the client/server password among them)\n"
           "  Reversals.dat        the reversals the host has not yet taken\n"
           "  SynchroStan.dat      the system trace audit number\n"
           "  LanesInfo.dat        the lanes\n"
           "  DeviceId.dat         this installation's device id\n"
           "  " +
           CLogger::kFolderName + "/        one log file a day (VYRMMDDYYYY.log)\n";
}

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
    return NumberFromEnvironment(kPosPortVariable, 0, 65535, kPosServerPort);
}

int HostWorkersFromEnvironment() {
    return NumberFromEnvironment(kHostWorkersVariable, 1, kMaxHostWorkers, kDefaultHostWorkers);
}

uint64_t ClientSettleMsFromEnvironment() {
    constexpr int kDefault = static_cast<int>(CInterfaceController::kDefaultClientSettleMs);
    return static_cast<uint64_t>(NumberFromEnvironment(kClientSettleVariable, 0, kDefault, kDefault));
}

int RunKestrove(int argc, char** argv, const SProgramWindow& window) {
    if (const std::optional<int> answered = AnswerProgramOptions(argc, argv)) {
        return *answered;
    }
    // Before any thread exists, so every thread inherits the mask and the signals wait for the main thread.
    BlockTerminationSignals();
    // Also before any thread: a session and a host exchange each hold descriptors, and the system's usual soft
    // limit of 1024 is far below what 200 lanes and the host workers may need at once.
    const SDescriptorLimit descriptors = RaiseDescriptorLimit();
    BoundAllocatorArenas(kAllocatorArenas);

    const std::string commandLine = JoinCommandLine(argc, argv);
    const bool service = commandLine.find(kStartedAsServiceSwitch) != std::string::npos;

    // Started by hand on a desktop: the window. A service never opens one.
    std::string noWindow;
    if (!service && window.run) {
        if (const std::optional<int> exitCode = window.run(argc, argv, commandLine, &noWindow)) {
            return *exitCode;
        }
    }

    CConsolePresenter console;
    std::optional<CScopedPresenter> presenter;
    if (!service) {
        presenter.emplace(console);
    }

    CVYRRuvuzUvirIP_Voda50App app(AppModeFlags(), window.readRecentFiles);
    if (!app.InitInstance(commandLine)) {
        app.ExitInstance();
        return ExitStatusFor(app.StartFailure());
    }
    if (!descriptors.ok) {
        CLogger::Instance().LogLine("Open file limit could not be raised: %llu (hard limit %llu).",
                                    static_cast<unsigned long long>(descriptors.after),
                                    static_cast<unsigned long long>(descriptors.hard));
    } else if (descriptors.after != descriptors.before) {
        CLogger::Instance().LogLine("Open file limit raised from %llu to %llu.",
                                    static_cast<unsigned long long>(descriptors.before),
                                    static_cast<unsigned long long>(descriptors.after));
    }
    if (!service) {
        CLogger::Instance().LogLine("%s", noWindow.c_str());
    }

    bool failedServiceStart = false;
    EStartFailure failure = EStartFailure::None;
    {
        CProgramInterfaces interfaces(PosPortFromEnvironment(), HostWorkersFromEnvironment(), app);
        // Without a window the launcher pipe still answers what the window would show.
        CHeadlessView view(!service, interfaces.LauncherView());
        CScopedTrafficView traffic(view);
        CInterfaceController controller(interfaces.Parts(), view, AppModeFlags());
        controller.SetClientSettleMs(ClientSettleMsFromEnvironment());
        view.SetTitleSource([&controller] { return controller.RefreshTitle(); });
        controller.StartInterfaces();
        // By hand, the operator has been told and may still stop the process; a service must not idle on.
        failedServiceStart = service && !controller.ServerRunning();
        if (failedServiceStart) {
            failure = controller.StartFailureKind();
            ReportFailedServiceStart(controller.StartFailure(), ExitStatusFor(failure));
            // As when a window closes after a failed start: the launcher pipe goes too.
            controller.OnStopInterfaces(false);
        } else {
            ServeUntilStopped(controller, service);
        }
    }

    // Only the main thread and the log writer may be left once the interfaces are gone.
    const int threads = CountProcessThreads();
    CLogger::Instance().LogLine("Threads left after the shut-down: %d.", threads < 0 ? -1 : threads - 2);
    const int exitCode = app.ExitInstance();
    return failedServiceStart ? ExitStatusFor(failure) : exitCode;
}
