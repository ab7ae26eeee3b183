#pragma once
// The one process-wide logger: any thread queues printf-style lines; a writer thread appends them, in
// batches and masked, to one file a day in its folder (kFolderName) under the current directory.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Event.h"
#include "platform/Mutex.h"
#include "platform/WorkerThread.h"

// Queue of finished lines between the callers and the writer.
// Thread-safe: AddLine and TakeLines take m_Lock; m_WriteLines and m_TakenThrough belong to the writer thread.
class CLogQueue {
public:
    CLogQueue() = default;
    virtual ~CLogQueue() = default;
    CLogQueue(const CLogQueue&) = delete;
    CLogQueue& operator=(const CLogQueue&) = delete;

    // Appends one finished line to the pending lines.
    virtual void AddLine(const std::string& line);
    // Moves every pending line, in order, to the end of m_WriteLines.
    void TakeLines();

protected:
    CMutex m_Lock;
    std::vector<std::string> m_PendingLines GUARDED_BY(m_Lock);
    uint64_t m_AddedCount GUARDED_BY(m_Lock) = 0; // lines ever added
    std::vector<std::string> m_WriteLines;        // writer thread only
    uint64_t m_TakenThrough = 0;                  // m_AddedCount at the last TakeLines; writer thread only
};

// The logger. LogLine never touches the disk: it formats, appends under a short lock and wakes the writer,
// which opens the day's file for every batch (so a batch after midnight goes to the new day's file, and
// other programs may read or move the file between batches).
// Thread-safe: LogLine, Flush and Stop may be called from any thread.
class CLogger : public CLogQueue {
    struct CPrivateTag {
        explicit CPrivateTag() = default;
    };

public:
    // The folder under the current directory that holds the daily files.
    static constexpr char kFolderName[] = "CORVANE_LOGS";

    // The process's logger, started on the first call and stopped at exit.
    static CLogger& Instance();
    // A logger of its own, for tests that need a fresh or a stopped one.
    static std::unique_ptr<CLogger> CreateForTesting();

    explicit CLogger(CPrivateTag);
    ~CLogger() override;

    // Queues "[%H:%M:%S]" (local time) + the formatted text; false when the logger is stopping (nothing queued).
    bool LogLine(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // Waits until every line queued before the call has been through the writer (written, or dropped when no
    // file would open). False when the writer ended before it got to them.
    bool Flush();

    // Sets the stop event: LogLine refuses lines from now on, and the writer writes what is queued and ends.
    // Waits at most 10000 ms for it.
    void Stop();

    // Called by the writer with the size of each batch it has taken, before it opens the file. Tests use it
    // to hold the writer busy, benchmarks to make it slow.
    void SetBatchHookForTesting(std::function<void(size_t)> hook);

private:
    friend int LogWriterWorker(CLogger* logger);
    // Writes m_WriteLines to the day's file (or its fallback) and empties it.
    void WriteBatch();
    void MarkWritten(uint64_t through);
    void MarkWriterDone();

    std::string m_FilePrefix;
    CEvent m_WakeEvent{false}; // automatic reset; set by every accepted LogLine
    CEvent m_StopEvent{true};  // manual reset; set by Stop or when the writer cannot start

    CMutex m_HookLock;
    std::function<void(size_t)> m_BatchHook GUARDED_BY(m_HookLock);

    CMutex m_FlushLock;
    CCondVar m_FlushCond;
    uint64_t m_WrittenCount GUARDED_BY(m_FlushLock) = 0; // lines through the writer
    bool m_WriterDone GUARDED_BY(m_FlushLock) = false;

    CWorkerThread m_pWriterThread; // last member: it is joined before the rest goes
};

// The writer thread's body; returns 0 when the logger stops.
int LogWriterWorker(CLogger* logger);

// Rewrite a line in place on its way to the file: MaskLogLine keeps encrypted blocks and key material out,
// StripAdminTranType removes the administrative request type field.
void MaskLogLine(std::string& line);
void StripAdminTranType(std::string& line);
