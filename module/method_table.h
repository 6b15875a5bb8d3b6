// The module's one flat method table, gathered from every class's entries.
#pragma once

#include "python.h"

namespace kivo::module {

PyMethodDef* method_table();

}  // namespace kivo::module
