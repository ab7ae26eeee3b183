#include "common/PeakSampler.h"

#include <algorithm>
#include <chrono>

#include "common/Wait.h"

namespace {
// Only the sampling thread writes a peak, so a load and a store are enough.
void Raise(std::atomic<long>& peak, long value) {
    peak.store(std::max(peak.load(), value));
}
} // namespace

CPeakSampler::CPeakSampler(pid_t pid, uint32_t periodMs, bool countDescriptors)
    : m_Thread([this, pid, periodMs, countDescriptors] {
          while (!m_Stop.load()) {
              Raise(m_Threads, ProcessStatusField(pid, "Threads:"));
              Raise(m_RssKb, ProcessStatusField(pid, "VmRSS:"));
              Raise(m_AnonKb, ProcessStatusField(pid, "RssAnon:"));
              if (countDescriptors) {
                  Raise(m_Fds, ProcessDescriptorCount(pid));
              }
              std::this_thread::sleep_for(std::chrono::milliseconds(periodMs));
          }
      }) {}

CPeakSampler::~CPeakSampler() {
    Stop();
}

void CPeakSampler::Stop() {
    m_Stop = true;
    if (m_Thread.joinable()) {
        m_Thread.join();
    }
}
