#include "foundation/Presenter.h"

#include <atomic>

#include "foundation/Logger.h"
#include "foundation/TimedBoxModel.h"

namespace {
CHeadlessPresenter& HeadlessPresenter() {
    static CHeadlessPresenter presenter;
    return presenter;
}
std::atomic<IPresenter*> g_Presenter{nullptr};
} // namespace

CBoxRequest TimedBoxRequest(const std::string& message, int defaultButton, uint32_t timeoutMs) {
    CBoxRequest request;
    request.message = message;
    request.kind = defaultButton == kIdOk ? EBoxKind::Ok : EBoxKind::YesNo;
    request.defaultButton = defaultButton;
    request.timeoutMs = timeoutMs;
    return request;
}

int CHeadlessPresenter::ShowBox(const CBoxRequest& request) {
    // Nobody can see a box here: the log is the only place the operator will find the message, and the
    // answer it took.
    if (request.kind == EBoxKind::YesNo) {
        CLogger::Instance().LogLine("%s [%s is automatically selected]", request.message.c_str(),
                                    DefaultButtonWord(request.defaultButton).c_str());
    } else if (!request.alreadyLogged) {
        CLogger::Instance().LogLine("%s", request.message.c_str());
    }
    return request.defaultButton;
}

int CHeadlessPresenter::WaitAndPump(const std::vector<CEvent*>& events) {
    // A quit that is already waiting is taken before any event is looked at.
    if (m_QuitEvent.Wait(0)) {
        return -1;
    }
    std::vector<CEvent*> all(events);
    all.push_back(&m_QuitEvent);
    const int index = WaitForAnyEvent(all, kInfinite);
    if (index == static_cast<int>(events.size())) {
        return -1;
    }
    return index;
}

void CHeadlessPresenter::PostQuit() {
    m_QuitEvent.Set();
}

bool CHeadlessPresenter::QuitPosted() const {
    return m_QuitEvent.IsSet();
}

IPresenter& GetPresenter() {
    IPresenter* presenter = g_Presenter.load(std::memory_order_acquire);
    return presenter != nullptr ? *presenter : HeadlessPresenter();
}

void SetPresenter(IPresenter* presenter) {
    g_Presenter.store(presenter, std::memory_order_release);
}
