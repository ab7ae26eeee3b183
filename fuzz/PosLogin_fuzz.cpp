// Feeds a lane's login to the session's checks, as anyone on the store's network can send it. The first byte picks
// what the rest is. Even: the login text as received (up to its first ETX), checked against a challenge encrypted
// with the login key, the client/server password asked for; the client data of a login that passed is answered.
// Odd: the key blob a lane's requests carry (its bytes, as the request's hex gives them), imported with the server's
// key and, when taken, used both ways as a transaction uses it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "common/ParamSets.h"
#include "foundation/ParamStore.h"
#include "foundation/Request.h"
#include "fuzz/FuzzSupport.h"
#include "platform/Rc4Key.h"
#include "server/PosSession.h"

namespace {

// The challenge of every run, as a session draws it, and the password the parameters ask for.
constexpr std::array<uint8_t, kPosChallengeBytes> kChallenge = {0x3A, 0x91, 0x07, 0xC4, 0x5E, 0x22, 0xF0, 0x18,
                                                                0x6B, 0xD9, 0x84, 0x0D, 0x77, 0xA3, 0x2F, 0xE6};
constexpr char kPassword[] = "LANEPASS01";

// The challenge encrypted with the login key, as the session keeps it to check the answer.
struct SLoginWorld {
    std::array<uint8_t, kPosChallengeBytes> block = kChallenge;
    uint32_t length = kPosChallengeBytes;
};

const SLoginWorld& LoginWorld() {
    static const SLoginWorld world = [] {
        fuzzsupport::World();
        std::string refused;
        const CParamSettings settings =
            ParamsWith(DefaultParams(), {{kParamUsePassword, "Y"}, {kParamPassword, kPassword}}, &refused);
        if (!refused.empty() || !CParamStore::Instance().SetParams(settings)) {
            std::abort();
        }
        SLoginWorld made;
        if (!CRequest::Instance().EncryptLoginBlock(made.block.data(), &made.length, kPosChallengeBytes)) {
            std::abort();
        }
        return made;
    }();
    return world;
}

void FuzzLoginText(const std::string& received) {
    const SLoginWorld& world = LoginWorld();
    const size_t etx = received.find(kCharETX);
    if (etx == std::string::npos || received.size() > kPosMaxLoginText) {
        return; // the session goes on waiting for it, or gives up on a text that long
    }
    std::string clientData;
    const int login = CPosSession::CheckLoginText(received, etx, world.block.data(), world.length, clientData);
    if (login == kPosLoginPassed) {
        CPosSession::AnswerClientData(clientData);
    }
}

void FuzzKeyBlob(const std::string& blob) {
    fuzzsupport::World();
    std::shared_ptr<const CRc4Key> key;
    if (!CRequest::Instance().ImportClientKey(reinterpret_cast<const uint8_t*>(blob.data()),
                                              static_cast<uint32_t>(blob.size()), &key)) {
        return;
    }
    // A stream cipher: what the key encrypts, it decrypts back.
    const std::string reply = "<VYRXReturnCode>0</VYRXReturnCode>";
    std::string hex;
    std::string back;
    if (!CRequest::EncryptWithImportedKey(*key, reply, &hex) || !CRequest::DecryptWithImportedKey(*key, hex, &back) ||
        back != reply) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    if (data[0] % 2 == 0) {
        FuzzLoginText(rest);
    } else {
        FuzzKeyBlob(rest);
    }
    return 0;
}
