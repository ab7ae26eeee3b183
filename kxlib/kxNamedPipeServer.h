#pragma once
// The library's request/reply server on a local pipe: a SOCK_SEQPACKET socket named after the pipe in the
// pipe folder, so every request and every reply stays one message, as on a message-mode pipe. One thread runs
// Run; it accepts any number of clients, reads one request at a time from each, hands it to the callback,
// sends the reply (with its terminating NUL) and waits for the client's next request, until the stop event is
// set. Run then closes every client and removes the socket file.
//
// The pipe folder is $KESTROVE_PIPE_DIR, else $XDG_RUNTIME_DIR, else /tmp: the program and the launcher that
// started it share their environment, so both find the same folder; SocketPath gives a client the path.
//
// When the socket cannot be set up, Run says why (GetLastErrorCode, GetLastErrorText) rather than ending
// without a word; a name held by another user's socket (in /tmp, say) is reported and never taken over. Out of
// descriptors, the server stops accepting for a pause (kAcceptBackoffMs) instead of spinning on the waiting
// client, and serves it once descriptors are back.
//
// Threads: configure with the setters, then one thread calls Listen and Run; the callback runs on that thread,
// never concurrently with itself. Any thread may set the stop event.

#include <cstddef>
#include <cstdint>

#include "kxlib/kxString.h"
#include "platform/LocalSocket.h"
#include "platform/PollableEvent.h"

// The request handler: |request| is the request text (up to its first NUL); |reply| holds "" on entry and
// takes a NUL-terminated reply of at most |replySize| - 1 characters. |replySize| is always
// kxNamedPipeServer::kMessageSize.
using kxPipeCallback = void (*)(uintptr_t userData, const char* request, char* reply, size_t replySize);

class kxNamedPipeServer {
public:
    // The largest request and reply, the reply's NUL included. A longer request drops its client.
    static constexpr size_t kMessageSize = 4096;
    static constexpr uint32_t kDefaultTimeoutMs = 2000;
    static constexpr const char* kFolderVariable = "KESTROVE_PIPE_DIR";
    // How long a server out of descriptors leaves its waiting clients in the backlog before it tries again.
    static constexpr uint32_t kAcceptBackoffMs = 100;
    // The reason given when the stop event has no descriptor to wait on.
    static constexpr const char* kNoStopEventText = "No descriptor is left for the pipe server's stop event.";

    // |stopEvent| stays the owner's and must outlive Run. |secure| makes the socket file mode 0666 (everyone
    // may connect), otherwise 0600 (the owner alone).
    kxNamedPipeServer(CPollableEvent& stopEvent, const kxString& pipeName, bool secure);
    kxNamedPipeServer(const kxNamedPipeServer&) = delete;
    kxNamedPipeServer& operator=(const kxNamedPipeServer&) = delete;

    // Kept for the owner's sake: a client of a local socket waits in the listen backlog instead of timing out
    // on a busy pipe, so the server does not use it.
    void SetTimeout(uint32_t ms) { m_TimeoutMs = ms; }
    uint32_t Timeout() const { return m_TimeoutMs; }
    void SetSecure(bool secure) { m_Secure = secure; }
    void SetUserData(uintptr_t userData) { m_UserData = userData; }
    void SetCallback(kxPipeCallback callback) { m_Callback = callback; }

    // Sets up the socket, so that clients can connect from now on; Run serves them. False when the stop event
    // has no descriptor, the socket path cannot be made, the name is held (by a live server, another user's
    // socket, or a file that is not a socket) or the socket cannot be made, bound or set listening; the
    // GetLastError members then say why.
    bool Listen();
    // Listens (unless Listen did already), then serves until the stop event is set and returns true. Returns
    // false at once when Listen fails, and later when the readiness wait itself fails.
    bool Run();

    // Why the last Listen or Run failed: the system's error code (0 when none failed), and the reason for the
    // operator, naming the folder or the socket.
    int GetLastErrorCode() const { return m_LastErrorCode; }
    const kxString& GetLastErrorText() const { return m_LastErrorText; }

    // $KESTROVE_PIPE_DIR, else $XDG_RUNTIME_DIR, else "/tmp" (a trailing "/" left out).
    static kxString Folder();
    // The folder, "/" and the pipe name, the name cut so that the whole fits a socket address; "" when the
    // name is empty or nothing of it fits.
    static kxString SocketPath(const kxString& pipeName);

private:
    struct Instance;
    // Serves the listener's clients until the stop event is set (true) or the readiness wait fails (false).
    bool Serve();
    // Reads one request and answers it; false when the client is to be dropped.
    bool OnReadable(Instance& instance);
    // Sends the pending reply; false when the client is to be dropped.
    static bool SendReply(Instance& instance);
    // Keeps |code| and |text| as the last error and returns false.
    bool Fail(int code, const kxString& text);

    CPollableEvent& m_StopEvent;
    bool m_Secure;
    uint32_t m_TimeoutMs = kDefaultTimeoutMs;
    kxString m_PipeName;
    uintptr_t m_UserData = 0;
    kxPipeCallback m_Callback = nullptr;
    CLocalListener m_Listener;
    int m_LastErrorCode = 0;
    kxString m_LastErrorText;
};
