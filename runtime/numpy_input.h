// NumPy arrays taken as input: any object NumPy can turn into a C-contiguous array of a type, the
// checks of its dimensions with their messages, and the short type names used in messages.
#pragma once

#include "python.h"

#include <cstddef>
#include <cstdint>

namespace kivo::rt {

inline constexpr int kNpyUByte = 2;
inline constexpr int kNpyUShort = 4;
inline constexpr int kNpyNoType = 25;

// The object itself when it already is a C-contiguous array of the type (is_new 0), else a new
// converted array (is_new 1); null with NumPy's error set.
PyObject* SwigNumpy_ObjToContiguousArray(PyObject* obj, int typecode, int* is_new);
// The same for memory the SDK may write: an array Python holds read-only is never used itself but
// converted as any other object is, into a new writable array (is_new 1), so the caller's memory is
// never written.
PyObject* writable_contiguous_array(PyObject* obj, int typecode, int* is_new);
int SwigNumpy_RequireDimensions(PyObject* array, int n);
int SwigNumpy_RequireDimensionsOneOf(PyObject* array, const int* counts, int n);
int SwigNumpy_RequireShape(PyObject* array, const long* shape, int n);
const char* SwigNumpy_TypeName(PyObject* obj);

bool is_numpy_array(PyObject* obj);

// The fields of an array the wrappers read.
void* array_data(PyObject* array);
int array_ndim(PyObject* array);
int64_t array_dim(PyObject* array, int i);
int64_t array_nbytes(PyObject* array);

// A one-dimensional byte array of any length from obj: a new reference to the array (the caller's
// own or a converted copy; writable: never the caller's read-only array) with its data and length,
// or null with the error set.
PyObject* bytes_of(PyObject* obj, void** data, uint64_t* length, bool writable);

// A NumPy array over memory the SDK holds: nd dimensions of the element type, C-contiguous, aligned
// and writeable, no copy. base (which gets a new reference) keeps the memory's owner alive for as
// long as the array lives; null for none. A null data pointer gives a zero-filled array that owns
// its memory. A new reference, or null with NumPy's error set.
PyObject* memory_view(void* data, int nd, const int64_t* dims, int typenum, PyObject* base);

// Ties what keeps memory alive to an object that shows it (a view): drop(token) runs, with the GIL
// held, once the object is gone. Made with a weak reference to the object, so the object's base
// stays what it was. 0, or -1 with an error set (drop(token) has then run).
int tie(PyObject* object, void (*drop)(const void* token), const void* token);
// Objects tied and not yet gone, for tests.
std::size_t tied_count();

}  // namespace kivo::rt
