#include "foundation/ErrorReporter.h"

#include "foundation/Logger.h"

void ReportError(const std::string& message, bool log, bool noUserInterface, uint32_t timeoutMs) {
    if (log) {
        // The message is text, never a format: a "%" in it must reach the log as it is.
        CLogger::Instance().LogLine("%s", message.c_str());
    }
    if (noUserInterface) {
        return;
    }
    CBoxRequest request = TimedBoxRequest(message, kIdOk, timeoutMs);
    request.alreadyLogged = log;
    GetPresenter().ShowBox(request);
}

int TimedMessageBox(const std::string& message, bool noUserInterface, int defaultButton, uint32_t timeoutMs) {
    if (noUserInterface) {
        return defaultButton;
    }
    return GetPresenter().ShowBox(TimedBoxRequest(message, defaultButton, timeoutMs));
}

int WaitAndPumpMessages(const std::vector<CEvent*>& events) {
    return GetPresenter().WaitAndPump(events);
}
