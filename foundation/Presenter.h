#pragma once
// The door between the operator messages and whatever shows them. The server runs headless by default (as in
// service mode: boxes are only logged and take their default answer at once); a window layer plugs in its own
// presenter with SetPresenter.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Event.h"

// Button and answer codes of the operator boxes.
constexpr int kIdOk = 1;
constexpr int kIdYes = 6;
constexpr int kIdNo = 7;
// What a dialog of the window answers when it is left without OK (Esc, Cancel or its close box).
constexpr int kIdCancel = 2;

// An OK box shows one button (the No button relabelled "OK"); a Yes/No box shows both.
enum class EBoxKind { Ok, YesNo };

// What one box shows and how it ends by itself.
struct CBoxRequest {
    std::string message;
    EBoxKind kind = EBoxKind::Ok;
    int defaultButton = kIdOk;   // taken when the time-out runs out
    uint32_t timeoutMs = 0;      // 0: waits for the operator without timer
    std::string countDownFormat; // one "%d" for the seconds; empty: the standard count-down text
    bool alreadyLogged = false;  // the caller has written the message to the log itself
};

// The box of a timed message: Ok alone for a default of kIdOk, else Yes and No; |defaultButton| is taken when
// |timeoutMs| has run out (0: no timer).
CBoxRequest TimedBoxRequest(const std::string& message, int defaultButton, uint32_t timeoutMs);

// Shows operator boxes and keeps the user interface responsive while the calling thread waits.
// Implementations are called from any thread that may own windows; they must be thread-safe.
class IPresenter {
public:
    virtual ~IPresenter() = default;
    // Shows the box and returns when it closes: the button chosen (kIdOk, kIdYes, kIdNo) or, on time-out,
    // the request's default button.
    virtual int ShowBox(const CBoxRequest& request) = 0;
    // Waits without limit for one of |events| while dispatching window messages: returns the index of the
    // signalled event, or -1 when a quit message was posted (a quit already waiting wins over every event,
    // and is consumed).
    virtual int WaitAndPump(const std::vector<CEvent*>& events) = 0;
    // Posts a quit message: the pumping wait under way, or the next one, returns -1.
    virtual void PostQuit() = 0;
    // True while a quit message waits to be taken.
    virtual bool QuitPosted() const = 0;
};

// The presenter of a process without windows: a box is written to the log (unless the caller logged it) and
// answers its default at once; the pumping wait is a plain wait for any event or a posted quit.
// Thread-safe.
class CHeadlessPresenter final : public IPresenter {
public:
    int ShowBox(const CBoxRequest& request) override;
    int WaitAndPump(const std::vector<CEvent*>& events) override;
    void PostQuit() override;
    bool QuitPosted() const override;

private:
    CEvent m_QuitEvent{false}; // automatic reset: one posted quit ends one wait
};

// The process's presenter: the headless one unless SetPresenter put another in place.
IPresenter& GetPresenter();
// Puts |presenter| in place (nullptr restores the headless presenter). The caller keeps it alive while set.
void SetPresenter(IPresenter* presenter);

// Puts a presenter in place for one scope (tests, and the window layer's lifetime).
class CScopedPresenter {
public:
    explicit CScopedPresenter(IPresenter& presenter) { SetPresenter(&presenter); }
    ~CScopedPresenter() { SetPresenter(nullptr); }
    CScopedPresenter(const CScopedPresenter&) = delete;
    CScopedPresenter& operator=(const CScopedPresenter&) = delete;
};
