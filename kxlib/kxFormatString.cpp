#include "kxlib/kxFormatString.h"

#include <cstdarg>

kxFormatString::kxFormatString(const char* format, ...) {
    va_list args;
    va_start(args, format);
    FormatV(format, args);
    va_end(args);
}
