// Feeds texts of any bytes to the date parser. The first byte picks the format type (0 to 35, and one beyond);
// the rest is the text. A parse may throw only the library's exception; a date it accepts must format in its
// own type and read back as itself through the ISO form.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "kxlib/kxDate.h"
#include "kxlib/kxException.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const int type = data[0] % (kxDate::kLastFormatType + 2);
    const kxString text(reinterpret_cast<const char*>(data + 1), size - 1);
    try {
        const kxDate date(text, type);
        date.FormatDate(type, '/', true);
        date.FormatDateTime(type, false, '-', ':', " ", false, true);
        const kxDate again(date.ToIso8601(), 1);
        if (!(again == date)) {
            std::abort();
        }
    } catch (const kxException&) {
    }
    return 0;
}
