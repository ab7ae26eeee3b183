#include "kxlib/kxMathStatement.h"

#include <cstdlib>

#include "kxlib/kxException.h"
#include "platform/AsciiChars.h"

namespace {

const char* const kUnbalanced = "Failed to process math statement: unbalanced parenthesis.";
const char* const kDivideByZero = "Failed to process math statement: divide by zero.";

bool IsOperator(char c) {
    return c == '*' || c == '+' || c == '-' || c == '/';
}

// The decimal value of a text, as the C library reads it (0 when there is none).
double DecimalValue(const std::string& text) {
    return std::strtod(text.c_str(), nullptr);
}

// A sign, digits with at most one ".", and at least one digit.
bool IsSignedDecimal(const std::string& text) {
    if (text.empty() || (text[0] != '+' && text[0] != '-')) {
        return false;
    }
    bool digit = false;
    bool dot = false;
    for (size_t i = 1; i < text.size(); ++i) {
        if (IsAsciiDigit(text[i])) {
            digit = true;
        } else if (text[i] == '.' && !dot) {
            dot = true;
        } else {
            return false;
        }
    }
    return digit;
}

// Where each "(" of |text| is closed, in the order of the opening parentheses; throws the unbalanced
// exception for a ")" without its "(" and for a "(" that is never closed.
std::vector<std::pair<size_t, size_t>> MatchParentheses(const std::string& text) {
    std::vector<std::pair<size_t, size_t>> pairs;
    std::vector<size_t> open; // indexes into |pairs| still waiting for their ")"
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '(') {
            open.push_back(pairs.size());
            pairs.emplace_back(i, std::string::npos);
        } else if (text[i] == ')') {
            if (open.empty()) {
                throw kxException(kUnbalanced);
            }
            pairs[open.back()].second = i;
            open.pop_back();
        }
    }
    if (!open.empty()) {
        throw kxException(kUnbalanced);
    }
    return pairs;
}

// Appends |value|, the value of a group or of a variable, to |text| in the string class's double form. A "+"
// or "-" written right before it (ignored characters between them allowed) is folded into the value's own
// sign, so that the value keeps it whatever the scan's sign rule does with two signs in a row: -(2+3) is -5,
// 1-(0-2) is 3. Folding never changes an operator's meaning: x-(v) and x+(-v) are the same.
void AppendValue(std::string& text, double value) {
    const size_t last = text.find_last_of("0123456789.*/+-()");
    if (last != std::string::npos && (text[last] == '+' || text[last] == '-')) {
        if (text[last] == '-') {
            value = -value;
        }
        text.erase(last, 1);
    }
    text += kxString(value).Str();
}

// |text| with every occurrence of |name|, left to right without overlap, replaced by |value| (AppendValue);
// |count| receives how many there were.
std::string SubstituteVariable(const std::string& text, const std::string& name, double value, size_t& count) {
    count = 0;
    if (name.empty()) {
        return text;
    }
    std::string out;
    size_t from = 0;
    for (size_t at = text.find(name); at != std::string::npos; at = text.find(name, from)) {
        out.append(text, from, at - from);
        AppendValue(out, value);
        from = at + name.size();
        ++count;
    }
    out.append(text, from);
    return out;
}

// The text with every parenthesised group replaced by its value, innermost first: each open group collects
// its own text on a stack of levels, and its ")" evaluates that text and appends the value to the enclosing
// level (AppendValue). A group's text never appears inside another level's, so substituting one group cannot
// rewrite another one that happens to read the same ("2*(1)-(1+(1))" is 0).
std::string ReplaceGroupsByValues(const std::string& text) {
    std::vector<std::string> levels(1);
    for (char c : text) {
        if (c == '(') {
            levels.emplace_back();
        } else if (c == ')') {
            const double value = kxMathStatement::EvaluateFlat(kxString(levels.back()));
            levels.pop_back();
            AppendValue(levels.back(), value);
        } else {
            levels.back() += c;
        }
    }
    return levels.front();
}

} // namespace

bool kxMathStatement::HasOperator(const kxString& text) {
    return text.Str().find_first_of("+-*/") != std::string::npos;
}

size_t kxMathStatement::SplitGroups(const kxString& text, std::vector<kxString>& groups) {
    const std::vector<std::pair<size_t, size_t>> pairs = MatchParentheses(text.Str());
    groups.clear();
    if (pairs.empty()) {
        groups.push_back(text);
        return groups.size();
    }
    for (const auto& [open, close] : pairs) {
        groups.push_back(text.Mid(open, close - open + 1));
    }
    return groups.size();
}

double kxMathStatement::EvaluateFlat(const kxString& text) {
    std::string number; // the number being read, with its sign
    char pending = '\0';
    double result = 0;
    bool started = false;

    auto apply = [&](char c) {
        if (IsAsciiDigit(c)) {
            if (number.empty()) {
                number = "+";
            }
            number += c;
        } else if (c == '.') {
            if (number.empty()) {
                number = "+0";
            } else if (number.size() == 1) {
                number += '0';
            }
            number += '.';
        } else if (IsOperator(c) && !number.empty()) {
            if (!started) {
                result = DecimalValue(number);
                pending = c;
                started = true;
            } else if (IsSignedDecimal(number)) {
                const double v = DecimalValue(number);
                switch (pending) {
                case '*':
                    result = v * result;
                    break;
                case '+':
                    result = v + result;
                    break;
                case '-':
                    result = result - v;
                    break;
                case '/':
                    if (v == 0) {
                        throw kxException(kDivideByZero);
                    }
                    result = result / v;
                    break;
                default:
                    break;
                }
                pending = c;
            } else if ((c == '+' || c == '-') && number.size() == 1) {
                // A sign alone meets another: the later one is the number's sign (5*--3 is -15).
                number[0] = c;
                return;
            } else {
                pending = c; // not a number: dropped
            }
            number.clear();
        } else if ((c == '+' || c == '-') && number.empty()) {
            number = std::string(1, c);
            if (pending == '\0') {
                pending = c;
            }
        }
        // Anything else, "*" and "/" without a number before them included, is ignored.
    };

    for (char c : text.Str()) {
        apply(c);
    }
    // The pending operator once more, as if it followed the last character: it applies the last number.
    if (pending != '\0') {
        apply(pending);
    }
    if (!started && !number.empty()) {
        result = DecimalValue(number);
    }
    return result;
}

double kxMathStatement::Evaluate(const kxMathVariables* variables, kxString* resultText) const {
    double result = 0;
    if (!m_Text.empty()) {
        kxString copy(*this);
        bool replaced = false;
        if (variables != nullptr) {
            for (const auto& [name, value] : *variables) {
                size_t count = 0;
                copy = SubstituteVariable(copy.Str(), name.Str(), value, count);
                replaced = replaced || count > 0;
            }
        }
        copy.Trim();
        if (!replaced && copy.IsNumeric(true)) {
            result = DecimalValue(copy.Str());
        } else {
            const bool grouped = !MatchParentheses(copy.Str()).empty();
            // Without parentheses the whole text is the one group: it is evaluated and replaced by its value's
            // text like any group.
            copy = grouped ? kxString(ReplaceGroupsByValues(copy.Str())) : kxString(EvaluateFlat(copy));
            result = HasOperator(copy) ? EvaluateFlat(copy) : DecimalValue(copy.Str());
        }
    }
    if (resultText != nullptr) {
        *resultText = kxString(result);
    }
    return result;
}
