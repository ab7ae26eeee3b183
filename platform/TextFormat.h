#pragma once
// printf-style formatting into a string of whatever length the text needs: the one formatter of the system,
// shared by the logger, the error texts and the utility library's strings. Free functions without state: any
// thread may call them.

#include <cstdarg>
#include <string>

// printf-style formatting ("" when the format fails).
std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The same over an argument list; |args| is consumed, as by vsnprintf. The result is measured by a first
// vsnprintf pass on a copy of |args|, so no length estimate can fall short.
std::string FormatV(const char* format, va_list args) __attribute__((format(printf, 1, 0)));
