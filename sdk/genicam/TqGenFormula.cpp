#include "TqGenFormula.h"

#include <algorithm>
#include <cstdio>
#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>

namespace TqGenICamLib {

namespace {

enum Op {
    // binary, loosest first
    OpOr, OpAnd, OpBitOr, OpBitXor, OpBitAnd, OpEq, OpNe, OpLt, OpGt, OpLe, OpGe, OpShl, OpShr, OpAdd, OpSub,
    OpMul, OpDiv, OpMod, OpPow,
    // unary
    OpNeg, OpPlus, OpBitNot, OpNot,
};

enum Function { FnAbs, FnSgn, FnNeg, FnSqrt, FnExp, FnLn, FnLg, FnSin, FnCos, FnTan, FnAsin, FnAcos, FnAtan, FnTrunc,
                FnFloor, FnCeil, FnRound };

struct FunctionName {
    const char* name;
    Function function;
};
const FunctionName kFunctions[] = {
    {"ABS", FnAbs},   {"SGN", FnSgn},   {"NEG", FnNeg},     {"SQRT", FnSqrt},   {"EXP", FnExp},     {"LN", FnLn},
    {"LG", FnLg},     {"SIN", FnSin},   {"COS", FnCos},     {"TAN", FnTan},     {"ASIN", FnAsin},   {"ACOS", FnAcos},
    {"ATAN", FnAtan}, {"TRUNC", FnTrunc}, {"FLOOR", FnFloor}, {"CEIL", FnCeil}, {"ROUND", FnRound},
};

const char* FunctionText(int aFunction) {
    for (const FunctionName& f : kFunctions)
        if (f.function == aFunction) return f.name;
    return "?";
}

bool SameLetters(std::string_view aText, const char* aUpper) {
    size_t n = std::char_traits<char>::length(aUpper);
    if (aText.size() != n) return false;
    for (size_t i = 0; i < n; ++i) {
        char c = aText[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c != aUpper[i]) return false;
    }
    return true;
}

// The binary operators of each precedence level below ?: , loosest first.
struct Level {
    const char* tokens[4];
    Op ops[4];
};
const Level kLevels[] = {
    {{"||"}, {OpOr}},
    {{"&&"}, {OpAnd}},
    {{"|"}, {OpBitOr}},
    {{"^"}, {OpBitXor}},
    {{"&"}, {OpBitAnd}},
    {{"=", "<>", "==", "!="}, {OpEq, OpNe, OpEq, OpNe}},
    {{"<", ">", "<=", ">="}, {OpLt, OpGt, OpLe, OpGe}},
    {{"<<", ">>"}, {OpShl, OpShr}},
    {{"+", "-"}, {OpAdd, OpSub}},
    {{"*", "/", "%"}, {OpMul, OpDiv, OpMod}},
};
constexpr int kLevelCount = sizeof kLevels / sizeof kLevels[0];

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }

}  // namespace

// ---- scope ----

const FormulaScope::Name* FormulaScope::Find(std::string_view aName) const {
    for (const Name& name : mNames)
        if (name.name == aName) return &name;
    return nullptr;
}

bool FormulaScope::Knows(const std::string& aName) const { return Find(aName) != nullptr; }

bool FormulaScope::AddVariable(const std::string& aName, size_t aSlot) {
    if (Knows(aName)) return false;
    mNames.push_back({aName, Name::Variable, aSlot, {}, nullptr});
    return true;
}

bool FormulaScope::AddConstant(const std::string& aName, Number aValue) {
    if (Knows(aName)) return false;
    mNames.push_back({aName, Name::Constant, 0, aValue, nullptr});
    return true;
}

bool FormulaScope::AddExpression(const std::string& aName, std::shared_ptr<const Formula> aFormula) {
    if (Knows(aName) || !aFormula) return false;
    mNames.push_back({aName, Name::Expression, 0, {}, std::move(aFormula)});
    return true;
}

// ---- parsing ----

class FormulaParser {
public:
    FormulaParser(std::string_view aText, const FormulaScope& aScope, Formula& aOut) : mText(aText), mScope(aScope), f(aOut) {}

    bool Run(std::string& aError) {
        Next();
        int root = -1;
        if (mToken == Token::End) return Error(aError, "the formula is empty");
        if (Ternary(root) && Expect(Token::End, "an operator")) {
            f.mRoot = root;
            f.mDepth = mDepth[static_cast<size_t>(root)];
            std::sort(f.mSlots.begin(), f.mSlots.end());
            f.mSlots.erase(std::unique(f.mSlots.begin(), f.mSlots.end()), f.mSlots.end());
            return true;
        }
        aError = mError;
        return false;
    }

private:
    enum class Token { End, Number, Name, Symbol };

    bool Error(std::string& aOut, const std::string& aWhy) {
        aOut = aWhy;
        return false;
    }

    bool Fail(const std::string& aWhy) {
        if (mError.empty()) mError = aWhy + " at column " + std::to_string(mStart + 1);
        return false;
    }

    std::string Seen() const {
        if (mToken == Token::End) return "the end";
        return "'" + std::string(mText.substr(mStart, mPos - mStart)) + "'";
    }

    // Reads the next token into mToken (with mSymbol, mNumber or mName).
    void Next() {
        while (mPos < mText.size() && (mText[mPos] == ' ' || mText[mPos] == '\t' || mText[mPos] == '\r' || mText[mPos] == '\n'))
            ++mPos;
        mStart = mPos;
        if (mPos >= mText.size()) {
            mToken = Token::End;
            return;
        }
        char c = mText[mPos];
        if (IsDigit(c) || (c == '.' && mPos + 1 < mText.size() && IsDigit(mText[mPos + 1]))) {
            mToken = Token::Number;
            NumberToken();
            return;
        }
        if (IsLetter(c)) {
            size_t end = mPos;
            while (end < mText.size() && (IsLetter(mText[end]) || IsDigit(mText[end]))) ++end;
            mName = mText.substr(mPos, end - mPos);
            mPos = end;
            mToken = Token::Name;
            return;
        }
        static const char* const kSymbols[] = {"**", "<<", ">>", "<=", ">=", "<>", "==", "!=", "&&", "||", "*", "/", "%",
                                               "+",  "-",  "<",  ">",  "=",  "!",  "&",  "|",  "^",  "~", "(", ")",
                                               ",",  "?",  ":"};
        for (const char* symbol : kSymbols) {
            if (symbol[0] != c) continue;
            std::string_view s(symbol);
            if (mText.substr(mPos, s.size()) == s) {
                mSymbol = s;
                mPos += s.size();
                mToken = Token::Symbol;
                return;
            }
        }
        mSymbol = mText.substr(mPos, 1);
        mToken = Token::Symbol;
        ++mPos;   // an unknown character: every rule refuses it
    }

    void NumberToken() {
        const char* begin = mText.data() + mPos;
        const char* end = mText.data() + mText.size();
        if (end - begin >= 2 && begin[0] == '0' && (begin[1] == 'x' || begin[1] == 'X')) {
            uint64_t value = 0;
            auto [stop, error] = std::from_chars(begin + 2, end, value, 16);
            if (stop == begin + 2) {
                mNumberError = "a hexadecimal number without digits";
            } else if (error != std::errc()) {
                mNumberError = "a hexadecimal number beyond 64 bits";
                while (stop < end && std::isxdigit(static_cast<unsigned char>(*stop))) ++stop;
            }
            mNumber = Number::Int(static_cast<int64_t>(value));
            mPos = static_cast<size_t>(stop - mText.data());
            return;
        }
        const char* p = begin;
        while (p < end && IsDigit(*p)) ++p;
        bool real = false;
        if (p < end && *p == '.') {
            real = true;
            ++p;
            while (p < end && IsDigit(*p)) ++p;
        }
        if (p < end && (*p == 'e' || *p == 'E')) {
            const char* q = p + 1;
            if (q < end && (*q == '+' || *q == '-')) ++q;
            if (q < end && IsDigit(*q)) {
                real = true;
                while (q < end && IsDigit(*q)) ++q;
                p = q;
            }
        }
        mPos = static_cast<size_t>(p - mText.data());
        if (!real) {
            int64_t value = 0;
            auto [stop, error] = std::from_chars(begin, p, value);
            if (error == std::errc() && stop == p) {
                mNumber = Number::Int(value);
                return;
            }
        }
        double value = 0;
        auto [stop, error] = std::from_chars(begin, p, value);
        if (stop != p || (error != std::errc() && error != std::errc::result_out_of_range)) mNumberError = "a malformed number";
        mNumber = Number::Real(value);
    }

    // Whether the token is the symbol (of one or two characters, as every symbol is).
    bool Is(const char* aSymbol) const {
        if (mToken != Token::Symbol || mSymbol[0] != aSymbol[0]) return false;
        return mSymbol.size() == 1 ? aSymbol[1] == '\0' : aSymbol[1] == mSymbol[1] && aSymbol[2] == '\0';
    }

    bool Expect(Token aToken, const char* aWanted) {
        if (mToken == aToken) return true;
        return Fail(std::string("expected ") + aWanted + ", found " + Seen());
    }

    bool ExpectSymbol(const char* aSymbol) {
        if (Is(aSymbol)) {
            Next();
            return true;
        }
        return Fail(std::string("expected '") + aSymbol + "', found " + Seen());
    }

    int Add(Formula::Term aTerm) {
        int depth = 0;
        for (int child : {aTerm.a, aTerm.b, aTerm.c})
            if (child >= 0) depth = std::max(depth, mDepth[static_cast<size_t>(child)]);
        if (aTerm.type == Formula::Term::Expression) depth = aTerm.expression->mDepth;
        f.mTerms.push_back(aTerm);
        mDepth.push_back(depth + 1);
        if (depth + 1 > Formula::kMaxDepth) {
            Fail("the formula nests deeper than " + std::to_string(Formula::kMaxDepth) + " terms");
            return -1;
        }
        return static_cast<int>(f.mTerms.size() - 1);
    }

    struct Nest {
        FormulaParser& p;
        bool over;
        explicit Nest(FormulaParser& aParser) : p(aParser), over(++aParser.mNesting > Formula::kMaxNesting) {
            if (over) p.Fail("brackets, signs or conditions nested deeper than " + std::to_string(Formula::kMaxNesting));
        }
        ~Nest() { --p.mNesting; }
    };

    bool Ternary(int& aOut) {
        Nest nest(*this);
        if (nest.over || !Binary(0, aOut)) return false;
        if (!Is("?")) return true;
        Next();
        Formula::Term t;
        t.type = Formula::Term::Ternary;
        t.a = aOut;
        if (!Ternary(t.b) || !ExpectSymbol(":") || !Ternary(t.c)) return false;
        return (aOut = Add(t)) >= 0;
    }

    bool Binary(int aLevel, int& aOut) {
        if (aLevel == kLevelCount) return Power(aOut);
        if (!Binary(aLevel + 1, aOut)) return false;
        for (;;) {
            const Level& level = kLevels[aLevel];
            int op = -1;
            for (int i = 0; i < 4 && level.tokens[i]; ++i)
                if (Is(level.tokens[i])) op = level.ops[i];
            if (op < 0) return true;
            Next();
            Formula::Term t;
            t.type = Formula::Term::Binary;
            t.op = op;
            t.a = aOut;
            if (!Binary(aLevel + 1, t.b)) return false;
            if ((aOut = Add(t)) < 0) return false;
        }
    }

    bool Power(int& aOut) {
        if (!Unary(aOut)) return false;
        if (!Is("**")) return true;
        Next();
        Nest nest(*this);
        Formula::Term t;
        t.type = Formula::Term::Binary;
        t.op = OpPow;
        t.a = aOut;
        if (nest.over || !Power(t.b)) return false;
        return (aOut = Add(t)) >= 0;
    }

    bool Unary(int& aOut) {
        int op = Is("-") ? OpNeg : Is("+") ? OpPlus : Is("~") ? OpBitNot : Is("!") ? OpNot : -1;
        if (op < 0) return Primary(aOut);
        Next();
        Nest nest(*this);
        Formula::Term t;
        t.type = Formula::Term::Unary;
        t.op = op;
        if (nest.over || !Unary(t.a)) return false;
        return (aOut = Add(t)) >= 0;
    }

    bool Primary(int& aOut) {
        if (mToken == Token::Number) {
            if (!mNumberError.empty()) return Fail(mNumberError);
            Formula::Term t;
            t.literal = mNumber;
            Next();
            return (aOut = Add(t)) >= 0;
        }
        if (Is("(")) {
            Next();
            return Ternary(aOut) && ExpectSymbol(")");
        }
        if (mToken != Token::Name) return Fail("expected a number, a name or '(', found " + Seen());
        std::string_view name = mName;
        size_t at = mStart;
        Next();
        Formula::Term t;
        if (const FormulaScope::Name* known = mScope.Find(name)) {
            switch (known->what) {
            case FormulaScope::Name::Variable:
                t.type = Formula::Term::Variable;
                t.slot = known->slot;
                f.mSlots.push_back(known->slot);
                break;
            case FormulaScope::Name::Constant:
                t.literal = known->value;
                break;
            case FormulaScope::Name::Expression:
                t.type = Formula::Term::Expression;
                t.expression = known->expression.get();
                f.mExpressions.push_back(known->expression);
                f.mSlots.insert(f.mSlots.end(), known->expression->mSlots.begin(), known->expression->mSlots.end());
                break;
            }
            return (aOut = Add(t)) >= 0;
        }
        if (SameLetters(name, "PI") || SameLetters(name, "E")) {
            t.literal = Number::Real(SameLetters(name, "PI") ? 3.14159265358979323846 : 2.71828182845904523536);
            return (aOut = Add(t)) >= 0;
        }
        for (const FunctionName& function : kFunctions) {
            if (!SameLetters(name, function.name)) continue;
            if (!Is("(")) return Fail(std::string(function.name) + " without '('");
            Next();
            Nest nest(*this);
            t.type = Formula::Term::Call;
            t.op = function.function;
            if (nest.over || !Ternary(t.a)) return false;
            if (function.function == FnRound && Is(",")) {
                Next();
                if (!Ternary(t.b)) return false;
            }
            if (!ExpectSymbol(")")) return false;
            return (aOut = Add(t)) >= 0;
        }
        mStart = at;
        return Fail("unknown name '" + std::string(name) + "'");
    }

    std::string_view mText;
    const FormulaScope& mScope;
    Formula& f;
    size_t mPos = 0, mStart = 0;
    Token mToken = Token::End;
    std::string_view mSymbol, mName;
    Number mNumber;
    std::string mNumberError;
    std::vector<int> mDepth;   // of each term's subtree
    int mNesting = 0;
    std::string mError;
};

std::shared_ptr<const Formula> Formula::Compile(std::string_view aText, const FormulaScope& aScope, std::string& aError) {
    std::shared_ptr<Formula> formula(new Formula);
    formula->mText = std::string(aText);
    FormulaParser parser(formula->mText, aScope, *formula);
    if (!parser.Run(aError)) return nullptr;
    return formula;
}

bool Formula::UsesSlot(size_t aSlot) const { return std::binary_search(mSlots.begin(), mSlots.end(), aSlot); }

// ---- evaluation ----

namespace {

bool Truth(const Number& aValue) { return aValue.real ? aValue.real_value != 0 : aValue.integer != 0; }

int64_t Wrap(uint64_t aValue) { return static_cast<int64_t>(aValue); }

// A double as a 64-bit integer for the bit operators: towards zero, inside the range.
bool ToInteger(const Number& aValue, int64_t& aOut) {
    if (!aValue.real) {
        aOut = aValue.integer;
        return true;
    }
    double t = std::trunc(aValue.real_value);
    if (!(t >= -9223372036854775808.0 && t < 9223372036854775808.0)) return false;
    aOut = static_cast<int64_t>(t);
    return true;
}

std::string Show(const Number& aValue) {
    if (!aValue.real) return std::to_string(aValue.integer);
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", aValue.real_value);
    return text;
}

}  // namespace

// Evaluates without recursion: the terms under way wait on a stack of their own, so that a formula
// (or a chain of formulas through node references) takes no more of the thread's stack however deep
// its terms nest. Each term evaluated is one step of the budget.
class FormulaEvaluator {
public:
    FormulaEvaluator(bool aInteger, FormulaReader& aReader, uint64_t& aSteps, uint64_t aMaxSteps)
        : mInteger(aInteger), mReader(aReader), mSteps(aSteps), mMaxSteps(aMaxSteps) {}

    Formula::Outcome Run(const Formula& aFormula, Number& aOut, std::string& aError) {
        if (Eval(aFormula, aOut)) return Formula::Outcome::Ok;
        aError = mError;
        if (mTooLong) return Formula::Outcome::TooLong;
        return mVariableFailed ? Formula::Outcome::VariableFailed : Formula::Outcome::Failed;
    }

private:
    // A term under way: how many of its operands are done, and their values.
    struct Pending {
        const Formula* f;
        const Formula::Term* t;
        int done;
        Number x;
    };

    bool Fail(const std::string& aWhy) {
        mError = aWhy;
        return false;
    }

    Number Keep(Number aValue) const { return mInteger || aValue.real ? aValue : Number::Real(static_cast<double>(aValue.integer)); }

    bool Push(const Formula& f, int aTerm) {
        if (++mSteps > mMaxSteps) {
            mTooLong = true;
            return Fail("evaluation longer than " + std::to_string(mMaxSteps) + " steps");
        }
        mStack.push_back({&f, &f.mTerms[static_cast<size_t>(aTerm)], 0, Number()});
        return true;
    }

    // Each pass looks at the term on top: it either pushes its next operand or, with all of them
    // done, leaves its value in `value` and goes.
    bool Eval(const Formula& aFormula, Number& aOut) {
        mStack.reserve(static_cast<size_t>(aFormula.mDepth) + 1);   // no stack grows past the tree's depth
        if (!Push(aFormula, aFormula.mRoot)) return false;
        Number value;
        while (!mStack.empty()) {
            Pending& top = mStack.back();
            const Formula& f = *top.f;
            const Formula::Term& t = *top.t;
            const int done = top.done++;
            switch (t.type) {
            case Formula::Term::Literal:
                value = Keep(t.literal);
                break;
            case Formula::Term::Variable:
                if (!mReader.Read(t.slot, value)) {
                    mVariableFailed = true;
                    return false;
                }
                value = Keep(value);
                break;
            case Formula::Term::Expression:
                if (done == 0) {
                    if (!Push(*t.expression, t.expression->mRoot)) return false;
                    continue;
                }
                break;
            case Formula::Term::Ternary:
                if (done < 2) {
                    if (!Push(f, done == 0 ? t.a : Truth(value) ? t.b : t.c)) return false;
                    continue;
                }
                break;
            case Formula::Term::Unary:
                if (done == 0) {
                    if (!Push(f, t.a)) return false;
                    continue;
                }
                if (!Unary(t.op, Number(value), value)) return false;
                break;
            case Formula::Term::Binary:
                if (done == 0) {
                    if (!Push(f, t.a)) return false;
                    continue;
                }
                if (done == 1) {
                    top.x = value;
                    // && and || take the right side only when it decides.
                    if ((t.op == OpAnd || t.op == OpOr) && Truth(value) == (t.op == OpOr)) {
                        value = Keep(Number::Int(Truth(value) ? 1 : 0));
                        break;
                    }
                    if (!Push(f, t.b)) return false;
                    continue;
                }
                if (t.op == OpAnd || t.op == OpOr) value = Number::Int(Truth(value) ? 1 : 0);
                else if (!Binary(t.op, top.x, Number(value), value)) return false;
                value = Keep(value);
                break;
            case Formula::Term::Call:
                if (done == 0 || (done == 1 && t.b >= 0)) {
                    if (done == 1) top.x = value;
                    if (!Push(f, done == 0 ? t.a : t.b)) return false;
                    continue;
                }
                if (t.b >= 0) {
                    const Number second = value;
                    if (!Call(t.op, top.x, &second, value)) return false;
                } else if (!Call(t.op, Number(value), nullptr, value)) {
                    return false;
                }
                value = Keep(value);
                break;
            default:
                return Fail("unknown term");
            }
            mStack.pop_back();
        }
        aOut = value;
        return true;
    }

    bool Unary(int aOp, const Number& x, Number& aOut) {
        int64_t bits = 0;
        switch (aOp) {
        case OpNeg: aOut = x.real ? Number::Real(-x.real_value) : Number::Int(Wrap(0 - static_cast<uint64_t>(x.integer))); break;
        case OpPlus: aOut = x; break;
        case OpNot: aOut = Number::Int(Truth(x) ? 0 : 1); break;
        default:
            if (!ToInteger(x, bits)) return Fail("~ of " + Show(x) + ", outside the 64-bit range");
            aOut = Number::Int(~bits);
            break;
        }
        aOut = Keep(aOut);
        return true;
    }

    bool Binary(int aOp, const Number& x, const Number& y, Number& aOut) {
        switch (aOp) {
        case OpEq:
        case OpNe:
        case OpLt:
        case OpGt:
        case OpLe:
        case OpGe: {
            int order;
            if (!x.real && !y.real) order = x.integer < y.integer ? -1 : x.integer > y.integer ? 1 : 0;
            else {
                double a = x.AsDouble(), b = y.AsDouble();
                order = a < b ? -1 : a > b ? 1 : 0;
                if (std::isnan(a) || std::isnan(b)) order = 2;   // unordered: only <> holds
            }
            bool holds = aOp == OpEq ? order == 0 : aOp == OpNe ? order != 0 : aOp == OpLt ? order == -1
                       : aOp == OpGt ? order == 1 : aOp == OpLe ? (order == -1 || order == 0) : (order == 1 || order == 0);
            aOut = Number::Int(holds ? 1 : 0);
            return true;
        }
        case OpBitOr:
        case OpBitXor:
        case OpBitAnd:
        case OpShl:
        case OpShr: {
            int64_t a = 0, b = 0;
            if (!ToInteger(x, a) || !ToInteger(y, b))
                return Fail("bit operation on " + Show(x) + " and " + Show(y) + ", outside the 64-bit range");
            uint64_t ua = static_cast<uint64_t>(a);
            switch (aOp) {
            case OpBitOr: aOut = Number::Int(a | b); break;
            case OpBitXor: aOut = Number::Int(a ^ b); break;
            case OpBitAnd: aOut = Number::Int(a & b); break;
            case OpShl: aOut = Number::Int(b < 0 || b > 63 ? 0 : Wrap(ua << b)); break;
            default: aOut = Number::Int(b < 0 || b > 63 ? (a < 0 ? -1 : 0) : a >> b); break;   // arithmetic
            }
            return true;
        }
        default: break;
        }
        if (x.real || y.real) {
            double a = x.AsDouble(), b = y.AsDouble();
            switch (aOp) {
            case OpAdd: aOut = Number::Real(a + b); return true;
            case OpSub: aOut = Number::Real(a - b); return true;
            case OpMul: aOut = Number::Real(a * b); return true;
            // A float evaluation gives what IEEE arithmetic gives (infinities, NaN); an integer one
            // refuses it.
            case OpDiv:
                if (b == 0 && mInteger) return Fail("division of " + Show(x) + " by zero");
                aOut = Number::Real(a / b);
                return true;
            case OpMod:
                if (b == 0 && mInteger) return Fail("remainder of " + Show(x) + " by zero");
                aOut = Number::Real(std::fmod(a, b));
                return true;
            default:
                aOut = Number::Real(std::pow(a, b));
                if (mInteger && std::isnan(aOut.real_value) && !std::isnan(a) && !std::isnan(b))
                    return Fail(Show(x) + " ** " + Show(y) + " is not a number");
                return true;
            }
        }
        int64_t a = x.integer, b = y.integer;
        uint64_t ua = static_cast<uint64_t>(a), ub = static_cast<uint64_t>(b);
        switch (aOp) {
        case OpAdd: aOut = Number::Int(Wrap(ua + ub)); return true;
        case OpSub: aOut = Number::Int(Wrap(ua - ub)); return true;
        case OpMul: aOut = Number::Int(Wrap(ua * ub)); return true;
        case OpDiv:
            if (b == 0) return Fail("division of " + Show(x) + " by zero");
            aOut = Number::Int(b == -1 ? Wrap(0 - ua) : a / b);   // truncates towards zero
            return true;
        case OpMod:
            if (b == 0) return Fail("remainder of " + Show(x) + " by zero");
            aOut = Number::Int(b == -1 ? 0 : a % b);
            return true;
        default: {
            if (b < 0) {
                aOut = Number::Real(std::pow(static_cast<double>(a), static_cast<double>(b)));
                if (a == 0) return Fail("0 ** " + Show(y) + " is not a number");
                return true;
            }
            uint64_t result = 1, base = ua;
            for (uint64_t e = ub; e; e >>= 1) {
                if (e & 1) result *= base;
                base *= base;
            }
            aOut = Number::Int(Wrap(result));
            return true;
        }
        }
    }

    bool Call(int aFunction, const Number& x, const Number* aDigits, Number& aOut) {
        double v = x.AsDouble();
        switch (aFunction) {
        case FnAbs:
            aOut = x.real ? Number::Real(std::fabs(v)) : Number::Int(x.integer < 0 ? Wrap(0 - static_cast<uint64_t>(x.integer)) : x.integer);
            return true;
        case FnSgn: aOut = Number::Int(v > 0 ? 1 : v < 0 ? -1 : 0); return true;
        case FnNeg: return Unary(OpNeg, x, aOut);
        case FnTrunc:
        case FnFloor:
        case FnCeil:
        case FnRound: {
            if (aFunction == FnRound && aDigits) return Round(x, *aDigits, aOut);
            if (!x.real) {
                aOut = x;
                return true;
            }
            aOut = Number::Real(aFunction == FnTrunc ? std::trunc(v) : aFunction == FnFloor ? std::floor(v)
                              : aFunction == FnCeil ? std::ceil(v) : std::round(v));
            return true;
        }
        default: break;
        }
        double r = 0;
        switch (aFunction) {
        case FnSqrt: r = std::sqrt(v); break;
        case FnExp: r = std::exp(v); break;
        case FnLn: r = std::log(v); break;
        case FnLg: r = std::log10(v); break;
        case FnSin: r = std::sin(v); break;
        case FnCos: r = std::cos(v); break;
        case FnTan: r = std::tan(v); break;
        case FnAsin: r = std::asin(v); break;
        case FnAcos: r = std::acos(v); break;
        default: r = std::atan(v); break;
        }
        if (mInteger && std::isnan(r) && !std::isnan(v))
            return Fail(std::string(FunctionText(aFunction)) + "(" + Show(x) + ") is not a number");
        aOut = Number::Real(r);
        return true;
    }

    // ROUND(x, n): x rounded to n decimals (n below zero: to tens, hundreds, ...).
    bool Round(const Number& x, const Number& aDigits, Number& aOut) {
        int64_t digits = 0;
        if (!ToInteger(aDigits, digits)) return Fail("ROUND to " + Show(aDigits) + " decimals");
        if (!x.real && digits >= 0) {
            aOut = x;
            return true;
        }
        double v = x.AsDouble();
        // Beyond 400 decimals either way a double keeps nothing (or nothing but 0) of x: clamped first,
        // so that no digit count, -2^63 included, is negated out of range.
        digits = std::clamp<int64_t>(digits, -400, 400);
        double scale = std::pow(10.0, static_cast<double>(digits < 0 ? -digits : digits));
        if (digits < 0) aOut = Number::Real(std::isfinite(scale) ? std::round(v / scale) * scale : 0.0);   // to tens, hundreds...
        else if (!std::isfinite(v * scale)) aOut = Number::Real(v);   // finer than a double resolves
        else aOut = Number::Real(std::round(v * scale) / scale);
        return true;
    }

    bool mInteger;
    FormulaReader& mReader;
    uint64_t& mSteps;
    uint64_t mMaxSteps;
    bool mVariableFailed = false, mTooLong = false;
    std::string mError;
    std::vector<Pending> mStack;
};

Formula::Outcome Formula::Evaluate(bool aInteger, FormulaReader& aReader, Number& aValue, std::string& aError) const {
    uint64_t steps = 0;
    return Evaluate(aInteger, aReader, aValue, aError, steps, kMaxSteps);
}

Formula::Outcome Formula::Evaluate(bool aInteger, FormulaReader& aReader, Number& aValue, std::string& aError,
                                   uint64_t& aSteps, uint64_t aMaxSteps) const {
    FormulaEvaluator evaluator(aInteger, aReader, aSteps, aMaxSteps);
    return evaluator.Run(*this, aValue, aError);
}

bool RoundToInteger(double aValue, int64_t& aOut) {
    double r = std::round(aValue);
    if (!(r >= -9223372036854775808.0 && r < 9223372036854775808.0)) return false;
    aOut = static_cast<int64_t>(r);
    return true;
}

}  // namespace TqGenICamLib
