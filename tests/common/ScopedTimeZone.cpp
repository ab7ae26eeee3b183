#include "common/ScopedTimeZone.h"

#include <cstdlib>
#include <ctime>

CScopedTimeZone::CScopedTimeZone(const char* zone) {
    if (const char* previous = std::getenv("TZ")) {
        m_Previous = previous;
    }
    setenv("TZ", zone, 1);
    tzset();
}

CScopedTimeZone::~CScopedTimeZone() {
    if (m_Previous) {
        setenv("TZ", m_Previous->c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}
