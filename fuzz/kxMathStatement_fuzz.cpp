// Feeds statements of any bytes to the evaluator, with two variables so that substitution runs too. A
// statement may throw only the library's exception; anything else (a crash, a hang, a sanitizer report) is a
// fault.

#include <cstddef>
#include <cstdint>

#include "kxlib/kxException.h"
#include "kxlib/kxMathStatement.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const kxMathVariables kVariables{{"X", -2.5}, {"PRICE", 1e300}};
    const kxMathStatement statement(kxString(reinterpret_cast<const char*>(data), size));
    kxString text;
    try {
        statement.Evaluate(&kVariables, &text);
    } catch (const kxException&) {
    }
    return 0;
}
