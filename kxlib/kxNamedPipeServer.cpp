#include "kxlib/kxNamedPipeServer.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/socket.h>
#include <vector>

#include "platform/LocalSocket.h"
#include "platform/Poll.h"

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

bool kxNamedPipeServer::Run() {
    if (!m_StopEvent.Valid()) {
        return false;
    }
    const kxString path = SocketPath(m_PipeName);
    if (path.Length() == 0) {
        return false;
    }
    CLocalListener listener;
    if (listener.Listen(path.Str(), m_Secure ? 0666 : 0600, SOMAXCONN) != ELocalListenResult::Listening) {
        return false;
    }
    // Closing these at the end of Run disconnects every client that is still connected.
    std::vector<std::unique_ptr<Instance>> clients;
    std::vector<CPollItem> items;
    for (;;) {
        items.clear();
        items.push_back({m_StopEvent.Fd(), true});
        items.push_back({listener.Fd(), true});
        for (const auto& client : clients) {
            const bool writing = client->ReplyLength > 0;
            items.push_back({client->Pipe.Get(), !writing, writing});
        }
        if (PollItems(items, -1) < 0) {
            return false;
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
            for (CSocketFd pipe = listener.Accept(); pipe.Valid(); pipe = listener.Accept()) {
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
