#include "peers/CardHost.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace {
constexpr char kFs = 0x1C;

bool AllDigits(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool AllLettersOrDigits(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)); });
}

int TwoDigits(const std::string& text, size_t at) {
    return (text[at] - '0') * 10 + (text[at + 1] - '0');
}

bool ValidTime(const std::string& text) {
    return text.size() == 6 && AllDigits(text) && TwoDigits(text, 0) < 24 && TwoDigits(text, 2) < 60 &&
           TwoDigits(text, 4) < 60;
}

bool ValidDate(const std::string& text) {
    if (text.size() != 8 || !AllDigits(text)) {
        return false;
    }
    const int month = TwoDigits(text, 0);
    const int day = TwoDigits(text, 2);
    return month >= 1 && month <= 12 && day >= 1 && day <= 31;
}

bool KnownType(const std::string& type) {
    static const char* const kTypes[] = {kMsgIssue,    kMsgVoidIssue, kMsgSale,    kMsgNoNsfSale, kMsgAdd,
                                         kMsgVoidSale, kMsgVoidAdd,   kMsgBalance, kMsgCashOut,   kMsgReversal};
    return std::any_of(std::begin(kTypes), std::end(kTypes), [&](const char* known) { return type == known; });
}

// The message types that carry no amount: a Balance, a CashOut, and a reversal of a Balance ("F6" empty).
bool TypeWithoutAmount(const std::string& type) {
    return type.empty() || type == kMsgBalance || type == kMsgCashOut;
}

bool KnownCurrency(const std::string& digits) {
    static const char* const kCodes[] = {"840", "124", "0", "036", "826", "978"};
    return std::any_of(std::begin(kCodes), std::end(kCodes), [&](const char* code) { return digits == code; });
}

std::string Cents(int64_t cents) {
    return std::to_string(cents);
}

// The answer's message type: the request's with its third digit raised, as hosts answer 0200 with 0210.
std::string AnswerType(const std::string& type) {
    std::string answer = type;
    if (answer.size() == 4 && answer[2] >= '0' && answer[2] < '9') {
        ++answer[2];
    }
    return answer;
}
} // namespace

std::string JoinHostFields(const std::string& first, const std::vector<CHostField>& fields) {
    std::string text = first;
    for (const CHostField& field : fields) {
        text += kFs;
        text += field.code;
        text += field.value;
    }
    return text;
}

std::string CHostRequestMessage::Get(const std::string& code) const {
    for (const CHostField& field : m_Fields) {
        if (field.code == code) {
            return field.value;
        }
    }
    return std::string();
}

bool CHostRequestMessage::Has(const std::string& code) const {
    return std::any_of(m_Fields.begin(), m_Fields.end(), [&](const CHostField& field) { return field.code == code; });
}

bool CHostRequestMessage::Decode(const std::string& text, CHostRequestMessage* out, std::string* problem) {
    *out = CHostRequestMessage();
    out->m_Text = text;
    auto fail = [&](const std::string& why) {
        if (problem != nullptr) {
            *problem = why;
        }
        return false;
    };
    if (text.empty()) {
        return fail("empty message");
    }
    if (text.back() == kFs) {
        return fail("message ends in FS");
    }
    std::vector<std::string> pieces;
    size_t start = 0;
    for (;;) {
        const size_t fs = text.find(kFs, start);
        pieces.push_back(text.substr(start, fs == std::string::npos ? std::string::npos : fs - start));
        if (fs == std::string::npos) {
            break;
        }
        start = fs + 1;
    }
    if (pieces[0].rfind("SV.", 0) != 0) {
        return fail("first field does not start with SV.");
    }
    out->m_MerchantId = pieces[0].substr(3);
    if (out->m_MerchantId.size() != 11 || !AllLettersOrDigits(out->m_MerchantId)) {
        return fail("merchant id after SV. is not 11 letters or digits: [" + out->m_MerchantId + "]");
    }
    for (size_t i = 1; i < pieces.size(); ++i) {
        if (pieces[i].size() < 2) {
            return fail("field " + std::to_string(i + 1) + " is shorter than its code: [" + pieces[i] + "]");
        }
        out->m_Fields.push_back({pieces[i].substr(0, 2), pieces[i].substr(2)});
    }

    // The fields must come in the writer's order; optional ones may be missing.
    const std::vector<CHostField>& fields = out->m_Fields;
    size_t at = 0;
    auto next = [&](const char* code) {
        if (at < fields.size() && fields[at].code == code) {
            return &fields[at++];
        }
        return static_cast<const CHostField*>(nullptr);
    };
    auto expected = [&](const char* what) {
        const std::string seen = at < fields.size() ? "[" + fields[at].code + "]" : "the end";
        return fail(std::string("expected field ") + what + ", found " + seen);
    };

    const CHostField* field = next("40");
    if (field == nullptr) {
        return expected("40");
    }
    out->m_Type = field->value;
    if (!KnownType(out->m_Type)) {
        return fail("unknown message type [" + out->m_Type + "]");
    }
    if ((field = next("12")) == nullptr) {
        return expected("12");
    }
    out->m_Time = field->value;
    if (!ValidTime(out->m_Time)) {
        return fail("time is not HHMMSS: [" + out->m_Time + "]");
    }
    if ((field = next("13")) == nullptr) {
        return expected("13");
    }
    out->m_Date = field->value;
    if (!ValidDate(out->m_Date)) {
        return fail("date is not MMDDYYYY: [" + out->m_Date + "]");
    }
    if ((field = next("35")) != nullptr) {
        out->m_Swiped = true;
        out->m_Track2 = field->value;
        out->m_Account = field->value.substr(0, field->value.find('='));
    } else if ((field = next("70")) != nullptr) {
        out->m_Account = field->value;
    } else {
        return expected("35 or 70");
    }
    if (out->m_Account.size() < 4 || out->m_Account.size() > 38) {
        return fail("account is not 4 to 38 characters: [" + out->m_Account + "]");
    }
    if ((field = next("42")) == nullptr) {
        return expected("42");
    }
    if (field->value.rfind(out->m_MerchantId, 0) != 0) {
        return fail("42 does not start with the merchant id: [" + field->value + "]");
    }
    out->m_TerminalId = field->value.substr(out->m_MerchantId.size());
    if (out->m_TerminalId.size() != 4 || !AllDigits(out->m_TerminalId)) {
        return fail("terminal id in 42 is not four digits: [" + out->m_TerminalId + "]");
    }
    if ((field = next("44")) == nullptr) {
        return expected("44");
    }
    out->m_AltMerchantId = field->value;
    if (out->m_AltMerchantId.size() != 11 || !AllLettersOrDigits(out->m_AltMerchantId)) {
        return fail("alternate merchant id is not 11 letters or digits: [" + out->m_AltMerchantId + "]");
    }
    if ((field = next("62")) == nullptr) {
        return expected("62");
    }
    out->m_Operator = field->value;
    if (out->m_Operator.size() != 8) {
        return fail("operator field is not eight characters: [" + out->m_Operator + "]");
    }
    if ((field = next("15")) != nullptr) {
        out->m_Invoice = field->value;
        if (out->m_Invoice.empty() || out->m_Invoice.size() > 17 || !AllDigits(out->m_Invoice)) {
            return fail("invoice is not 1 to 17 digits: [" + out->m_Invoice + "]");
        }
    }
    if ((field = next("08")) != nullptr) {
        out->m_RefNo = field->value;
        if (out->m_RefNo.empty() || !AllLettersOrDigits(out->m_RefNo)) {
            return fail("reference number is not letters and digits: [" + out->m_RefNo + "]");
        }
    }
    if ((field = next("04")) != nullptr) {
        out->m_HasAmount = true;
        if (field->value.empty() || field->value.size() > 15 || !AllDigits(field->value)) {
            return fail("amount is not digits: [" + field->value + "]");
        }
        out->m_AmountCents = std::stoll(field->value);
    }
    if ((field = next("C0")) == nullptr) {
        return expected("currency C0");
    }
    out->m_CurrencyField = "C0" + field->value;
    if (!KnownCurrency(field->value)) {
        return fail("unknown currency field [" + out->m_CurrencyField + "]");
    }
    const bool reversal = out->m_Type == kMsgReversal;
    if ((field = next("F6")) != nullptr) {
        if (!reversal) {
            return fail("F6 in a message that is not a reversal");
        }
        out->m_OrigType = field->value;
        if (!out->m_OrigType.empty() &&
            (!KnownType(out->m_OrigType) || out->m_OrigType == kMsgReversal || out->m_OrigType == kMsgBalance)) {
            return fail("F6 names no reversible message type: [" + out->m_OrigType + "]");
        }
    } else if (reversal) {
        return expected("F6");
    }
    if (at != fields.size()) {
        return fail("unexpected field [" + fields[at].code + "] after the currency field");
    }

    // Which optional fields belong depends on the type the fields describe.
    const std::string& effective = out->EffectiveType();
    if (!out->m_RefNo.empty() && effective != kMsgIssue) {
        return fail("08 in a message that is not an Issue");
    }
    if (TypeWithoutAmount(effective) && out->m_HasAmount) {
        return fail("04 in a message of type [" + effective + "]");
    }
    if (!TypeWithoutAmount(effective) && !out->m_HasAmount) {
        return fail("no 04 in a message of type [" + effective + "]");
    }
    return true;
}

void CCardHost::SetMerchant(const std::string& merchantId, const std::string& terminalId) {
    CMutexLock lock(m_Lock);
    m_MerchantId = merchantId;
    m_TerminalId = terminalId;
}

void CCardHost::SetMaxBalance(int64_t cents) {
    CMutexLock lock(m_Lock);
    m_MaxBalance = cents;
}

void CCardHost::AddCard(const std::string& account, int64_t balanceCents, bool active) {
    CMutexLock lock(m_Lock);
    CCardAccount& card = m_Cards[account];
    card.active = active;
    card.balanceCents = balanceCents;
}

void CCardHost::SetIssueCurrency(const std::string& account, const std::string& code, int64_t rateTenThousandths,
                                 const std::string& rateText) {
    CMutexLock lock(m_Lock);
    CCardAccount& card = m_Cards[account];
    card.issueCurrencyCode = code;
    card.exchangeRateTenThousandths = rateTenThousandths;
    card.exchangeRateText = rateText;
}

void CCardHost::ForceResponse(const std::string& account, const std::string& code) {
    CMutexLock lock(m_Lock);
    if (code.empty()) {
        m_Forced.erase(account);
    } else {
        m_Forced[account] = code;
    }
}

std::optional<CCardAccount> CCardHost::Card(const std::string& account) const {
    CMutexLock lock(m_Lock);
    const auto found = m_Cards.find(account);
    if (found == m_Cards.end()) {
        return std::nullopt;
    }
    return found->second;
}

int64_t CCardHost::Balance(const std::string& account) const {
    CMutexLock lock(m_Lock);
    const auto found = m_Cards.find(account);
    return found == m_Cards.end() ? -1 : found->second.balanceCents;
}

std::vector<CHostExchange> CCardHost::Exchanges() const {
    CMutexLock lock(m_Lock);
    return m_Exchanges;
}

size_t CCardHost::ExchangeCount() const {
    CMutexLock lock(m_Lock);
    return m_Exchanges.size();
}

std::vector<std::string> CCardHost::Problems() const {
    CMutexLock lock(m_Lock);
    return m_Problems;
}

void CCardHost::ClearExchanges() {
    CMutexLock lock(m_Lock);
    m_Exchanges.clear();
    m_Problems.clear();
}

std::string CCardHost::NextAuthCode() {
    char text[16];
    std::snprintf(text, sizeof text, "%06d", 100000 + ++m_NextAuth % 900000);
    return text;
}

std::string CCardHost::Answer(const std::string& request, int provider, uint64_t tickMs, bool apply) {
    CMutexLock lock(m_Lock);
    CHostExchange exchange;
    exchange.request = request;
    exchange.provider = provider;
    exchange.receivedTickMs = tickMs;

    CHostRequestMessage message;
    COutcome outcome;
    exchange.wellFormed = CHostRequestMessage::Decode(request, &message, &exchange.problem);
    if (!exchange.wellFormed) {
        m_Problems.push_back(exchange.problem);
        outcome.code = kHostBadFormat;
    } else if ((!m_MerchantId.empty() && message.m_MerchantId != m_MerchantId) ||
               (!m_TerminalId.empty() && message.m_TerminalId != m_TerminalId)) {
        outcome.code = kHostInvalidMerchant;
    } else if (const auto forced = m_Forced.find(message.m_Account); forced != m_Forced.end()) {
        outcome.code = forced->second;
    } else {
        outcome = Apply(message, apply);
    }
    if (const auto card = m_Cards.find(message.m_Account);
        card != m_Cards.end() && outcome.code != kHostApproved && !outcome.known) {
        // Declines still tell the merchant what the card holds.
        outcome.known = true;
        outcome.before = outcome.after = card->second.balanceCents;
    }

    exchange.type = message.m_Type;
    exchange.origType = message.m_OrigType;
    exchange.account = message.m_Account;
    exchange.amountCents = message.m_AmountCents;
    exchange.responseCode = outcome.code;
    exchange.authCode = outcome.authCode;
    exchange.balanceBefore = outcome.before;
    exchange.balanceAfter = outcome.after;
    exchange.applied = outcome.applied;
    exchange.answer = BuildAnswer(message, outcome);
    m_Exchanges.push_back(exchange);
    return exchange.answer;
}

CCardHost::CApplied CCardHost::CApplied::Of(const CHostRequestMessage& message, const std::string& effectiveType,
                                            int64_t requestedCents) {
    CApplied entry;
    entry.type = effectiveType;
    entry.account = message.m_Account;
    entry.time = message.m_Time;
    entry.date = message.m_Date;
    entry.invoice = message.m_Invoice;
    entry.requested = requestedCents;
    return entry;
}

CCardHost::COutcome CCardHost::Apply(const CHostRequestMessage& message, bool apply) {
    const std::string& type = message.m_Type;
    if (type == kMsgReversal) {
        return ApplyReversal(message, apply);
    }
    if (type == kMsgVoidIssue || type == kMsgVoidSale || type == kMsgVoidAdd) {
        return ApplyVoid(message, apply);
    }
    COutcome outcome;
    const int64_t amount = message.m_AmountCents;
    auto found = m_Cards.find(message.m_Account);
    if (type == kMsgIssue) {
        if (found != m_Cards.end() && found->second.active) {
            outcome.code = kHostAlreadyActive;
            return outcome;
        }
        if (amount <= 0) {
            outcome.code = kHostInvalidAmount;
            return outcome;
        }
        const int64_t before = found == m_Cards.end() ? 0 : found->second.balanceCents;
        if (before + amount > m_MaxBalance) {
            outcome.code = kHostMaxBalanceExceeded;
            return outcome;
        }
        outcome.known = true;
        outcome.before = before;
        outcome.after = before + amount;
        outcome.authCode = NextAuthCode();
        outcome.applied = apply;
        if (apply) {
            CCardAccount& card = m_Cards[message.m_Account];
            card.active = true;
            card.balanceCents = outcome.after;
            CApplied entry = CApplied::Of(message, type, amount);
            entry.activated = true;
            entry.delta = amount;
            m_Applied.push_back(entry);
        }
        return outcome;
    }
    if (found == m_Cards.end()) {
        outcome.code = kHostUnknownAccount;
        return outcome;
    }
    CCardAccount& card = found->second;
    outcome.known = true;
    outcome.before = outcome.after = card.balanceCents;
    if (!card.active) {
        outcome.code = kHostInactiveAccount;
        return outcome;
    }
    int64_t delta = 0;
    if (type == kMsgBalance) {
        outcome.authCode = NextAuthCode();
        outcome.applied = true;
        return outcome;
    }
    if (type == kMsgCashOut) {
        if (card.balanceCents <= 0) {
            outcome.code = kHostInsufficientFunds;
            return outcome;
        }
        delta = -card.balanceCents;
    } else if (amount <= 0) {
        outcome.code = kHostInvalidAmount;
        return outcome;
    } else if (type == kMsgSale) {
        if (amount > card.balanceCents) {
            outcome.code = kHostInsufficientFunds;
            return outcome;
        }
        delta = -amount;
    } else if (type == kMsgNoNsfSale) {
        // Draws what the card holds, up to the amount; only an empty card declines.
        if (card.balanceCents <= 0) {
            outcome.code = kHostInsufficientFunds;
            return outcome;
        }
        delta = -std::min(amount, card.balanceCents);
    } else if (type == kMsgAdd) {
        if (card.balanceCents + amount > m_MaxBalance) {
            outcome.code = kHostMaxBalanceExceeded;
            return outcome;
        }
        delta = amount;
    } else {
        outcome.code = kHostInvalidTranCode;
        return outcome;
    }
    outcome.after = card.balanceCents + delta;
    outcome.authCode = NextAuthCode();
    outcome.applied = apply;
    if (apply) {
        card.balanceCents = outcome.after;
        CApplied entry = CApplied::Of(message, type, amount);
        entry.delta = delta;
        m_Applied.push_back(entry);
    }
    return outcome;
}

bool CCardHost::Undo(CApplied& entry) {
    CCardAccount& card = m_Cards[entry.account];
    const int64_t balance = card.balanceCents - entry.delta;
    if (balance < 0) {
        return false;
    }
    card.balanceCents = balance;
    if (entry.activated) {
        card.active = false;
    }
    entry.undone = true;
    return true;
}

void CCardHost::Redo(CApplied& entry) {
    CCardAccount& card = m_Cards[entry.account];
    card.balanceCents += entry.delta;
    if (entry.activated) {
        card.active = true;
    }
    entry.undone = false;
    entry.undoneBy = -1;
}

CCardHost::COutcome CCardHost::ApplyVoid(const CHostRequestMessage& message, bool apply) {
    COutcome outcome;
    const auto found = m_Cards.find(message.m_Account);
    if (found == m_Cards.end()) {
        outcome.code = kHostUnknownAccount;
        return outcome;
    }
    outcome.known = true;
    outcome.before = outcome.after = found->second.balanceCents;
    std::vector<std::string> targets;
    if (message.m_Type == kMsgVoidIssue) {
        targets = {kMsgIssue};
    } else if (message.m_Type == kMsgVoidSale) {
        targets = {kMsgSale, kMsgNoNsfSale};
    } else {
        targets = {kMsgAdd};
    }
    // The message carries no authorisation code, so a void names its transaction by card, kind and amount (and
    // invoice, when both have one); the latest such transaction still in force is the one undone.
    int match = -1;
    for (int pass = 0; pass < 2 && match < 0; ++pass) {
        for (int i = static_cast<int>(m_Applied.size()) - 1; i >= 0; --i) {
            const CApplied& entry = m_Applied[static_cast<size_t>(i)];
            if (entry.isVoid || entry.undone || entry.account != message.m_Account ||
                entry.requested != message.m_AmountCents ||
                std::find(targets.begin(), targets.end(), entry.type) == targets.end()) {
                continue;
            }
            if (pass == 0 && entry.invoice != message.m_Invoice) {
                continue;
            }
            match = i;
            break;
        }
    }
    if (match < 0) {
        outcome.code = kHostNoPreviousTransaction;
        return outcome;
    }
    if (message.m_Type == kMsgVoidIssue) {
        for (size_t i = static_cast<size_t>(match) + 1; i < m_Applied.size(); ++i) {
            if (m_Applied[i].account == message.m_Account && !m_Applied[i].undone && !m_Applied[i].isVoid) {
                outcome.code = kHostVoidAfterActivity;
                return outcome;
            }
        }
    }
    CApplied& target = m_Applied[static_cast<size_t>(match)];
    if (found->second.balanceCents - target.delta < 0) {
        outcome.code = kHostInsufficientFunds;
        return outcome;
    }
    outcome.after = found->second.balanceCents - target.delta;
    outcome.authCode = NextAuthCode();
    outcome.applied = apply;
    if (apply) {
        Undo(target);
        CApplied entry = CApplied::Of(message, message.m_Type, message.m_AmountCents);
        entry.isVoid = true;
        entry.voidOf = match;
        target.undoneBy = static_cast<int>(m_Applied.size());
        m_Applied.push_back(entry);
    }
    return outcome;
}

CCardHost::COutcome CCardHost::ApplyReversal(const CHostRequestMessage& message, bool apply) {
    COutcome outcome;
    const auto found = m_Cards.find(message.m_Account);
    if (found != m_Cards.end()) {
        outcome.known = true;
        outcome.before = outcome.after = found->second.balanceCents;
    }
    outcome.authCode = NextAuthCode();
    outcome.applied = apply;
    if (message.m_OrigType.empty()) {
        return outcome; // a Balance changed nothing
    }
    // A reversal carries the time and date of the transaction it reverses: with the card and the kind they name it.
    int match = -1;
    for (int i = static_cast<int>(m_Applied.size()) - 1; i >= 0; --i) {
        const CApplied& entry = m_Applied[static_cast<size_t>(i)];
        if (entry.type == message.m_OrigType && entry.account == message.m_Account && entry.time == message.m_Time &&
            entry.date == message.m_Date && (!message.m_HasAmount || entry.requested == message.m_AmountCents)) {
            match = i;
            break;
        }
    }
    if (match < 0) {
        return outcome; // never reached the accounts: nothing to undo
    }
    CApplied& entry = m_Applied[static_cast<size_t>(match)];
    if (entry.undone) {
        outcome.code = kHostAlreadyReversed;
        outcome.authCode.clear();
        outcome.applied = false;
        return outcome;
    }
    // Reversing a void puts the voided transaction back in force.
    CApplied* effect = entry.isVoid ? &m_Applied[static_cast<size_t>(entry.voidOf)] : &entry;
    const int64_t delta = entry.isVoid ? effect->delta : -effect->delta;
    CCardAccount& card = m_Cards[entry.account];
    if (card.balanceCents + delta < 0) {
        outcome.code = kHostInsufficientFunds;
        outcome.authCode.clear();
        outcome.applied = false;
        return outcome;
    }
    outcome.known = true;
    outcome.before = card.balanceCents;
    outcome.after = card.balanceCents + delta;
    if (apply) {
        if (entry.isVoid) {
            Redo(*effect);
            entry.undone = true;
        } else {
            Undo(entry);
        }
    }
    return outcome;
}

std::string CCardHost::BuildAnswer(const CHostRequestMessage& message, const COutcome& outcome) const {
    std::vector<CHostField> fields;
    if (!message.m_Type.empty()) {
        fields.push_back({"40", AnswerType(message.m_Type)});
    }
    if (!message.m_Time.empty()) {
        fields.push_back({"12", message.m_Time});
    }
    if (!message.m_Date.empty()) {
        fields.push_back({"13", message.m_Date});
    }
    fields.push_back({"39", outcome.code});
    if (outcome.code == kHostApproved && !outcome.authCode.empty()) {
        fields.push_back({"38", outcome.authCode});
    }
    if (!message.m_Account.empty()) {
        fields.push_back({"70", message.m_Account});
    }
    if (outcome.known) {
        fields.push_back({"75", Cents(outcome.before)});
        fields.push_back({"76", Cents(outcome.after)});
        const auto card = m_Cards.find(message.m_Account);
        if (card != m_Cards.end() && !card->second.issueCurrencyCode.empty()) {
            const int64_t rate = card->second.exchangeRateTenThousandths;
            fields.push_back({"BC", card->second.issueCurrencyCode});
            fields.push_back({"80", Cents(outcome.before * rate / 10000)});
            fields.push_back({"81", Cents(outcome.after * rate / 10000)});
            fields.push_back({"E9", card->second.exchangeRateText});
        }
    }
    if (!message.m_Invoice.empty()) {
        fields.push_back({"15", message.m_Invoice});
    }
    const std::string merchant = message.m_MerchantId.empty() ? m_MerchantId : message.m_MerchantId;
    return JoinHostFields("SV." + merchant, fields);
}
