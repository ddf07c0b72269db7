// The 24-bit signature that the target computes over a memory region,
// computed on the host over an image: a multiple-input signature register
// shifting towards bit 0 with feedback 0xD80000, each little-endian 16-bit
// word of the image entering at bits 8..23. A trailing odd byte is not used.
#pragma once

#include "Ferrox.h"

U32 SIG_Calculate(const U8 *pImage, U32 NumBytes);
