#include "common/FileSizeLimit.h"

CFileSizeLimit::CFileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &m_Previous);
    m_PreviousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = m_Previous;
    limit.rlim_cur = bytes;
    m_Set = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

CFileSizeLimit::~CFileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &m_Previous);
    std::signal(SIGXFSZ, m_PreviousHandler);
}
