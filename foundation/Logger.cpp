#include "foundation/Logger.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "foundation/TextHelpers.h"
#include "platform/ControlChars.h"
#include "platform/Files.h"
#include "platform/LocalTime.h"

namespace {
constexpr const char* kDirectorySeparator = "/";
constexpr const char* kDroppedMarker = "TStream=Corvane";
constexpr const char* kAdminTranType = "TranType=Administrative";
constexpr const char* kEncryptedMsg = " Encrypted Msg ] ";
constexpr const char* kEntrySeparator = "----------\n";
constexpr uint32_t kStopWaitMs = 10000;
constexpr mode_t kLogFileMode = 0600;

std::tm LocalNow() {
    std::tm local{};
    LocalCalendarNow(local, ZoneRead::kAsLoaded);
    return local;
}

std::string LogFileName(const std::string& prefix, const std::tm& local, bool fallback) {
    char name[256];
    std::snprintf(name, sizeof(name), fallback ? "%s%s%s%02d%02d%04d_ALT.log" : "%s%s%s%02d%02d%04d.log",
                  CLogger::kFolderName, kDirectorySeparator, prefix.c_str(), local.tm_mon + 1, local.tm_mday,
                  local.tm_year + 1900);
    return name;
}

// The file is kept in the text form of the system it came from: every "\n" is stored as CR LF.
void AppendEntry(std::string& out, const std::string& line) {
    const std::string entry = line + "\n" + kEntrySeparator;
    for (char c : entry) {
        if (c == '\n') {
            out += '\r';
        }
        out += c;
    }
}
} // namespace

void CLogQueue::AddLine(const std::string& line) {
    AddPendingLine(line);
}

bool CLogQueue::AddPendingLine(std::string line) {
    CMutexLock lock(m_Lock);
    const bool first = m_PendingLines.empty();
    m_PendingLines.push_back(std::move(line));
    ++m_AddedCount;
    return first;
}

void CLogQueue::TakeLines() {
    CMutexLock lock(m_Lock);
    if (m_WriteLines.empty()) {
        m_WriteLines.swap(m_PendingLines);
    } else {
        m_WriteLines.insert(m_WriteLines.end(), std::make_move_iterator(m_PendingLines.begin()),
                            std::make_move_iterator(m_PendingLines.end()));
        m_PendingLines.clear();
    }
    m_TakenThrough = m_AddedCount;
}

CLogger& CLogger::Instance() {
    static CLogger logger{CPrivateTag{}};
    return logger;
}

std::unique_ptr<CLogger> CLogger::CreateForTesting() {
    return std::make_unique<CLogger>(CPrivateTag{});
}

CLogger::CLogger(CPrivateTag)
    : m_FilePrefix("VYR"), m_pWriterThread("LogWriter", [this] { return LogWriterWorker(this); }) {
    if (!m_pWriterThread.Start()) {
        // Without a writer nothing would ever reach the file: refuse every line from the start.
        m_StopEvent.Set();
        MarkWriterDone();
    }
}

CLogger::~CLogger() {
    Stop();
    // If the writer is still busy after the wait, the thread member's destructor waits for it to finish
    // its batch: freeing the queue under a running writer would corrupt memory at exit.
}

void CLogger::Stop() {
    m_StopEvent.Set();
    m_pWriterThread.WaitForExit(kStopWaitMs);
}

bool CLogger::LogLine(const char* format, ...) {
    if (m_StopEvent.IsSet()) {
        return false;
    }
    va_list args;
    va_start(args, format);
    std::string line = LocalNowText("[%H:%M:%S]", ZoneRead::kAsLoaded) + FormatV(format, args);
    va_end(args);
    // Lines behind the first of a batch find the writer woken already: it takes every pending line at once.
    if (AddPendingLine(std::move(line))) {
        m_WakeEvent.Set();
    }
    return true;
}

bool CLogger::Flush() {
    uint64_t target = 0;
    {
        CMutexLock lock(m_Lock);
        target = m_AddedCount;
    }
    CMutexLock lock(m_FlushLock);
    if (m_WrittenCount >= target) {
        return true;
    }
    lock.Unlock();
    m_WakeEvent.Set(); // lines added through AddLine alone did not wake the writer
    lock.Lock();
    while (m_WrittenCount < target && !m_WriterDone) {
        m_FlushCond.Wait(m_FlushLock);
    }
    return m_WrittenCount >= target;
}

void CLogger::SetBatchHookForTesting(std::function<void(size_t)> hook) {
    CMutexLock lock(m_HookLock);
    m_BatchHook = std::move(hook);
}

void CLogger::MarkWritten(uint64_t through) {
    CMutexLock lock(m_FlushLock);
    m_WrittenCount = through;
    m_FlushCond.NotifyAll();
}

void CLogger::MarkWriterDone() {
    CMutexLock lock(m_FlushLock);
    m_WriterDone = true;
    m_FlushCond.NotifyAll();
}

void CLogger::WriteBatch() {
    if (m_WriteLines.empty()) {
        return;
    }
    std::function<void(size_t)> hook;
    {
        CMutexLock lock(m_HookLock);
        hook = m_BatchHook;
    }
    if (hook) {
        hook(m_WriteLines.size());
    }

    const std::tm local = LocalNow();
    std::string bytes;
    for (std::string& line : m_WriteLines) {
        if (line.find(kDroppedMarker) != std::string::npos) {
            continue;
        }
        MaskLogLine(line);
        StripAdminTranType(line);
        AppendEntry(bytes, line);
    }
    if (OpenFileFor(LogFileName(m_FilePrefix, local, false)) || OpenFileFor(LogFileName(m_FilePrefix, local, true))) {
        // A failed write loses the batch; the next batch opens the file again.
        if (!m_File.Append(bytes)) {
            m_File.Close();
        }
    }
    m_WriteLines.clear();
}

bool CLogger::OpenFileFor(const std::string& name) {
    // The log is the operator's alone, whatever the umask: a file made by anyone else, or opened up by another
    // program between batches, is set to that too.
    if (m_File.IsOpen() && m_File.Path() == name && m_File.StillAtPath() && m_File.EnsureMode(kLogFileMode)) {
        return true;
    }
    return m_File.Open(name, kLogFileMode);
}

int LogWriterWorker(CLogger* logger) {
    bool stopping = false;
    while (!stopping) {
        const int index = WaitForAnyEvent({&logger->m_WakeEvent, &logger->m_StopEvent}, kInfinite);
        if (index == 1) {
            stopping = true;
        } else if (index != 0) {
            continue;
        }
        logger->TakeLines();
        logger->WriteBatch();
        logger->MarkWritten(logger->m_TakenThrough);
    }
    // A caller that passed the stop test just before the stop may still have added its line: take it too.
    logger->TakeLines();
    logger->WriteBatch();
    logger->MarkWritten(logger->m_TakenThrough);
    logger->MarkWriterDone();
    return 0;
}

void MaskLogLine(std::string& line) {
    size_t marker = line.find(std::string{kCharFS, '1'});
    if (marker == std::string::npos) {
        marker = line.find(std::string{kCharFS, '2'});
    }
    if (marker != std::string::npos) {
        const std::string head = line.substr(0, marker);
        size_t word = line.find("sent to");
        if (word == std::string::npos) {
            word = line.find("received from");
        }
        if (word != std::string::npos) {
            line = head + kEncryptedMsg + line.substr(word);
        }
        return;
    }
    const size_t dc1 = line.find(kCharDC1);
    if (dc1 != std::string::npos) {
        const size_t dc2 = line.find(kCharDC2, dc1);
        if (dc2 != std::string::npos) {
            line.erase(dc1, dc2 - dc1 + 1);
        }
    }
    const size_t rs = line.find(kCharRS);
    if (rs != std::string::npos) {
        const size_t us = line.find(kCharUS, rs);
        if (us != std::string::npos) {
            line.erase(rs, us - rs + 1);
        }
    }
}

bool IsCutFromSentLine(const std::string& frame) {
    // The writer takes the first FS + "1" (else FS + "2") of the line and keeps only what comes before it and the
    // line from its first "sent to" on: with the marker at the frame's start and no "sent to" inside the frame,
    // that is "[" and the words after the frame. A line with the dropped marker is not written at all.
    if (frame.size() < 2 || frame[0] != kCharFS || (frame[1] != '1' && frame[1] != '2')) {
        return false;
    }
    return (frame[1] == '1' || frame.find(std::string{kCharFS, '1'}) == std::string::npos) &&
           frame.find("sent to") == std::string::npos && frame.find(kDroppedMarker) == std::string::npos;
}

void StripAdminTranType(std::string& line) {
    const size_t key = line.find(kAdminTranType);
    if (key == std::string::npos) {
        return;
    }
    // The key, its value and the field separator after it; at the very end of the line only the key.
    const size_t end = key + std::char_traits<char>::length(kAdminTranType) + 1;
    line.erase(key, end < line.size() ? end - key : std::string::npos);
}
