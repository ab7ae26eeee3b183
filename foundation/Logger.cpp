// Placeholder until the writer lands: keeps the interface linkable.
#include "foundation/Logger.h"

void CLogQueue::AddLine(const std::string& line) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_PendingLines.push_back(line);
}

void CLogQueue::TakeLines() {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_WriteLines.insert(m_WriteLines.end(), m_PendingLines.begin(), m_PendingLines.end());
    m_PendingLines.clear();
}

CLogger& CLogger::Instance() {
    static CLogger logger;
    return logger;
}

CLogger::CLogger() : m_FilePrefix("VYR"), m_pWriterThread("LogWriter", [this] { return LogWriterWorker(this); }) {}

CLogger::~CLogger() = default;

bool CLogger::LogLine(const char*, ...) {
    return !m_StopEvent.IsSet();
}

void CLogger::Flush() {}

void CLogger::WriteBatch() {}

int LogWriterWorker(CLogger*) {
    return 0;
}

void MaskLogLine(std::string&) {}
void StripAdminTranType(std::string&) {}
