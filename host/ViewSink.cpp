#include "host/ViewSink.h"

#include <algorithm>
#include <cstdio>

namespace {
// The view's sink, where the window handle of the traffic view would be. Posters hold the lock shared
// for the length of one post, so once SetTrafficView returns no post is still inside the old sink.
CSharedMutex g_TrafficViewLock;
IViewSink* g_hTrafficView GUARDED_BY(g_TrafficViewLock) = nullptr;

constexpr const char* kViewMessageNames[] = {
    "WM_START_INTERFACES",     "WM_REFRESH_TITLE",         "WM_STOP_INTERFACES",     "WM_SENDING_AUTH",
    "WM_SENDING_AUTH_DIAL",    "WM_AUTH_RESPONSE",         "WM_AUTH_RESPONSE_DIAL",  "WM_SET_OFFLINE_TITLE",
    "WM_SD_RESPONSE",          "WM_REGISTRATION_RESPONSE", "WM_ACTIVATION_RESPONSE", "WM_SENDING_SD_REQUEST",
    "WM_SENDING_REGISTRATION", "WM_SENDING_ACTIVATION",    "WM_TRAY_NOTIFY",
};
} // namespace

std::string ViewMessageName(uint32_t message) {
    if (message >= WM_START_INTERFACES && message <= WM_TRAY_NOTIFY) {
        return kViewMessageNames[message - WM_START_INTERFACES];
    }
    char text[32];
    std::snprintf(text, sizeof(text), "WM_0x%04X", message);
    return text;
}

void CQueuedViewSink::PostViewMessage(EViewMessage message) {
    CMutexLock lock(m_Lock);
    m_Messages.push_back(message);
}

std::vector<EViewMessage> CQueuedViewSink::Take() {
    CMutexLock lock(m_Lock);
    std::vector<EViewMessage> out(m_Messages.begin(), m_Messages.end());
    m_Messages.clear();
    return out;
}

std::vector<EViewMessage> CQueuedViewSink::Peek() const {
    CMutexLock lock(m_Lock);
    return std::vector<EViewMessage>(m_Messages.begin(), m_Messages.end());
}

int CQueuedViewSink::Count(EViewMessage message) const {
    CMutexLock lock(m_Lock);
    return static_cast<int>(std::count(m_Messages.begin(), m_Messages.end(), message));
}

void PostViewMessage(EViewMessage message) {
    CSharedLock lock(g_TrafficViewLock);
    if (g_hTrafficView != nullptr) {
        g_hTrafficView->PostViewMessage(message);
    }
}

void SetTrafficView(IViewSink* sink) {
    CExclusiveLock lock(g_TrafficViewLock);
    g_hTrafficView = sink;
}
