// The formula language of SwissKnife and Converter nodes: compiled once when the description
// loads, evaluated on every read (and, for converters, every write).
//
// Numbers are 64-bit integers or doubles. An integer evaluation (IntSwissKnife, IntConverter)
// keeps integer operands integer: + - * % ** wrap around in 64 bits and / truncates towards
// zero; a float literal, a float variable or a float function promotes the operation it meets to
// double. A float evaluation (SwissKnife, Converter) takes every number as a double and gives what
// IEEE arithmetic gives where an integer evaluation fails (x/0 is an infinity, 0/0 and SQRT(-1) are
// NaN); an integer evaluation refuses division by zero and results that are no number. Bit
// operations (& | ^ ~ << >>) work on 64-bit integers either way; comparisons and the logical
// operators give 1 or 0.
//
// Operators, loosest first (all left-associative but ?: and **):
//   ?:   ||   &&   |   ^   &   = <>   < > <= >=   << >>   + -   * / %   **   unary - + ~ !
// so -2**2 is 4 and 2**3**2 is 512. == and != are taken for = and <>. Functions (any case): ABS
// SGN NEG SQRT EXP LN LG SIN COS TAN ASIN ACOS ATAN TRUNC FLOOR CEIL ROUND, ROUND(x, n) to n
// decimals; constants PI and E. Literals: decimal, 0x hexadecimal, floats with a point or an
// exponent. Names are the node's variables, constants and earlier sub-expressions; a name the
// scope does not know fails the compilation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace TqGenICamLib {

struct Number {
    bool real = false;
    int64_t integer = 0;
    double real_value = 0;

    static Number Int(int64_t aValue) { return Number{false, aValue, 0}; }
    static Number Real(double aValue) { return Number{true, 0, aValue}; }
    double AsDouble() const { return real ? real_value : static_cast<double>(integer); }
};

class Formula;

// The names a formula may use: variables (read through the reader by slot), constants, and
// sub-expressions compiled before.
class FormulaScope {
public:
    // False when the name is taken already.
    bool AddVariable(const std::string& aName, size_t aSlot);
    bool AddConstant(const std::string& aName, Number aValue);
    bool AddExpression(const std::string& aName, std::shared_ptr<const Formula> aFormula);
    bool Knows(const std::string& aName) const;

private:
    friend class FormulaParser;
    struct Name {
        std::string name;
        enum { Variable, Constant, Expression } what;
        size_t slot;
        Number value;
        std::shared_ptr<const Formula> expression;
    };
    const Name* Find(std::string_view aName) const;
    std::vector<Name> mNames;
};

// Where an evaluation gets its variables. Read returns false when the variable cannot be read;
// the reader keeps the reason.
class FormulaReader {
public:
    virtual ~FormulaReader() {}
    virtual bool Read(size_t aSlot, Number& aValue) = 0;
};

class Formula {
public:
    // A syntax tree deeper than kMaxDepth (sub-expressions counted in) or brackets, signs and
    // conditions nested deeper than kMaxNesting fail the compilation; evaluations longer than
    // kMaxSteps terms fail. Evaluation does not recurse: however deep the tree, it takes a fixed
    // amount of the thread's stack (and memory for at most kMaxDepth terms under way).
    static constexpr int kMaxDepth = 1000;
    static constexpr int kMaxNesting = 200;
    static constexpr uint64_t kMaxSteps = 1000000;

    // The compiled formula, or null with aError saying what is wrong and where.
    static std::shared_ptr<const Formula> Compile(std::string_view aText, const FormulaScope& aScope, std::string& aError);

    enum class Outcome { Ok, VariableFailed, Failed, TooLong };
    // Failed: aError says why (division by zero, an operand out of range); TooLong: the step budget
    // ran out.
    Outcome Evaluate(bool aInteger, FormulaReader& aReader, Number& aValue, std::string& aError) const;
    // The same on a step budget shared with the caller's own work (the node map counts the nodes it
    // reads for the variables in it too): aSteps counts on from where it stands, one step a term,
    // and the evaluation gives TooLong once it passes aMaxSteps.
    Outcome Evaluate(bool aInteger, FormulaReader& aReader, Number& aValue, std::string& aError, uint64_t& aSteps,
                     uint64_t aMaxSteps) const;

    const std::string& Text() const { return mText; }
    // Whether the formula (or a sub-expression it names) reads the variable of this slot.
    bool UsesSlot(size_t aSlot) const;

private:
    friend class FormulaParser;
    friend class FormulaEvaluator;

    // One node of the syntax tree; operands are indices into mTerms.
    struct Term {
        enum Type : uint8_t { Literal, Variable, Expression, Unary, Binary, Ternary, Call } type = Literal;
        int op = 0;   // the operator or function
        int a = -1, b = -1, c = -1;
        size_t slot = 0;
        Number literal;
        const Formula* expression = nullptr;   // kept alive by mExpressions
    };

    std::string mText;
    std::vector<Term> mTerms;
    int mRoot = -1;
    int mDepth = 0;
    std::vector<size_t> mSlots;   // variables read, sub-expressions included
    std::vector<std::shared_ptr<const Formula>> mExpressions;
};

// Rounds a formula's result to the integer an integer node holds: nearest, halves away from zero.
// False when it is not finite or outside the 64-bit range.
bool RoundToInteger(double aValue, int64_t& aOut);

}  // namespace TqGenICamLib
