// module/constants.h
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
namespace kivo::module {
struct IntConstant { const char* name; int32_t value; };
struct EnumTable { const char* name; std::span<const IntConstant> members; };
// Installed in this order: result codes, the log-level enumeration, the pixel bit fields,
// the pixel-type enumeration, then (after NumPy's C API is imported) the remaining enumerations.
extern const std::span<const IntConstant> kResultCodes;      // 37, module namespace only
extern const EnumTable kLogLevelEnum;                       // TqLogLevelEnum, 6 members
extern const std::span<const IntConstant> kPixelBitFields;   // 24, module namespace only
extern const EnumTable kPixelTypeEnum;                      // TqPixelType, 241 members
extern const std::span<const EnumTable> kLateEnums;          // the other 28 enumerations, in order
}
