#include "kxlib/kxMathStatement.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kxlib/kxException.h"

namespace {

const char* const kUnbalanced = "Failed to process math statement: unbalanced parenthesis.";
const char* const kDivideByZero = "Failed to process math statement: divide by zero.";

// The text of the kxException that evaluating |statement| throws, or "" when it throws none.
std::string ThrownBy(const char* statement, const kxMathVariables* variables = nullptr) {
    try {
        kxMathStatement(statement).Evaluate(variables);
    } catch (const kxException& e) {
        return e.Str();
    }
    return "";
}

} // namespace

TEST(kxMathStatement, OperatorsApplyLeftToRightInsideParenthesesFirst) {
    const struct {
        const char* Statement;
        double Expected;
    } cases[] = {
        {"2+3*4", 20},
        {"2*(3+4)", 14},
        {"2*(3+4)*2", 28},
        {"10-2-3", 5},
        {"-5+2", -3},
        {"5*-3", -15},
        {"10--3", 13},
        {"5+-3", 2},
        {"1,000+1", 1001},
        {"1 2", 12},
        {".5+.5", 1},
        {"-.5*2", -1},
        {"10/4", 2.5},
        {"0/4", 0},
        {"", 0},
        {"42", 42},
        {"  7  ", 7},
        {"(((2)))", 2},
        {"((1+2)*(3+4))", 21},
        {"(1+(2*3))+(4)", 11},
        {"(1+2)*(1+2)", 9},
        {"((1+2)*2)+(1+2)", 9},
        {"100-(10-(5-2))", 93},
        {"$12.50 + tax", 12.5},
        {"abc", 0},
        {"*5", 5},
        {"5*", 5},
        {"1+2.5.1*2", 2}, // a malformed number is dropped with the operator before it
    };
    for (const auto& c : cases) {
        EXPECT_DOUBLE_EQ(kxMathStatement(c.Statement).Evaluate(), c.Expected) << c.Statement;
    }
    // Every value passes through the string class's double text, 15 decimals.
    EXPECT_DOUBLE_EQ(kxMathStatement("1/3").Evaluate(), 0.333333333333333);
}

TEST(kxMathStatement, TheLastWrittenSignCountsAndAValueKeepsItsOwn) {
    // Written signs in a row: the later one replaces a sign standing alone. A group's or variable's value is
    // a number of its own: a sign written before it applies to it, whatever sign its text carries.
    const kxMathVariables variables{{"X", 2}, {"N", -4}};
    const struct {
        const char* Statement;
        double Expected;
    } cases[] = {
        {"--3", -3},          {"5*--3", -15}, {"5*-+3", 15},  {"-+3", 3},      {"+-3", -3},      {"-(2+3)", -5},
        {"- (2+3)", -5},      {"-(-(4))", 4}, {"1-(0-2)", 3}, {"1+(0-2)", -1}, {"5*--(3)", -15}, // as 5*--3
        {"2*(1)-(1+(1))", 0}, {"-X", -2},     {"3*-X", -6},   {"10-X", 8},     {"-(X)", -2},     {"-N", 4},
        {"5-N", 9},           {"2*-N", 8},    {"N*N", 16},
    };
    for (const auto& c : cases) {
        EXPECT_DOUBLE_EQ(kxMathStatement(c.Statement).Evaluate(&variables), c.Expected) << c.Statement;
    }
}

TEST(kxMathStatement, VariablesAreSubstitutedAsText) {
    const kxMathVariables variables{{"PRICE", 2}, {"QTY", 3.5}, {"", 9}};
    const kxMathStatement statement("PRICE*QTY+(PRICE-1)");
    kxString text("stale");
    EXPECT_DOUBLE_EQ(statement.Evaluate(&variables, &text), 8);
    EXPECT_EQ(text.Str(), "+8.000000000000000");
    EXPECT_EQ(statement.Str(), "PRICE*QTY+(PRICE-1)");
    EXPECT_EQ(variables.size(), 3u);
    EXPECT_DOUBLE_EQ(kxMathStatement("PRICE*3").Evaluate(&variables), 6);
    // A substituted value that is digits only is still evaluated, not read as a plain number.
    const kxMathVariables seven{{"N", 7}};
    EXPECT_DOUBLE_EQ(kxMathStatement("N").Evaluate(&seven), 7);
    kxString empty("stale");
    EXPECT_DOUBLE_EQ(kxMathStatement("").Evaluate(nullptr, &empty), 0);
    EXPECT_EQ(empty.Str(), "+0.000000000000000");
}

TEST(kxMathStatement, MalformedStatementsThrowTheirTexts) {
    const kxMathVariables zero{{"Z", 0}};
    const struct {
        const char* Statement;
        const char* Text;
    } cases[] = {
        {"(1+2", kUnbalanced},
        {"1+2)", kUnbalanced},
        {")(", kUnbalanced}, // as many of each, but closed before opened
        {"(1))(2", kUnbalanced},
        {"(()", kUnbalanced},
        {"(4/0", kUnbalanced}, // the parentheses are checked before anything is evaluated
        {"4/0", kDivideByZero},
        {"4/(2-2)", kDivideByZero},
        {"4/-0.0", kDivideByZero},
        {"4/.", kDivideByZero},
        {"1+(4/0)*0", kDivideByZero},
        {"8/Z", kDivideByZero},
        {"()", ""},
        {"2*()", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ThrownBy(c.Statement, &zero), c.Text) << c.Statement;
    }
}

TEST(kxMathStatement, GroupsAndOperatorsOnTheirOwn) {
    std::vector<kxString> groups{kxString("stale")};
    EXPECT_EQ(kxMathStatement::SplitGroups("(1+(2*3))+(4)", groups), 3u);
    ASSERT_EQ(groups.size(), 3u);
    EXPECT_EQ(groups[0].Str(), "(1+(2*3))");
    EXPECT_EQ(groups[1].Str(), "(2*3)");
    EXPECT_EQ(groups[2].Str(), "(4)");
    EXPECT_EQ(kxMathStatement::SplitGroups("1+2", groups), 1u);
    EXPECT_EQ(groups[0].Str(), "1+2");
    EXPECT_THROW(kxMathStatement::SplitGroups(")(", groups), kxException);

    EXPECT_DOUBLE_EQ(kxMathStatement::EvaluateFlat("2+(3"), 5);
    EXPECT_TRUE(kxMathStatement("a/b").HasOperator());
    EXPECT_TRUE(kxMathStatement::HasOperator("-"));
    EXPECT_FALSE(kxMathStatement("(12)").HasOperator());
    EXPECT_FALSE(kxMathStatement("").HasOperator());
}

TEST(kxMathStatement, DeepNestingAndLongStatementsEvaluate) {
    const std::string deep = std::string(3000, '(') + "1+1" + std::string(3000, ')');
    EXPECT_DOUBLE_EQ(kxMathStatement(deep.c_str()).Evaluate(), 2);
    std::string sum = "0";
    for (int i = 0; i < 2000; ++i) {
        sum += "+(1)";
    }
    EXPECT_DOUBLE_EQ(kxMathStatement(sum.c_str()).Evaluate(), 2000);
}
