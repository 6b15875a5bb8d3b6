// Row kernels of the buffer converter (internal to the buffer library). Each kernel has a plain form
// and, on x86-64, vector forms for instruction sets the processor is asked about at run time (the
// library is built for plain x86-64). The converter calls the widest form the processor runs; every
// form gives the same bytes, and the tests hold each one the processor runs against the plain one.
#pragma once

#include <cstddef>
#include <cstdint>

namespace TqPixelKernels {

// The forms a kernel has, from the plainest.
enum class Isa { Scalar, Ssse3, Avx2 };

// Whether this processor runs aIsa's form (the plain one always).
bool Runs(Isa aIsa);
// The widest form this processor runs, found once.
Isa Best();

// aCount 3-byte pixels with their first and third bytes swapped (RGB8 to BGR8 and back). The rows
// must not overlap.
void SwapRB3(const uint8_t* aIn, uint8_t* aOut, size_t aCount, Isa aIsa = Best());

// aCount 16-bit levels (in the machine's byte order, at any address) to 8 bits: aOut[i] is bits
// aShift to aShift + 7 of level i (the level shifted right, the bits above cut off; aShift < 16).
void Narrow16(const uint8_t* aIn, uint8_t* aOut, size_t aCount, unsigned aShift, Isa aIsa = Best());

}  // namespace TqPixelKernels
