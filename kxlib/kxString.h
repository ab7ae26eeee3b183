#pragma once
// The utility library's text value: an 8-bit string over std::string with the library's construction from
// numbers, printf-style formatting, trimming, case change, searching, replacing, splitting, padding, numeric
// tests and conversions, comparison with options, and small XML and hexadecimal builders. Every other class of
// the library takes and returns it.
//
// Value semantics: a copy never shares visible state with its source. No lock: one object is used by one thread
// at a time; the static members keep no state besides the read-only set of true words.
//
// Positions are zero-based character indexes; |npos| means "not found" in results and "to the end" or "the
// whole text" in arguments. Case arguments are true for case-sensitive; case-insensitive work maps single
// bytes in the C locale (ASCII letters only), so the result never depends on the process's locale. Searches
// step over embedded zero bytes; the numeric conversions stop at the first one, as the C library does.

#include <concepts>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

class kxDate;
class kxTime;

class kxString {
public:
    static constexpr size_t npos = std::string::npos;

    kxString() = default;
    kxString(const kxString&) = default;
    kxString(kxString&&) noexcept = default;
    kxString& operator=(const kxString&) = default;
    kxString& operator=(kxString&&) noexcept = default;
    // Overridden by kxException and kxSecureString; the only virtual member.
    virtual ~kxString() = default;

    kxString(const std::string& text) : m_Text(text) {}
    kxString(std::string&& text) noexcept : m_Text(std::move(text)) {}
    // A copy of |*other|'s text; "" for a null pointer.
    explicit kxString(const kxString* other);
    // |length| characters of |text| (npos: up to its zero byte); "" for a null text.
    kxString(const char* text, size_t length = npos);
    // |c| repeated |count| times.
    kxString(size_t count, char c) : m_Text(count, c) {}
    explicit kxString(char c) : m_Text(1, c) {}
    // |text| repeated |count| times.
    kxString(const kxString& text, size_t count);
    // Style 1 "true"/"false", 2 "1"/"0", 3 "Y"/"N", any other "". Only a bool itself selects it, so a text
    // and a length never do.
    template <std::same_as<bool> Bool> explicit kxString(Bool value, int style = 1) : m_Text(BoolText(value, style)) {}
    // Decimal digits, "-" in front of a negative value. Here "long" is the library's 32-bit integer, so the
    // int and unsigned overloads serve it; the 64-bit types use the library's own base-10 conversion.
    explicit kxString(unsigned char value);
    explicit kxString(short value);
    explicit kxString(unsigned short value);
    explicit kxString(int value);
    explicit kxString(unsigned int value);
    explicit kxString(long value);
    explicit kxString(unsigned long value);
    explicit kxString(long long value);
    explicit kxString(unsigned long long value);
    // "%+2.15f": the sign always, 15 decimals.
    explicit kxString(float value);
    explicit kxString(double value);
    // The date in its format type 1, the ISO form with time ("" for no date).
    explicit kxString(const kxDate& date);
    // The time zero-padded on the 24-hour clock with ":" ("" when unset).
    explicit kxString(const kxTime& time);

    kxString& operator=(const char* text) { return Assign(text); }
    kxString& operator=(const std::string& text) { return Assign(text); }

    // ---- Access ----
    size_t Length() const { return m_Text.size(); }
    const char* c_str() const { return m_Text.c_str(); }
    const std::string& Str() const { return m_Text; }
    // The character at |position|; 0 for a position at or past the end.
    char GetAt(size_t position) const;

    // ---- Assignment and appending (each returns the string itself) ----
    // A null text assigns "".
    kxString& Assign(const char* text);
    kxString& Assign(const char* text, size_t length);
    kxString& Assign(const kxString& text);
    kxString& Assign(const std::string& text);
    // Part of |source|; a position past its end throws std::out_of_range.
    kxString& Assign(const kxString& source, size_t position, size_t count);

    // A null text changes nothing.
    kxString& Append(const char* text);
    // |count| characters of |text| (npos: up to its zero byte).
    kxString& Append(const char* text, size_t count);
    kxString& Append(const kxString& text);
    kxString& Append(const kxString& source, size_t position, size_t count);
    kxString& Append(char c);
    // "true" / "false".
    kxString& Append(bool value);
    // Any number, as its constructor writes it: decimal digits, or "%+2.15f".
    template <typename Number>
    requires(std::is_arithmetic_v<Number> && !std::is_same_v<Number, bool> &&
             !std::is_same_v<Number, char>) kxString& Append(Number value) {
        return Append(kxString(value));
    }
    // Format type 1.
    kxString& Append(const kxDate& date);
    // Zero-padded, 24-hour, ":".
    kxString& Append(const kxTime& time);
    // The low byte of every unit up to the zero unit; a null text changes nothing.
    kxString& Append(const char16_t* text);

    // += takes whatever Append takes.
    template <typename T> kxString& operator+=(const T& value) { return Append(value); }

    kxString& Prepend(const char* text, size_t count = npos);
    kxString& Prepend(const kxString& text);
    kxString& Prepend(const kxString& source, size_t position, size_t count);

    // Inserts |sourceCount| characters (npos: the rest) of |source| from |sourcePosition| (npos: the whole
    // source) at |position|; returns the new length. A position past the end, an empty source or a source
    // position at or past the source's end change nothing and return the old length.
    size_t Insert(size_t position, const kxString& source, size_t sourcePosition = npos, size_t sourceCount = npos);

    // ---- Formatting ----
    // Replaces the text with the printf-style result and returns it; a null format empties the string and
    // returns nullptr.
    const char* FormatV(const char* format, va_list args) __attribute__((format(printf, 2, 0)));
    const char* Format(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // New strings with the printf-style result ("" for a null format).
    static kxString FormattedV(const char* format, va_list args) __attribute__((format(printf, 1, 0)));
    static kxString Formatted(const char* format, ...) __attribute__((format(printf, 1, 2)));
    // |value| with |decimals| decimals (rounded, or cut digit for digit), the integer part grouped by three
    // digits with |groupSeparator| (none when empty), then |suffix| appended and |prefix| put in front:
    // -1234567.891, 2, true, ",", "$" gives "$-1,234,567.89". Rounded to no decimals the value is written
    // with "%2.0f", whose width stays: 5 gives " 5".
    static kxString FormatNumber(double value, int decimals, bool rounded, const kxString& groupSeparator,
                                 const kxString& prefix, const kxString& suffix);

    // ---- Trimming (in place) ----
    // White space is tab, line feed, vertical tab, form feed, carriage return and blank.
    kxString& TrimLeft();
    kxString& TrimRight();
    kxString& Trim();
    // With |asSet| every leading (trailing) character found in |chars| goes; without it |chars| goes once
    // when the text begins (ends) with it as a whole, case-sensitive.
    kxString& TrimLeft(const kxString& chars, bool asSet);
    kxString& TrimRight(const kxString& chars, bool asSet);
    kxString& Trim(const kxString& chars, bool asSet);
    static kxString Trimmed(const kxString& text);
    static kxString Trimmed(const kxString& text, const kxString& chars, bool asSet);

    // ---- Case ----
    // Change the characters from |from| to the end (a position at or past the length means 0).
    kxString& MakeLower(size_t from = 0);
    // Returns the text, or nullptr for an empty string.
    const char* MakeUpper(size_t from = 0);
    static kxString Lower(const kxString& text, size_t from = 0);
    static kxString Upper(const kxString& text, size_t from = 0);
    kxString& Reverse();

    // ---- Searching (positions or npos) ----
    // Position of the |n|-th occurrence (from 1, without overlap) of |text| in the part from |start|, or in
    // reverse the |n|-th counted from the end in the part that leaves out the last |start| characters. npos
    // when there are fewer, when either text is empty or |text| is longer than the part, or when |start| is at
    // or past the length.
    size_t Find(size_t start, const kxString& text, bool caseSensitive = true, size_t n = 1,
                bool reverse = false) const;
    size_t Find(size_t start, const char* text, bool caseSensitive = true, size_t n = 1, bool reverse = false) const;
    size_t Find(const kxString& text, bool caseSensitive = true, size_t n = 1, bool reverse = false) const;
    // Appends the position of every occurrence, left to right without overlap; returns how many.
    size_t FindAll(const kxString& text, std::vector<size_t>& positions, bool caseSensitive = true) const;
    // Occurrences without overlap, at most |maximum|; the first one's position (npos: none) goes to
    // |firstPosition| when given.
    size_t Count(const kxString& text, bool caseSensitive = true, size_t maximum = npos,
                 size_t* firstPosition = nullptr) const;
    // First position from |start| (reverse: last at or before |start|, capped at the last character) whose
    // character is (is not) in |set|.
    size_t FindOneOf(const kxString& set, size_t start = 0, bool caseSensitive = true, bool reverse = false) const;
    size_t FindNotOneOf(const kxString& set, size_t start = 0, bool caseSensitive = true, bool reverse = false) const;

    // Character classes for FindCharClass.
    static constexpr unsigned kClassSpace = 0x01;
    static constexpr unsigned kClassDigit = 0x02;
    static constexpr unsigned kClassHexDigit = 0x04;
    static constexpr unsigned kClassUpper = 0x08;
    static constexpr unsigned kClassLower = 0x10;
    static constexpr unsigned kClassControl = 0x20;
    static constexpr unsigned kClassPrintable = 0x40;
    // First position at or after |start| (reverse: at or before it, scanning down; npos then means the last
    // character) whose character is in one (in none) of the classes in |flags|; npos for none, an empty string
    // or a start at or past the length.
    size_t FindCharClass(unsigned flags, size_t start = 0, bool reverse = false) const;
    size_t FindNotCharClass(unsigned flags, size_t start = 0, bool reverse = false) const;
    // Bit 1: flag 1 asked and the first character is in |set|; bit 2: flag 2 asked and the last one is.
    unsigned EdgeCharsInSet(const kxString& set, unsigned flags) const;
    // An empty |text| matches only an empty string.
    bool StartsWith(const kxString& text, bool caseSensitive = true, bool skipWhiteSpace = false) const;
    bool EndsWith(const kxString& text, bool caseSensitive = true, bool skipWhiteSpace = false) const;

    // ---- Replacing ----
    // Replaces up to |maximum| occurrences, left to right without overlap; returns how many. 0 and no change
    // for an empty string or |find|, or when |find| equals |replacement|.
    size_t Replace(const kxString& find, const kxString& replacement, bool caseSensitive = true, size_t maximum = npos);
    size_t Replace(char find, char replacement, bool caseSensitive = true, size_t maximum = npos) {
        return ReplaceChar(find, replacement, caseSensitive, maximum);
    }
    // 0 when the two characters are equal.
    size_t ReplaceChar(char find, char replacement, bool caseSensitive = true, size_t maximum = npos);
    static kxString Replaced(const kxString& text, const kxString& find, const kxString& replacement,
                             bool caseSensitive = true, size_t maximum = npos);
    static kxString ReplacedChar(const kxString& text, char find, char replacement, bool caseSensitive = true,
                                 size_t maximum = npos);

    // ---- Splitting (both clear |items| first and return its new size) ----
    // Pieces between characters of |delimiters|, trimmed of white space with |trim|; empty pieces only with
    // |keepEmpty|; a final delimiter adds no empty piece after it.
    size_t Split(const kxString& delimiters, std::vector<kxString>& items, bool trim = false,
                 bool keepEmpty = false) const;
    // One piece for every run of equal characters: "aabccc" gives "aa", "b", "ccc".
    size_t SplitRuns(std::vector<kxString>& items) const;

    // ---- Parts of the text ----
    kxString Left(size_t n) const;
    kxString Right(size_t n) const;
    // A position past the end throws std::out_of_range.
    kxString Mid(size_t position, size_t count = npos) const;
    // Removes [position, position + count) and returns it; "" and no change for a position at or past the end.
    kxString Cut(size_t position, size_t count = npos);
    // The text becomes itself |n| times; a length past the string's maximum throws std::length_error.
    kxString& Repeat(size_t n);
    static kxString Repeated(const kxString& text, size_t n);
    // Fills up to |width| with |padText| repeated (and cut), in front or at the end.
    kxString& Pad(bool atFront, const kxString& padText, size_t width);
    // The digit characters from |start| up to the first character in |stopChars| (other characters skipped).
    kxString Digits(size_t start = 0, const kxString& stopChars = kxString()) const;
    // Overwrites [from, to) with |c|: from npos means 0, to npos or past the end means the end.
    kxString& Fill(char c, size_t from = npos, size_t to = npos);

    // ---- Tests and conversions ----
    // True for ""; with the flag also for white space only.
    bool IsEmpty(bool whitespaceIsEmpty = false) const;
    // digitsOnly: only decimal digits. Otherwise leading blanks, then digits with one sign (before any digit
    // or ".") and one "."; at least one digit.
    bool IsNumeric(bool digitsOnly = false) const;
    // The upper-case text is one of "TRUE", "T", "YES", "Y", "ON", "1".
    bool IsTrue() const;
    // The C library's base-10 conversions (0 for ""), held at the range of the 32-bit result as a 32-bit
    // strtol and strtoul hold it.
    int32_t AsLong() const;
    uint32_t AsULong() const;
    int AsInt() const;
    double AsDouble() const;
    // Negative, 0 or positive. With |trimFirst| trailing white space is left out of both; an empty text sorts
    // by length; with |prefixOnly| only the shorter length is compared.
    int Compare(const kxString& other, bool caseSensitive = true, bool prefixOnly = false,
                bool trimFirst = false) const;
    // Empties the text; with |secure| every character is first overwritten with zero bytes.
    void Clear(bool secure = false);

    // ---- Library-wide helpers ----
    // The system's text for the error number |code|, ended by "\r\n" as the library's message texts are; with
    // |trimEnd| white space at the end is removed. "" when the system has no text.
    static kxString SystemErrorText(uint32_t code, bool trimEnd = true);
    // A new random GUID as lower-case hexadecimal with hyphens, no braces; "" on failure.
    static kxString NewGuidString();
    // Case-insensitive strstr: the first occurrence of |find| in |text| or nullptr; |text| for an empty find.
    static const char* StrStrNoCase(const char* text, const char* find);
    // " name=\"value\"" (the value unescaped).
    static kxString XmlAttribute(const kxString& name, const kxString& value);
    // |indent| tabs, "<name>value</name>", then "\r\n" with |newline| (the value unescaped).
    static kxString XmlElement(const kxString& name, const kxString& value, bool newline = false, int indent = 0);
    static kxString XmlOpenTag(const kxString& name, bool newline = false, int indent = 0);
    static kxString XmlCloseTag(const kxString& name, bool newline = false, int indent = 0);

    friend bool operator==(const kxString& a, const kxString& b) { return a.m_Text == b.m_Text; }
    friend bool operator==(const kxString& a, const char* b) { return a.m_Text == (b ? b : ""); }
    friend bool operator<(const kxString& a, const kxString& b) { return a.m_Text < b.m_Text; }
    friend kxString operator+(const kxString& a, const kxString& b) { return kxString(a.m_Text + b.m_Text); }
    friend kxString operator+(const kxString& a, const char* b) { return kxString(a).Append(b); }
    friend kxString operator+(const char* a, const kxString& b) { return kxString(a).Append(b); }

protected:
    std::string m_Text;

private:
    static const char* BoolText(bool value, int style);
};

// Clears |out|, then appends two upper-case hexadecimal digits per byte, high half first; nothing for null
// bytes or a count of 0.
void kxBytesToHex(const uint8_t* bytes, size_t count, kxString& out);
