// Feeds request frames of any bytes to a transaction: raw frames (the first byte even), or the bytes as the
// key=value payload of a correctly framed and encrypted request (odd), so that the field checks are reached.
// Valid requests go on to the host message, a host answer made of the same bytes and the encrypted reply.

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "transaction/Transaction.h"

namespace {

// The longest frame a client session hands over.
constexpr size_t kMaxFrame = 32767;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const fuzzsupport::SFuzzWorld& world = fuzzsupport::World();
    const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    std::string frame;
    if (data[0] % 2 == 0) {
        frame = rest;
    } else {
        frame = world.lane.Frame(rest, "LANE1");
    }
    if (frame.size() > kMaxFrame) {
        frame.resize(kMaxFrame);
    }

    CTransaction transaction;
    transaction.SetRequest(frame);
    if (transaction.m_TranCode != kTranNumInvalid) {
        transaction.BuildHostRequest();
        transaction.m_HostResponse = rest;
        transaction.ParseHostResponse();
    } else if (transaction.m_CryptMode != kCryptModeAbort) {
        transaction.BuildErrorReply();
    }
    return 0;
}
