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
    CBoxRequest request;
    request.message = message;
    request.kind = EBoxKind::Ok;
    request.defaultButton = kIdOk;
    request.timeoutMs = timeoutMs;
    request.alreadyLogged = log;
    GetPresenter().ShowBox(request);
}

int TimedMessageBox(const std::string& message, bool noUserInterface, int defaultButton, uint32_t timeoutMs) {
    if (noUserInterface) {
        return defaultButton;
    }
    CBoxRequest request;
    request.message = message;
    request.kind = defaultButton == kIdOk ? EBoxKind::Ok : EBoxKind::YesNo;
    request.defaultButton = defaultButton;
    request.timeoutMs = timeoutMs;
    return GetPresenter().ShowBox(request);
}

int WaitAndPumpMessages(const std::vector<CEvent*>& events) {
    return GetPresenter().WaitAndPump(events);
}
