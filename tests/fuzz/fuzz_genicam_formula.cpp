// Formulas into the GenICam engine's formula language (TqGenICamLib::Formula::Compile, then Evaluate
// in integer and in float arithmetic).
//
// Input: the formula text. Its names: variables A = 7, B = -3, X = 2.5 (a float), M = -2^63 and F,
// which cannot be read; the constant K = 1.5; the expression E = A*X+B.
// Checked besides the sanitizers: a formula that does not compile, or fails to evaluate, says why; a
// float evaluation gives a double; only a formula that reads F fails on a variable.
#include "TqGenFormula.h"
#include "fuzz_input.h"

#include <limits>
#include <string>

using KivoFuzz::Bytes;
using TqGenICamLib::Formula;
using TqGenICamLib::FormulaScope;
using TqGenICamLib::Number;

namespace {

constexpr size_t kFailing = 4;

struct Variables : TqGenICamLib::FormulaReader {
    bool Read(size_t aSlot, Number& aValue) override {
        const Number values[] = {Number::Int(7), Number::Int(-3), Number::Real(2.5),
                                 Number::Int(std::numeric_limits<int64_t>::min())};
        if (aSlot >= kFailing) return false;
        aValue = values[aSlot];
        return true;
    }
};

const FormulaScope& Scope() {
    static const FormulaScope* scope = [] {
        auto* s = new FormulaScope;
        const char* names[] = {"A", "B", "X", "M", "F"};
        for (size_t i = 0; i < 5; ++i) s->AddVariable(names[i], i);
        s->AddConstant("K", Number::Real(1.5));
        std::string error;
        s->AddExpression("E", Formula::Compile("A*X+B", *s, error));
        return s;
    }();
    return *scope;
}

// ---- seeds: formulas of the formula tests ----

std::vector<Bytes> Seeds() {
    const char* texts[] = {"2+3*4**2", "2**3**2", "-2**2", "-7/2", "-7%3", "(1<<4)|3", "6&3^5", "A>B?A:B", "A<B?A:B",
                           "A&&B||!X", "~A", "0x7FFFFFFFFFFFFFFF+1", "M/-1", "M%-1", "ABS(M)", "NEG(M)", "X*2.5e3",
                           "SQRT(X)+EXP(1)+LN(X)+LG(100)+SIN(PI)+COS(0)+TAN(1)+ASIN(0.5)+ACOS(0.5)+ATAN(1)",
                           "TRUNC(X)+FLOOR(-X)+CEIL(X)+ROUND(X)+SGN(B)", "ROUND(1234.5678, 2)", "ROUND(1234.5678, -2)",
                           "ROUND(A, -1)", "E*K", "F+1", "A=7 && B<>3 && X>=2.5 && A!=B && A==7", "1e300*1e300 & 1",
                           "A/0", "X%0", "(((A)))", "A ? F : 1", "1 << 63 >> 63", "2 ** -1", "0 ** -1", "0x", "1+", "ABS(1, 2)"};
    std::vector<Bytes> seeds;
    for (const char* text : texts) seeds.emplace_back(text, text + std::char_traits<char>::length(text));
    return seeds;
}

}  // namespace

KIVO_FUZZ_SEEDS(Seeds)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
    const std::string text(reinterpret_cast<const char*>(aData), aSize);
    std::string error;
    std::shared_ptr<const Formula> formula = Formula::Compile(text, Scope(), error);
    if (!formula) {
        KIVO_FUZZ_CHECK(!error.empty());
        return 0;
    }
    for (bool integer : {true, false}) {
        Variables variables;
        Number value;
        error.clear();
        const Formula::Outcome outcome = formula->Evaluate(integer, variables, value, error);
        if (outcome == Formula::Outcome::Ok) KIVO_FUZZ_CHECK(integer || value.real);
        if (outcome == Formula::Outcome::Failed) KIVO_FUZZ_CHECK(!error.empty());
        if (outcome == Formula::Outcome::VariableFailed) KIVO_FUZZ_CHECK(formula->UsesSlot(kFailing));
    }
    return 0;
}
