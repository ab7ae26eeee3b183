#include "common/ScopedEnvironment.h"

#include <cstdlib>

CScopedEnvironmentVariable::CScopedEnvironmentVariable(const char* name, const char* value) : m_Name(name) {
    if (const char* previous = std::getenv(name)) {
        m_Previous = previous;
    }
    if (value != nullptr) {
        ::setenv(name, value, 1);
    } else {
        ::unsetenv(name);
    }
}

CScopedEnvironmentVariable::~CScopedEnvironmentVariable() {
    if (m_Previous) {
        ::setenv(m_Name.c_str(), m_Previous->c_str(), 1);
    } else {
        ::unsetenv(m_Name.c_str());
    }
}
