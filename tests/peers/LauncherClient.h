#pragma once
// The launcher's side of the program's pipe, for the tests and the launcherctl program: finds the pipe of a
// running program by its process id (the letters of the id's digits + "_CorvaneAppDirectory", in the pipe
// folder the two share through their environment), sends one command at a time as "COMMAND" + RS + command
// and reads the reply, which ends in its NUL.

#include <string>

#include "platform/Socket.h"

// One connection to one program's pipe. Every wait is bounded. Not thread-safe: one thread uses it.
class CLauncherClient {
public:
    // The pipe name of the program with |processId|, worked out as the launcher does.
    static std::string PipeName(long processId);
    // Where that pipe's socket lives: the pipe folder ($KESTROVE_PIPE_DIR, else $XDG_RUNTIME_DIR, else /tmp)
    // and the name.
    static std::string SocketPath(long processId);

    // Connects to the pipe of |processId|; false with LastError set.
    bool Connect(long processId);
    bool ConnectPath(const std::string& socketPath);
    // Sends the command and reads its reply (without the NUL) within |timeoutMs|; false with LastError set
    // ("the program closed the pipe" when it did).
    bool Ask(const std::string& command, std::string* reply, int timeoutMs = 10000);
    // Sends |request| as it stands, as one message.
    bool SendRaw(const std::string& request);
    // The next message as it came, NUL included; false with LastError set when none came in time.
    bool ReceiveRaw(std::string* message, int timeoutMs = 10000);
    // True when the program has closed (or reset) this connection within |timeoutMs|.
    bool WaitForClose(int timeoutMs);
    void Close() { m_Socket = CSocketFd(); }
    const std::string& LastError() const { return m_LastError; }

private:
    CSocketFd m_Socket;
    std::string m_LastError;
};
