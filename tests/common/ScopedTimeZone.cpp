#include "common/ScopedTimeZone.h"

#include <ctime>

CScopedTimeZone::CScopedTimeZone(const char* zone) {
    m_Zone.emplace("TZ", zone);
    tzset();
}

CScopedTimeZone::~CScopedTimeZone() {
    m_Zone.reset(); // the old value back first, then the C library told of it
    tzset();
}
