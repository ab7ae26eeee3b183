#pragma once
// Small field helpers of the transaction object: amount digits for the host message, TranCode keywords,
// fixed-width fields, the card-type classification by prefix and length, and the mod-10 check of account
// numbers. Free functions without state: any thread may call them. The digit test is IsAllDigits of
// foundation/TextHelpers.h.

#include <string>

#include "foundation/TextHelpers.h"

// The amount with every '.', '-' and '+' removed; "" counts as ".00" and so gives "00".
std::string NormalizeAmount(const std::string& amount);
// The same; with |threeDecimals| "" counts as ".000" and gives "000".
std::string NormalizeAmount(const std::string& amount, bool threeDecimals);

// The TranCode keyword of a TranCode number ("Issue" 60 to "CashOut" 70); "INVALID" for any other number.
std::string TranCodeName(int tranCode);

// |text| filled with blanks on the right, or cut, to exactly |width| characters ("" for a width below 1).
std::string PadRight(const std::string& text, int width);
// The characters from |position| (from 0) to the end; "" when |position| is at or past the end.
std::string TailFrom(const std::string& text, int position);
// The number as "%d".
std::string IntToText(int value);

// True when the mod-10 check of |accountNo| passes; false for "".
bool LuhnCheck(const std::string& accountNo);

// What GetCardType makes of an account number: a card-type name of the shared vocabulary, a one-letter code
// ('O' when nothing matched and for the AMEX, DCLB, M/C and JCB rows of prefix 3, which give no letter) and a
// flag that is 0 for VISA and for M/C of prefix 5, 1 otherwise.
struct SCardType {
    std::string Name;
    char Letter = 'O';
    int Flag = 1;
};
SCardType GetCardType(const std::string& accountNo);
