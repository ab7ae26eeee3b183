#pragma once
// The host message's tables: the response texts, message types and currency fields. CTransaction's
// host-message members (BuildHostRequest, ParseHostResponse, ...) are declared in Transaction.h and defined in
// HostMessage.cpp beside these. Plain functions of their arguments, safe from any thread.

#include <string>

// "%02d:%s" of the host response code and its text; "UNKNOWN RESPONSE CODE" for a code outside the table.
std::string HostResponseText(int code);
// The host message type (field "40") of a TranCode number; "0400" for a number outside the table.
std::string HostMessageType(int tranCode);
// The currency field of the merchant currency parameter; "C0840" for anything unknown.
std::string CurrencyField(const std::string& merchantCurrency);
// The currency name of a host "BC" code; an unknown code is returned unchanged.
std::string IssueCurrencyName(const std::string& code);
