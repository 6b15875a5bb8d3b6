#include "views.h"

#include "attached.h"
#include "numpy_input.h"

namespace kivo::module {

using namespace kivo::rt;

std::string array_doc() { return ":py:class:`numpy.ndarray`"; }

PyObject* byte_view(const void* p, uint64_t n, PyObject* base) {
    int64_t dims[1] = {static_cast<int64_t>(n)};
    return memory_view(const_cast<void*>(p), 1, dims, kNpyUByte, base);
}

PyObject* detached_view(void* p, const void* object, uint64_t n) {
    PyObject* array = take_attached(object);
    if (array && array_data(array) == p) n = static_cast<uint64_t>(array_nbytes(array));
    PyObject* view = byte_view(p, n, array);
    Py_XDECREF(array);
    return view;
}

void keep_attached_array(CallFrame& f, bool ok) {
    if (ok) keep_attached(f.slots[0].as<void*>(), f.slots[1].as<ArraySlot>().array);
}

}  // namespace kivo::module
