// Random sequences of image operations against a reference model of the
// stored bytes that keeps the same rules. After every step the range list must be sound and hold
// exactly the map's bytes.
#include "image_check.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr U64 kTop = 0x100000000ULL;
// Most addresses come from a small low window, some from just below the top.
constexpr U32 kLowWindow = 4096;
constexpr U32 kTopWindow = 1024;
constexpr U32 kMaxLen = 300;
// Windows compared in full after every step (every address an operation can
// store lies in one of them).
constexpr U32 kLowCheck = kLowWindow + kMaxLen + 64;
constexpr U32 kTopCheckStart = static_cast<U32>(kTop - 2 * kTopWindow);

// Stored bytes of the two windows that operations can reach, -1 = nothing
// stored; flat arrays keep the comparison after every step cheap.
class Model {
public:
    Model() : low_(kLowCheck, -1), top_(static_cast<size_t>(kTop - kTopCheckStart), -1) {}

    int get(U64 a) const {
        const int *p = slot(a);
        return p != nullptr ? *p : -1;
    }
    void set(U64 a, U8 v) {
        int *p = slot(a);
        if (p == nullptr) {
            FuzzFail("model: address outside the windows", a);
        }
        count_ += *p < 0 ? 1 : 0;
        *p = v;
    }
    void erase(U64 first, U64 last) {
        for (U64 a = first; a <= last; a = next(a + 1)) {
            if (int *p = slot(a); p != nullptr && *p >= 0) {
                *p = -1;
                --count_;
            }
        }
    }
    // First address at or above a that could hold a byte (kTop: none).
    static U64 next(U64 a) { return a >= kLowCheck && a < kTopCheckStart ? kTopCheckStart : a; }
    // First stored address at or above a, kTop if none.
    U64 nextStored(U64 a) const {
        for (a = next(a); a < kTop; a = next(a + 1)) {
            if (get(a) >= 0) {
                return a;
            }
        }
        return kTop;
    }
    bool anyIn(U64 first, U64 lastExcl) const { return nextStored(first) < lastExcl; }
    size_t size() const { return count_; }

private:
    int *slot(U64 a) { return const_cast<int *>(static_cast<const Model *>(this)->slot(a)); }
    const int *slot(U64 a) const {
        if (a < kLowCheck) {
            return &low_[static_cast<size_t>(a)];
        }
        if (a >= kTopCheckStart && a < kTop) {
            return &top_[static_cast<size_t>(a - kTopCheckStart)];
        }
        return nullptr;
    }
    std::vector<int> low_;
    std::vector<int> top_;
    size_t count_ = 0;
};

// FUZZ_TRACE=1 prints every operation, to turn a crash input into a test.
const bool g_trace = std::getenv("FUZZ_TRACE") != nullptr;

U32 PickAddr(FuzzedDataProvider &fdp) {
    if (fdp.ConsumeIntegralInRange<int>(0, 7) != 0) {
        return fdp.ConsumeIntegralInRange<U32>(0, kLowWindow - 1);
    }
    return static_cast<U32>(kTop - 1 - fdp.ConsumeIntegralInRange<U32>(0, kTopWindow - 1));
}

void ModelRead(const Model &m, U32 addr, U32 n, int fill, std::vector<U8> &out) {
    out.assign(n, static_cast<U8>(fill & 0xFF));
    for (U32 i = 0; i < n; ++i) {
        const int v = m.get(static_cast<U32>(addr + i)); // wraps like the image's walk
        if (v >= 0) {
            out[i] = static_cast<U8>(v);
        }
    }
}

// End (exclusive) of the run of stored bytes that begins at a, cut at last+1.
U64 RunEnd(const Model &m, U32 a, U32 last) {
    U64 e = a;
    while (e <= last && m.get(e) >= 0) {
        ++e;
    }
    return e;
}

void CheckContents(MEMAREA_OBJ *o, const Model &m) {
    CheckImage(o);
    // Every stored byte is a model byte and the counts agree.
    U64 stored = 0;
    for (const MEMAREA_DATA *r = o->pFirstDataObj; r != nullptr; r = r->pNext) {
        stored += r->Len;
        for (U32 i = 0; i < r->Len; ++i) {
            const int v = m.get(static_cast<U64>(r->Adr) + i);
            if (v < 0) {
                FuzzFail("image holds a byte the model does not", r->Adr + i);
            }
            if (r->pData == nullptr || r->pData[i] != v) {
                FuzzFail("image byte differs from the model", r->Adr + i);
            }
        }
    }
    if (stored != m.size()) {
        FuzzFail("image and model hold different numbers of bytes", stored, m.size());
    }
    // And the same through the reader, gaps as the fill value.
    std::vector<U8> got(kLowCheck);
    std::vector<U8> want;
    MEMAREA__ReadMem(o, 0, kLowCheck, got.data(), 0x1C3);
    ModelRead(m, 0, kLowCheck, 0xC3, want);
    if (got != want) {
        FuzzFail("low window reads differ from the model");
    }
    const U32 topLen = static_cast<U32>(kTop - kTopCheckStart);
    got.assign(topLen, 0);
    MEMAREA__ReadMem(o, kTopCheckStart, topLen, got.data(), 0x3C);
    ModelRead(m, kTopCheckStart, topLen, 0x3C, want);
    if (got != want) {
        FuzzFail("top window reads differ from the model");
    }
}

void OpAdd(FuzzedDataProvider &fdp, MEMAREA_OBJ *o, Model &m) {
    const U32 adr = PickAddr(fdp);
    const U32 len = fdp.ConsumeIntegralInRange<U32>(0, kMaxLen);
    const bool withData = fdp.ConsumeBool();
    std::vector<U8> bytes;
    int fill = -1;
    if (withData) {
        bytes = fdp.ConsumeBytes<U8>(len);
        bytes.resize(len, 0x00);
    } else {
        fill = fdp.ConsumeIntegralInRange<int>(0, 0x3FF); // only the low byte counts
    }
    const bool outOfRange = static_cast<U64>(adr) + len > kTop;
    bool overlaps = false;
    if (!outOfRange) {
        overlaps = m.anyIn(adr, static_cast<U64>(adr) + len);
    }
    const int r = MEMAREA__Add(o, adr, len, withData ? bytes.data() : nullptr, fill);
    if (g_trace) {
        std::fprintf(stderr, "Add(0x%X, %u, %s, %d) = %d\n", adr, len, withData ? "data" : "null", fill, r);
    }
    if (outOfRange) {
        if (r != MEMAREA_ADD_OUT_OF_RANGE) {
            FuzzFail("add past the top not refused", adr, len);
        }
        return;
    }
    if (len == 0) {
        // Nothing to store; inside a stored range it may count as overlap.
        if (r != 0 && r != -1) {
            FuzzFail("empty add: unexpected result", adr, static_cast<unsigned long long>(r));
        }
        return;
    }
    if (overlaps) {
        if (r != -1) {
            FuzzFail("overlapping add not refused", adr, len);
        }
        return;
    }
    if (r != 0) {
        FuzzFail("add failed", adr, static_cast<unsigned long long>(r));
    }
    for (U32 i = 0; i < len; ++i) {
        m.set(static_cast<U64>(adr) + i, withData ? bytes[i] : static_cast<U8>(fill & 0xFF));
    }
}

void OpDelete(FuzzedDataProvider &fdp, MEMAREA_OBJ *o, Model &m) {
    const U32 adr = PickAddr(fdp);
    U32 last = 0;
    switch (fdp.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
        last = PickAddr(fdp); // may lie below adr: deletes nothing
        break;
    case 1:
        last = 0xFFFFFFFF;
        break;
    default:
        last = static_cast<U32>(
            std::min<U64>(static_cast<U64>(adr) + fdp.ConsumeIntegralInRange<U32>(0, kMaxLen), kTop - 1));
        break;
    }
    if (g_trace) {
        std::fprintf(stderr, "DeleteArea(0x%X, 0x%X)\n", adr, last);
    }
    if (MEMAREA__DeleteArea(o, adr, last) != 0) {
        FuzzFail("delete failed", adr, last);
    }
    if (adr <= last) {
        m.erase(adr, last);
    }
}

void OpRead(FuzzedDataProvider &fdp, MEMAREA_OBJ *o, const Model &m) {
    const U32 adr = PickAddr(fdp);
    const U32 n = fdp.ConsumeIntegralInRange<U32>(0, 2 * kMaxLen);
    const int fill = fdp.ConsumeIntegralInRange<int>(-1, 0x1FF);
    std::vector<U8> got(n + 1, 0xEE);
    std::vector<U8> want;
    if (g_trace) {
        std::fprintf(stderr, "ReadMem(0x%X, %u, fill %d)\n", adr, n, fill);
    }
    if (MEMAREA__ReadMem(o, adr, n, got.data(), fill) != 0) {
        FuzzFail("ReadMem result not 0");
    }
    ModelRead(m, adr, n, fill, want);
    if (got[n] != 0xEE || !std::equal(want.begin(), want.end(), got.begin())) {
        FuzzFail("ReadMem differs from the model", adr, n);
    }
    const int byte = MEMAREA__GetByte(o, adr);
    if (byte != m.get(adr)) {
        FuzzFail("GetByte differs from the model", adr, static_cast<unsigned long long>(byte));
    }
}

void OpGetDataBlock(FuzzedDataProvider &fdp, MEMAREA_OBJ *o, const Model &m) {
    const U32 sAddr = PickAddr(fdp);
    U32 eAddr = 0xFFFFFFFF;
    switch (fdp.ConsumeIntegralInRange<int>(0, 2)) {
    case 0:
        eAddr = PickAddr(fdp);
        break;
    case 1:
        eAddr = static_cast<U32>(std::min<U64>(
            static_cast<U64>(sAddr) + fdp.ConsumeIntegralInRange<U32>(0, 2 * kMaxLen), kTop - 1));
        break;
    default:
        break;
    }
    U32 maxGap = 0;
    switch (fdp.ConsumeIntegralInRange<int>(0, 2)) {
    case 0:
        break;
    case 1:
        maxGap = fdp.ConsumeIntegralInRange<U32>(1, 2 * kMaxLen);
        break;
    default:
        maxGap = 0xFFFFFF;
        break;
    }
    const int req = fdp.ConsumeIntegralInRange<int>(1, 4096);

    // Expected block: the first stored byte at or above sAddr (inside the
    // window), its run, then further runs while the gaps are small enough.
    int wantN = 0;
    U32 wantAddr = 0;
    const U64 first = m.nextStored(sAddr);
    if (sAddr <= eAddr && first <= eAddr) {
        wantAddr = static_cast<U32>(first);
        U64 n = RunEnd(m, wantAddr, eAddr) - wantAddr;
        if (maxGap != 0) {
            while (n < static_cast<U64>(req)) {
                const U64 next = wantAddr + n;
                if (next > eAddr) {
                    break;
                }
                const U64 resume = m.nextStored(next);
                if (resume > eAddr || resume - next > maxGap) {
                    break;
                }
                n = RunEnd(m, static_cast<U32>(resume), eAddr) - wantAddr;
            }
        }
        wantN = static_cast<int>(std::min<U64>(n, static_cast<U64>(req)));
    }

    std::vector<U8> got(static_cast<size_t>(req));
    U32 gotAddr = 0x12345678;
    const int n = MEMAREA__GetDataBlock(o, sAddr, eAddr, maxGap, got.data(), &gotAddr, req, 0, 0);
    if (g_trace) {
        std::fprintf(stderr,
                     "GetDataBlock(0x%X, 0x%X, MaxGap 0x%X, req %d) = %d at 0x%X (model %d at 0x%X)\n", sAddr,
                     eAddr, maxGap, req, n, gotAddr, wantN, wantAddr);
    }
    if (n != wantN) {
        FuzzFail("GetDataBlock length differs from the model", static_cast<unsigned long long>(n),
                 static_cast<unsigned long long>(wantN));
    }
    if (n == 0) {
        if (gotAddr != 0x12345678) {
            FuzzFail("GetDataBlock set the address of an empty block", gotAddr);
        }
        return;
    }
    if (gotAddr != wantAddr) {
        FuzzFail("GetDataBlock start differs from the model", gotAddr, wantAddr);
    }
    std::vector<U8> want;
    ModelRead(m, wantAddr, static_cast<U32>(n), 0xFF, want); // bridged gaps read 0xFF
    if (!std::equal(want.begin(), want.end(), got.begin())) {
        FuzzFail("GetDataBlock bytes differ from the model", wantAddr, static_cast<unsigned long long>(n));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider fdp(data, size);
    MEMAREA_HANDLE h = MEMAREA_Create();
    if (h == nullptr) {
        FuzzFail("MEMAREA_Create failed");
    }
    Model m;
    U32 modifyCnt = 1;
    for (int ops = 0; ops < 200 && fdp.remaining_bytes() > 0; ++ops) {
        switch (fdp.ConsumeIntegralInRange<int>(0, 7)) {
        case 0:
        case 1:
        case 2:
            OpAdd(fdp, h, m);
            ++modifyCnt;
            break;
        case 3:
            OpDelete(fdp, h, m);
            ++modifyCnt;
            break;
        case 4:
            OpRead(fdp, h, m);
            break;
        case 5:
        case 6:
            OpGetDataBlock(fdp, h, m);
            break;
        default:
            if (g_trace) {
                std::fprintf(stderr, "Consolidate\n");
            }
            if (MEMAREA_Consolidate(h) != 0) {
                FuzzFail("Consolidate result not 0");
            }
            modifyCnt = 0;
            break;
        }
        if (h->ModifyCnt != modifyCnt) {
            FuzzFail("ModifyCnt differs", h->ModifyCnt, modifyCnt);
        }
        CheckContents(h, m);
    }
    MEMAREA_Delete(h);
    return 0;
}
