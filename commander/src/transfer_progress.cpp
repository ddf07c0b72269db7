// Block transfers with the progress line.
#include "transfer_progress.h"

#include "plat/clock.h"

#include <cstdio>
#include <unistd.h>

namespace {

constexpr U32 kPieceBytes = 4096;
constexpr U32 kMomentMs = 250; // shorter transfers show nothing
constexpr U32 kRefreshMs = 100;

class PROGRESS {
public:
    explicit PROGRESS(U32 Total) : total_(Total), start_(plat::tickMs()), last_(start_) {}
    ~PROGRESS() {
        if (shown_) {
            std::fprintf(stderr, "\r%60s\r", "");
            std::fflush(stderr);
        }
    }
    PROGRESS(const PROGRESS &) = delete;
    PROGRESS &operator=(const PROGRESS &) = delete;

    static bool Wanted() { return ::isatty(2) == 1; }

    void Update(U32 Done) {
        const U32 now = plat::tickMs();
        const U32 elapsed = now - start_;
        if (elapsed < kMomentMs || (shown_ && now - last_ < kRefreshMs)) {
            return;
        }
        last_ = now;
        shown_ = true;
        const double rate = elapsed > 0 ? Done * 1000.0 / elapsed / 1024.0 : 0.0;
        std::fprintf(stderr, "\r  %u of %u bytes, %.1f KiB/s ", Done, total_, rate);
        std::fflush(stderr);
    }

private:
    U32 total_;
    U32 start_;
    U32 last_;
    bool shown_ = false;
};

// Length of the piece that starts at Addr: up to the next 4 KiB boundary.
U32 PieceAt(U32 Addr, U32 Left) {
    const U32 toBoundary = kPieceBytes - Addr % kPieceBytes;
    return Left < toBoundary ? Left : toBoundary;
}

template <typename CALL> int InPieces(U32 Addr, U32 NumBytes, U32 Unit, CALL Call) {
    PROGRESS progress(NumBytes * Unit);
    U32 done = 0;
    while (done < NumBytes) {
        const U32 piece = PieceAt((Addr + done) * Unit, (NumBytes - done) * Unit) / Unit;
        const int r = Call(Addr + done, piece, done);
        if (r < 0) {
            return done > 0 ? static_cast<int>(done) : r;
        }
        done += static_cast<U32>(r);
        if (static_cast<U32>(r) != piece) {
            break;
        }
        progress.Update(done * Unit);
    }
    return static_cast<int>(done);
}

} // namespace

int PROGRESS_Read(READ_FUNC pfRead, U32 Addr, U32 NumBytes, U8 *pData) {
    if (!PROGRESS::Wanted()) {
        return pfRead(Addr, NumBytes, pData);
    }
    return InPieces(Addr, NumBytes, 1, [&](U32 a, U32 n, U32 done) { return pfRead(a, n, pData + done); });
}

int PROGRESS_Write(WRITE_FUNC pfWrite, U32 Addr, U32 NumBytes, const U8 *pData) {
    if (!PROGRESS::Wanted()) {
        return pfWrite(Addr, NumBytes, pData);
    }
    return InPieces(Addr, NumBytes, 1, [&](U32 a, U32 n, U32 done) { return pfWrite(a, n, pData + done); });
}

int PROGRESS_ReadULP(U32 Page, U32 NumPages, U32 *pData) {
    if (!PROGRESS::Wanted()) {
        return FERROX_CPU_GetULP(Page, NumPages, pData);
    }
    return InPieces(Page, NumPages, 4,
                    [&](U32 p, U32 n, U32 done) { return FERROX_CPU_GetULP(p, n, pData + done); });
}

int PROGRESS_WriteULP(U32 Page, U32 NumPages, const U8 *pData) {
    const bool wanted = PROGRESS::Wanted();
    PROGRESS progress(NumPages * 4);
    for (U32 i = 0; i < NumPages; ++i) {
        const U8 *bytes = pData + 4 * i;
        const U32 value = static_cast<U32>(bytes[0]) | static_cast<U32>(bytes[1]) << 8 |
                          static_cast<U32>(bytes[2]) << 16 | static_cast<U32>(bytes[3]) << 24;
        // A page's own result is not looked at: verify tells whether the
        // pages hold what was written.
        FERROX_CPU_ProgULP(Page + i, 1, &value);
        if (wanted) {
            progress.Update((i + 1) * 4);
        }
    }
    return static_cast<int>(NumPages);
}
