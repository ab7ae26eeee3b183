#pragma once
// The rules of the timed operator box that do not depend on a window: the default word, whether and how the
// count-down shows, which buttons show, how a click and a time-out answer. A window drives one
// CTimedBoxModel per box: it shows what the model says, feeds it timer ticks and clicks, and closes the box
// when the model has an answer.

#include <cstdint>
#include <string>

#include "foundation/Presenter.h"

// "\"OK\"" for kIdOk, "\"Yes\"" for kIdYes, "\"No\"" for kIdNo, "UNKNOWN" for anything else.
std::string DefaultButtonWord(int button);
// Whole seconds of a time-out (|timeoutMs| / 1000).
int CountDownSeconds(uint32_t timeoutMs);
// A count-down shows only when the time-out holds more than one whole second.
bool ShowsCountDown(uint32_t timeoutMs);
// "%d seconds until %s is automatically selected" with |seconds| and the default word, or |format| (one
// integer conversion for the seconds) when it is given. A format that is not exactly one integer conversion
// (with "%%" allowed) is refused in favour of the standard text, so a careless caller cannot crash the box.
std::string CountDownText(int seconds, int defaultButton, const std::string& format = {});

// Which button a click stands for on the box.
enum class EBoxButton { Yes, No };

// State of one box from showing to answer. Not thread-safe: the thread that runs the box owns it.
class CTimedBoxModel {
public:
    explicit CTimedBoxModel(const CBoxRequest& request);

    // Layout.
    bool YesVisible() const { return m_Request.kind == EBoxKind::YesNo; }
    // The second button reads "OK" on an OK box and "No" on a Yes/No box.
    std::string NoLabel() const { return m_Request.kind == EBoxKind::Ok ? "OK" : "No"; }
    // The button drawn as the default: Yes for kIdYes, the No/OK button otherwise.
    EBoxButton DefaultMarked() const { return m_Request.defaultButton == kIdYes ? EBoxButton::Yes : EBoxButton::No; }
    // Messages of at most 40 characters are centred, longer ones left-aligned.
    bool CentreMessage() const { return m_Request.message.size() <= 40; }
    bool CountDownVisible() const { return m_CountDown; }
    // Text of the count-down line now (empty when it is hidden).
    std::string CountDownLine() const;
    // Period of the box's timer: 1000 ms with a count-down, the whole time-out without one, 0 for no timer.
    uint32_t TimerPeriodMs() const;

    // One timer period has passed. Returns true when that ended the box (answer = the default button).
    bool OnTimerTick();
    // The operator released the mouse on |button|: Yes answers kIdYes; No answers kIdOk on an OK box and
    // kIdNo on a Yes/No box. Ignored once the box has its answer, and a click on a hidden Yes is ignored.
    void OnClick(EBoxButton button);

    bool Done() const { return m_Done; }
    bool TimedOut() const { return m_TimedOut; }
    // The answer once Done(): the button clicked, or the default button after a time-out.
    int Answer() const { return m_Answer; }

private:
    CBoxRequest m_Request;
    bool m_CountDown;
    int m_Seconds;
    int m_Ticks = 0;
    bool m_Done = false;
    bool m_TimedOut = false;
    int m_Answer;
};
