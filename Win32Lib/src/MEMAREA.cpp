/*
 * The memory image: an ordered list of byte ranges of a 32-bit address
 * space. Appends in ascending order are the normal case (file loads, target
 * dumps) and cost constant time; everything else walks the list.
 *
 * Ends of ranges are computed in 64 bits throughout: a range may end at
 * 0xFFFFFFFF, and its exclusive end must not wrap to 0.
 */
#include "MEMAREA_Int.h"

#include "plat/mutex.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

constexpr U64 kAddressSpace = 0x100000000ULL;
constexpr U32 kLockTimeoutMs = 10000;

std::atomic<long> allocFailAfter{-1};

bool _AllocAllowed() {
    long n = allocFailAfter.load();
    while (n >= 0) {
        if (n == 0) {
            return false;
        }
        if (allocFailAfter.compare_exchange_weak(n, n - 1)) {
            return true;
        }
    }
    return true;
}

U64 _End(const MEMAREA_DATA *r) {
    return static_cast<U64>(r->Adr) + r->Len;
}

U32 _Clamp32(U64 v) {
    return v > 0xFFFFFFFFULL ? 0xFFFFFFFFU : static_cast<U32>(v);
}

void _CopyOrFill(U8 *pDest, const void *pSrc, U32 Len, int FillValue) {
    if (Len == 0) {
        return;
    }
    if (pSrc != nullptr) {
        std::memcpy(pDest, pSrc, Len);
    } else {
        std::memset(pDest, FillValue & 0xFF, Len);
    }
}

// Gives a range a buffer of AllocLen bytes holding its current Len bytes.
// A range without storage gets one whose bytes read 0xFF, as they did.
bool _Reserve(MEMAREA_DATA *r, U32 AllocLen) {
    if (r->pData != nullptr && r->AllocLen >= AllocLen) {
        return true;
    }
    auto *p = static_cast<U8 *>(MEMAREA__Realloc(r->pData, std::max<U32>(AllocLen, 1)));
    if (p == nullptr) {
        return false;
    }
    if (r->pData == nullptr) {
        std::memset(p, 0xFF, r->Len);
    }
    r->pData = p;
    r->AllocLen = AllocLen;
    return true;
}

// Room for NumAddBytes more; grows by a little more than doubling so that
// repeated appends cost amortised constant time per byte.
bool _ExpandAllocSize(MEMAREA_DATA *r, U32 NumAddBytes) {
    const U64 need = static_cast<U64>(r->Len) + NumAddBytes;
    if (r->pData != nullptr && r->AllocLen - r->Len >= NumAddBytes) {
        return true;
    }
    U64 grown = r->pData != nullptr ? 2ULL * r->AllocLen + NumAddBytes + r->AllocLen / 8 + 128
                                    : std::max<U64>(need, MIN_ALLOC_SIZE);
    grown = std::max(grown, need);
    return _Reserve(r, _Clamp32(grown));
}

// Sets up a new range; without data and with a negative fill value it gets
// no storage. False when the buffer cannot be had.
bool _InitData(MEMAREA_DATA *r, U32 Addr, U32 Len, const void *pData, int FillValue) {
    r->pNext = nullptr;
    r->pData = nullptr;
    r->Adr = Addr;
    r->Len = Len;
    r->AllocLen = 0;
    if (pData == nullptr && FillValue < 0) {
        return true;
    }
    const U32 alloc = std::max<U32>(Len, MIN_ALLOC_SIZE);
    r->pData = static_cast<U8 *>(MEMAREA__Malloc(alloc));
    if (r->pData == nullptr) {
        return false;
    }
    r->AllocLen = alloc;
    _CopyOrFill(r->pData, pData, Len, FillValue);
    return true;
}

MEMAREA_DATA *_NewDataObj(U32 Addr, U32 Len, const void *pData, int FillValue) {
    auto *r = static_cast<MEMAREA_DATA *>(MEMAREA__Malloc(sizeof(MEMAREA_DATA)));
    if (r == nullptr) {
        return nullptr;
    }
    if (!_InitData(r, Addr, Len, pData, FillValue)) {
        std::free(r);
        return nullptr;
    }
    return r;
}

void _FreeDataObj(MEMAREA_OBJ *pObj, MEMAREA_DATA *r) {
    if (pObj->pLastDataObj == r) {
        pObj->pLastDataObj = nullptr;
    }
    if (pObj->pLookupHint == r) {
        pObj->pLookupHint = nullptr;
    }
    std::free(r->pData);
    std::free(r);
    pObj->NumBlocks--;
}

// First range that could hold Addr or lie above it: every range before the
// hint ends below the hint's start, so a hint at or below Addr is a safe
// place to begin.
MEMAREA_DATA *_LookupStart(const MEMAREA_OBJ *pObj, U32 Addr) {
    MEMAREA_DATA *h = pObj->pLookupHint;
    return (h != nullptr && h->Adr <= Addr) ? h : pObj->pFirstDataObj;
}

// Merges R with its successor when R ends exactly where it begins. Without
// memory for the joined buffer the two stay apart, which reads the same.
void _CheckMelt(MEMAREA_OBJ *pObj, MEMAREA_DATA *r) {
    MEMAREA_DATA *n = r->pNext;
    if (n == nullptr || _End(r) != n->Adr) {
        return;
    }
    const U64 newLen = static_cast<U64>(r->Len) + n->Len;
    if (newLen > 0xFFFFFFFFULL) {
        return;
    }
    if (r->pData != nullptr || n->pData != nullptr) {
        if (r->pData == nullptr || r->AllocLen < newLen) {
            const U64 alloc = 2ULL * std::max<U64>(newLen, MIN_ALLOC_SIZE);
            if (!_Reserve(r, _Clamp32(alloc))) {
                return;
            }
        }
        _CopyOrFill(r->pData + r->Len, n->pData, n->Len, 0xFF);
    }
    r->pNext = n->pNext;
    r->Len = static_cast<U32>(newLen);
    if (r->pNext == nullptr) {
        pObj->pLastDataObj = r;
    }
    _FreeDataObj(pObj, n);
}

int _Append(MEMAREA_OBJ *pObj, MEMAREA_DATA *r, U32 Len, const void *pData, int FillValue) {
    if (static_cast<U64>(r->Len) + Len > 0xFFFFFFFFULL) {
        return MEMAREA_ADD_OUT_OF_RANGE;
    }
    const bool withData = pData != nullptr || FillValue >= 0;
    if (withData || r->pData != nullptr) {
        if (!_ExpandAllocSize(r, Len)) {
            return MEMAREA_ADD_NO_MEMORY;
        }
        _CopyOrFill(r->pData + r->Len, pData, Len, withData ? FillValue : 0xFF);
    }
    r->Len += Len;
    _CheckMelt(pObj, r);
    return 0;
}

int _Prepend(MEMAREA_DATA *r, U32 Adr, U32 Len, const void *pData, int FillValue) {
    if (static_cast<U64>(r->Len) + Len > 0xFFFFFFFFULL) {
        return MEMAREA_ADD_OUT_OF_RANGE;
    }
    const bool withData = pData != nullptr || FillValue >= 0;
    if (withData || r->pData != nullptr) {
        if (!_ExpandAllocSize(r, Len)) {
            return MEMAREA_ADD_NO_MEMORY;
        }
        std::memmove(r->pData + Len, r->pData, r->Len);
        _CopyOrFill(r->pData, pData, Len, withData ? FillValue : 0xFF);
    }
    r->Adr = Adr;
    r->Len += Len;
    return 0;
}

// Links a new range after pPrev (null: at the head).
int _Insert(MEMAREA_OBJ *pObj, MEMAREA_DATA *pPrev, U32 Adr, U32 Len, const void *pData, int FillValue) {
    MEMAREA_DATA *r = _NewDataObj(Adr, Len, pData, FillValue);
    if (r == nullptr) {
        return MEMAREA_ADD_NO_MEMORY;
    }
    MEMAREA_DATA **link = pPrev != nullptr ? &pPrev->pNext : &pObj->pFirstDataObj;
    r->pNext = *link;
    *link = r;
    pObj->NumBlocks++;
    if (r->pNext == nullptr) {
        pObj->pLastDataObj = r;
    }
    return 0;
}

// True when [Adr, Adr + Len) shares an address with a stored range.
bool _Overlaps(const MEMAREA_OBJ *pObj, U32 Adr, U32 Len) {
    U32 held = 0;
    return MEMAREA__FirstHeldAddr(pObj, Adr, Len, &held);
}

// Empty ranges strictly inside [Adr, Adr + Len) hold no byte but would
// leave the list out of order once the new range covers them: drop them.
void _DropEmptyInside(MEMAREA_OBJ *pObj, U32 Adr, U32 Len) {
    const U64 end = static_cast<U64>(Adr) + Len;
    MEMAREA_DATA *prev = nullptr;
    MEMAREA_DATA *r = pObj->pFirstDataObj;
    while (r != nullptr && r->Adr < end) {
        MEMAREA_DATA *next = r->pNext;
        if (r->Len == 0 && r->Adr > Adr) {
            if (prev != nullptr) {
                prev->pNext = next;
            } else {
                pObj->pFirstDataObj = next;
            }
            _FreeDataObj(pObj, r);
        } else {
            prev = r;
        }
        r = next;
    }
}

bool _InsideRange(const MEMAREA_OBJ *pObj, U32 Adr) {
    for (const MEMAREA_DATA *r = pObj->pFirstDataObj; r != nullptr && r->Adr < Adr; r = r->pNext) {
        if (_End(r) > Adr) {
            return true;
        }
    }
    return false;
}

// Copies [Addr, Addr + NumBytes) out of the ranges, fill value in the gaps.
// The window must not pass the top of the address space.
void _ReadWindow(MEMAREA_OBJ *pObj, U32 Addr, U32 NumBytes, U8 *pDest, int FillValue) {
    U64 cur = Addr;
    const U64 end = static_cast<U64>(Addr) + NumBytes;
    MEMAREA_DATA *r = _LookupStart(pObj, Addr);
    while (cur < end) {
        while (r != nullptr && _End(r) <= cur) {
            r = r->pNext;
        }
        if (r == nullptr || r->Adr >= end) {
            std::memset(pDest, FillValue & 0xFF, static_cast<size_t>(end - cur));
            return;
        }
        if (r->Adr > cur) {
            const size_t gap = static_cast<size_t>(r->Adr - cur);
            std::memset(pDest, FillValue & 0xFF, gap);
            pDest += gap;
            cur = r->Adr;
        }
        const size_t n = static_cast<size_t>(std::min(_End(r), end) - cur);
        _CopyOrFill(pDest, r->pData != nullptr ? r->pData + (cur - r->Adr) : nullptr, static_cast<U32>(n),
                    0xFF);
        pObj->pLookupHint = r;
        pDest += n;
        cur += n;
    }
}

// The first stored data inside [SAddr, EAddr]: its start goes to *pAddr,
// the result is its length inside the window; 0 with *pAddr set means the
// data resumes at *pAddr, past the window. Empty ranges hold no data and
// are passed over, so they never end a file writer's walk early.
I64 _GetDataRange(MEMAREA_OBJ *pObj, U32 SAddr, U32 EAddr, U32 *pAddr) {
    for (MEMAREA_DATA *r = _LookupStart(pObj, SAddr); r != nullptr; r = r->pNext) {
        if (r->Len == 0) {
            continue;
        }
        const U64 a = r->Adr;
        const U64 e = _End(r) - 1; // last address
        if (a < SAddr && e >= SAddr) {
            pObj->pLookupHint = r;
            *pAddr = SAddr;
            const I64 n = static_cast<I64>(std::min<U64>(e, EAddr)) - static_cast<I64>(SAddr) + 1;
            return std::max<I64>(n, 0);
        }
        if (a >= SAddr && e <= EAddr) {
            pObj->pLookupHint = r;
            *pAddr = r->Adr;
            return r->Len;
        }
        if (a >= SAddr && a <= EAddr) {
            pObj->pLookupHint = r;
            *pAddr = r->Adr;
            return static_cast<I64>(EAddr) - static_cast<I64>(a) + 1;
        }
        if (a > SAddr) {
            *pAddr = r->Adr;
            return 0;
        }
    }
    return 0;
}

} // namespace

/*********************************************************************
 * Heap and lock
 */

void *MEMAREA__Malloc(size_t Size) {
    return _AllocAllowed() ? std::malloc(Size) : nullptr;
}

void *MEMAREA__Realloc(void *p, size_t Size) {
    return _AllocAllowed() ? std::realloc(p, Size) : nullptr;
}

void MEMAREA__SetAllocFailAfter(long NumAllocs) {
    allocFailAfter.store(NumAllocs < 0 ? -1 : NumAllocs);
}

int MEMAREA__Lock(MEMAREA_HANDLE hMemArea) {
    if (hMemArea->hMutex == nullptr) {
        hMemArea->hMutex = new (std::nothrow) plat::TimedRecursiveMutex;
        if (hMemArea->hMutex == nullptr) {
            return -2;
        }
    }
    auto *m = static_cast<plat::TimedRecursiveMutex *>(hMemArea->hMutex);
    return m->lockFor(kLockTimeoutMs) == plat::TimedRecursiveMutex::WaitResult::Locked ? 0 : -1;
}

void MEMAREA__Unlock(MEMAREA_HANDLE hMemArea) {
    static_cast<plat::TimedRecursiveMutex *>(hMemArea->hMutex)->unlock();
}

/*********************************************************************
 * Internals
 */

MEMAREA_DATA *MEMAREA__GetpLastData(MEMAREA_OBJ *pObj) {
    if (pObj->pLastDataObj == nullptr) {
        MEMAREA_DATA *r = pObj->pFirstDataObj;
        while (r != nullptr && r->pNext != nullptr) {
            r = r->pNext;
        }
        pObj->pLastDataObj = r;
    }
    return pObj->pLastDataObj;
}

int MEMAREA__Add(MEMAREA_OBJ *pObj, U32 Adr, U32 Len, const void *pData, int FillValue) {
    pObj->ModifyCnt++;
    // A range running past 0xFFFFFFFF would be stored wrapped: refuse it.
    if (static_cast<U64>(Adr) + Len > kAddressSpace) {
        return MEMAREA_ADD_OUT_OF_RANGE;
    }
    if (pObj->pFirstDataObj == nullptr) {
        MEMAREA_DATA *r = _NewDataObj(Adr, Len, pData, FillValue);
        if (r == nullptr) {
            return MEMAREA_ADD_NO_MEMORY;
        }
        pObj->pFirstDataObj = r;
        pObj->pLastDataObj = r;
        pObj->NumBlocks = 1;
        return 0;
    }
    // Ascending data appends to the last range in constant time.
    MEMAREA_DATA *last = MEMAREA__GetpLastData(pObj);
    if (_End(last) == Adr) {
        return _Append(pObj, last, Len, pData, FillValue);
    }
    if (_End(last) < Adr) {
        return _Insert(pObj, last, Adr, Len, pData, FillValue);
    }
    if (_Overlaps(pObj, Adr, Len)) {
        return -1;
    }
    // Nothing to store at an address that is already held.
    if (Len == 0 && _InsideRange(pObj, Adr)) {
        return 0;
    }
    if (Len > 1) {
        _DropEmptyInside(pObj, Adr, Len);
    }
    const U64 newEnd = static_cast<U64>(Adr) + Len;
    MEMAREA_DATA *prev = nullptr;
    for (MEMAREA_DATA *r = pObj->pFirstDataObj; r != nullptr; prev = r, r = r->pNext) {
        if (_End(r) == Adr) {
            return _Append(pObj, r, Len, pData, FillValue);
        }
        if (newEnd == r->Adr) {
            return _Prepend(r, Adr, Len, pData, FillValue);
        }
        if (r->Adr > newEnd) {
            return _Insert(pObj, prev, Adr, Len, pData, FillValue);
        }
    }
    return _Insert(pObj, prev, Adr, Len, pData, FillValue);
}

int MEMAREA__ReadMem(MEMAREA_OBJ *pObj, U32 Addr, U32 NumBytes, void *pData, int FillValue) {
    if (pData == nullptr || NumBytes == 0) {
        return 0;
    }
    auto *dest = static_cast<U8 *>(pData);
    // Addresses count upward modulo 2^32, as a byte-by-byte walk would.
    const U64 firstPart = std::min<U64>(NumBytes, kAddressSpace - Addr);
    _ReadWindow(pObj, Addr, static_cast<U32>(firstPart), dest, FillValue);
    if (firstPart < NumBytes) {
        _ReadWindow(pObj, 0, static_cast<U32>(NumBytes - firstPart), dest + firstPart, FillValue);
    }
    return 0;
}

int MEMAREA__DeleteArea(MEMAREA_OBJ *pObj, U32 Adr, U32 LastAdr) {
    pObj->ModifyCnt++;
    if (Adr > LastAdr) {
        return 0; // an inverted window holds no address
    }
    int result = 0;
    MEMAREA_DATA *prev = nullptr;
    MEMAREA_DATA *r = pObj->pFirstDataObj;
    while (r != nullptr) {
        const I64 a = r->Adr;
        const I64 e = a + static_cast<I64>(r->Len) - 1;
        MEMAREA_DATA *next = r->pNext;
        if (a >= Adr && e <= LastAdr) {
            // wholly inside: unlink and free
            if (prev != nullptr) {
                prev->pNext = next;
            } else {
                pObj->pFirstDataObj = next;
            }
            _FreeDataObj(pObj, r);
            r = next;
            continue;
        }
        if (a >= Adr && a <= LastAdr) {
            // head cut
            const U32 off = static_cast<U32>(LastAdr - a + 1);
            r->Len -= off;
            if (r->pData != nullptr) {
                std::memmove(r->pData, r->pData + off, r->Len);
            }
            r->Adr += off;
        } else if (a < Adr && e > LastAdr) {
            // split: R keeps the head, a new range takes the tail
            const U32 tailAdr = LastAdr + 1;
            const U32 tailLen = static_cast<U32>(e - LastAdr);
            MEMAREA_DATA *t = _NewDataObj(tailAdr, tailLen,
                                          r->pData != nullptr ? r->pData + (tailAdr - r->Adr) : nullptr, -1);
            if (t == nullptr) {
                result = -2; // keep the range whole rather than lose its tail
            } else {
                r->Len = Adr - r->Adr;
                t->pNext = next;
                r->pNext = t;
                pObj->NumBlocks++;
                if (pObj->pLastDataObj == r) {
                    pObj->pLastDataObj = t;
                }
                prev = t;
                r = next; // the new range is not visited again
                continue;
            }
        } else if (a < Adr && e >= Adr && e <= LastAdr) {
            // tail cut
            r->Len = static_cast<U32>(Adr - a);
        }
        prev = r;
        r = next;
    }
    return result;
}

void MEMAREA__Delete(MEMAREA_HANDLE hMemArea) {
    MEMAREA_DATA *r = hMemArea->pFirstDataObj;
    while (r != nullptr) {
        MEMAREA_DATA *next = r->pNext;
        std::free(r->pData);
        std::free(r);
        r = next;
    }
    std::free(hMemArea->paModByte);
    delete static_cast<plat::TimedRecursiveMutex *>(hMemArea->hMutex);
    std::free(hMemArea);
}

int MEMAREA__GetByte(MEMAREA_OBJ *pObj, U32 Adr) {
    for (U32 i = pObj->NumModifiedBytes; i > 0; --i) {
        if (pObj->paModByte[i - 1].Adr == Adr) {
            return 0x100 | pObj->paModByte[i - 1].Data;
        }
    }
    for (MEMAREA_DATA *r = _LookupStart(pObj, Adr); r != nullptr && r->Adr <= Adr; r = r->pNext) {
        if (Adr < _End(r)) {
            pObj->pLookupHint = r;
            return r->pData != nullptr ? r->pData[Adr - r->Adr] : 0xFF;
        }
    }
    return -1;
}

U32 MEMAREA__GetFirstAddr(MEMAREA_OBJ *pObj) {
    return pObj->pFirstDataObj != nullptr ? pObj->pFirstDataObj->Adr : 0;
}

U32 MEMAREA__GetLastAddr(MEMAREA_OBJ *pObj) {
    MEMAREA_DATA *r = pObj->pFirstDataObj;
    if (r == nullptr) {
        return 0;
    }
    while (r->pNext != nullptr) {
        r = r->pNext;
    }
    return r->Adr + r->Len - 1;
}

I32 MEMAREA__GetNumBytes(MEMAREA_OBJ *pObj) {
    I64 sum = 0;
    for (MEMAREA_DATA *r = pObj->pFirstDataObj; r != nullptr; r = r->pNext) {
        sum += r->Len;
    }
    return static_cast<I32>(std::min<I64>(sum, 0x7FFFFFFF));
}

int MEMAREA__GetDataBlock(MEMAREA_OBJ *pObj, U32 SAddr, U32 EAddr, U32 MaxGap, U8 *pDest, U32 *pAddr,
                          int NumBytesReq, int SAlign, int EAlign) {
    if (NumBytesReq <= 0 || SAlign < 0 || SAlign > 31 || EAlign < 0 || EAlign > 31) {
        return 0;
    }
    U32 addr = 0;
    I64 numBytes = _GetDataRange(pObj, SAddr, EAddr, &addr);
    if (numBytes <= 0) {
        return 0; // nothing in the window: nothing to align either
    }
    if (MaxGap != 0 && numBytes < NumBytesReq) {
        do {
            const U64 next = static_cast<U64>(addr) + static_cast<U64>(numBytes);
            if (next > EAddr) {
                break;
            }
            U32 a2 = 0;
            const I64 n2 = _GetDataRange(pObj, static_cast<U32>(next), EAddr, &a2);
            if (n2 <= 0 || a2 - next > MaxGap) {
                break;
            }
            numBytes += static_cast<I64>(a2 - next) + n2;
        } while (numBytes < NumBytesReq);
    }
    if (SAlign != 0) {
        const U32 diff = addr & ((1U << SAlign) - 1U);
        addr -= diff;
        numBytes += diff;
    }
    if (EAlign != 0) {
        const U64 mask = (1ULL << EAlign) - 1ULL;
        numBytes +=
            static_cast<I64>(mask - ((static_cast<U64>(addr) + static_cast<U64>(numBytes) - 1) & mask));
    }
    if (numBytes > NumBytesReq) {
        numBytes = NumBytesReq;
        if (EAlign != 0) {
            numBytes -= static_cast<I64>((static_cast<U64>(addr) + static_cast<U64>(numBytes)) &
                                         ((1ULL << EAlign) - 1));
        }
    }
    // Padding never carries a block past the top of the address space.
    numBytes = std::min<I64>(numBytes, static_cast<I64>(kAddressSpace - addr));
    if (pDest != nullptr && numBytes > 0) {
        if (pObj->NumModifiedBytes != 0) {
            for (I64 i = 0; i < numBytes; ++i) {
                pDest[i] = static_cast<U8>(MEMAREA__GetByte(pObj, addr + static_cast<U32>(i)) & 0xFF);
            }
        } else {
            _ReadWindow(pObj, addr, static_cast<U32>(numBytes), pDest, 0xFF);
        }
    }
    if (pAddr != nullptr && numBytes != 0) {
        *pAddr = addr;
    }
    return static_cast<int>(numBytes);
}

/*********************************************************************
 * Public operations
 */

namespace {

// An address query under the lock; 0 when the image cannot be had.
U32 _LockedAddr(MEMAREA_HANDLE hMemArea, U32 (*pfQuery)(MEMAREA_OBJ *)) {
    if (hMemArea == nullptr || MEMAREA__Lock(hMemArea) != 0) {
        return 0;
    }
    const U32 a = pfQuery(hMemArea);
    MEMAREA__Unlock(hMemArea);
    return a;
}

} // namespace

MEMAREA_HANDLE MEMAREA_Create(void) {
    auto *p = static_cast<MEMAREA_OBJ *>(MEMAREA__Malloc(sizeof(MEMAREA_OBJ)));
    if (p == nullptr) {
        return nullptr;
    }
    std::memset(p, 0, sizeof(*p));
    p->hMutex = new (std::nothrow) plat::TimedRecursiveMutex; // null: created on first lock
    p->ModifyCnt = 1;
    return p;
}

void MEMAREA_Delete(MEMAREA_HANDLE hMemArea) {
    if (hMemArea != nullptr) {
        MEMAREA__Delete(hMemArea);
    }
}

int MEMAREA_Add(MEMAREA_HANDLE hMemArea, U32 Adr, U32 Len, const void *pData) {
    if (hMemArea == nullptr) {
        return -1;
    }
    if (MEMAREA__Lock(hMemArea) != 0) {
        return -2;
    }
    int r = MEMAREA__Add(hMemArea, Adr, Len, pData, -1);
    MEMAREA__Unlock(hMemArea);
    return r;
}

int MEMAREA_ReadMem(MEMAREA_HANDLE hMemArea, U32 Addr, U32 NumBytes, void *pData, int FillValue) {
    if (hMemArea == nullptr || MEMAREA__Lock(hMemArea) != 0) {
        if (pData != nullptr) {
            std::memset(pData, FillValue & 0xFF, NumBytes);
        }
        return -1;
    }
    MEMAREA__ReadMem(hMemArea, Addr, NumBytes, pData, FillValue);
    MEMAREA__Unlock(hMemArea);
    return 0;
}

int MEMAREA_GetNumRanges(MEMAREA_HANDLE hMemArea) {
    int n = 0;
    if (hMemArea != nullptr) {
        for (MEMAREA_DATA *r = hMemArea->pFirstDataObj; r != nullptr; r = r->pNext) {
            ++n;
        }
    }
    return n;
}

void MEMAREA_GetRangeInfo(MEMAREA_HANDLE hMemArea, int RangeIndex, U32 *pSAddr, U32 *pSize) {
    if (hMemArea == nullptr || RangeIndex < 0) {
        return;
    }
    MEMAREA_DATA *r = hMemArea->pFirstDataObj;
    for (int i = 0; r != nullptr && i < RangeIndex; ++i) {
        r = r->pNext;
    }
    if (r == nullptr) {
        return;
    }
    if (pSAddr != nullptr) {
        *pSAddr = r->Adr;
    }
    if (pSize != nullptr) {
        *pSize = r->Len;
    }
}

void MEMAREA_DeleteArea(MEMAREA_HANDLE hMemArea, U32 Adr, U32 EndAdr) {
    if (hMemArea == nullptr || MEMAREA__Lock(hMemArea) != 0) {
        return;
    }
    MEMAREA__DeleteArea(hMemArea, Adr, EndAdr);
    MEMAREA__Unlock(hMemArea);
}

int MEMAREA_Consolidate(MEMAREA_HANDLE hMemArea) {
    if (hMemArea == nullptr || MEMAREA__Lock(hMemArea) != 0) {
        return -1;
    }
    int result = 0;
    for (U32 i = 0; i < hMemArea->NumModifiedBytes; ++i) {
        const MEMAREA_MODBYTE &m = hMemArea->paModByte[i];
        MEMAREA_DATA *r = hMemArea->pFirstDataObj;
        while (r != nullptr && !(r->Adr <= m.Adr && m.Adr < _End(r))) {
            r = r->pNext;
        }
        if (r == nullptr || !_Reserve(r, std::max<U32>(r->AllocLen, r->Len))) {
            result = 1;
            continue;
        }
        r->pData[m.Adr - r->Adr] = m.Data;
    }
    std::free(hMemArea->paModByte);
    hMemArea->paModByte = nullptr;
    hMemArea->NumModifiedBytes = 0;
    hMemArea->ModBytesAllocSize = 0;
    hMemArea->ModifyCnt = 0;
    MEMAREA__Unlock(hMemArea);
    return result;
}

U32 MEMAREA_GetFirstAddr(MEMAREA_HANDLE hMemArea) {
    return _LockedAddr(hMemArea, MEMAREA__GetFirstAddr);
}

U32 MEMAREA_GetLastAddr(MEMAREA_HANDLE hMemArea) {
    return _LockedAddr(hMemArea, MEMAREA__GetLastAddr);
}

bool MEMAREA__FirstHeldAddr(const MEMAREA_OBJ *pObj, U32 Adr, U32 Len, U32 *pHeld) {
    if (Len == 0) {
        return false;
    }
    const U64 end = static_cast<U64>(Adr) + Len;
    for (const MEMAREA_DATA *r = pObj->pFirstDataObj; r != nullptr && r->Adr < end; r = r->pNext) {
        if (_End(r) > Adr && r->Len > 0) {
            *pHeld = r->Adr > Adr ? r->Adr : Adr;
            return true;
        }
    }
    return false;
}
