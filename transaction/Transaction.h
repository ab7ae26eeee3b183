#pragma once
// One gift-card transaction from the arrival of a POS request until its reply has been delivered: the request
// frame taken apart and decrypted, the validated fields, the host message and the host's answer, the framed
// reply, and the state that hands the record between the sessions, the queues and the host workers. The host
// message members are defined in HostMessage.cpp (its tables in HostMessage.h), the replies in Replies.cpp.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/TextHelpers.h"
#include "platform/ControlChars.h"

class CRc4Key;

// Result codes a transaction carries in m_ResultCode; each has its reply text (ResultCodeText, Replies.h).
enum EResultCode : int32_t {
    kResultNew = 1000,                  // at construction
    kResultInvalidCommandFormat = 1003, // field parsing started; stays on a request that parses cleanly
    kResultUserAbort = 1010,
    kResultHostError = 4003, // replied with m_HostErrorText
    kResultWeakEncryption = 4004,
    kResultClearText = 4005,
    kResultOldClient = 4006,
    kResultUnrecognizedFormat = 4010,
    kResultDecryptFailed = 4011,
    kResultMerchantIdMissing = 4018,
    kResultTStreamMissing = 4019,
    kResultEncryptFailed = 4020,
    kResultInvoiceMissing = 4022,
    kResultRefNoMissing = 4023,
    kResultAuthThreadFailed = 4024,
    kResultShuttingDown = 4027,
    kResultUndefined = 8888, // what any code outside the table is replied as
    // This server's own codes, for refusals the system it was built after never made. They lie outside every
    // range of that system's codes (request codes 1001-4030 and 100201-100244, socket and TLS 3003-3124, Datawire
    // 50006-50060, session 2000-2020), so a lane that knows a meaning for a code there never reads one of these
    // as it.
    kResultLaneBusy = 9001,   // the lane has as many requests outstanding as it may
    kResultServerBusy = 9002, // the server has as many requests outstanding as it may
    kResultFieldTranType = 100201,
    kResultFieldAccount = 100204,
    kResultFieldExpDate = 100205,
    kResultFieldAuthCode = 100206,
    kResultFieldAuthAmount = 100208,
    kResultFieldPurchase = 100211,
    kResultFieldTranCode = 100219,
    kResultFieldTStream = 100221,
};

// TranCode numbers of m_TranCode and m_OrigTranCode; 0 while a request is invalid.
enum ETranCodeNumber : int32_t {
    kTranNumInvalid = 0,
    kTranNumReversal = 50,
    kTranNumIssue = 60,
    kTranNumVoidIssue = 61,
    kTranNumSale = 62,
    kTranNumReturn = 63,
    kTranNumReload = 64,
    kTranNumVoidSale = 65,
    kTranNumVoidReturn = 66,
    kTranNumVoidReload = 67,
    kTranNumBalance = 68,
    kTranNumNoNSFSale = 69,
    kTranNumCashOut = 70,
};

// m_CryptMode: how the request came and how its reply is framed.
enum ECryptMode : int32_t {
    kCryptModeEncrypted = 0, // letter '2': parsed, sent to the host, replied encrypted
    kCryptModeAbort = 1,     // letter 'A': cancels the same client's waiting requests
    kCryptModePlain = 2,     // refused or failed: replied in plain text
};

// m_State: who holds the record in the transaction queue.
enum ETranState : int32_t {
    kTranStateNew = 0,
    kTranStateQueued = 1,         // queued for the host
    kTranStateTaken = 2,          // taken by the host interface
    kTranStateAborted = 3,        // replied with 1010
    kTranStateHostError = 4,      // replied with 4003 and m_HostErrorText
    kTranStateCodeSet = 5,        // replied with its own m_ResultCode
    kTranStateDelivered = 6,      // delivered or finished, to be purged
    kTranStateCompleted = 7,      // m_Reply is sent unchanged
    kTranStateDial = 8,           // handed to the dial backup
    kTranStateDialSendFailed = 9, // dial send failed
    kTranStateDialParsed = 10,    // dial answer parsed
    kTranStateDialFailed = 11,    // dial exchange failed
};

// One transaction, a plain value: every member is a number, a flag or a std::string, and copies are complete
// and independent. No lock: each thread works on its own copy and writes the whole record back through the
// transaction queue, so the last writer wins. Decryption and encryption go through the process's crypto
// object, which serialises itself.
class CTransaction {
public:
    // Result code 1000, crypt mode 2, state 0, created now, sequence -1, TranCode name "INVALID".
    CTransaction();

    // Copies every member of |other|; the same as assignment, for callers that copy a record in place.
    void CopyFrom(const CTransaction& other) { *this = other; }
    // Empties the host result block but for m_HostRequest, the host message that another attempt or the
    // reversal of this transaction sends again.
    void ClearHostResultKeepRequest();

    // The creation time of a transaction made now: milliseconds of the clock seam's wall time since
    // 1 January 1970 (UTC). A wall time, so that a reversal kept on disk still counts from the original
    // transaction after a restart.
    static int64_t CreatedTimeNow();
    // Whole seconds from m_Created to the clock seam's wall time now (negative when the clock went back).
    int64_t SecondsSinceCreated() const;

    // --- Request parsing ---
    // Everything the session received before the ETX: stores it in m_Request, unframes, decrypts and parses
    // it. Never fails: the outcome is m_ResultCode, m_CryptMode and m_TranCode.
    void SetRequest(const std::string& text);
    // Takes the frame apart by its format letter (sets m_Header, m_CryptMode and m_ResultCode); for an
    // encrypted request decrypts the payload into m_Request.
    void UnframeRequest();
    // Finds the first DC1 and the first DC2 after it in |text|; when both are there, m_RequestKey = the text
    // between them and DC1 through DC2 are removed from |text|. False when the key block is missing.
    bool ExtractRequestKey(std::string& text);
    // Decrypts |payloadHex| with the key blob in m_RequestKey, and keeps the imported key in m_SessionKey for
    // the reply. False for an empty or odd-length key, or when the crypto object refuses the blob or the payload.
    bool DecryptRequest(const std::string& payloadHex, std::string& out);
    // Encrypts |text| into upper-case hex with the key the request was decrypted with (the blob in
    // m_RequestKey is imported only when there is none). False on the same faults.
    bool EncryptResponse(std::string& outHex, const std::string& text) const;
    // Parses the fields of an encrypted request; a request that does not validate is turned to crypt mode 2.
    void ParseRequest();
    // Splits m_Request into key=value fields and validates them in order; the first failure sets the code.
    void ParseFields();
    // The TranCode-dependent checks of ParseFields; sets m_TranCode on success.
    void ParseTranFields(const CStringMap& fields);

    // --- Host message (HostMessage.cpp; its free helpers are in HostMessage.h) ---
    // Writes the host message into m_HostRequest. A reversal first waits until its hold is over
    // (ReversalHoldOver, Settlement.h), in 100 ms steps of the clock seam; false (m_HostRequest unchanged) only
    // when g_ShutdownEvent ended that wait.
    bool BuildHostRequest();
    // Reads m_HostResponse into the host result block and builds the reply (m_Reply).
    void ParseHostResponse();
    // Looks through token numbers |first|..|last| for the first token starting with |code|; true with |out| =
    // the rest of that token. A number missing from |tokens| ends the search. False with |out| empty.
    static bool FindHostField(const CItemMap& tokens, int first, int last, const std::string& code, std::string& out);

    // --- Replies (Replies.cpp) ---
    // The "TranResponse" element and the whole "RStream" document of a processed transaction.
    std::string FormatTranResponse() const;
    std::string FormatRStream() const;
    // The plain error reply for m_ResultCode (sets m_ResultText and crypt mode 2); framed, also kept in m_Reply.
    std::string BuildErrorReply();
    // Finishes a reply by crypt mode and keeps it in m_Reply: 0 frames the encrypted RStream document (|text|
    // unused), 2 frames |text| plain, 1 leaves m_Reply alone. Returns a copy of m_Reply.
    std::string FinishReply(const std::string& text);

    const std::string& GetRequestText() const { return m_Request; }
    const std::string& GetReply() const { return m_Reply; }
    const std::string& GetClientAddress() const { return m_ClientAddress; }

    // Request and reply.
    std::string m_RequestKey; // client key blob as upper-case hex, from between DC1 and DC2
    std::string m_TStream;
    std::string m_Header;  // request text before the first FS (all of it when there is no FS or no STX)
    std::string m_Request; // as received; after a successful decryption the key=value text
    std::string m_Reply;   // the framed reply
    int32_t m_ResultCode = kResultNew;
    std::string m_ResultText;
    int32_t m_TranCode = kTranNumInvalid;
    int32_t m_OrigTranCode = kTranNumInvalid; // of a reversal: the TranCode it reverses
    std::string m_HostTime;                   // "%H%M%S" sent in host field "12"
    std::string m_HostDate;                   // "%m%d%Y" sent in host field "13"
    std::string m_TranCodeName;
    int32_t m_State = kTranStateNew;
    int32_t m_CryptMode = kCryptModePlain;
    std::string m_AuthCode;  // first 12 characters
    std::string m_RefNo;     // last 16 characters
    std::string m_InvoiceNo; // last 12 characters
    std::string m_ClientAddress;
    std::string m_Account; // AcctNo, or the part of Track2 before '='
    std::string m_ExpDate; // MMYY
    std::string m_Track2;  // Track2 or AcctNo exactly as received
    std::string m_CardType;
    std::string m_Authorize; // cents as digits
    std::string m_Purchase;  // cents as digits
    bool m_Swiped = false;
    std::string m_OperatorID; // last 20 characters
    std::string m_Memo;       // first 20 characters
    std::string m_TerminalID; // last 2 characters

    // Host result block; the host interface empties its texts before each exchange.
    bool m_Approved = false;
    bool m_Captured = false;
    bool m_HostSpareFlag = false; // carried along; only AddReversal clears it
    std::string m_HostRequest;
    std::string m_HostResponse;
    std::string m_HostAuthCode;
    std::string m_HostRefNo;
    std::string m_HostVLinkRefNo;
    std::string m_HostErrorText; // replied with code 4003
    std::string m_ResponseText;
    std::string m_Balance;
    std::string m_IssueCurrency;
    std::string m_PrevBalance;
    std::string m_EndBalance;
    std::string m_ExchangeRate;

    int64_t m_Created = 0; // CreatedTimeNow() at construction; the reversal hold counts from it
    int32_t m_QueueSeq = -1;
    int32_t m_QueueSubSeq = 0;
    uint32_t m_ReversalAttempts = 0;
    int32_t m_DialRetry = 0;
    // The reversal journal's entry that holds this transaction while its outcome is in doubt (sent to the host,
    // the approval not yet delivered); 0 when there is none.
    uint64_t m_JournalId = 0;
    // The client's session key as imported from m_RequestKey when the request was decrypted, shared by the
    // copies of the record: the reply is encrypted with it without a second RSA operation. Never journalled.
    std::shared_ptr<const CRc4Key> m_SessionKey;
};

// Transactions held by value, as the queues hand out their snapshots.
using CTransactionList = std::vector<CTransaction>;
