#include "peers/CardDataLife.h"

#include "peers/EndToEndFixture.h"

namespace {

// The second card of each kind, issued and voided at once.
const std::string kVoidedKeyedCard = "6006496666666666";
const std::string kVoidedSwipedCard = "6006496666666667";

struct SLifeStep {
    const char* tranCode;
    const char* purchase;
    int authOf; // a void names the AuthCode of this earlier step of its card; -1 none
};

const SLifeStep kLife[] = {
    {"Issue", "50.00", -1},     {"Balance", "", -1},       {"Sale", "12.50", -1},   {"VoidSale", "12.50", 2},
    {"Return", "5.00", -1},     {"VoidReturn", "5.00", 4}, {"Reload", "20.00", -1}, {"VoidReload", "20.00", 6},
    {"NoNSFSale", "60.00", -1}, {"Reload", "30.00", -1},   {"CashOut", "0.00", -1},
};

// Sends |request|; a line for |problems| when it was not answered with |returnCode| (0: approved). False when no
// reply came.
bool Step(CPosClient& lane, const std::string& name, const SPosRequest& request, int returnCode, int timeoutMs,
          SPosReply* reply, std::vector<std::string>* problems) {
    if (!lane.Transact(request, reply, nullptr, timeoutMs)) {
        problems->push_back(name + ": " + lane.LastError());
        return false;
    }
    const bool approved = reply->cmdStatus == "Approved";
    if (returnCode == 0 ? !approved : reply->returnCode != returnCode) {
        problems->push_back(name + ": expected " + (returnCode == 0 ? "Approved" : std::to_string(returnCode)) +
                            ", got " + reply->document);
    }
    return true;
}

} // namespace

std::vector<std::string> CardDataLifeSecrets() {
    return {kLifeKeyedCard,
            kLifeSwipedCard,
            kVoidedKeyedCard,
            kVoidedSwipedCard,
            kLifeTrackTail + 1, // the track's text without its separator
            std::string("CVVData=") + kLifeCvv,
            kLifeCvv};
}

SPosRequest CardDataRequest(const std::string& tranCode, const std::string& account, const std::string& purchase,
                            const std::string& invoice) {
    SPosRequest request = CEndToEndWorld::Request(tranCode, account, purchase, invoice);
    request.extra = {{"CVVData", kLifeCvv}};
    return request;
}

std::vector<std::string> RunCardDataLife(CPosClient& lane, int timeoutMs) {
    std::vector<std::string> problems;
    int invoice = 5000;
    SPosReply reply;
    for (const bool swiped : {false, true}) {
        const std::string card = swiped ? kLifeSwipedCard : kLifeKeyedCard;
        const std::string track = card + kLifeTrackTail;
        std::vector<std::string> authCodes;
        for (const SLifeStep& step : kLife) {
            SPosRequest request =
                CardDataRequest(step.tranCode, swiped ? "" : card, step.purchase, std::to_string(++invoice));
            if (swiped) {
                request.track2 = track;
            }
            request.extra.emplace_back(swiped ? "Track2" : "AcctNo", swiped ? track : card);
            if (step.authOf >= 0) {
                request.authCode = authCodes.at(static_cast<size_t>(step.authOf));
            }
            if (!Step(lane, std::string(step.tranCode) + (swiped ? " swiped" : " keyed"), request, 0, timeoutMs, &reply,
                      &problems)) {
                return problems;
            }
            authCodes.push_back(XmlElement(reply.document, "AuthCode"));
        }
        for (const char* tranCode : {"Issue", "VoidIssue"}) {
            SPosRequest request =
                CardDataRequest(tranCode, swiped ? "" : kVoidedKeyedCard, "10.00", std::to_string(++invoice));
            if (swiped) {
                request.track2 = kVoidedSwipedCard + kLifeTrackTail;
            }
            if (std::string(tranCode) == "VoidIssue") {
                request.authCode = authCodes.back();
            }
            if (!Step(lane, std::string(tranCode) + (swiped ? " swiped" : " keyed"), request, 0, timeoutMs, &reply,
                      &problems)) {
                return problems;
            }
            authCodes.push_back(XmlElement(reply.document, "AuthCode"));
        }
    }
    // A request refused at once (its account too long) is logged and answered all the same.
    const std::string tooLong = std::string(kLifeKeyedCard) + kLifeKeyedCard + "123456789";
    Step(lane, "Sale refused", CardDataRequest("Sale", tooLong, "1.00", "5999"), 100204, timeoutMs, &reply, &problems);
    return problems;
}
