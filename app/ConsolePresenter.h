#pragma once
// Operator boxes for a process started by hand without a window: the texts go to standard error, and a
// question is asked on the terminal when standard input is one.

#include <string>
#include <vector>

#include "app/OperatorText.h"
#include "foundation/Presenter.h"
#include "platform/Mutex.h"

// Shows boxes on the terminal. A question that nobody can answer (standard input is not a terminal, or it
// ended) takes No, as in service mode, not its default: the only ones asked then are the start-up's "Retry?",
// whose Yes would retry a start that fails within milliseconds (a refused discovery) at once and for ever, and
// the start-up would never get to the signals that stop the program. (The question about connected clients is
// not asked when a signal stops a program without a terminal: it takes its default, Yes.) The pumping wait is the
// headless one.
// Thread-safe: boxes from several threads are shown one at a time (m_Lock, held while the terminal shows one and
// waits for its answer).
class CConsolePresenter final : public IPresenter {
public:
    int ShowBox(const CBoxRequest& request) EXCLUDES(m_Lock) override;
    int WaitAndPump(const std::vector<CEvent*>& events) override { return m_Waits.WaitAndPump(events); }
    void PostQuit() override { m_Waits.PostQuit(); }
    bool QuitPosted() const override { return m_Waits.QuitPosted(); }

private:
    CMutex m_Lock;
    CHeadlessPresenter m_Waits;
};
