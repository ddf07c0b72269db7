// Structural checks of a memory image shared by the fuzz targets. A broken
// image aborts with a description, which libFuzzer reports as a crash.
#ifndef FERROX_FUZZ_IMAGE_CHECK_H
#define FERROX_FUZZ_IMAGE_CHECK_H

#include "MEMAREA_Int.h"

#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

// Run before a failure aborts (atexit handlers do not run then).
inline void (*g_fuzzCleanup)() = nullptr;

[[noreturn]] inline void FuzzFail(const char *what, unsigned long long a = 0, unsigned long long b = 0) {
    std::fprintf(stderr, "image check failed: %s (0x%llX, 0x%llX)\n", what, a, b);
    if (g_fuzzCleanup != nullptr) {
        g_fuzzCleanup();
    }
    std::abort();
}

// The range list: ascending, never overlapping, never touching (ranges that
// meet are merged), counted, with buffers large enough, and caches that point
// into the list.
inline void CheckImage(const MEMAREA_OBJ *o) {
    U32 n = 0;
    const MEMAREA_DATA *prev = nullptr;
    const MEMAREA_DATA *prevNonEmpty = nullptr;
    bool hintFound = o->pLookupHint == nullptr;
    for (const MEMAREA_DATA *r = o->pFirstDataObj; r != nullptr; r = r->pNext) {
        ++n;
        if (n > o->NumBlocks + 1000000U) {
            FuzzFail("range list does not end", n);
        }
        if (r->pData != nullptr && r->AllocLen < r->Len) {
            FuzzFail("buffer smaller than range", r->AllocLen, r->Len);
        }
        if (prev != nullptr && static_cast<U64>(prev->Adr) + prev->Len > r->Adr) {
            FuzzFail("ranges out of order or overlapping", prev->Adr, r->Adr);
        }
        if (r->Len != 0) {
            if (prevNonEmpty != nullptr &&
                static_cast<U64>(prevNonEmpty->Adr) + prevNonEmpty->Len == r->Adr) {
                FuzzFail("adjacent ranges not merged", prevNonEmpty->Adr, r->Adr);
            }
            prevNonEmpty = r;
        }
        if (r == o->pLookupHint) {
            hintFound = true;
        }
        prev = r;
    }
    if (n != o->NumBlocks) {
        FuzzFail("NumBlocks differs from the list", o->NumBlocks, n);
    }
    if (o->pLastDataObj != nullptr && o->pLastDataObj != prev) {
        FuzzFail("pLastDataObj is not the last range");
    }
    if (!hintFound) {
        FuzzFail("lookup hint points outside the list");
    }
    if (o->NumModifiedBytes != 0 || o->paModByte != nullptr) {
        FuzzFail("modified-byte table not empty", o->NumModifiedBytes);
    }
}

// Non-empty ranges as (address, length).
inline std::vector<std::pair<U32, U32>> RangeList(const MEMAREA_OBJ *o) {
    std::vector<std::pair<U32, U32>> out;
    for (const MEMAREA_DATA *r = o->pFirstDataObj; r != nullptr; r = r->pNext) {
        if (r->Len != 0) {
            out.emplace_back(r->Adr, r->Len);
        }
    }
    return out;
}

#endif
