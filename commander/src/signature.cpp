// Host signature of an image.
#include "signature.h"

U32 SIG_Calculate(const U8 *pImage, U32 NumBytes) {
    U32 signature = 0;
    for (U32 i = 0; i + 1 < NumBytes; i += 2) {
        const U32 word = static_cast<U32>(pImage[i]) | static_cast<U32>(pImage[i + 1]) << 8;
        const U32 feedback = (signature & 1) != 0 ? 0xD80000u : 0u;
        signature = (signature >> 1) ^ feedback ^ (word << 8);
    }
    return signature;
}
