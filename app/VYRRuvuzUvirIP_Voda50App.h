#pragma once
// The application object: decides the run modes from the command line, keeps one instance per mode, reads the
// user's recent-file list, prepares the log folder, loads the stored merchant parameters and starts the crypto
// object and the TLS credential; at exit it frees them again. Starting the interfaces is the view's business
// (app/InterfaceController.h).

#include <filesystem>
#include <string>

#include "app/RecentFileList.h"
#include "app/StartFailure.h"
#include "foundation/AppMode.h"
#include "platform/LockFile.h"

// The command-line switches and the brackets around the launcher's device id.
inline constexpr char kStartedAsServiceSwitch[] = "/started_as_service";
inline constexpr char kDeviceIdSwitch[] = "/device_id=";
inline constexpr char kDeviceIdOpen[] = "[";
inline constexpr char kDeviceIdClose[] = "]";

// The version of the About box and the one in the start-up line of the log.
inline constexpr char kVersionText[] = "5.00.06-0001";
inline constexpr char kStartupVersionText[] = "VL 5.06";

// The application's title: the caption of every operator box, and the name its settings are kept under.
inline constexpr char kAppTitle[] = "VYRRuvuzUvirIP_Voda50";

// The single-instance locks: one file per mode in the lock folder.
inline constexpr char kInstanceLockName[] = "VyrRuvuzUvirTCPIP_Gift.lock";
inline constexpr char kServiceInstanceLockName[] = "VyrRuvuzUvirTCPIP_Gift_SERVICE.lock";
inline constexpr char kDefaultLockFolder[] = "/run/lock";
// Names another lock folder (tests, or a system without /run/lock).
inline constexpr char kLockFolderVariable[] = "KESTROVE_LOCK_DIR";

// The file that keeps this installation's own device id, in the current directory.
inline constexpr char kDeviceIdFileName[] = "DeviceId.dat";

// One per process, made by the program's main. InitInstance and ExitInstance run on the main thread before any
// worker exists and after every worker has stopped; the mode flags are written by InitInstance only and read
// through the process's CAppModeFlags by every thread.
class CVYRRuvuzUvirIP_Voda50App {
public:
    // |readRecentFiles| reads the user's recent-file list at the start-up (the window's reader; none: it stays
    // empty).
    explicit CVYRRuvuzUvirIP_Voda50App(CAppModeFlags& modeFlags = AppModeFlags(),
                                       RecentFileReader readRecentFiles = {});
    virtual ~CVYRRuvuzUvirIP_Voda50App();
    CVYRRuvuzUvirIP_Voda50App(const CVYRRuvuzUvirIP_Voda50App&) = delete;
    CVYRRuvuzUvirIP_Voda50App& operator=(const CVYRRuvuzUvirIP_Voda50App&) = delete;

    // The start-up; false ends the process (ExitInstance still runs). |commandLine| is the whole command line
    // as one text.
    bool InitInstance(const std::string& commandLine);
    // The clean-up; returns the process's exit code.
    int ExitInstance();
    // Why the last InitInstance returned false: a cause that passes by itself, or one for an operator.
    EStartFailure StartFailure() const { return m_StartFailure; }

    // The launcher's device id in launcher mode, else this installation's kept one (KeptDeviceId).
    std::string GetDeviceId() const;

    bool StartedAsService() const { return m_bStartedAsService; }
    bool StartedByLauncher() const { return m_bStartedByLauncher; }
    // The user's recent files as the start-up read them.
    const CRecentFileList& RecentFileList() const { return m_RecentFileList; }

    // The folder of the single-instance locks: $KESTROVE_LOCK_DIR, else /run/lock.
    static std::filesystem::path LockFolder();

protected:
    // Where the window comes in: the document template, the frame and the view, shown. Without a window
    // there is nothing to make (the program starts the interfaces itself). False ends the start-up silently.
    virtual bool CreateShell() { return true; }

private:
    // The single-instance check; false when another instance runs (told to the operator outside service mode).
    bool TakeInstanceLock();
    // Reports a start-up failure: through the error reporter, and in service mode (nobody reads a box) to
    // standard error as well.
    void ReportStartup(const std::string& text, bool log) const;

    CAppModeFlags& m_ModeFlags;
    CLockFile m_hInstanceMutex;        // the lock of this mode, while held
    bool m_bStartedAsService = false;  // the command line holds "/started_as_service"
    bool m_bStartedByLauncher = false; // the launcher passed a device id
    std::string m_DeviceId;            // the launcher's device id; empty otherwise
    CRecentFileList m_RecentFileList;  // read by the start-up, never changed
    // See StartFailure.
    EStartFailure m_StartFailure = EStartFailure::None;
};

// The socket layer's start-up: Linux sockets need none, but a write to a vanished peer must fail with EPIPE
// rather than end the process. True.
bool StartWinsock();
// The text with its last four characters replaced by "XXXX" when it has at least four; else unchanged.
std::string MaskLast4(const std::string& text);
// The device id between the first "[" and the first "]" at or after "/device_id=" in |commandLine|, when at
// least two characters stand between them; else empty.
std::string ParseDeviceId(const std::string& commandLine);
// This installation's own device id, kept in |file|: read from it, or made (16 random bytes in hex) and stored
// there on first use. Empty, with the reason logged, when a file that is there cannot be read or a new id
// cannot be stored: a request must not name the device by an id the next one would not repeat. For the
// download's worker thread; not for two threads at once.
std::string KeptDeviceId(const std::filesystem::path& file = kDeviceIdFileName);
