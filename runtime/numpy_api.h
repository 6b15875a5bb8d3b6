// NumPy's C-API function table, imported once at start-up.
#pragma once

#include "python.h"

namespace kivo::rt {

inline constexpr unsigned kNumpyAbiVersion = 0x1000009;
inline constexpr unsigned kNumpyMinFeatureVersion = 0x10;

// Imports "numpy.core._multiarray_umath" and checks its table. On failure: prints the first error,
// sets ImportError "numpy.core.multiarray failed to import" and returns false.
bool import_numpy();

// The imported table (null before a successful import).
void** numpy_api();

}  // namespace kivo::rt
