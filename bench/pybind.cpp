// The same shapes as the benchmark's module wrappers, bound with pybind11 as classes of the stand-in
// SDK, for comparison. Every method releases the GIL around the SDK call, as the wrappers do; a result
// is destroyed with the GIL held, as the module's owning proxies destroy one.
#include <pybind11/pybind11.h>

#include "TqResult.h"
#include "TqString.h"

#include <cstdint>

namespace py = pybind11;

namespace {

using Unlocked = py::call_guard<py::gil_scoped_release>;

}  // namespace

PYBIND11_MODULE(_kivo_bench_pybind, m) {
    py::class_<TqResult>(m, "TqResult")
        .def(py::init<uint32_t>(), py::arg("aCode"), Unlocked())
        .def("IsOK", &TqResult::IsOK, Unlocked())
        .def("SetCode", &TqResult::SetCode, py::arg("aIn"), Unlocked())
        // The two overloads in the wrappers' order: a result, then a code.
        .def("__eq__", py::overload_cast<const TqResult&>(&TqResult::operator==, py::const_), py::arg("aB"),
             py::is_operator(), Unlocked())
        .def("__eq__", py::overload_cast<uint32_t>(&TqResult::operator==, py::const_), py::arg("aCode"),
             py::is_operator(), Unlocked());

    py::class_<TqString>(m, "TqString")
        .def(py::init<const wchar_t*>(), py::arg("aValue"))
        .def("__eq__", py::overload_cast<const wchar_t*>(&TqString::operator==, py::const_), py::arg("aValue"),
             py::is_operator(), Unlocked())
        .def("__eq__", py::overload_cast<const TqString&>(&TqString::operator==, py::const_), py::arg("aValue"),
             py::is_operator(), Unlocked())
        .def("__str__", &TqString::GetUnicode, Unlocked());
}
