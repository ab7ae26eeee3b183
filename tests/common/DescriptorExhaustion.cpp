#include "common/DescriptorExhaustion.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {
// Above the descriptors a test process holds, so that the limit is never below one already open.
constexpr rlim_t kFilledLimit = 512;
} // namespace

CDescriptorExhaustion::CDescriptorExhaustion(Way way) {
    if (::getrlimit(RLIMIT_NOFILE, &m_Saved) != 0) {
        return;
    }
    if (way == Way::FillUpToLimit) {
        rlimit low = m_Saved;
        low.rlim_cur = std::min(m_Saved.rlim_cur, kFilledLimit);
        if (::setrlimit(RLIMIT_NOFILE, &low) != 0) {
            return;
        }
        m_Lowered = true;
        for (int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC); fd >= 0;
             fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) {
            m_Fillers.push_back(fd);
        }
        m_Exhausted = errno == EMFILE;
        return;
    }
    // A limit of 1 lets no new descriptor be made once descriptor 0 is taken, and still lets poll() watch one.
    if (::fcntl(0, F_GETFD) < 0) {
        m_Filler = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
    rlimit low = m_Saved;
    low.rlim_cur = 1;
    if (::setrlimit(RLIMIT_NOFILE, &low) != 0) {
        return;
    }
    m_Lowered = true;
    const int probe = ::dup(STDERR_FILENO);
    m_Exhausted = probe < 0 && errno == EMFILE;
    if (probe >= 0) {
        ::close(probe);
    }
}

CDescriptorExhaustion::~CDescriptorExhaustion() {
    if (m_Lowered) {
        ::setrlimit(RLIMIT_NOFILE, &m_Saved);
    }
    if (m_Filler >= 0) {
        ::close(m_Filler);
    }
    for (const int fd : m_Fillers) {
        ::close(fd);
    }
}
