// The host message of a transaction and the reading of the host's answer back into it.

#include "transaction/HostMessage.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <ctime>
#include <map>

#include "foundation/ParamSettings.h"
#include "foundation/ParamStore.h"
#include "foundation/SharedConstants.h"
#include "platform/Clock.h"
#include "platform/LocalTime.h"
#include "platform/ProcessEvents.h"
#include "transaction/CardHelpers.h"
#include "transaction/Settlement.h"
#include "transaction/Transaction.h"

namespace {

// The reversal hold looks at the time in steps of this length.
constexpr uint64_t kReversalStepMs = 100;

// The local time and date of now, "%H%M%S" and "%m%d%Y".
void LocalTimeAndDate(std::string& time, std::string& date) {
    std::tm local{};
    LocalCalendarNow(local, ZoneRead::kAgain);
    time = CalendarTimeText(local, "%H%M%S");
    date = CalendarTimeText(local, "%m%d%Y");
}

std::string LettersAndDigits(const std::string& text) {
    std::string result;
    for (const char c : text) {
        if (std::isalnum(static_cast<unsigned char>(c)) != 0) {
            result += c;
        }
    }
    return result;
}

std::string LastChars(const std::string& text, size_t count) {
    return text.size() > count ? text.substr(text.size() - count) : text;
}

} // namespace

std::string HostMessageType(int tranCode) {
    switch (tranCode) {
    case kTranNumReversal:
        return kHostMessageType0704;
    case kTranNumIssue:
        return kHostMessageType0100;
    case kTranNumVoidIssue:
        return kHostMessageType0802;
    case kTranNumSale:
        return kHostMessageType0200;
    case kTranNumReturn:
    case kTranNumReload:
        return kHostMessageType0300;
    case kTranNumVoidSale:
        return kHostMessageType0800;
    case kTranNumVoidReturn:
    case kTranNumVoidReload:
        return kHostMessageType0801;
    case kTranNumNoNSFSale:
        return kHostMessageType0202;
    case kTranNumCashOut:
        return kHostMessageType0600;
    default:
        return kHostMessageType0400;
    }
}

std::string CurrencyField(const std::string& merchantCurrency) {
    switch (LeadingInt64(merchantCurrency)) {
    case 1:
        return "C0124";
    case 2:
        return "C00";
    case 3:
        return "C0036";
    case 4:
        return "C0826";
    case 5:
        return "C0978";
    default:
        return "C0840";
    }
}

std::string IssueCurrencyName(const std::string& code) {
    if (code == "124") {
        return "CAD";
    }
    if (code == "840") {
        return "USD";
    }
    if (code == "036") {
        return "AUSD";
    }
    if (code == "826") {
        return "GBP";
    }
    if (code == "978") {
        return "EUR";
    }
    return code;
}

std::string HostResponseText(int code) {
    static const std::map<int, const char*> kTexts = {
        {1, "INSUFFICIENT FUNDS"},
        {2, "ACCOUNT CLOSED"},
        {3, "UNKNOWN ACCOUNT"},
        {4, "INACTIVE ACCOUNT"},
        {5, "EXPIRED CARD"},
        {6, "INVALID TRAN CODE"},
        {7, "INVALID MERCHANT"},
        {8, "ALREADY ACTIVE"},
        {9, "SYSTEM ERROR"},
        {10, "LOST/STOLEN CARD"},
        {11, "NOT LOST/STOLEN"},
        {12, "INVALID TRANSACTION FORMAT"},
        {15, "BAD MAG STRIPE"},
        {16, "INCORRECT LOCATION"},
        {17, "MAX BAL EXCEEDED"},
        {18, "INVALID AMOUNT"},
        {19, "INVALID CLERK"},
        {20, "INVALID PASSWORD"},
        {21, "INVALID NEW PASSWORD"},
        {22, "EXCEEDED ACCOUNT RELOAD"},
        {23, "PASSWORD RETRY EXCEEDED"},
        {26, "INCORRECT TRANSACTION VERSION"},
        {27, "REQUEST NOT PERMITTED BY THIS ACCOUNT"},
        {28, "REQUEST NOT PERMITTED BY THIS MERCHANT"},
        {29, "BAD REPLAY DATE"},
        {30, "BAD CHECKSUM"},
        {31, "BAL NOT AVAIL"},
        {32, "ACCOUNT LOCKED"},
        {33, "NO PREVIOUS TRANSACTION"},
        {34, "ALREADY REVERSED"},
        {35, "GENERIC DENIAL"},
        {36, "BAD AUTH CODE"},
        {37, "TOO MANY TRANSACTIONS REQUESTED"},
        {38, "NO TRANSACTIONS AVAIL"},
        {39, "NO TRANSACTION HISTORY"},
        {40, "NEW PASSWORD REQUIRED"},
        {41, "INVALID STATUS CHANGE"},
        {42, "VOID AFTER ACCOUNT ACTIVITY"},
        {43, "NO PHONE SERVICE"},
        {44, "INTERNET ACCESS DISABLED"},
        {45, "BAD EAN"},
        {46, "BAD MERCHANT KEY"},
        {47, "PROMO NO MATCH"},
        {48, "INVALID TRAN SOURCE"},
        {49, "ACCOUNT ALREADY LINKED"},
        {50, "ACCOUNT NOT IN INACTIVE STATE"},
        {54, "CURRENCY CONVERSION FLAG SET BUT INTERNATIONAL FLAG NOT SET"},
        {55, "INVALID CURRENCY"},
        {56, "REQUEST NOT INTERNATIONAL"},
        {57, "CURRENCY CONVERSION ERROR"},
        {71, "FRAUD COUNT EXCEEDED"},
    };
    const auto found = kTexts.find(code);
    const char* text = found == kTexts.end() ? "UNKNOWN RESPONSE CODE" : found->second;
    char buffer[96];
    std::snprintf(buffer, sizeof(buffer), "%02d:%s", code, text);
    return buffer;
}

bool CTransaction::BuildHostRequest() {
    const bool reversal = m_TranCode == kTranNumReversal;
    if (reversal) {
        const uint64_t holdStart = GetClock().TickMs();
        while (!ReversalHoldOver(*this, holdStart)) {
            GetClock().SleepMs(kReversalStepMs);
            if (g_ShutdownEvent.IsSet()) {
                return false;
            }
        }
    }

    const std::vector<std::string> params = CParamStore::Instance().GetValues(
        {kParamMerchantId, kParamTerminalId, kParamAlternateMerchantId, kParamMerchantCurrency});
    const std::string& merchantId = params[0];
    const std::string& terminalId = params[1];
    const std::string& alternateMerchantId = params[2];
    const std::string& currency = params[3];

    const int effective = reversal ? m_OrigTranCode : m_TranCode;

    std::string time = m_HostTime;
    std::string date = m_HostDate;
    if (!reversal) {
        LocalTimeAndDate(time, date);
        m_HostTime = time;
        m_HostDate = date;
    }

    std::string message;
    const auto add = [&message](const std::string& field) {
        message += field;
        message += kCharFS;
    };
    add(kPaymentKindSV + merchantId);
    add("40" + HostMessageType(m_TranCode));
    add("12" + time);
    add("13" + date);
    add(m_Swiped ? "35" + m_Track2 : "70" + m_Account);
    add("42" + merchantId + terminalId);
    add("44" + alternateMerchantId);
    add("62" + PadRight(LastChars(m_OperatorID, 8), 8));
    if (!m_InvoiceNo.empty() && IsAllDigits(m_InvoiceNo)) {
        add("15" + LastChars(m_InvoiceNo, 17));
    }
    if (effective == kTranNumIssue) {
        const std::string refNo = LettersAndDigits(m_RefNo);
        if (!refNo.empty()) {
            add("08" + refNo);
        }
    }
    if (effective != kTranNumBalance && effective != kTranNumCashOut) {
        add("04" + m_Authorize);
    }
    add(CurrencyField(currency));
    if (reversal) {
        add("F6" + (MovesMoney(m_OrigTranCode) ? HostMessageType(m_OrigTranCode) : std::string()));
    }
    while (!message.empty() && message.back() == kCharFS) {
        message.pop_back();
    }
    m_HostRequest = message;
    return true;
}

bool CTransaction::FindHostField(const CItemMap& tokens, int first, int last, const std::string& code,
                                 std::string& out) {
    out.clear();
    for (int number = first; number <= last; ++number) {
        const auto found = tokens.find(number);
        if (found == tokens.end()) {
            return false;
        }
        const std::string& token = found->second;
        if (token.size() >= 2 && token.compare(0, 2, code) == 0) {
            out = token.substr(2);
            return true;
        }
    }
    return false;
}

void CTransaction::ParseHostResponse() {
    m_Approved = false;
    m_Captured = false;

    CItemMap tokens;
    int count = 0;
    std::string current;
    for (char& c : m_HostResponse) {
        if (c == kCharFS || c == kCharETX) {
            tokens[++count] = current;
            current.clear();
            continue;
        }
        // Angle brackets would open elements in the XML reply.
        if (c == '<' || c == '>') {
            c = ' ';
        }
        current += c;
    }
    if (!current.empty()) {
        tokens[++count] = current;
    }

    const auto field = [&tokens, count](const std::string& code) {
        std::string value;
        FindHostField(tokens, 1, count, code, value);
        return value;
    };
    const auto has = [&tokens, count](const std::string& code) {
        std::string value;
        return FindHostField(tokens, 1, count, code, value);
    };

    if (has("39") && field("39") == "00") {
        m_Approved = true;
        m_Captured = true;
        m_HostAuthCode = field("38");
        const std::string account = field("70");
        const size_t masked = account.size() > 4 ? account.size() - 4 : 0;
        m_HostVLinkRefNo = std::string(masked, '*') + account.substr(masked);
        m_HostRefNo = account.substr(0, 12) + "****";
    } else {
        m_ResponseText = HostResponseText(LeadingInt(field("39")));
    }

    m_Balance = FormatAmount(field("76"));

    if (m_TranCode == kTranNumBalance) {
        m_Authorize = "0";
    } else if (m_TranCode == kTranNumNoNSFSale || m_TranCode == kTranNumCashOut) {
        const int64_t before = LeadingInt64(field("75"));
        const int64_t after = LeadingInt64(field("76"));
        int64_t authorized = 0;
        if (__builtin_sub_overflow(before, after, &authorized)) {
            authorized = after < 0 ? INT64_MAX : INT64_MIN;
        }
        m_Authorize = std::to_string(authorized);
    }

    const std::string currencyCode = field("BC");
    if (!currencyCode.empty()) {
        m_IssueCurrency = IssueCurrencyName(currencyCode);
        m_PrevBalance = FormatAmount(field("80"));
        m_EndBalance = FormatAmount(field("81"));
        m_ExchangeRate = field("E9");
    }

    FinishReply(std::string());
}
