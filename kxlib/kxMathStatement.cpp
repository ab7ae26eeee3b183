#include "kxlib/kxMathStatement.h"

#include <cstdlib>

#include "kxlib/kxException.h"

namespace {

const char* const kUnbalanced = "Failed to process math statement: unbalanced parenthesis.";
const char* const kDivideByZero = "Failed to process math statement: divide by zero.";

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

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
        if (IsDigit(text[i])) {
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

// The text with every parenthesised group replaced, innermost first, by its value in the string class's
// double form. Equal to substituting each group's text by its value, group by group, in one pass.
std::string ReplaceGroupsByValues(const std::string& text) {
    std::vector<std::string> levels(1);
    for (char c : text) {
        if (c == '(') {
            levels.emplace_back();
        } else if (c == ')') {
            const double value = kxMathStatement::EvaluateFlat(kxString(levels.back()));
            levels.pop_back();
            levels.back() += kxString(value).Str();
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
        if (IsDigit(c)) {
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
        } else if ((c == '+' || c == '-') && number.size() == 1) {
            // A sign meets a sign: they combine as in arithmetic, so "-" before a value written "+5.000"
            // (a substituted group or variable) still negates it.
            number = (number[0] == c) ? "+" : "-";
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
                if (copy.Replace(name, kxString(value)) > 0) {
                    replaced = true;
                }
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
