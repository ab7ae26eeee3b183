#pragma once
// A short arithmetic statement held as text ("PRICE*3+(2-1)/4"), evaluated to a double. There is no operator
// precedence: innermost parentheses first, then the four operators strictly left to right, so 2+3*4 is 20.
// Variables are substituted as text, in the string class's double form, before the evaluation; any character
// that is not a digit, ".", an operator or a parenthesis is ignored (a "," groups digits, "1 2" is 12). A "+"
// or "-" right after an operator is the next number's sign (5*-3 is -15); of written signs in a row the last
// one counts (--3 is -3, 5*--3 is -15). A group's or a variable's value keeps its own sign, and a sign written
// before it applies to it: -(2+3) is -5, -X is -2 for X 2.
//
// Failures throw kxException: "Failed to process math statement: unbalanced parenthesis." and "Failed to
// process math statement: divide by zero."; the statement and the variables are left as they were. Same
// threading rules as kxString.

#include <utility>
#include <vector>

#include "kxlib/kxString.h"

// (name, value) pairs, substituted in this order.
using kxMathVariables = std::vector<std::pair<kxString, double>>;

class kxMathStatement : public kxString {
public:
    explicit kxMathStatement(const kxString& statement) : kxString(statement) {}

    // The value of the statement (0 for an empty one); when |resultText| is given it receives the value in the
    // string class's double form.
    double Evaluate(const kxMathVariables* variables = nullptr, kxString* resultText = nullptr) const;
    // True when the statement is not empty and holds one of "+", "-", "*", "/".
    bool HasOperator() const { return HasOperator(*this); }
    static bool HasOperator(const kxString& text);

    // Steps of the evaluation, offered on their own.
    // Fills |groups| with the text of every parenthesised group, from its "(" to its matching ")", in the
    // order of the opening parentheses (the whole text when there is none); returns how many. Throws the
    // unbalanced-parenthesis exception.
    static size_t SplitGroups(const kxString& text, std::vector<kxString>& groups);
    // One left-to-right pass over a text without parentheses (any it has are ignored); throws the
    // divide-by-zero exception.
    static double EvaluateFlat(const kxString& text);
};
