#pragma once
// A presenter that answers operator boxes from a script and writes each box into a journal, while its waits go
// to another presenter (the headless one, or the window's, whose waits keep the Qt event loop running).

#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "InterfaceFakes.h"
#include "foundation/Presenter.h"

// Answers from the script, then each box's default once it runs dry; journals "Box[<kind>,<default>]: <text>".
// Thread-safe.
class CScriptedPresenter final : public IPresenter {
public:
    // |waits| (kept alive by the caller) takes the pumping waits; null: a headless presenter of its own.
    explicit CScriptedPresenter(CJournal& journal, IPresenter* waits = nullptr)
        : m_Journal(journal), m_pWaits(waits != nullptr ? waits : &m_Headless) {}

    int ShowBox(const CBoxRequest& request) override {
        std::lock_guard<std::mutex> guard(m_Lock);
        const char* kind = request.kind == EBoxKind::YesNo ? "YesNo" : "Ok";
        m_Journal.Add(std::string("Box[") + kind + "," + std::to_string(request.defaultButton) +
                      "]: " + request.message);
        if (whenShown) {
            whenShown(request);
        }
        if (m_Answers.empty()) {
            return request.defaultButton;
        }
        const int answer = m_Answers.front();
        m_Answers.pop_front();
        return answer;
    }
    int WaitAndPump(const std::vector<CEvent*>& events) override { return m_pWaits->WaitAndPump(events); }
    void PostQuit() override { m_pWaits->PostQuit(); }
    bool QuitPosted() const override { return m_pWaits->QuitPosted(); }

    // Runs as each box shows, before it is answered (set it before the boxes come).
    std::function<void(const CBoxRequest&)> whenShown;

    void Answer(std::vector<int> answers) {
        std::lock_guard<std::mutex> guard(m_Lock);
        m_Answers.assign(answers.begin(), answers.end());
    }

private:
    CJournal& m_Journal;
    std::mutex m_Lock;
    std::deque<int> m_Answers;
    CHeadlessPresenter m_Headless;
    IPresenter* m_pWaits;
};
