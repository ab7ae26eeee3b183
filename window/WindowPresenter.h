#pragma once
// The presenter of the windowed program: operator boxes are CTimedMessageBox windows, and the pumping wait
// runs the window's event loop until one of its events is set, so the window repaints and takes its posted
// messages while the start-up or the shut-down waits for a worker.

#include <memory>
#include <vector>

#include <QObject>

#include "foundation/Presenter.h"

// Made on the user-interface thread once the QApplication exists, and destroyed there before it.
// Thread-safe: a box asked for on another thread is shown on the user-interface thread while the caller waits
// for its answer (so the user-interface thread must not be waiting for that caller without pumping); a wait
// on another thread is a plain wait for the events or a posted quit.
class CWindowPresenter final : public IPresenter {
public:
    CWindowPresenter();
    ~CWindowPresenter() override;
    CWindowPresenter(const CWindowPresenter&) = delete;
    CWindowPresenter& operator=(const CWindowPresenter&) = delete;

    int ShowBox(const CBoxRequest& request) override;
    int WaitAndPump(const std::vector<CEvent*>& events) override;
    void PostQuit() override;
    bool QuitPosted() const override;

private:
    bool OnUserInterfaceThread() const;
    int ShowBoxHere(const CBoxRequest& request);
    // The pumping wait on the user-interface thread for |events| (the quit event first): the index taken.
    int PumpUntilSignalled(const std::vector<CEvent*>& events);

    QObject m_Context; // lives on the user-interface thread; boxes of other threads are queued to it
    CEvent m_QuitEvent{false};
};
