#include "platform/MachineId.h"

#include <openssl/evp.h>

#include <vector>

#include "platform/Files.h"
#include "platform/Hex.h"

namespace {
constexpr size_t kMachineIdDigits = 32;

bool Fail(std::string* error, const std::string& text) {
    if (error != nullptr) {
        *error = text;
    }
    return false;
}
} // namespace

bool MachineAppSpecificId(const std::array<uint8_t, 16>& appId, CAppSpecificId* id, std::string* error,
                          const std::filesystem::path& machineIdFile) {
    std::string text;
    std::string readError;
    if (!ReadWholeFile(machineIdFile, &text, &readError)) {
        return Fail(error, readError);
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    if (text.size() != kMachineIdDigits) {
        return Fail(error, machineIdFile.string() + " does not hold a machine id");
    }
    std::vector<uint8_t> machine;
    if (!HexDecode(text, machine)) {
        return Fail(error, machineIdFile.string() + " does not hold a machine id");
    }
    size_t length = 0;
    if (EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA256", nullptr, appId.data(), appId.size(), machine.data(),
                  machine.size(), id->data(), id->size(), &length) == nullptr ||
        length != id->size()) {
        return Fail(error, "HMAC-SHA-256 failed");
    }
    return true;
}
