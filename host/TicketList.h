#pragma once
// The tickets of the host interface: one number for each transaction that a host worker is handling, so a
// stop can tell when the last worker is done.

#include <cstdint>
#include <list>

#include "platform/Mutex.h"

// The largest ticket; the one after it is 1.
constexpr uint32_t kMaxTicket = 999999;

// Owns the outstanding tickets in order of issue and the last number issued. Issues nothing while
// g_ShutdownEvent is set, so no new worker starts while the host interface stops.
// Thread-safe: every member takes m_Lock (the processing thread issues, the workers remove, the stopping
// thread counts and clears).
class CTicketList {
public:
    CTicketList() = default;
    virtual ~CTicketList() = default;
    CTicketList(const CTicketList&) = delete;
    CTicketList& operator=(const CTicketList&) = delete;

    // 0 while g_ShutdownEvent is set (nothing is added); otherwise the last number + 1 (1 after 999999),
    // appended to the outstanding tickets.
    uint32_t NextTicket();
    // Removes the first outstanding ticket equal to |ticket|; false when there is none.
    bool RemoveTicket(uint32_t ticket);
    int GetCount() const;
    // Forgets every outstanding ticket; the numbering goes on.
    void RemoveAll();

    // Sets the last number issued, so tests reach the wrap without a million tickets.
    void SetLastTicketForTesting(uint32_t last);

private:
    mutable CMutex m_Lock;
    uint32_t m_LastTicket GUARDED_BY(m_Lock) = 0;
    std::list<uint32_t> m_Tickets GUARDED_BY(m_Lock); // outstanding, in order of issue
};
