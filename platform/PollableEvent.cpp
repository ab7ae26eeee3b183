#include "platform/PollableEvent.h"

CPollableEvent::CPollableEvent(bool initialState) : m_Event(true, initialState), m_Watch({&m_Event}) {}

void CPollableEvent::Set() {
    m_Event.Set();
}

void CPollableEvent::Reset() {
    std::lock_guard<std::mutex> lock(m_ResetLock);
    m_Event.Reset();
    // Drains the descriptor; a Set racing with the reset leaves it readable again.
    m_Watch.TryTake();
}

bool CPollableEvent::IsSet() const {
    return m_Event.IsSet();
}

void CPollableFlag::store(bool value) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Value.store(value);
    if (value) {
        m_Event.Set();
    } else {
        m_Event.Reset();
    }
}
