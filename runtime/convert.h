// Conversions between Python objects and native values, the error codes of conversion and the
// messages that report a bad argument.
#pragma once

#include "proxy.h"

#include <cstdint>
#include <string>

enum : int {
    SwigError_Failed = -1,
    SwigError_IO = -2,
    SwigError_Runtime = -3,
    SwigError_Index = -4,
    SwigError_Type = -5,
    SwigError_DivisionByZero = -6,
    SwigError_Overflow = -7,
    SwigError_Syntax = -8,
    SwigError_Value = -9,
    SwigError_System = -10,
    SwigError_Attribute = -11,
    SwigError_Memory = -12,
    SwigError_NullReference = -13,
    SwigError_Released = -14,   // a proxy whose object was released under it (proxy.h)
    SwigError_ReleaseNotOwned = -200,
};

enum : int {
    SwigFlag_NewObject = 512,
};

enum : int {
    SwigConvert_Disown = 1,
    SwigConvert_ImplicitConv = 2,
    SwigConvert_NoNull = 4,
    SwigConvert_Clear = 8,
};

PyObject* SwigRuntime_ErrorType(int code);

// Sets an error with the GIL taken through PyGILState_Ensure/Release.
void SwigRuntime_SetErrorMsg(PyObject* type, const char* message);

// "in method '<func>', argument <n> of type '<decl>'" with the exception of the code; with
// null_reference, "invalid null reference " in front and TypeError.
void SwigRuntime_ArgumentError(int code, const char* func, int position, const char* decl, bool null_reference = false);

// "%s expected %s%d arguments, got %d|none", set directly.
void SwigRuntime_CountError(const char* func, Py_ssize_t min, Py_ssize_t max, Py_ssize_t given, bool none);

// Unpacks an argument tuple into items; false with the count error set.
bool SwigRuntime_UnpackTuple(PyObject* args, const char* func, Py_ssize_t min, Py_ssize_t max, PyObject** items,
                             Py_ssize_t* count);

void SwigRuntime_RaiseOrExtendTypeError(const char* message);

PyObject* SwigRuntime_AppendOutput(PyObject* result, PyObject* value, int is_void);

int SwigPyObject_ConvertPtr(PyObject* obj, void** ptr, SwigTypeInfo* ty, int flags, int* own);
// The same, telling which proxy of the object's chain matched (null when none did).
int SwigPyObject_ConvertPtrMatch(PyObject* obj, void** ptr, SwigTypeInfo* ty, int flags, int* own,
                                 SwigPyObject** matched);

int SwigAs_Int32(PyObject* obj, int32_t* val);
int SwigAs_UInt32(PyObject* obj, uint32_t* val);
int SwigAs_UInt16(PyObject* obj, uint16_t* val);
int SwigAs_UInt8(PyObject* obj, uint8_t* val);
int SwigAs_Int64(PyObject* obj, int64_t* val);
int SwigAs_UInt64(PyObject* obj, uint64_t* val);
int SwigAs_Double(PyObject* obj, double* val);
int SwigAs_Float(PyObject* obj, float* val);
int SwigAs_Bool(PyObject* obj, bool* val);
int SwigAs_CharPtrAndSize(PyObject* obj, char** cptr, std::size_t* psize, int* alloc);
int SwigAs_WCharPtrAndSize(PyObject* obj, wchar_t** cptr, std::size_t* psize, int* alloc);

// A str (UTF-8) or a _p_char pointer object gives a new string (SwigFlag_NewObject); else a proxy of
// the type queried as "std::string *" gives its own string.
int SwigAs_StdStringPtr(PyObject* obj, std::string** val);
PyObject* SwigFrom_StdString(const std::string& text);

PyObject* SwigFrom_CharPtr(const char* text);
PyObject* SwigFrom_CharPtrAndSize(const char* text, std::size_t size);
PyObject* SwigFrom_WCharPtr(const wchar_t* text);
PyObject* SwigFrom_Int64(int64_t value);
PyObject* SwigFrom_UInt64(uint64_t value);

// Descriptors looked up by name once.
SwigTypeInfo* SwigRuntime_CharDescriptor();
SwigTypeInfo* SwigRuntime_WCharDescriptor();
