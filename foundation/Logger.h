#pragma once
// The one process-wide logger: any thread queues printf-style lines; a writer thread appends them, in
// batches and masked, to one file a day in CORVANE_LOGS under the current directory.

#include <string>
#include <vector>

#include "platform/Event.h"
#include "platform/WorkerThread.h"

#include <mutex>

// Queue of finished lines between the callers and the writer.
// Thread-safe: AddLine and TakeLines take m_Lock; m_WriteLines belongs to the writer thread.
class CLogQueue {
public:
    CLogQueue() = default;
    virtual ~CLogQueue() = default;
    CLogQueue(const CLogQueue&) = delete;
    CLogQueue& operator=(const CLogQueue&) = delete;

    virtual void AddLine(const std::string& line);
    // Moves every pending line, in order, to the end of m_WriteLines.
    void TakeLines();

protected:
    std::mutex m_Lock;
    std::vector<std::string> m_PendingLines; // guarded by m_Lock
    std::vector<std::string> m_WriteLines;   // writer thread only
};

// Thread-safe: LogLine may be called from any thread.
class CLogger : public CLogQueue {
public:
    static CLogger& Instance();

    // Queues "[%H:%M:%S]" + the formatted text; false when the logger is stopping (nothing queued).
    bool LogLine(const char* format, ...) __attribute__((format(printf, 2, 3)));

    ~CLogger() override;

    // Waits until every line queued so far is in the file (tests and shut-down use it).
    void Flush();

private:
    CLogger();
    friend int LogWriterWorker(CLogger* logger);
    void WriteBatch();

    std::string m_FilePrefix;
    CEvent m_WakeEvent{false};
    CEvent m_StopEvent{true};
    CEvent m_IdleEvent{true};
    CWorkerThread m_pWriterThread;
};

int LogWriterWorker(CLogger* logger);

// Rewrite a line in place on its way to the file.
void MaskLogLine(std::string& line);
void StripAdminTranType(std::string& line);
