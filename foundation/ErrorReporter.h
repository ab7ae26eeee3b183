#pragma once
// Operator messages: the error reporter, the timed question box and the wait that keeps the window
// responsive. In service mode nothing is shown; the box rules themselves are in foundation/TimedBoxModel.h.

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/Presenter.h"
#include "foundation/TextHelpers.h" // FormatText, which the callers of the reporter use for their messages
#include "platform/Event.h"

// Writes |message| to the log when |log| is set; unless |noUserInterface| (callers pass the service-mode
// flag), shows it in an OK box that closes by itself after |timeoutMs| (0: waits for the operator) and
// returns when the box closes. Any thread.
void ReportError(const std::string& message, bool log, bool noUserInterface, uint32_t timeoutMs);

// Asks the operator: |defaultButton| kIdOk (1) shows an OK box, kIdYes (6) or kIdNo (7) a Yes/No box.
// With |noUserInterface| set returns |defaultButton| at once and shows nothing; otherwise returns the button
// chosen (1, 6 or 7), or |defaultButton| when |timeoutMs| runs out (0: no time-out). Any thread.
int TimedMessageBox(const std::string& message, bool noUserInterface, int defaultButton, uint32_t timeoutMs);

// Waits without limit for one of |events| while window messages keep being dispatched: returns the index
// 0..n-1 of the signalled event, or -1 when a quit message was posted (see IPresenter::PostQuit).
int WaitAndPumpMessages(const std::vector<CEvent*>& events);
