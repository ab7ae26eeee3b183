#include "kxlib/kxNamedPipeServer.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/Clock.h"
#include "platform/LocalSocket.h"
#include "platform/OsError.h"
#include "platform/Poll.h"
#include "platform/TextFormat.h"

// One connected client; its buffers are made with it, so no request allocates.
struct kxNamedPipeServer::Instance {
    CSocketFd Pipe;
    uintptr_t UserData = 0;
    kxPipeCallback Callback = nullptr;
    char Request[kMessageSize + 1] = {}; // the extra byte ends a request that fills the whole message
    char Reply[kMessageSize] = {};
    // Bytes of the reply waiting for the socket to take them; 0 while the client's next request is awaited.
    size_t ReplyLength = 0;
};

kxNamedPipeServer::kxNamedPipeServer(CPollableEvent& stopEvent, const kxString& pipeName, bool secure)
    : m_StopEvent(stopEvent), m_Secure(secure), m_PipeName(pipeName) {}

kxString kxNamedPipeServer::Folder() {
    for (const char* variable : {kFolderVariable, "XDG_RUNTIME_DIR"}) {
        const char* value = std::getenv(variable);
        if (value != nullptr && *value != '\0') {
            kxString folder(value);
            while (folder.Length() > 1 && folder.EndsWith("/")) {
                folder = folder.Left(folder.Length() - 1);
            }
            return folder;
        }
    }
    return kxString("/tmp");
}

kxString kxNamedPipeServer::SocketPath(const kxString& pipeName) {
    const kxString folder = Folder() + "/";
    if (pipeName.Length() == 0 || folder.Length() >= MaxLocalSocketPath()) {
        return kxString();
    }
    return folder + pipeName.Left(MaxLocalSocketPath() - folder.Length());
}

bool kxNamedPipeServer::Fail(int code, const kxString& text) {
    m_LastErrorCode = code;
    m_LastErrorText = text;
    return false;
}

bool kxNamedPipeServer::Listen() {
    m_LastErrorCode = 0;
    m_LastErrorText = kxString();
    if (m_Listener.Fd() >= 0) {
        return true;
    }
    if (!m_StopEvent.Valid()) {
        return Fail(m_StopEvent.Error().Number(), kNoStopEventText);
    }
    const std::string folder = Folder().Str();
    const kxString path = SocketPath(m_PipeName);
    if (path.Length() == 0) {
        return Fail(COsError::NameTooLong().Number(),
                    m_PipeName.Length() == 0
                        ? kxString("The pipe has no name.")
                        : kxString(FormatText("The pipe folder %s is too long for a socket name.", folder.c_str())));
    }
    COsError cause;
    switch (m_Listener.Listen(path.Str(), m_Secure ? 0666 : 0600, MaxListenBacklog(), &cause)) {
    case ELocalListenResult::Listening:
        return true;
    case ELocalListenResult::NameInUse:
        return Fail(cause.Number(), FormatText("The pipe %s is held by a live process.", path.c_str()));
    case ELocalListenResult::OtherOwner:
        return Fail(cause.Number(), FormatText("The pipe %s is held by a socket of another user (uid %u), which is "
                                               "left as it is.",
                                               path.c_str(), static_cast<unsigned>(m_Listener.HolderUid())));
    case ELocalListenResult::NotASocket:
        return Fail(cause.Number(),
                    FormatText("The pipe name %s is taken by a file that is not a socket.", path.c_str()));
    case ELocalListenResult::NoFolder:
        return Fail(cause.Number(), FormatText("The pipe folder %s does not exist.", folder.c_str()));
    case ELocalListenResult::NotAFolder:
        return Fail(cause.Number(), FormatText("The pipe folder %s is not a folder.", folder.c_str()));
    case ELocalListenResult::NotWritable:
        return Fail(cause.Number(),
                    FormatText("The pipe folder %s is not writable (%s).", folder.c_str(), cause.Text().c_str()));
    case ELocalListenResult::NoResources:
        return Fail(cause.Number(), FormatText("No descriptor or memory is left for the pipe %s (%s).", path.c_str(),
                                               cause.Text().c_str()));
    case ELocalListenResult::Failed:
        break;
    }
    return Fail(cause.Number(), FormatText("The pipe %s cannot be set up (%s).", path.c_str(), cause.Text().c_str()));
}

bool kxNamedPipeServer::Run() {
    if (!Listen()) {
        return false;
    }
    const bool served = Serve();
    m_Listener.Close(); // removes the socket file
    return served;
}

bool kxNamedPipeServer::Serve() {
    // Closing these at the end disconnects every client that is still connected.
    std::vector<std::unique_ptr<Instance>> clients;
    std::vector<CPollItem> items;
    IClock& clock = GetClock();
    // While out of descriptors the listener is left out of the wait until this tick (0: it is in).
    uint64_t acceptPausedUntil = 0;
    for (;;) {
        if (acceptPausedUntil != 0 && clock.TickMs() >= acceptPausedUntil) {
            acceptPausedUntil = 0;
        }
        items.clear();
        items.push_back({m_StopEvent.Fd(), true});
        items.push_back({m_Listener.Fd(), acceptPausedUntil == 0});
        for (const auto& client : clients) {
            const bool writing = client->ReplyLength > 0;
            items.push_back({client->Pipe.Get(), !writing, writing});
        }
        COsError waitError;
        const int ready = acceptPausedUntil == 0 ? PollItems(items, -1, &waitError)
                                                 : PollItemsUntil(items, acceptPausedUntil, &waitError);
        if (ready < 0) {
            if (!waitError.Is(EOsErrorClass::NoResources)) {
                return Fail(waitError.Number(),
                            FormatText("The wait for the pipe's clients failed (%s).", waitError.Text().c_str()));
            }
            // The wait itself found no room: a pause on the stop event alone, which needs none.
            m_StopEvent.Event().Wait(kAcceptBackoffMs);
            continue;
        }
        if (items[0].Readable || m_StopEvent.IsSet()) {
            return true;
        }
        // Clients are served in the order they came, before newcomers are accepted.
        size_t kept = 0;
        for (size_t i = 0; i < clients.size(); ++i) {
            const CPollItem& item = items[i + 2];
            Instance& client = *clients[i];
            bool keep = true;
            if (client.ReplyLength > 0) {
                if (item.Writable || item.Broken) {
                    keep = SendReply(client);
                }
            } else if (item.Readable || item.Broken) {
                keep = OnReadable(client);
            }
            if (keep) {
                clients[kept++] = std::move(clients[i]);
            }
        }
        clients.resize(kept);
        if (items[1].Readable) {
            for (;;) {
                COsError acceptError;
                CSocketFd pipe = m_Listener.Accept(&acceptError);
                if (!pipe.Valid()) {
                    // The client stays in the backlog, and the listener readable: waiting for it again at once
                    // would spin until a descriptor comes back.
                    if (acceptError.Is(EOsErrorClass::NoResources)) {
                        acceptPausedUntil = clock.TickMs() + kAcceptBackoffMs;
                    }
                    break;
                }
                auto client = std::make_unique<Instance>();
                client->Pipe = std::move(pipe);
                client->UserData = m_UserData;
                client->Callback = m_Callback;
                clients.push_back(std::move(client));
            }
        }
    }
}

bool kxNamedPipeServer::OnReadable(Instance& instance) {
    bool truncated = false;
    COsError error;
    const long n = ReceiveMessage(instance.Pipe.Get(), instance.Request, kMessageSize, &truncated, true, &error);
    if (n < 0 && error.Is(EOsErrorClass::WouldBlock)) {
        return true;
    }
    // A failed read, a closed client, an empty message and one longer than a request may be all end it.
    if (n <= 0 || truncated) {
        return false;
    }
    instance.Request[n] = '\0';
    instance.Reply[0] = '\0';
    if (instance.Callback != nullptr) {
        instance.Callback(instance.UserData, instance.Request, instance.Reply, kMessageSize);
    }
    instance.Reply[kMessageSize - 1] = '\0'; // a callback that overran its limit is cut, not followed
    instance.ReplyLength = std::strlen(instance.Reply) + 1;
    return SendReply(instance);
}

bool kxNamedPipeServer::SendReply(Instance& instance) {
    COsError error;
    const long n = SendMessage(instance.Pipe.Get(), instance.Reply, instance.ReplyLength, true, &error);
    if (n < 0 && error.Is(EOsErrorClass::WouldBlock)) {
        return true; // the socket is full: the reply goes when it can take it
    }
    if (n != static_cast<long>(instance.ReplyLength)) {
        return false;
    }
    instance.ReplyLength = 0;
    return true;
}
