#pragma once
// Text helpers that every unit uses in the same form (numbered items, safe substrings, digit tests, integer
// text, map lookups), the amount text rules shared by request parsing and reply writing, and the system's
// text for an error code. Free functions without state: any thread may call them.

#include <cstdarg>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "foundation/ErrorCodes.h"
#include "platform/TextFormat.h"

// Item number (1, 2, ...) to item text, as SplitToItems fills it.
using CItemMap = std::map<int, std::string>;
// Key to value text.
using CStringMap = std::map<std::string, std::string>;

// Empties |items|, then stores every piece of |text| that ends at a |separator| (empty pieces too) under the
// next number from 1, and a non-empty tail after the last separator as the last item. False for an empty text.
bool SplitToItems(char separator, const std::string& text, CItemMap& items);
// The item stored under |number|, or "" when there is none.
std::string GetItem(const CItemMap& items, int number);

// Up to |count| characters from |start|; "" when |start| is at or past the end. A negative start counts as 0
// and a negative count as 0, so no caller's arithmetic can reach outside the text.
std::string SafeMid(const std::string& text, int start, int count);
// The rest of |text| from |start|; "" when |start| is at or past the end (a negative start counts as 0).
std::string SafeMid(const std::string& text, int start);

// True when |part| stands anywhere in |text|.
bool Contains(const std::string& text, const char* part);
// |text| without the characters of |blanks| at either end.
std::string TrimChars(const std::string& text, std::string_view blanks);

// True when every character is a decimal digit; true for "".
bool IsAllDigits(const std::string& text);
// The number as "%d".
std::string IntToString(int value);
// The decimal value of the leading "[white space][sign]digits" of |text|, read the way the C library reads a
// number, 0 when there are none; held at the range of the result type instead of overflowing, so that no
// text from a file or a peer can overflow it.
int64_t LeadingInt64(const std::string& text);
int LeadingInt(const std::string& text);
// The value stored under |key|, or "" when there is none.
std::string LookupText(const CStringMap& map, const std::string& key);

// An amount text with two decimals: 3 to 9 characters (3 to 7 with |shortForm|), at most 8 when signed,
// "." third from the end and only once, digits otherwise, with an optional leading "-".
bool IsValidAmount(const std::string& text, bool shortForm);
// The same shape with three decimals: 4 to 7 characters, "." fourth from the end, an optional leading "-"
// and no further length rule for it.
bool IsValidThreeDecimals(const std::string& text);
// The amount as whole cents: blanks and "+" dropped, "C" or "-" make it negative, decimals cut (not rounded)
// or filled to two; a text without "." already counts cents ("12" is 12). Clamped to the range of long.
long AmountToCents(const std::string& text);
// The amount as "[-]d.dd": "1234" (cents) -> "12.34", "1.5" -> "1.50", "-5" -> "-0.05", "C5.00" -> "-5.00",
// "" -> "0.00".
std::string FormatAmount(const std::string& text);
// FormatAmount of the number of cents: 12345 -> "123.45", -5 -> "-0.05", 0 -> "0.00".
std::string CentsToAmount(long cents);

// The system's text for |code|, with its trailing "\r\n": strerror texts for errno values, and the texts of
// the crypto and certificate codes of ErrorCodes.h. "" for a code the system has no text for.
std::string GetErrorText(uint64_t code);
// The same for the middle of a line: without the line end, and "error <code>" when the system has no text.
std::string GetErrorTextInline(uint64_t code);
