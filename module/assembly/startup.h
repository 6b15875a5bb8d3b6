// Start-up shared by the module and the test module: the runtime's objects, the module itself and
// the type registry, joined to (or creating) the capsule that every module on this runtime shares.
#pragma once

#include "python.h"

#include <vector>

namespace kivo::module {

// Creates the module of def with the given rows (ended by a null row); null with the error set.
PyObject* start(PyModuleDef& def, std::vector<PyMethodDef>& rows);

// The rows of every wrapped class, in the order of the class table, and the class facts for the
// companion layer: a tuple of (name, bases, members, director) per class, members a tuple of
// (member name, flat function, role) with role one of method, static, get, set, new, delete,
// disown, register, init.
std::vector<PyMethodDef>& method_rows();
PyObject* class_facts();

}  // namespace kivo::module
