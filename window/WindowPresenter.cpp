#include "window/WindowPresenter.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include "window/TimedMessageBox.h"

namespace {
// How often a wait without a descriptor to watch looks at its events again.
constexpr int kFallbackPollMs = 10;
} // namespace

CWindowPresenter::CWindowPresenter() = default;

CWindowPresenter::~CWindowPresenter() = default;

bool CWindowPresenter::OnUserInterfaceThread() const {
    return QThread::currentThread() == m_Context.thread();
}

int CWindowPresenter::ShowBoxHere(const CBoxRequest& request) {
    CTimedMessageBox box;
    box.Create();
    box.PrepareCaption();
    box.SetMessage(request.message);
    box.show();
    return box.Run(request.timeoutMs, request.defaultButton, request.countDownFormat);
}

int CWindowPresenter::ShowBox(const CBoxRequest& request) {
    if (OnUserInterfaceThread()) {
        return ShowBoxHere(request);
    }
    int answer = request.defaultButton;
    QMetaObject::invokeMethod(
        &m_Context, [this, &request, &answer] { answer = ShowBoxHere(request); }, Qt::BlockingQueuedConnection);
    return answer;
}

int CWindowPresenter::WaitAndPump(const std::vector<CEvent*>& events) {
    // A quit that is already waiting is taken before any event is looked at.
    if (m_QuitEvent.Wait(0)) {
        return -1;
    }
    std::vector<CEvent*> all{&m_QuitEvent};
    all.insert(all.end(), events.begin(), events.end());
    const int index = OnUserInterfaceThread() ? PumpUntilSignalled(all) : WaitForAnyEvent(all, kInfinite);
    return index <= 0 ? -1 : index - 1;
}

int CWindowPresenter::PumpUntilSignalled(const std::vector<CEvent*>& events) {
    CEventWatch watch(events);
    int index = watch.TryTake();
    if (index != kWaitTimeout) {
        return index;
    }
    QEventLoop loop;
    auto look = [&] {
        index = watch.TryTake();
        if (index != kWaitTimeout) {
            loop.quit();
        }
    };
    QTimer poll;
    std::unique_ptr<QSocketNotifier> notifier;
    if (watch.Valid()) {
        notifier = std::make_unique<QSocketNotifier>(watch.Fd(), QSocketNotifier::Read);
        QObject::connect(notifier.get(), &QSocketNotifier::activated, &loop, look);
    } else {
        QObject::connect(&poll, &QTimer::timeout, &loop, look);
        poll.start(kFallbackPollMs);
    }
    // Also leaves when the application quits: that is the quit message, index 0.
    loop.exec();
    return index == kWaitTimeout ? 0 : index;
}

void CWindowPresenter::PostQuit() {
    m_QuitEvent.Set();
}

bool CWindowPresenter::QuitPosted() const {
    return m_QuitEvent.IsSet();
}
