#pragma once
// Character classes of the system's texts, ASCII only: the C library's follow the locale, and no byte above 127
// is a blank, a digit or a letter in any text or protocol here. Free functions: any thread may call them.

#include <string_view>

// Blank, tab, line feed, vertical tab, form feed and carriage return.
inline constexpr std::string_view kAsciiWhiteSpace = " \t\n\v\f\r";

inline bool IsAsciiWhiteSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}
inline bool IsAsciiDigit(char c) {
    return c >= '0' && c <= '9';
}
inline bool IsAsciiLetterOrDigit(char c) {
    return IsAsciiDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
