#include "host/TicketList.h"

#include <algorithm>

#include "platform/ProcessEvents.h"

uint32_t CTicketList::NextTicket() {
    CMutexLock lock(m_Lock);
    if (g_ShutdownEvent.IsSet()) {
        return 0;
    }
    m_LastTicket = m_LastTicket >= kMaxTicket ? 1 : m_LastTicket + 1;
    m_Tickets.push_back(m_LastTicket);
    return m_LastTicket;
}

bool CTicketList::RemoveTicket(uint32_t ticket) {
    CMutexLock lock(m_Lock);
    auto found = std::find(m_Tickets.begin(), m_Tickets.end(), ticket);
    if (found == m_Tickets.end()) {
        return false;
    }
    m_Tickets.erase(found);
    return true;
}

int CTicketList::GetCount() const {
    CMutexLock lock(m_Lock);
    return static_cast<int>(m_Tickets.size());
}

void CTicketList::RemoveAll() {
    CMutexLock lock(m_Lock);
    m_Tickets.clear();
}

void CTicketList::SetLastTicketForTesting(uint32_t last) {
    CMutexLock lock(m_Lock);
    m_LastTicket = last;
}
