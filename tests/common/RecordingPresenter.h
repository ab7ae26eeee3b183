#pragma once
// Stands in for the window where the code under test shows operator boxes: keeps each box, answers from a script
// (each box's own default once it runs dry), and lets another presenter do the pumping waits.

#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/Presenter.h"

// Thread-safe: every member takes m_Lock, and calls out (to |record| and whenShown) holding it, so the boxes are
// recorded in the order they were answered.
class CRecordingPresenter : public IPresenter {
public:
    // |waits| (kept alive by the caller) takes the pumping waits and quits; null: a headless presenter of its own.
    // |record| (may be empty) sees each box first, as it is shown.
    explicit CRecordingPresenter(IPresenter* waits = nullptr, std::function<void(const CBoxRequest&)> record = nullptr);

    int ShowBox(const CBoxRequest& request) override;
    int WaitAndPump(const std::vector<CEvent*>& events) override { return m_pWaits->WaitAndPump(events); }
    void PostQuit() override { m_pWaits->PostQuit(); }
    bool QuitPosted() const override { return m_pWaits->QuitPosted(); }

    // The answers to the next boxes, in order.
    void Answer(std::vector<int> answers);
    // The boxes shown so far, and their texts.
    std::vector<CBoxRequest> Boxes() const;
    std::vector<std::string> Messages() const;

    // Runs as each box shows, before it is answered (set it before the boxes come).
    std::function<void(const CBoxRequest&)> whenShown;

private:
    mutable std::mutex m_Lock;
    std::function<void(const CBoxRequest&)> m_Record;
    std::deque<int> m_Answers;
    std::vector<CBoxRequest> m_Boxes;
    CHeadlessPresenter m_Headless;
    IPresenter* m_pWaits;
};
