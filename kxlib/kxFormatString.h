#pragma once
// A kxString built in place from a printf-style format, with which every kxException text is made:
//     throw kxException(kxFormatString("Invalid hour: %d, valid hours: %d through %d.", hour, 0, 23));
// The text is measured by vsnprintf before it is written, so no argument can overrun it.

#include "kxlib/kxString.h"

class kxFormatString : public kxString {
public:
    explicit kxFormatString(const char* format, ...) __attribute__((format(printf, 2, 3)));
};
