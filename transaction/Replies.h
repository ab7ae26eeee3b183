#pragma once
// The XML replies a POS client receives ("RStream" with "CmdResponse" and, for a processed transaction,
// "TranResponse"), the reply frame, the result-code texts and the masks of card data in replies. The
// transaction's own reply members (FormatTranResponse, FormatRStream, BuildErrorReply, FinishReply) are
// declared in Transaction.h and written in Replies.cpp.

#include <string>

// Writes the "CmdResponse" element, alone or as the whole reply document. Values are written unescaped, as
// the POS clients expect them. A plain value: one thread uses an object.
class CCmdResponse {
public:
    CCmdResponse() = default;
    virtual ~CCmdResponse() = default;
    CCmdResponse(const CCmdResponse&) = default;
    CCmdResponse& operator=(const CCmdResponse&) = default;

    // Set m_ReturnCode ("%06d" of |returnCode|), m_CmdStatus from |status| ('A' "Approved", 'D' "Declined",
    // 'S' "Success", any other letter "Error"), m_TextResponse and m_UserTraceData, and return the
    // "<?xml ...><RStream>" document or the bare fragment. m_ResponseOrigin keeps what the caller set.
    std::string BuildDocument(int returnCode, char status, const std::string& text, const std::string& traceData);
    std::string BuildFragment(int returnCode, char status, const std::string& text, const std::string& traceData);

    // The status word of a status letter.
    static std::string StatusWord(char status);

    std::string m_ResponseOrigin = "Server";
    std::string m_ReturnCode = "999999";
    std::string m_CmdStatus = "Error";
    std::string m_TextResponse = "Unknown Error";
    std::string m_UserTraceData;

private:
    void Set(int returnCode, char status, const std::string& text, const std::string& traceData);
    std::string Fragment() const;
};

// The document head and tail around the fragments.
inline constexpr char kRStreamHead[] = "<?xml version=\"1.0\"?>\r\n<RStream>\r\n";
inline constexpr char kRStreamTail[] = "</RStream>\r\n";

// FS, '2' for an encrypted body or '0' for a plain one, "00", STX, |body|, ETX.
std::string FrameReply(const std::string& body, bool encrypted);

// Every character but the last four replaced by 'X' (a text of four or fewer stays as it is).
std::string MaskAccount(const std::string& account);
// Every character replaced by 'X'.
std::string MaskExpDate(const std::string& expDate);

// The code an error reply carries for |resultCode| (8888 for a code outside the table) and its text: the
// table's text, |hostErrorText| for 4003, "Invalid Field - " before the field texts of 100201..100244.
struct SReplyCode {
    int Code;
    std::string Text;
};
SReplyCode ResultCodeText(int resultCode, const std::string& hostErrorText);
