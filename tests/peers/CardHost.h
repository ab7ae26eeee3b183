#pragma once
// The card host behind the simulated Datawire providers: it reads the gift-card host message the server sends,
// keeps card accounts in memory and answers as the card service would. Written from the message format alone,
// apart from the server's own writer and reader, so that a test catches the server's mistakes in either.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/Mutex.h"

// Message types of field "40".
inline constexpr char kMsgIssue[] = "0100";
inline constexpr char kMsgVoidIssue[] = "0802";
inline constexpr char kMsgSale[] = "0200";
inline constexpr char kMsgNoNsfSale[] = "0202";
inline constexpr char kMsgAdd[] = "0300"; // Return and Reload
inline constexpr char kMsgVoidSale[] = "0800";
inline constexpr char kMsgVoidAdd[] = "0801"; // VoidReturn and VoidReload
inline constexpr char kMsgBalance[] = "0400";
inline constexpr char kMsgCashOut[] = "0600";
inline constexpr char kMsgReversal[] = "0704";

// Response codes of field "39" that the card host gives.
inline constexpr char kHostApproved[] = "00";
inline constexpr char kHostInsufficientFunds[] = "01";
inline constexpr char kHostUnknownAccount[] = "03";
inline constexpr char kHostInactiveAccount[] = "04";
inline constexpr char kHostInvalidTranCode[] = "06";
inline constexpr char kHostInvalidMerchant[] = "07";
inline constexpr char kHostAlreadyActive[] = "08";
inline constexpr char kHostBadFormat[] = "12";
inline constexpr char kHostMaxBalanceExceeded[] = "17";
inline constexpr char kHostInvalidAmount[] = "18";
inline constexpr char kHostNoPreviousTransaction[] = "33";
inline constexpr char kHostAlreadyReversed[] = "34";
inline constexpr char kHostVoidAfterActivity[] = "42";

// One field of a host message: its two-character code and the text after it.
struct CHostField {
    std::string code;
    std::string value;
};

// A request message taken apart and checked against the format the server must write: "SV." + merchant, then
// "40", "12", "13", "35" or "70", "42", "44", "62", optional "15", "08" and "04", the currency field "C0..." and,
// for a reversal, "F6", separated by FS with none at the end. A plain value.
class CHostRequestMessage {
public:
    // False with |problem| saying what is wrong when |text| breaks the format; |out| then holds what was read.
    static bool Decode(const std::string& text, CHostRequestMessage* out, std::string* problem);

    // The value of the first field with |code| ("" when there is none) and whether there is one.
    std::string Get(const std::string& code) const;
    bool Has(const std::string& code) const;

    // The message type the account rules apply to: the reversed type of a reversal, else the own type.
    const std::string& EffectiveType() const { return m_Type == kMsgReversal ? m_OrigType : m_Type; }

    std::string m_Text;
    std::string m_MerchantId;         // after "SV."
    std::string m_Type;               // "40"
    std::string m_Time;               // "12", HHMMSS
    std::string m_Date;               // "13", MMDDYYYY
    bool m_Swiped = false;            // "35" rather than "70"
    std::string m_Track2;             // "35" as sent
    std::string m_Account;            // "70", or "35" up to its '='
    std::string m_TerminalId;         // "42" after the merchant
    std::string m_AltMerchantId;      // "44"
    std::string m_Operator;           // "62", eight characters
    std::string m_Invoice;            // "15", when sent
    std::string m_RefNo;              // "08", when sent
    bool m_HasAmount = false;         // "04" sent
    int64_t m_AmountCents = 0;        // "04"
    std::string m_CurrencyField;      // "C0840" ...
    std::string m_OrigType;           // "F6" of a reversal
    std::vector<CHostField> m_Fields; // every field after the first, in order
};

// What the card host did with one message.
struct CHostExchange {
    std::string request;     // the host message as received
    bool wellFormed = false; // Decode passed
    std::string problem;     // Decode's complaint, when not well formed
    std::string type;        // "40"
    std::string origType;    // "F6" of a reversal
    std::string account;
    int64_t amountCents = 0;     // "04", 0 when absent
    std::string responseCode;    // "39" answered
    std::string authCode;        // "38" answered, approvals only
    int64_t balanceBefore = 0;   // "75"
    int64_t balanceAfter = 0;    // "76"
    std::string answer;          // the whole answer text ("" when none was given)
    int provider = -1;           // which provider carried it (set by the simulator)
    uint64_t receivedTickMs = 0; // clock seam time of arrival
    bool applied = false;        // the answer was approved and the accounts changed (or a balance was read)
};

// One card account.
struct CCardAccount {
    bool active = false;
    int64_t balanceCents = 0;
    // Issue currency: when set, answers carry "BC", "80", "81" and "E9".
    std::string issueCurrencyCode;              // "124", "978", ...
    int64_t exchangeRateTenThousandths = 10000; // issue currency units per merchant currency unit, times 10000
    std::string exchangeRateText;               // "E9" as sent
};

// Keeps the accounts and the record of every message. Thread-safe: every public member takes m_Lock, so the
// provider connection threads and the test thread may call it at once.
class CCardHost {
public:
    CCardHost() = default;
    CCardHost(const CCardHost&) = delete;
    CCardHost& operator=(const CCardHost&) = delete;

    // Answers one host message and records the exchange. |provider| and |tickMs| only go into the record.
    // |apply| false reads and records the message but leaves the accounts alone (a host that lost it).
    std::string Answer(const std::string& request, int provider, uint64_t tickMs, bool apply = true);

    // The merchant the host expects in "SV." and "42" ("" accepts any) and its terminal ("" accepts any).
    void SetMerchant(const std::string& merchantId, const std::string& terminalId);
    // The highest balance a card may reach.
    void SetMaxBalance(int64_t cents);
    // Puts a card in place (replacing one with that number).
    void AddCard(const std::string& account, int64_t balanceCents, bool active = true);
    // Gives a card an issue currency, so that its answers carry the currency fields.
    void SetIssueCurrency(const std::string& account, const std::string& code, int64_t rateTenThousandths,
                          const std::string& rateText);
    // Every later message for |account| is declined with |code| (two digits), until cleared with "".
    void ForceResponse(const std::string& account, const std::string& code);

    std::optional<CCardAccount> Card(const std::string& account) const;
    // The balance of a card, -1 when there is no such card.
    int64_t Balance(const std::string& account) const;
    std::vector<CHostExchange> Exchanges() const;
    size_t ExchangeCount() const;
    // The complaints about messages that broke the format, in order.
    std::vector<std::string> Problems() const;
    void ClearExchanges();

private:
    // A transaction that changed an account, kept so that a void or a reversal can undo it.
    struct CApplied {
        std::string type; // effective message type
        std::string account;
        std::string time, date, invoice;
        int64_t requested = 0;    // "04"
        int64_t delta = 0;        // change of the balance
        bool activated = false;   // an Issue turned the card on
        bool deactivated = false; // a VoidIssue turned it off
        int64_t balanceBeforeDeactivation = 0;
        bool undone = false; // voided or reversed
        int undoneBy = -1;   // index of the void that undid it
        bool isVoid = false;
        int voidOf = -1; // index of the transaction this void undid

        // The entry of |message| booked as |effectiveType| for |requestedCents|.
        static CApplied Of(const CHostRequestMessage& message, const std::string& effectiveType,
                           int64_t requestedCents);
    };

    struct COutcome {
        std::string code = kHostApproved;
        std::string authCode;
        int64_t before = 0;
        int64_t after = 0;
        bool known = false; // the card exists, so balances go into the answer
        bool applied = false;
    };

    COutcome Apply(const CHostRequestMessage& message, bool apply) REQUIRES(m_Lock);
    COutcome ApplyVoid(const CHostRequestMessage& message, bool apply) REQUIRES(m_Lock);
    COutcome ApplyReversal(const CHostRequestMessage& message, bool apply) REQUIRES(m_Lock);
    // Takes |entry|'s effect off the accounts; false (nothing changed) when the balance cannot take it.
    bool Undo(CApplied& entry) REQUIRES(m_Lock);
    void Redo(CApplied& entry) REQUIRES(m_Lock);
    std::string NextAuthCode() REQUIRES(m_Lock);
    std::string BuildAnswer(const CHostRequestMessage& message, const COutcome& outcome) const REQUIRES(m_Lock);

    mutable CMutex m_Lock;
    std::string m_MerchantId GUARDED_BY(m_Lock);
    std::string m_TerminalId GUARDED_BY(m_Lock);
    int64_t m_MaxBalance GUARDED_BY(m_Lock) = 100000000;
    std::map<std::string, CCardAccount> m_Cards GUARDED_BY(m_Lock);
    std::map<std::string, std::string> m_Forced GUARDED_BY(m_Lock);
    std::vector<CApplied> m_Applied GUARDED_BY(m_Lock);
    std::vector<CHostExchange> m_Exchanges GUARDED_BY(m_Lock);
    std::vector<std::string> m_Problems GUARDED_BY(m_Lock);
    int m_NextAuth GUARDED_BY(m_Lock) = 0;
};

// The message text of a field list: the first field as it stands, then FS + code + value for each field.
std::string JoinHostFields(const std::string& first, const std::vector<CHostField>& fields);
