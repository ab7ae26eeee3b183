#include "app/VYRRuvuzUvirIP_Voda50App.h"

#include <cstdlib>
#include <iostream>
#include <system_error>
#include <utility>
#include <vector>

#include "app/ConsolePresenter.h"
#include "foundation/ErrorReporter.h"
#include "foundation/Logger.h"
#include "foundation/ParamStore.h"
#include "foundation/Request.h"
#include "host/SspiProvider.h"
#include "platform/Files.h"
#include "platform/ProcessSignals.h"

namespace {
constexpr size_t kStoredDeviceIdBytes = 16;
constexpr mode_t kDeviceIdFileMode = 0644;
} // namespace

bool StartWinsock() {
    IgnoreBrokenPipeSignal();
    return true;
}

std::string MaskLast4(const std::string& text) {
    if (text.size() < 4) {
        return text;
    }
    return text.substr(0, text.size() - 4) + "XXXX";
}

std::string ParseDeviceId(const std::string& commandLine) {
    const size_t switchAt = commandLine.find(kDeviceIdSwitch);
    if (switchAt == std::string::npos) {
        return "";
    }
    const size_t open = commandLine.find(kDeviceIdOpen, switchAt);
    const size_t close = commandLine.find(kDeviceIdClose, switchAt);
    // At least two characters between them (a "]" before the "[" gives none).
    if (open == std::string::npos || close == std::string::npos || close <= open + 2) {
        return "";
    }
    return commandLine.substr(open + 1, close - open - 1);
}

CVYRRuvuzUvirIP_Voda50App::CVYRRuvuzUvirIP_Voda50App(CAppModeFlags& modeFlags, RecentFileReader readRecentFiles)
    : m_ModeFlags(modeFlags), m_RecentFileList(kRegistryKey, kAppTitle, kRecentFileCount, std::move(readRecentFiles)) {}

CVYRRuvuzUvirIP_Voda50App::~CVYRRuvuzUvirIP_Voda50App() = default;

std::filesystem::path CVYRRuvuzUvirIP_Voda50App::LockFolder() {
    const char* folder = std::getenv(kLockFolderVariable);
    if (folder != nullptr && folder[0] != '\0') {
        return folder;
    }
    return kDefaultLockFolder;
}

void CVYRRuvuzUvirIP_Voda50App::ReportStartup(const std::string& text, bool log) const {
    ReportError(text, log, m_bStartedAsService, 0);
    if (m_bStartedAsService) {
        std::cerr << TerminalText(text) << std::endl;
    }
}

bool CVYRRuvuzUvirIP_Voda50App::TakeInstanceLock() {
    const std::filesystem::path folder = LockFolder();
    // A lock folder named for tests, or a system without /run/lock: make it rather than refuse to start.
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    const std::filesystem::path own = folder / (m_bStartedAsService ? kServiceInstanceLockName : kInstanceLockName);
    const std::filesystem::path other = folder / (m_bStartedAsService ? kInstanceLockName : kServiceInstanceLockName);

    bool otherIsService = false;
    std::string error;
    ELockResult result = m_hInstanceMutex.TryAcquire(own, &error);
    if (result == ELockResult::Acquired) {
        // Probe the other mode's lock and let it go at once.
        CLockFile probe;
        result = probe.TryAcquire(other, &error);
        if (result != ELockResult::Acquired && !m_bStartedAsService) {
            otherIsService = true;
        }
    }
    if (result == ELockResult::Acquired) {
        return true;
    }

    m_hInstanceMutex.Release();
    // Another instance may be one that is ending; a lock that cannot be taken at all stays so.
    m_StartFailure = result == ELockResult::Failed ? EStartFailure::StateNotWritable : EStartFailure::Passing;
    if (result == ELockResult::Failed) {
        // Not another instance, but a lock that cannot be taken at all: the refusal below would not say why.
        CLogger::Instance().LogLine("Instance lock not available: %s", error.c_str());
        std::cerr << "Instance lock not available: " << error << std::endl;
    }
    // Never logged. A service, which shows no box, says it on standard error, so that the service manager's
    // journal shows why this start ended.
    ReportStartup(otherIsService ? "Only one instance of VYR RuvuzUvir TCPIP Gift may be run at a time! The other "
                                   "instance is running as a Service."
                                 : "Only one instance of VYR RuvuzUvir TCPIP Gift may be run at a time!",
                  false);
    return false;
}

bool CVYRRuvuzUvirIP_Voda50App::InitInstance(const std::string& commandLine) {
    m_bStartedAsService = commandLine.find(kStartedAsServiceSwitch) != std::string::npos;
    m_ModeFlags.SetStartedAsService(m_bStartedAsService);

    if (commandLine.find(kDeviceIdSwitch) != std::string::npos) {
        m_DeviceId = ParseDeviceId(commandLine);
        if (m_DeviceId.empty()) {
            m_StartFailure = EStartFailure::CommandLine;
            ReportStartup("Overseer Device Id is missing from command line!", false);
            return false;
        }
        m_bStartedByLauncher = true;
        m_ModeFlags.SetStartedByLauncher(true);
    }

    if (!TakeInstanceLock()) {
        return false;
    }

    StartWinsock();
    // The user's settings need no display: read in every mode. A list that cannot be read stays empty, which
    // nothing in the program would show.
    m_RecentFileList.ReadList();

    // An existing folder is fine (it is made private like a new one); so is one that cannot be made, only the
    // log is then lost. The log shows the traffic of every lane: only this user may read it.
    std::string folderError;
    if (!MakePrivateFolder(CLogger::kFolderName, &folderError)) {
        std::error_code ec;
        if (std::filesystem::is_directory(CLogger::kFolderName, ec)) {
            CLogger::Instance().LogLine("Log Directory could not be made private: %s", folderError.c_str());
        } else {
            ReportStartup("Unable to create Log Directory - logging disabled!", false);
        }
    }

    CParamStore& store = CParamStore::Instance();
    if (!store.LoadParams()) {
        m_StartFailure = EStartFailure::StateNotWritable;
        ReportStartup("Failed ->" + store.GetLastErrorText(), true);
        return false;
    }

    if (!CRequest::Instance().StartCrypto()) {
        // Its keys live in CORVANE_KEYS/: a folder it cannot make or write is what stops it.
        m_StartFailure = EStartFailure::StateNotWritable;
        CRequest::Instance().StopCrypto();
        ReportStartup("Could Not Start Crypto API \r\nEnsure that 128 bit encryption is installed.- FATAL Error!!",
                      true);
        return false;
    }

    if (!g_SspiProvider.Init()) {
        m_StartFailure = EStartFailure::Passing;
        g_SspiProvider.Free();
        ReportStartup("Could Not Start SSPI \r\nEnsure that 128 bit encryption is installed.- FATAL Error!!", true);
        return false;
    }

    if (!CreateShell()) {
        m_StartFailure = EStartFailure::Passing;
        return false;
    }

    CLogger::Instance().LogLine("Server Startup: %s %s - %s", "RuvuzUvir", "Kestrove", kStartupVersionText);
    return true;
}

int CVYRRuvuzUvirIP_Voda50App::ExitInstance() {
    g_SspiProvider.Free();
    CRequest::Instance().StopCrypto();
    m_hInstanceMutex.Release();
    CLogger::Instance().LogLine("Server Shutdown . . .");
    // The process ends right after: the last lines must be on disk before it does.
    CLogger::Instance().Flush();
    return 0;
}

std::string CVYRRuvuzUvirIP_Voda50App::GetDeviceId() const {
    if (m_bStartedByLauncher) {
        return m_DeviceId;
    }
    return KeptDeviceId();
}

std::string KeptDeviceId(const std::filesystem::path& file) {
    std::string stored;
    std::string error;
    if (ReadWholeFile(file, &stored, &error)) {
        while (!stored.empty() && (stored.back() == '\n' || stored.back() == '\r')) {
            stored.pop_back();
        }
        if (!stored.empty()) {
            return stored;
        }
    } else {
        std::error_code ec;
        if (std::filesystem::symlink_status(file, ec).type() != std::filesystem::file_type::not_found) {
            // A new id would take the place of the one the management service knows this installation by.
            CLogger::Instance().LogLine("The device id cannot be read: %s", error.c_str());
            return "";
        }
    }
    std::vector<uint8_t> bytes(kStoredDeviceIdBytes);
    if (!CRequest::Instance().GenerateRandom(static_cast<uint32_t>(bytes.size()), bytes.data())) {
        CLogger::Instance().LogLine("The device id cannot be made: no random bytes.");
        return "";
    }
    const std::string id = BytesToHex(bytes);
    if (!WriteFileAtomically(file, id + "\n", kDeviceIdFileMode, &error)) {
        // An id that is not kept would be another one at the next download.
        CLogger::Instance().LogLine("The device id cannot be kept: %s", error.c_str());
        return "";
    }
    return id;
}
