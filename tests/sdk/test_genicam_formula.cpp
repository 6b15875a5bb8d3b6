// Formula nodes of the stand-in GenICam engine: the formula language itself (precedence, integer
// and float arithmetic, functions, syntax errors), SwissKnives and converters over registers,
// StructReg bit fields in both byte orders, booleans with their own on and off values, indexed
// addresses and values, and the sample descriptions of the shared folder.
#include "TqGenFormula.h"
#include "TqGenNodeMap.h"
#include "TqGenParameterArray.h"
#include "genicam_map.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <vector>

using TqGenICamLib::Formula;
using TqGenICamLib::FormulaReader;
using TqGenICamLib::FormulaScope;
using TqGenICamLib::IPort;
using TqGenICamLib::Node;
using TqGenICamLib::NodeMap;
using TqGenICamLib::Number;
using KivoGenTest::Bytes;
using KivoGenTest::Description;
using KivoGenTest::Map;
using KivoGenTest::Reg;
using KivoGenTest::Why;

namespace {

// ---- the language ----

// Variables A = 7, B = 3 (integers) and X = 2.5 (a float).
struct Vars : FormulaReader {
    bool Read(size_t aSlot, Number& aValue) override {
        aValue = aSlot == 0 ? Number::Int(7) : aSlot == 1 ? Number::Int(3) : Number::Real(2.5);
        return true;
    }
};

FormulaScope Scope() {
    FormulaScope scope;
    scope.AddVariable("A", 0);
    scope.AddVariable("B", 1);
    scope.AddVariable("X", 2);
    return scope;
}

// The formula's value, or the compile or evaluation error as text in aError.
Number Calc(const std::string& aText, bool aInteger, std::string& aError) {
    aError.clear();
    auto formula = Formula::Compile(aText, Scope(), aError);
    Number value;
    if (!formula) return value;
    Vars vars;
    if (formula->Evaluate(aInteger, vars, value, aError) != Formula::Outcome::Ok && aError.empty()) aError = "failed";
    return value;
}

TEST(TqGenFormulaTest, IntegerPrecedenceAndArithmetic) {
    const std::pair<const char*, int64_t> cases[] = {
        {"2+3*4**2", 50},            // ** above *, * above +
        {"2**3**2", 512},            // ** groups to the right
        {"-2**2", 4},                // a sign binds tighter than **
        {"10-4-3", 3},               // - groups to the left
        {"100/10/5", 2},
        {"-7/2", -3},                // integer division truncates towards zero
        {"7/2*2", 6},
        {"7%3", 1},
        {"-7%3", -1},
        {"(1<<4)|3", 19},
        {"1|2<<3", 17},              // << above |
        {"6&3^5", 7},                // & above ^
        {"1|6^3", 5},                // ^ above |
        {"1+2=3", 1},                // = below +
        {"2<3=1", 1},                // < above =
        {"3>2>1", 0},                // (3>2)>1
        {"A>B?A:B", 7},
        {"A<B?A:B", 3},
        {"1=1&&2<>3", 1},
        {"0||0&&1", 0},
        {"1||0&&0", 1},              // && above ||
        {"1?2:0?3:4", 2},            // ?: groups to the right
        {"0?2:0?3:4", 4},
        {"0x10+0xff", 271},
        {"0xFFFFFFFFFFFFFFFF", -1},
        {"~0", -1},
        {"!0+!5", 1},
        {"-8>>1", -4},               // arithmetic shift
        {"1<<64", 0},
        {"0x7FFFFFFFFFFFFFFF+1", std::numeric_limits<int64_t>::min()},   // wraps around
        {"(-9223372036854775807-1)/-1", std::numeric_limits<int64_t>::min()},
        {"ABS(-5)+SGN(-3)+NEG(4)", 0},
        {"A==7 && B!=7", 1},
        {"  ( A + B ) * 2 ", 20},
        {"0 && 1/0", 0},             // the right side of && only when it decides
        {"1 ? 5 : 1/0", 5},          // and only the branch taken
    };
    for (const auto& [text, expected] : cases) {
        std::string error;
        Number value = Calc(text, true, error);
        ASSERT_EQ(error, "") << text;
        EXPECT_FALSE(value.real) << text;
        EXPECT_EQ(value.integer, expected) << text;
    }
}

TEST(TqGenFormulaTest, FloatsFunctionsAndMixedOperands) {
    const double pi = 3.14159265358979323846;
    const std::pair<const char*, double> cases[] = {
        {"7/2", 3.5},   // a float evaluation divides in double
        {"-7/2", -3.5},
        {"X*2", 5.0},
        {"2.5e1+.5", 25.5},
        {"SQRT(16)+ABS(-1.5)", 5.5},
        {"TRUNC(-2.7)", -2},
        {"FLOOR(-2.7)", -3},
        {"CEIL(-2.2)", -2},
        {"ROUND(2.5)+ROUND(-2.5)", 0},   // halves away from zero
        {"ROUND(3.14159, 2)", 3.14},
        {"ROUND(1250, -2)", 1300},
        {"SIN(PI/2)+COS(0)+TAN(0)", 2},
        {"ATAN(1)*4", pi},
        {"ASIN(1)+ACOS(1)", pi / 2},
        {"LN(E)+LG(1000)+EXP(0)", 5},
        {"sqrt(4)+pi-PI", 2},   // function and constant names in any case
        {"(0x00100000>>16)&0xFF", 16},
        {"1.5 % 1", 0.5},
    };
    for (const auto& [text, expected] : cases) {
        std::string error;
        Number value = Calc(text, false, error);
        ASSERT_EQ(error, "") << text;
        EXPECT_TRUE(value.real) << text;
        EXPECT_NEAR(value.real_value, expected, 1e-12) << text;
    }
    // An integer evaluation stays integer until a float meets it.
    std::string error;
    Number value = Calc("7/2 + 7/2.0", true, error);
    EXPECT_TRUE(value.real);
    EXPECT_DOUBLE_EQ(value.real_value, 6.5);
    value = Calc("A/2 + X", true, error);
    EXPECT_DOUBLE_EQ(value.real_value, 5.5);
    value = Calc("TRUNC(A/2)", true, error);
    EXPECT_FALSE(value.real);
    EXPECT_EQ(value.integer, 3);
    // A float evaluation gives IEEE arithmetic's results where an integer one fails.
    const std::pair<const char*, double> ieee[] = {
        {"X/(A-7)", HUGE_VAL}, {"-A/0", -HUGE_VAL}, {"1e300*1e300", HUGE_VAL}, {"LN(0)", -HUGE_VAL},
        {"0/0", std::nan("")}, {"X%0", std::nan("")}, {"SQRT(-1)", std::nan("")}, {"(-8)**(1/3)", std::nan("")},
        {"(0/0)*0+1", std::nan("")}, {"(0/0 = 0/0) + 2*(0/0 <> 0/0)", 2},   // NaN equals nothing, itself included
    };
    for (const auto& [text, expected] : ieee) {
        value = Calc(text, false, error);
        ASSERT_EQ(error, "") << text;
        ASSERT_TRUE(value.real) << text;
        if (std::isnan(expected)) EXPECT_TRUE(std::isnan(value.real_value)) << text << ": " << value.real_value;
        else EXPECT_EQ(value.real_value, expected) << text;
    }

    int64_t rounded = 0;
    EXPECT_TRUE(TqGenICamLib::RoundToInteger(229.99999999999997, rounded));
    EXPECT_EQ(rounded, 230);
    EXPECT_FALSE(TqGenICamLib::RoundToInteger(1e19, rounded));
    EXPECT_FALSE(TqGenICamLib::RoundToInteger(std::nan(""), rounded));
}

TEST(TqGenFormulaTest, SyntaxAndEvaluationErrorsSayWhat) {
    std::string deep(300, '(');
    deep += "1" + std::string(300, ')');
    std::string chain = "1";
    for (int i = 0; i < 1500; ++i) chain += "+1";
    const std::pair<std::string, const char*> compile[] = {
        {"", "empty"},
        {"1+", "expected a number, a name or '(', found the end at column 3"},
        {"(1", "expected ')', found the end"},
        {"1)", "expected an operator, found ')' at column 2"},
        {"2 3", "expected an operator, found '3'"},
        {"FOO+1", "unknown name 'FOO' at column 1"},
        {"1+a", "unknown name 'a'"},   // names are case-sensitive
        {"SQRT 4", "SQRT without '('"},
        {"1 ? 2", "expected ':'"},
        {"0x", "hexadecimal number without digits"},
        {"0x1FFFFFFFFFFFFFFFF", "beyond 64 bits"},
        {"1 $ 2", "'$'"},
        {"ABS(1, 2)", "expected ')'"},
        {deep, "nested deeper than"},
        {chain, "nests deeper than"},
    };
    for (const auto& [text, expected] : compile) {
        std::string error;
        EXPECT_FALSE(Formula::Compile(text, Scope(), error)) << text;
        EXPECT_NE(error.find(expected), std::string::npos) << text << ": " << error;
    }
    // An integer evaluation refuses what has no integer result, even once a float has met it; a
    // float one refuses only bit operations on what no integer holds.
    const std::tuple<const char*, bool, const char*> evaluate[] = {
        {"A/0", true, "division of 7 by zero"},
        {"X/(A-7)", true, "division of 2.5 by zero"},
        {"A%(B-3)", true, "remainder of 7 by zero"},
        {"X%(B-3)", true, "remainder of 2.5 by zero"},
        {"SQRT(-1)", true, "SQRT(-1) is not a number"},
        {"0**-1", true, "0 ** -1 is not a number"},
        {"(-8.0)**(1/3.0)", true, "is not a number"},
        {"1e300*1e300 & 1", false, "outside the 64-bit range"},
        {"~(0/0)", false, "outside the 64-bit range"},
    };
    for (const auto& [text, integer, expected] : evaluate) {
        std::string error;
        Calc(text, integer, error);
        EXPECT_NE(error.find(expected), std::string::npos) << text << ": " << error;
    }
}

TEST(TqGenFormulaTest, RandomTokenSoupNeverCrashes) {
    // Every compiled soup evaluates to a value or an error in both modes; the rest fail to compile
    // with a message.
    const char* tokens[] = {"A", "B", "X", "1", "0", "0x10", "2.5", "(", ")", "+", "-", "*", "/", "%", "**", "<<", ">>",
                            "&", "|", "^", "~", "!", "=", "<>", "<", ">=", "&&", "||", "?", ":", ",", "ROUND(", "SQRT(",
                            "ABS(", "PI", "E", " "};
    uint32_t seed = 12345;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7FFF; };
    int compiled = 0;
    for (int i = 0; i < 3000; ++i) {
        std::string text;
        for (uint32_t n = 1 + next() % 8; n > 0; --n) text += tokens[next() % (sizeof tokens / sizeof tokens[0])];
        std::string error;
        auto formula = Formula::Compile(text, Scope(), error);
        if (!formula) {
            EXPECT_FALSE(error.empty()) << text;
            continue;
        }
        ++compiled;
        for (bool integer : {true, false}) {
            Vars vars;
            Number value;
            error.clear();
            if (formula->Evaluate(integer, vars, value, error) != Formula::Outcome::Ok) {
                EXPECT_FALSE(error.empty()) << text;
            }
        }
    }
    EXPECT_GT(compiled, 100) << "of 3000";
}

TEST(TqGenFormulaTest, RoundTakesAnyDigitCount) {
    // Digit counts at the ends of the 64-bit range (-2^63 included) round to nothing or keep x.
    const std::tuple<const char*, bool, double> cases[] = {
        {"ROUND(1234, -2**63)", true, 0},   // (-2)**63 is -2^63
        {"ROUND(1234.5, -2**63)", false, 0},
        {"ROUND(X, 0x8000000000000000)", true, 0},
        {"ROUND(X, 0x7FFFFFFFFFFFFFFF)", true, 2.5},
        {"ROUND(X, -400)", false, 0},
        {"ROUND(1250, -3)", true, 1000},
        {"ROUND(X, -1e18)", false, 0},
    };
    for (const auto& [text, integer, expected] : cases) {
        std::string error;
        Number value = Calc(text, integer, error);
        ASSERT_EQ(error, "") << text;
        EXPECT_EQ(value.AsDouble(), expected) << text;
    }
    std::string error;
    Calc("ROUND(X, 1e300*1e300)", false, error);
    EXPECT_NE(error.find("ROUND to inf decimals"), std::string::npos) << error;
}

TEST(TqGenFormulaTest, DeepTermsEvaluateWithoutRecursionWithinTheStepBudget) {
    // A term as deep as the compiler allows (a chain leaning left), with a short-circuit and an
    // untaken branch whose divisions by zero must not run.
    std::string deep = "A";
    for (int i = 0; i < Formula::kMaxDepth - 10; ++i) deep += "+1";
    deep += "+(0 ? A/0 : 1)";
    std::string error;
    Number value = Calc("(0 && A/0) || " + deep + " > 0", true, error);
    ASSERT_EQ(error, "");
    EXPECT_EQ(value.integer, 1);
    value = Calc(deep, true, error);
    ASSERT_EQ(error, "");
    EXPECT_EQ(value.integer, 7 + Formula::kMaxDepth - 10 + 1);
    // A shared budget: the steps the caller counted before come off it.
    auto formula = Formula::Compile(deep, Scope(), error);
    ASSERT_TRUE(formula);
    Vars vars;
    uint64_t steps = 0;
    ASSERT_EQ(formula->Evaluate(true, vars, value, error, steps, 100000), Formula::Outcome::Ok);
    EXPECT_GT(steps, 900u);
    steps = 99990;
    EXPECT_EQ(formula->Evaluate(true, vars, value, error, steps, 100000), Formula::Outcome::TooLong);
    EXPECT_NE(error.find("longer than 100000 steps"), std::string::npos) << error;
}

// ---- nodes ----


TEST(TqGenFormulaNodeTest, IntSwissKnifePayloadSizeFollowsItsRegisters) {
    Map m(Description(Reg("Width", "0x100") + Reg("Height", "0x104") +
                      "<Enumeration Name=\"PixelFormat\"><EnumEntry Name=\"Mono12\"><Value>0x01100005</Value></EnumEntry>"
                      "<EnumEntry Name=\"RGB8\"><Value>0x02180014</Value></EnumEntry><pValue>PixelFormatReg</pValue></Enumeration>" +
                      Reg("PixelFormatReg", "0x108") +
                      "<Register Name=\"Block\"><Address>0x100</Address><Length>8</Length><AccessMode>RW</AccessMode><pPort>Device</pPort></Register>"
                      "<IntSwissKnife Name=\"PayloadSize\"><pVariable Name=\"W\">Width</pVariable><pVariable Name=\"H\">Height</pVariable>"
                      "<pVariable Name=\"PF\">PixelFormat</pVariable><Formula>W*H*((PF&gt;&gt;16)&amp;0xFF)/8</Formula></IntSwissKnife>"
                      "<SwissKnife Name=\"MegaBytes\"><pVariable Name=\"P\">PayloadSize</pVariable><Formula>P/1000000</Formula></SwissKnife>"));
    ASSERT_TRUE(m.loaded.IsOK()) << Why(m.loaded);
    std::vector<std::string> told;
    m.map->SetWriteObserver([&](Node* aNode) { told.push_back(aNode->name); });
    ASSERT_TRUE(m.map->SetInteger(m.N("Width"), 640).IsOK());
    ASSERT_TRUE(m.map->SetInteger(m.N("Height"), 480).IsOK());
    ASSERT_TRUE(m.map->SetEnumName(m.N("PixelFormat"), "Mono12").IsOK());
    EXPECT_EQ(m.Int("PayloadSize"), 614400);
    EXPECT_DOUBLE_EQ(m.Real("MegaBytes"), 0.6144);   // a float formula divides in double
    EXPECT_NE(std::find(told.begin(), told.end(), "PayloadSize"), told.end()) << "a variable's write is told to the formula";
    EXPECT_NE(std::find(told.begin(), told.end(), "MegaBytes"), told.end());

    ASSERT_TRUE(m.map->SetEnumName(m.N("PixelFormat"), "RGB8").IsOK());
    EXPECT_EQ(m.Int("PayloadSize"), 921600);
    // A write of a register that overlaps Width (cached) reaches the formula too.
    EXPECT_TRUE(m.map->IsValueCached(m.N("PayloadSize")));
    uint8_t block[8] = {100, 0, 0, 0, 10, 0, 0, 0};
    ASSERT_TRUE(m.map->SetRegister(m.N("Block"), block, 8).IsOK());
    EXPECT_EQ(m.Int("PayloadSize"), 100 * 10 * 3);

    // Read-only, whatever ImposedAccessMode says; limits of the whole range.
    EXPECT_EQ(m.map->GetAccessMode(m.N("PayloadSize")), TqGenAccessModeReadOnly);
    EXPECT_EQ(m.map->SetInteger(m.N("PayloadSize"), 1).GetCode(), TQ_STATE_ERROR);
    EXPECT_EQ(m.map->SetFloat(m.N("MegaBytes"), 1).GetCode(), TQ_STATE_ERROR);
    int64_t max = 0;
    ASSERT_TRUE(m.map->GetIntegerMax(m.N("PayloadSize"), max).IsOK());
    EXPECT_EQ(max, std::numeric_limits<int64_t>::max());
    EXPECT_EQ(TqGenICamLib::ParameterType(m.N("PayloadSize")->kind), TqGenTypeInteger);
    EXPECT_EQ(TqGenICamLib::ParameterType(m.N("MegaBytes")->kind), TqGenTypeFloat);
}

TEST(TqGenFormulaNodeTest, FormulasAsAddressesConstantsAndExpressions) {
    Map m(Description(
        "<Integer Name=\"Sel\"><Value>2</Value></Integer>"
        "<IntSwissKnife Name=\"Stride\"><Constant Name=\"WORD\">4</Constant><Expression Name=\"TWO\">WORD/2</Expression>"
        "<Formula>WORD*TWO</Formula></IntSwissKnife>"
        "<IntReg Name=\"Slot\"><Address>0x200</Address><pIndex pOffset=\"Stride\">Sel</pIndex><Length>4</Length><AccessMode>RW</AccessMode></IntReg>"
        "<IntReg Name=\"Fixed\"><Address>0x300</Address><pIndex Offset=\"0x10\">Sel</pIndex><Length>4</Length><AccessMode>RW</AccessMode></IntReg>"
        "<IntReg Name=\"Inline\"><Address>0x400</Address><IntSwissKnife Name=\"InlineAddress\"><pVariable Name=\"S\">Sel</pVariable>"
        "<Formula>S*0x20</Formula></IntSwissKnife><Length>4</Length><AccessMode>RW</AccessMode></IntReg>"
        "<IntSwissKnife Name=\"Scaled\"><pVariable Name=\"S\">Sel</pVariable><Constant Name=\"K\">1.5</Constant>"
        "<Expression Name=\"SK\">S*K</Expression><Formula>SK+S</Formula></IntSwissKnife>"));
    ASSERT_TRUE(m.loaded.IsOK()) << Why(m.loaded);
    uint64_t address = 0;
    ASSERT_TRUE(m.map->GetAddress(m.N("Slot"), address).IsOK());
    EXPECT_EQ(address, 0x200u + 2 * 8);
    ASSERT_TRUE(m.map->GetAddress(m.N("Fixed"), address).IsOK());
    EXPECT_EQ(address, 0x300u + 2 * 0x10);
    ASSERT_TRUE(m.map->GetAddress(m.N("Inline"), address).IsOK());
    EXPECT_EQ(address, 0x400u + 2 * 0x20);
    EXPECT_EQ(m.Int("Scaled"), 5);   // 2*1.5 + 2, a float constant in an integer formula
    ASSERT_TRUE(m.map->SetInteger(m.N("Sel"), 3).IsOK());
    ASSERT_TRUE(m.map->GetAddress(m.N("Inline"), address).IsOK());
    EXPECT_EQ(address, 0x400u + 3 * 0x20);
    EXPECT_EQ(m.Int("Scaled"), 8);   // 4.5 + 3 = 7.5, rounded
    ASSERT_TRUE(m.map->SetInteger(m.N("Slot"), 77).IsOK());
    EXPECT_EQ(m.At(0x200 + 3 * 8, 4), (Bytes{77, 0, 0, 0}));
}

// Frame rate (fps) over a period register in microseconds.
std::string FrameRate(const std::string& aConverterExtra = "") {
    return Description(
        "<Float Name=\"AcquisitionFrameRate\"><pValue>FrameRateConverter</pValue></Float>"
        "<Converter Name=\"FrameRateConverter\"><FormulaTo>1000000/FROM</FormulaTo><FormulaFrom>1000000/TO</FormulaFrom>"
        "<pValue>FramePeriod</pValue><pInvalidator>Refresh</pInvalidator>" + aConverterExtra + "</Converter>"
        "<Integer Name=\"Refresh\"><Value>0</Value></Integer>"
        "<Integer Name=\"FramePeriod\"><pValue>FramePeriodReg</pValue><Min>1000</Min><Max>10000000</Max></Integer>" +
        Reg("FramePeriodReg", "0x10", "<Endianess>BigEndian</Endianess><Unit>us</Unit>") +
        "<Converter Name=\"Affine\"><FormulaFrom>TO*2+1</FormulaFrom><FormulaTo>(FROM-1)/2</FormulaTo><pValue>Raw</pValue></Converter>"
        "<Integer Name=\"Raw\"><Value>10</Value></Integer>"
        "<IntConverter Name=\"Tenths\"><FormulaFrom>TO*10</FormulaFrom><FormulaTo>FROM/10</FormulaTo><pValue>Raw</pValue></IntConverter>"
        "<IntConverter Name=\"Bounded\"><FormulaFrom>TO</FormulaFrom><FormulaTo>FROM</FormulaTo><pValue>Raw</pValue>"
        "<Min>0</Min><Max>50</Max></IntConverter>" +
        "<IntReg Name=\"Status\"><Address>0x20</Address><Length>4</Length><AccessMode>RO</AccessMode></IntReg>"
        "<Converter Name=\"ReadOnly\"><FormulaFrom>TO</FormulaFrom><FormulaTo>FROM</FormulaTo><pValue>Status</pValue></Converter>"
        "<Enumeration Name=\"Mode\"><EnumEntry Name=\"A\"><Value>1</Value></EnumEntry><EnumEntry Name=\"B\"><Value>3</Value></EnumEntry><Value>1</Value></Enumeration>"
        "<Converter Name=\"ModeShifted\"><FormulaFrom>TO+4</FormulaFrom><FormulaTo>FROM-4</FormulaTo><pValue>Mode</pValue></Converter>"
        "<Integer Name=\"Zero\"><Value>0</Value></Integer>"
        "<Converter Name=\"ZeroRate\"><FormulaFrom>1000000/TO</FormulaFrom><FormulaTo>1000000/FROM</FormulaTo><pValue>Zero</pValue></Converter>"
        "<Integer Name=\"WholeRate\"><pValue>ZeroRate</pValue></Integer>"
        "<IntConverter Name=\"IntegerRate\"><FormulaFrom>1000000/TO</FormulaFrom><FormulaTo>1000000/FROM</FormulaTo><pValue>Zero</pValue></IntConverter>");
}

TEST(TqGenFormulaNodeTest, ConvertersReadThroughFormulaFromAndWriteThroughFormulaTo) {
    Map m(FrameRate());
    ASSERT_TRUE(m.loaded.IsOK()) << Why(m.loaded);
    m.Put(0x10, {0x00, 0x00, 0x9C, 0x40});   // 40000 us
    EXPECT_DOUBLE_EQ(m.Real("AcquisitionFrameRate"), 25.0);
    ASSERT_TRUE(m.map->SetFloat(m.N("AcquisitionFrameRate"), 50.0).IsOK());
    EXPECT_EQ(m.At(0x10, 4), (Bytes{0x00, 0x00, 0x4E, 0x20}));   // 20000
    ASSERT_TRUE(m.map->SetFloat(m.N("AcquisitionFrameRate"), 30.0).IsOK());
    EXPECT_EQ(m.Int("FramePeriod"), 33333);   // 33333.33 rounded to the register's integer
    // The limits: the period's, taken through FormulaFrom, the larger period the smaller rate.
    double min = 0, max = 0;
    ASSERT_TRUE(m.map->GetFloatMin(m.N("AcquisitionFrameRate"), min).IsOK());
    ASSERT_TRUE(m.map->GetFloatMax(m.N("AcquisitionFrameRate"), max).IsOK());
    EXPECT_DOUBLE_EQ(min, 0.1);
    EXPECT_DOUBLE_EQ(max, 1000.0);
    EXPECT_EQ(m.map->SetFloat(m.N("AcquisitionFrameRate"), 0.05).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(m.Int("FramePeriod"), 33333);
    // Caches and observers: the converter reads its register's cache, a write of the register is
    // told to the converter and the float over it, and pInvalidator drops the register's cache.
    std::vector<std::string> told;
    m.map->SetWriteObserver([&](Node* aNode) { told.push_back(aNode->name); });
    ASSERT_TRUE(m.map->SetInteger(m.N("FramePeriod"), 40000).IsOK());
    std::sort(told.begin(), told.end());
    EXPECT_EQ(told, (std::vector<std::string>{"AcquisitionFrameRate", "FramePeriod", "FramePeriodReg", "FrameRateConverter"}));
    m.map->SetWriteObserver(nullptr);
    EXPECT_TRUE(m.map->IsValueCached(m.N("AcquisitionFrameRate")));
    m.Put(0x10, {0x00, 0x00, 0xC3, 0x50});   // 50000 behind the cache's back
    EXPECT_DOUBLE_EQ(m.Real("AcquisitionFrameRate"), 25.0);
    ASSERT_TRUE(m.map->SetInteger(m.N("Refresh"), 1).IsOK());
    EXPECT_DOUBLE_EQ(m.Real("AcquisitionFrameRate"), 20.0);
    ASSERT_TRUE(m.map->SetFloat(m.N("AcquisitionFrameRate"), 30.0).IsOK());
    // The register's unit is not the rate's.
    EXPECT_EQ(m.map->GetUnit(m.N("AcquisitionFrameRate")), "");
    EXPECT_EQ(m.map->GetUnit(m.N("FramePeriod")), "us");

    // An affine pair tells the directions apart: FormulaFrom 2*TO+1 reads, FormulaTo writes.
    EXPECT_DOUBLE_EQ(m.Real("Affine"), 21.0);
    ASSERT_TRUE(m.map->SetFloat(m.N("Affine"), 41.0).IsOK());
    EXPECT_EQ(m.Int("Raw"), 20);
    // IntConverter: integer arithmetic both ways (125/10 truncates to 12).
    EXPECT_EQ(m.Int("Tenths"), 200);
    ASSERT_TRUE(m.map->SetInteger(m.N("Tenths"), 125).IsOK());
    EXPECT_EQ(m.Int("Raw"), 12);
    EXPECT_EQ(m.Int("Tenths"), 120);
    // Given limits are checked before anything is written.
    EXPECT_EQ(m.map->SetInteger(m.N("Bounded"), 51).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(m.Int("Raw"), 12);
    int64_t intMax = 0;
    ASSERT_TRUE(m.map->GetIntegerMax(m.N("Bounded"), intMax).IsOK());
    EXPECT_EQ(intMax, 50);
    // The access mode is the pValue's.
    EXPECT_EQ(m.map->GetAccessMode(m.N("ReadOnly")), TqGenAccessModeReadOnly);
    EXPECT_EQ(m.map->SetFloat(m.N("ReadOnly"), 1.0).GetCode(), TQ_STATE_ERROR);
    // An enumeration as the register side: the entries bound it.
    EXPECT_DOUBLE_EQ(m.Real("ModeShifted"), 5.0);
    ASSERT_TRUE(m.map->SetFloat(m.N("ModeShifted"), 7.0).IsOK());
    int64_t mode = 0;
    ASSERT_TRUE(m.map->GetEnumInt(m.N("Mode"), mode).IsOK());
    EXPECT_EQ(mode, 3);
    EXPECT_EQ(m.map->SetFloat(m.N("ModeShifted"), 6.0).GetCode(), TQ_INVALID_PARAMETER);   // no entry 2
    ASSERT_TRUE(m.map->GetFloatMax(m.N("ModeShifted"), max).IsOK());
    EXPECT_DOUBLE_EQ(max, 7.0);
    // A register that reads 0 (a device not yet set up): the float converter divides by zero as
    // IEEE arithmetic does; an integer node that reads it refuses, naming the converter.
    m.Put(0x10, {0, 0, 0, 0});
    m.map->InvalidateAll();
    EXPECT_EQ(m.Real("AcquisitionFrameRate"), HUGE_VAL);
    EXPECT_EQ(m.Real("ZeroRate"), HUGE_VAL);
    int64_t whole = 0;
    TqResult r = m.map->GetInteger(m.N("WholeRate"), whole);
    EXPECT_EQ(r.GetCode(), TQ_INVALID_DATA_FORMAT);
    EXPECT_NE(Why(r).find("ZeroRate: inf is outside the 64-bit integer range"), std::string::npos) << Why(r);
    r = m.map->GetInteger(m.N("IntegerRate"), whole);
    EXPECT_EQ(r.GetCode(), TQ_INVALID_DATA_FORMAT);
    EXPECT_NE(Why(r).find("IntegerRate: FormulaFrom '1000000/TO': division of 1000000 by zero"), std::string::npos) << Why(r);
}

TEST(TqGenFormulaNodeTest, ConverterSlopeOrdersTheDerivedLimits) {
    const std::pair<const char*, std::pair<double, double>> cases[] = {
        {"<Slope>Decreasing</Slope>", {0.1, 1000.0}},
        {"<Slope>Increasing</Slope>", {1000.0, 0.1}},   // as the description claims, however wrong
        {"<Slope>Automatic</Slope>", {0.1, 1000.0}},
        {"<Slope>Varying</Slope>", {std::numeric_limits<double>::lowest(), std::numeric_limits<double>::max()}},
        {"<Min>1</Min><Max>60</Max>", {1.0, 60.0}},
    };
    for (const auto& [extra, limits] : cases) {
        Map m(FrameRate(extra));
        ASSERT_TRUE(m.loaded.IsOK()) << extra << ": " << Why(m.loaded);
        double min = 0, max = 0;
        ASSERT_TRUE(m.map->GetFloatMin(m.N("FrameRateConverter"), min).IsOK()) << extra;
        ASSERT_TRUE(m.map->GetFloatMax(m.N("FrameRateConverter"), max).IsOK()) << extra;
        EXPECT_DOUBLE_EQ(min, limits.first) << extra;
        EXPECT_DOUBLE_EQ(max, limits.second) << extra;
    }
    Map bounded(FrameRate("<Min>1</Min><Max>60</Max>"));
    EXPECT_EQ(bounded.map->SetFloat(bounded.N("FrameRateConverter"), 61.0).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_TRUE(bounded.map->SetFloat(bounded.N("FrameRateConverter"), 60.0).IsOK());
}

// One big-endian and one little-endian StructReg of four bytes.
std::string Structs() {
    return Description(
        "<StructReg Comment=\"Big\"><Address>0x40</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort>"
        "<Endianess>BigEndian</Endianess><Cachable>NoCache</Cachable>"
        "<StructEntry Name=\"High\"><LSB>15</LSB><MSB>0</MSB><Sign>Signed</Sign></StructEntry>"
        "<StructEntry Name=\"Low\"><LSB>31</LSB><MSB>24</MSB></StructEntry>"
        "<StructEntry Name=\"Flag\"><Bit>16</Bit></StructEntry>"
        "<StructEntry Name=\"Top\"><Bit>0</Bit><AccessMode>RO</AccessMode></StructEntry>"
        "</StructReg>"
        "<StructReg Comment=\"Little\"><Address>0x50</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort>"
        "<StructEntry Name=\"Byte0\"><LSB>0</LSB><MSB>7</MSB></StructEntry>"
        "<StructEntry Name=\"Nibble\"><LSB>12</LSB><MSB>15</MSB><Sign>Signed</Sign></StructEntry>"
        "<StructEntry Name=\"Bit31\"><Bit>31</Bit><Representation>Boolean</Representation></StructEntry>"
        "</StructReg>");
}

TEST(TqGenFormulaNodeTest, StructEntriesNumberBitsByTheirRegistersByteOrder) {
    Map m(Structs());
    ASSERT_TRUE(m.loaded.IsOK()) << Why(m.loaded);
    // Big-endian: bit 0 is the most significant; LSB 15 MSB 0 is the upper half.
    m.Put(0x40, {0xFF, 0xFE, 0x80, 0xA5});
    EXPECT_EQ(m.Int("High"), -2);   // 0xFFFE, sign-extended
    EXPECT_EQ(m.Int("Low"), 0xA5);
    EXPECT_EQ(m.Int("Flag"), 1);    // big-endian bit 16 is bit 15 from the bottom
    EXPECT_EQ(m.Int("Top"), 1);
    ASSERT_TRUE(m.map->SetInteger(m.N("High"), 5).IsOK());
    EXPECT_EQ(m.At(0x40, 4), (Bytes{0x00, 0x05, 0x80, 0xA5}));   // the other bits stay
    ASSERT_TRUE(m.map->SetInteger(m.N("Flag"), 0).IsOK());
    EXPECT_EQ(m.At(0x40, 4), (Bytes{0x00, 0x05, 0x00, 0xA5}));
    int64_t min = 0, max = 0;
    ASSERT_TRUE(m.map->GetIntegerMin(m.N("High"), min).IsOK());
    ASSERT_TRUE(m.map->GetIntegerMax(m.N("High"), max).IsOK());
    EXPECT_EQ(min, -32768);
    EXPECT_EQ(max, 32767);
    EXPECT_EQ(m.map->SetInteger(m.N("High"), 40000).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(m.map->SetInteger(m.N("Flag"), 2).GetCode(), TQ_INVALID_PARAMETER);
    // An entry's own AccessMode overrides its StructReg's.
    EXPECT_EQ(m.map->GetAccessMode(m.N("Top")), TqGenAccessModeReadOnly);
    EXPECT_EQ(m.map->GetAccessMode(m.N("Low")), TqGenAccessModeReadWrite);
    uint64_t address = 0;
    ASSERT_TRUE(m.map->GetAddress(m.N("Low"), address).IsOK());
    EXPECT_EQ(address, 0x40u);

    // Little-endian: bit 0 is the least significant.
    m.Put(0x50, {0x34, 0x92, 0x00, 0x80});   // 0x80009234
    EXPECT_EQ(m.Int("Byte0"), 0x34);
    EXPECT_EQ(m.Int("Nibble"), -7);   // 0x9 in four signed bits
    EXPECT_EQ(m.Int("Bit31"), 1);
    ASSERT_TRUE(m.map->SetInteger(m.N("Nibble"), 3).IsOK());
    EXPECT_EQ(m.At(0x50, 4), (Bytes{0x34, 0x32, 0x00, 0x80}));
    EXPECT_EQ(m.map->GetRepresentation(m.N("Bit31")), TqGenRepresentationBoolean);
    EXPECT_EQ(TqGenICamLib::ParameterType(m.N("Bit31")->kind), TqGenTypeInteger);
}

TEST(TqGenFormulaNodeTest, BooleanOnAndOffValues) {
    Map m(Description(Reg("Light", "0x60") +
                      "<Boolean Name=\"LightOn\"><pValue>Light</pValue><OnValue>23</OnValue><OffValue>42</OffValue></Boolean>"
                      "<Boolean Name=\"Held\"><Value>true</Value><OnValue>5</OnValue><OffValue>6</OffValue></Boolean>"
                      "<Integer Name=\"HeldValue\"><pValue>HeldRaw</pValue></Integer>"
                      "<IntSwissKnife Name=\"HeldRaw\"><pVariable Name=\"H\">Held</pVariable><Formula>H</Formula></IntSwissKnife>"));
    ASSERT_TRUE(m.loaded.IsOK()) << Why(m.loaded);
    ASSERT_TRUE(m.map->SetBoolean(m.N("LightOn"), true).IsOK());
    EXPECT_EQ(m.At(0x60, 4), (Bytes{23, 0, 0, 0}));
    ASSERT_TRUE(m.map->SetBoolean(m.N("LightOn"), false).IsOK());
    EXPECT_EQ(m.At(0x60, 4), (Bytes{42, 0, 0, 0}));
    m.Put(0x60, {7, 0, 0, 0});
    m.map->InvalidateAll();
    bool value = false;
    EXPECT_EQ(m.map->GetBoolean(m.N("LightOn"), value).GetCode(), TQ_INVALID_DATA_FORMAT);
    // Value true is the on value, whichever order the elements come in; a formula reads it as 1.
    ASSERT_TRUE(m.map->GetBoolean(m.N("Held"), value).IsOK());
    EXPECT_TRUE(value);
    EXPECT_EQ(m.N("Held")->intValue, 5);
    EXPECT_EQ(m.Int("HeldValue"), 1);
}

TEST(TqGenFormulaNodeTest, ValuesChosenByIndex) {
    Map m(Description(
        "<Integer Name=\"Table\"><pIndex>Sel</pIndex><ValueIndexed Index=\"10\">100</ValueIndexed>"
        "<pValueIndexed Index=\"20\">Twenty</pValueIndexed><ValueDefault>600</ValueDefault></Integer>"
        "<Integer Name=\"Sel\"><Value>10</Value></Integer><Integer Name=\"Twenty\"><Value>200</Value></Integer>"
        "<Float Name=\"FloatTable\"><pIndex>Sel</pIndex><ValueIndexed Index=\"20\">2.5</ValueIndexed><pValueDefault>Half</pValueDefault></Float>"
        "<Float Name=\"Half\"><Value>0.5</Value></Float>"));
    ASSERT_TRUE(m.loaded.IsOK()) << Why(m.loaded);
    EXPECT_EQ(m.Int("Table"), 100);
    EXPECT_DOUBLE_EQ(m.Real("FloatTable"), 0.5);
    ASSERT_TRUE(m.map->SetInteger(m.N("Table"), 101).IsOK());
    ASSERT_TRUE(m.map->SetInteger(m.N("Sel"), 20).IsOK());
    EXPECT_EQ(m.Int("Table"), 200);
    EXPECT_DOUBLE_EQ(m.Real("FloatTable"), 2.5);
    ASSERT_TRUE(m.map->SetInteger(m.N("Table"), 201).IsOK());
    EXPECT_EQ(m.Int("Twenty"), 201);   // written through to the node named for index 20
    ASSERT_TRUE(m.map->SetInteger(m.N("Sel"), 30).IsOK());
    EXPECT_EQ(m.Int("Table"), 600);
    ASSERT_TRUE(m.map->SetInteger(m.N("Sel"), 10).IsOK());
    EXPECT_EQ(m.Int("Table"), 101);
}

TEST(TqGenFormulaNodeTest, BadFormulaNodesFailTheLoadNamingTheNode) {
    const std::pair<std::string, const char*> cases[] = {
        {"<IntSwissKnife Name=\"Bad\"><Formula>1+</Formula></IntSwissKnife>",
         "IntSwissKnife 'Bad': Formula '1+': expected a number, a name or '(', found the end at column 3"},
        {"<SwissKnife Name=\"Bad\"><pVariable Name=\"A\">V</pVariable><Formula>A+B</Formula></SwissKnife><Integer Name=\"V\"><Value>1</Value></Integer>",
         "SwissKnife 'Bad': Formula 'A+B': unknown name 'B'"},
        {"<IntSwissKnife Name=\"Bad\"><pVariable Name=\"A\">Missing</pVariable><Formula>A</Formula></IntSwissKnife>",
         "IntSwissKnife 'Bad': pVariable 'Missing' names no node"},
        {"<IntSwissKnife Name=\"Bad\"><pVariable Name=\"A\">S</pVariable><Formula>A</Formula></IntSwissKnife><String Name=\"S\"><Value>x</Value></String>",
         "pVariable names String node 'S', not a node with a number value"},
        {"<IntSwissKnife Name=\"Loop\"><pVariable Name=\"A\">Loop</pVariable><Formula>A</Formula></IntSwissKnife>",
         "circular reference: Loop -> Loop"},
        {"<IntSwissKnife Name=\"Bad\"><pVariable Name=\"A\">V</pVariable><pVariable Name=\"A\">V</pVariable><Formula>A</Formula></IntSwissKnife><Integer Name=\"V\"><Value>1</Value></Integer>",
         "two pVariables named 'A'"},
        {"<IntSwissKnife Name=\"Bad\"><Constant Name=\"K\">1/0</Constant><Formula>K</Formula></IntSwissKnife>",
         "Constant K '1/0': division of 1 by zero"},
        {"<IntSwissKnife Name=\"Bad\"><Expression Name=\"E\">F+1</Expression><Expression Name=\"F\">1</Expression><Formula>E</Formula></IntSwissKnife>",
         "Expression E 'F+1': unknown name 'F'"},   // an expression sees only those before it
        {"<IntSwissKnife Name=\"Bad\"/>", "IntSwissKnife 'Bad': no Formula"},
        {"<Converter Name=\"Bad\"><FormulaTo>TO</FormulaTo><FormulaFrom>TO</FormulaFrom><pValue>V</pValue></Converter><Integer Name=\"V\"><Value>1</Value></Integer>",
         "Converter 'Bad': FormulaTo reads TO"},
        {"<IntConverter Name=\"Bad\"><FormulaTo>FROM</FormulaTo><FormulaFrom>FROM</FormulaFrom><pValue>V</pValue></IntConverter><Integer Name=\"V\"><Value>1</Value></Integer>",
         "IntConverter 'Bad': FormulaFrom reads FROM"},
        {"<Converter Name=\"Bad\"><FormulaTo>FROM</FormulaTo><pValue>V</pValue></Converter><Integer Name=\"V\"><Value>1</Value></Integer>",
         "Converter 'Bad': no FormulaFrom"},
        {"<Converter Name=\"Bad\"><FormulaTo>FROM</FormulaTo><FormulaFrom>TO</FormulaFrom><pValue>V</pValue><Slope>Sideways</Slope></Converter><Integer Name=\"V\"><Value>1</Value></Integer>",
         "Slope 'Sideways'"},
        {"<Float Name=\"F\"><pValue>K</pValue></Float><StringReg Name=\"K\"><Address>0</Address><Length>4</Length></StringReg>",
         "Float 'F': pValue names StringReg node 'K', not an integer or float node"},
        {"<Integer Name=\"T\"><pIndex>V</pIndex><ValueDefault>1</ValueDefault><Value>2</Value></Integer><Integer Name=\"V\"><Value>1</Value></Integer>",
         "Integer 'T': both values per index and Value"},
        {"<StructReg Comment=\"Empty\"><Address>0</Address><Length>4</Length></StructReg>", "StructReg 'Empty': no StructEntry"},
        {"<StructEntry Name=\"Alone\"><Bit>1</Bit></StructEntry>", "StructEntry 'Alone': node kind not supported"},
        {"<StructReg Comment=\"S\"><Address>0</Address><Length>2</Length><StructEntry Name=\"Wide\"><LSB>0</LSB><MSB>16</MSB></StructEntry></StructReg>",
         "StructEntry 'Wide': bits 0 and 16 do not lie in a register of 2 bytes"},
        {"<StructReg Comment=\"S\"><Length>2</Length><StructEntry Name=\"Nowhere\"><Bit>1</Bit></StructEntry></StructReg>",
         "StructEntry 'Nowhere': no Address"},
    };
    for (const auto& [nodes, expected] : cases) {
        Map m(Description(nodes));
        EXPECT_EQ(m.loaded.GetCode(), TQ_GENICAM_XML_ERROR) << nodes;
        EXPECT_NE(Why(m.loaded).find(expected), std::string::npos) << nodes << "\n  " << Why(m.loaded);
    }
}

// Runs aWork on a thread of its own with a stack of aBytes: what evaluates within it never needs more.
void OnStackOf(size_t aBytes, void (*aWork)()) {
    pthread_attr_t attributes;
    ASSERT_EQ(pthread_attr_init(&attributes), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attributes, aBytes), 0);
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, &attributes, [](void* aArgument) -> void* {
        reinterpret_cast<void (*)()>(aArgument)();
        return nullptr;
    }, reinterpret_cast<void*>(aWork)), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
}

// aCount nodes K1..KaCount of aKind, each reading the one before (K0 = 1) in a formula of aTerms
// terms: "V+1+1..." (the variable at the bottom of the tree) or "V+V+V..." (read aTerms times).
std::string FormulaChain(const char* aKind, int aCount, int aTerms, bool aFanOut) {
    std::string nodes = "<Integer Name=\"K0\"><Value>1</Value></Integer>";
    std::string formula = "V";
    for (int t = 1; t < aTerms; ++t) formula += aFanOut ? "+V" : "+1";
    for (int i = 1; i <= aCount; ++i)
        nodes += std::string("<") + aKind + " Name=\"K" + std::to_string(i) + "\"><pVariable Name=\"V\">K" + std::to_string(i - 1) +
                 "</pVariable><Formula>" + formula + "</Formula></" + aKind + ">";
    return Description(nodes);
}

TEST(TqGenFormulaNodeTest, ChainedLongFormulasLoadAndEvaluateWithinAFixedStack) {
    // Eight nodes of a thousand terms each, chained through their variables, on a stack of 1 MiB:
    // the formulas' depth takes none of it (it overflowed when their evaluation recursed).
    OnStackOf(1 << 20, [] {
        for (const char* kind : {"IntSwissKnife", "SwissKnife"}) {
            TqGenParameterArray array;
            const std::string xml = FormulaChain(kind, 8, 1000, false);
            TqResult r = array.Load(xml.data(), xml.size(), TqGenParameterArray::MemoryPort(16));
            ASSERT_TRUE(r.IsOK()) << Why(r);
            double value = 0;
            r = std::string(kind) == "SwissKnife" ? array.GetFloatValue("K8", value) : [&] {
                int64_t integer = 0;
                TqResult read = array.GetIntegerValue("K8", integer);
                value = static_cast<double>(integer);
                return read;
            }();
            ASSERT_TRUE(r.IsOK()) << kind << ": " << Why(r);
            EXPECT_EQ(value, 1 + 8 * 999) << kind;
        }
        // Brackets and signs nested as deep as a formula may (the compiler's own recursion).
        std::string nested = "1";
        for (int i = 0; i < Formula::kMaxNesting - 1; ++i) nested = i % 2 ? "(" + nested + ")" : "-" + nested;
        Map m(Description("<IntSwissKnife Name=\"Nested\"><Formula>" + nested + "</Formula></IntSwissKnife>"));
        ASSERT_TRUE(m.loaded.IsOK()) << Why(m.loaded);
        EXPECT_EQ(m.Int("Nested"), (Formula::kMaxNesting / 2) % 2 ? -1 : 1);
    });
}

TEST(TqGenFormulaNodeTest, FormulasReadingTheirVariablesOftenEvaluateEachNodeOnce) {
    // Each node reads the one before a thousand times: node by node 1000^8 terms, where each
    // node's value is worked out once an operation, integer or float.
    for (const char* kind : {"SwissKnife", "IntSwissKnife"}) {
        TqGenParameterArray array;
        const std::string xml = FormulaChain(kind, 8, 1000, true);
        ASSERT_TRUE(array.Load(xml.data(), xml.size(), TqGenParameterArray::MemoryPort(16)).IsOK());
        double real = 0;
        int64_t integer = 0;
        if (std::string(kind) == "SwissKnife") {
            ASSERT_TRUE(array.GetFloatValue("K8", real).IsOK());
            EXPECT_NEAR(real / 1e24, 1, 1e-12);
        } else {
            ASSERT_TRUE(array.GetIntegerValue("K3", integer).IsOK());
            EXPECT_EQ(integer, 1000 * 1000 * 1000);
        }
    }
}

TEST(TqGenFormulaNodeTest, TheFormulasOfOneOperationShareItsStepBudget) {
    // Expressions that each use the one before ten times: "E5" evaluates 211110 terms. One node is
    // well within the budget, four chained ones are too, five are not; the next operation starts
    // afresh.
    std::string expressions = "<Expression Name=\"E1\">V+V+V+V+V+V+V+V+V+V</Expression>";
    for (int e = 2; e <= 5; ++e) {
        std::string sum = "E" + std::to_string(e - 1);
        for (int i = 1; i < 10; ++i) sum += "+E" + std::to_string(e - 1);
        expressions += "<Expression Name=\"E" + std::to_string(e) + "\">" + sum + "</Expression>";
    }
    std::string nodes = "<Float Name=\"K0\"><Value>1</Value></Float>";
    for (int i = 1; i <= 5; ++i)
        nodes += "<SwissKnife Name=\"K" + std::to_string(i) + "\"><pVariable Name=\"V\">K" + std::to_string(i - 1) +
                 "</pVariable>" + expressions + "<Formula>E5</Formula></SwissKnife>";
    TqGenParameterArray array;
    const std::string xml = Description(nodes);
    ASSERT_TRUE(array.Load(xml.data(), xml.size(), TqGenParameterArray::MemoryPort(16)).IsOK());
    double value = 0;
    ASSERT_TRUE(array.GetFloatValue("K4", value).IsOK());
    EXPECT_DOUBLE_EQ(value, 1e20);
    TqResult r = array.GetFloatValue("K5", value);
    EXPECT_EQ(r.GetCode(), TQ_GENERIC_ERROR);
    EXPECT_NE(Why(r).find("longer than 1000000 steps"), std::string::npos) << Why(r);
    ASSERT_TRUE(array.GetFloatValue("K1", value).IsOK());
    EXPECT_EQ(value, 1e5);
}

// ---- the sample descriptions ----

std::string Sample(const char* aFile) {
    std::ifstream in(std::string(KIVO_GENICAM_SAMPLES_DIR) + "/" + aFile, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Reads every feature of a loaded map by its type, with its limits; only that nothing crashes.
void ReadEverything(Map& aMap) {
    for (Node* node : aMap.map->Features()) {
        int64_t i = 0;
        double d = 0;
        bool b = false, has = false;
        std::string text;
        switch (TqGenICamLib::ParameterType(node->kind)) {
        case TqGenTypeInteger:
            aMap.map->GetInteger(node, i);
            aMap.map->GetIntegerMin(node, i);
            aMap.map->GetIntegerMax(node, i);
            break;
        case TqGenTypeFloat:
            aMap.map->GetFloat(node, d);
            aMap.map->GetFloatMin(node, d);
            aMap.map->GetFloatMax(node, d);
            aMap.map->GetFloatInc(node, d, has);
            break;
        case TqGenTypeBoolean: aMap.map->GetBoolean(node, b); break;
        case TqGenTypeEnum: aMap.map->GetEnumInt(node, i); break;
        case TqGenTypeString: aMap.map->GetString(node, text); break;
        default: break;
        }
        aMap.map->GetAccessMode(node);
        aMap.map->IsValueCached(node);
    }
}

TEST(TqGenFormulaSampleTest, TestDescriptionLoadsAndEvaluates) {
    std::string xml = Sample("genicam.xml");
    if (xml.empty()) GTEST_SKIP() << "no sample descriptions at " << KIVO_GENICAM_SAMPLES_DIR;
    Map m(xml, 0x10000);
    ASSERT_TRUE(m.loaded.IsOK()) << Why(m.loaded);
    ReadEverything(m);
    EXPECT_EQ(m.Int("IntSwissKnifeTestEntity"), 0x10305070);
    EXPECT_EQ(m.Int("IntSwissKnifeTestEntity2"), 3);
    EXPECT_EQ(m.Int("IntSwissKnifeBug699228"), 4);
    EXPECT_EQ(m.Int("IntSwissKnifeTestSubAndConstant"), 140);   // 10 * (10 + 4)
    EXPECT_DOUBLE_EQ(m.Real("Converter"), 200.0);
    ASSERT_TRUE(m.map->SetFloat(m.N("Converter"), 100.0).IsOK());
    EXPECT_EQ(m.Int("ConverterValue"), 50);
    EXPECT_EQ(m.Int("IntConverter"), 5);   // 0.1 * 50
    ASSERT_TRUE(m.map->SetInteger(m.N("IntConverter"), 100).IsOK());
    EXPECT_EQ(m.Int("IntConverter"), 100);
    EXPECT_EQ(m.map->GetAccessMode(m.N("ROConverter")), TqGenAccessModeReadOnly);
    ASSERT_TRUE(m.map->SetEnumInt(m.N("Enumeration"), 1).IsOK());
    EXPECT_DOUBLE_EQ(m.Real("ConverterEnumeration"), 5.0);
    EXPECT_EQ(m.Int("IntConverterTestSubAndConstant"), 10000);
    ASSERT_TRUE(m.map->SetInteger(m.N("IntConverterTestSubAndConstant"), 100).IsOK());
    EXPECT_EQ(m.Int("IntConverterTestSubAndConstant"), 1000);
    EXPECT_EQ(m.Int("Table"), 200);
    EXPECT_DOUBLE_EQ(m.Real("FloatTable"), 200.2);
    EXPECT_EQ(m.Int("Multiplexer"), 200);
    EXPECT_DOUBLE_EQ(m.Real("FloatMultiplexer"), 200.2);
    uint64_t address = 0;
    ASSERT_TRUE(m.map->GetAddress(m.N("IndexedRegister"), address).IsOK());
    EXPECT_EQ(address, 120u + 5 * 1000 + 3 * 10000 + 2 * 4);
    ASSERT_TRUE(m.map->GetAddress(m.N("IntRegisterB"), address).IsOK());
    EXPECT_EQ(address, 0x2000u + 0xff);
    bool on = false;
    ASSERT_TRUE(m.map->GetBoolean(m.N("P_RWBoolean"), on).IsOK());
    EXPECT_TRUE(on);
    EXPECT_EQ(m.map->GetAccessMode(m.N("RWStructEntry_ImposedAccessModeRO")), TqGenAccessModeReadOnly);
    EXPECT_EQ(m.map->GetAccessMode(m.N("ROStructEntry")), TqGenAccessModeReadOnly);
    ASSERT_TRUE(m.map->SetInteger(m.N("RWStructEntry"), 1).IsOK());
    EXPECT_EQ(m.Int("RWRegister"), 1);
    EXPECT_EQ(m.Int("ROStructEntry"), 0);
}

TEST(TqGenFormulaSampleTest, FakeCameraDescriptionLoadsAndEvaluates) {
    std::string xml = Sample("arv-fake-camera.xml");
    if (xml.empty()) GTEST_SKIP() << "no sample descriptions at " << KIVO_GENICAM_SAMPLES_DIR;
    Map m(xml, 0x10000);
    ASSERT_TRUE(m.loaded.IsOK()) << Why(m.loaded);
    ReadEverything(m);
    m.Put(0x100, {0x00, 0x00, 0x02, 0x80});   // Width 640 (big-endian registers)
    m.Put(0x104, {0x00, 0x00, 0x01, 0xE0});   // Height 480
    m.map->InvalidateAll();
    ASSERT_TRUE(m.map->SetEnumName(m.N("PixelFormat"), "BayerRG8").IsOK());
    EXPECT_EQ(m.Int("PayloadSize"), 640 * 480);
    ASSERT_TRUE(m.map->SetFloat(m.N("AcquisitionFrameRate"), 25.0).IsOK());
    EXPECT_EQ(m.Int("AcquisitionFramePeriod"), 40000);
    EXPECT_DOUBLE_EQ(m.Real("AcquisitionFrameRate"), 25.0);
    ASSERT_TRUE(m.map->SetFloat(m.N("ExposureTimeAbs"), 2000.0).IsOK());
    EXPECT_EQ(m.Int("ExposureTimeAbsRegister"), 2000);
    m.Put(0x1f0, {0x12, 0x34, 0x80, 0x01});
    m.map->InvalidateAll();
    EXPECT_EQ(m.Int("StructEntry_16_31"), -32767);   // 0x8001, signed
    EXPECT_EQ(m.Int("StructEntry_0_15"), 0x1234);
    EXPECT_EQ(m.Int("StructEntry_15"), 0);           // big-endian bit 15: the lowest bit of 0x34
    EXPECT_EQ(m.Int("StructEntry_0_31"), 0x12348001);
}

}  // namespace
