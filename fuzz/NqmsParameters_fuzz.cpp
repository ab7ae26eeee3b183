// Feeds management-service messages of any bytes to the parameter download, as the service (or whoever answers in
// its place) sends them. The first byte picks the message; the rest is what arrived. A message whole by its framing
// (header up to its empty line, Content-Length body) is split into header lines and body. Even: the body is the
// parameter message, checked against the definitions of the running system; a set it accepts must store and read
// back as itself. Odd: the body is the service's challenge, answered with the download's session key.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/NQMSClient.h"
#include "app/NQMSResponse.h"
#include "foundation/ParamMessage.h"
#include "foundation/ParamSettings.h"
#include "foundation/ParamStore.h"
#include "foundation/Request.h"
#include "fuzz/FuzzSupport.h"

namespace {

// The running system's set, the definitions a message is checked against: the defaults, saved once.
const CParamStore& Definitions() {
    static CParamStore store(kParamStoreFileName);
    static const bool ready = [] {
        fuzzsupport::WorkFolder();
        return store.ClearParams();
    }();
    if (!ready) {
        std::abort();
    }
    return store;
}

void FuzzParameterMessage(const std::string& body) {
    CParamMessage message;
    CParamMap map;
    if (!message.Parse(body, map, Definitions())) {
        if (map.GetCount() != 0) {
            std::abort();
        }
        return;
    }
    CParamSettings received;
    received.SetParamMap(map);
    const std::string saved = received.ToString();
    if (saved.size() > kParamStoreMaxTextLength) {
        return; // refused by the store: the download fails and says so
    }
    // What the store saves is what the next start loads: every value taken, none left at its default.
    CParamSettings loaded;
    std::vector<CParamRefusal> refusals;
    if (!loaded.FromString(saved, &refusals) || !refusals.empty() || !loaded.ParamMap().Equals(map)) {
        std::abort();
    }
}

void FuzzChallenge(const std::string& body) {
    fuzzsupport::World();
    std::string answer;
    if (!AnswerServiceChallenge(CRequest::Instance(), body, &answer)) {
        std::abort();
    }
    if (answer.size() != (body.size() % 2 == 0 ? body.size() : 0)) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::string received(reinterpret_cast<const char*>(data + 1), size - 1);
    if (received.size() > CNQMSClient::kMaxMessageBytes || !CNQMSClient::IsMessageComplete(received)) {
        return 0; // refused as too large, or read on
    }
    CNQMSResponse response;
    if (!response.Parse(received)) {
        return 0;
    }
    if (data[0] % 2 == 0) {
        FuzzParameterMessage(response.GetBody());
    } else {
        FuzzChallenge(response.GetBody());
    }
    return 0;
}
