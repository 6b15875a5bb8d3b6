// The result of the operations that write an image into a caller's destination buffer: the
// TqResult and a new borrowed proxy of the destination (argument 2), or None unless it succeeded.
#pragma once

#include "dispatch.h"

namespace kivo::module {

extern const kivo::rt::ResultKind kConverted;

}  // namespace kivo::module
