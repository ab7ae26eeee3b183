// Feeds files of any bytes to the Windows-image reader: the header and section checks, then the walk of the
// resource tree and the version blocks. Nothing may be read outside the bytes (the sanitizers watch); an image
// it accepts must answer the same strings when it is read again.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

#include "kxlib/kxPeImage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    kxPeImage image;
    if (!image.OpenBytes(bytes)) {
        return 0;
    }
    std::map<kxString, kxString> first;
    std::map<kxString, kxString> second;
    const bool found = image.VersionStrings(first);
    if (image.VersionStrings(second) != found || first != second) {
        std::abort();
    }
    return 0;
}
