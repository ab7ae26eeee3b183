#include "common/DescriptorExhaustion.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

CDescriptorExhaustion::CDescriptorExhaustion() {
    if (::getrlimit(RLIMIT_NOFILE, &m_Saved) != 0) {
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
}
