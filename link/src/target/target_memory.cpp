// The target's four memories: DATA, EEPROM, EROM and ULP, read and written
// in chunks that fit one target request, and the single-request memory
// operations (page copy, bit runs, bit fields, I/O test mode).
#include "target.h"

#include "FerroxConst.h"
#include "main_log.h"

#include <climits>

namespace {

constexpr U32 kReadChunk = 256;  // bytes of one read request
constexpr U32 kDataChunk = 256;  // bytes of one DATA write
constexpr U32 kPageBytes = 64;   // EEPROM and EROM page
constexpr int kMaxBitRun = 3920; // Offset + NumBits that one request carries
constexpr int kPageWords = static_cast<int>(kPageBytes / 2);

constexpr U16 kIoTestCode[8] = TAMSA_IO_TEST_ACCESS_CODE;
constexpr U16 kIoTestExit = TAMSA_IO_TEST_EXIT_CODE;

// Counts the int result cannot carry, and buffers that are not there, are
// refused before anything is sent.
bool refuseArguments(U32 NumUnits, const void *pData, U32 MaxUnits) {
    if (NumUnits > MaxUnits || (NumUnits != 0 && pData == nullptr)) {
        MAIN_SetLastErrorCode(16);
        return true;
    }
    return false;
}

U16 low16(U32 v) {
    return static_cast<U16>(v & 0xFFFF);
}

// The chunked read of DATA (unit 1), EEPROM (unit 1, brown-out word) and
// EROM (unit 2, brown-out word). Bytes read, or -1; a failure after some
// chunks may return the bytes read before it.
int chunkedRead(U16 Command, U32 Unit, U32 Addr, U32 NumBytes, U8 *pData) {
    const bool brownOutWord = Command == C_GET_EE_BYTES || Command == C_GET_PF_WORDS;
    U32 done = 0;
    while (done < NumBytes) {
        const U32 k = NumBytes - done < kReadChunk ? NumBytes - done : kReadChunk;
        const U16 item[2] = {low16(Addr / Unit), low16((Unit / 2 + k) / Unit)};
        CPU_AddCommand(Command, CMD_MODE_TX);
        CPU_AddData(item, 2);
        CPU_AddAnswer(static_cast<int>((k + 1) / 2 + (brownOutWord ? 2 : 1)));
        const int status = CPU_Execute(1, 1, nullptr);
        if (status == 0) {
            U16 first = 0;
            CPU_NextAnswerWord(&first);
            if (first != TAMSA_STATUS_CODE_OK) {
                CPU_SetLastResponse(first);
                MAIN_ReportStatus(2, 0);
                return -1;
            }
            for (U32 i = 0; i < k; i += 2) {
                U16 w = 0;
                CPU_NextAnswerWord(&w);
                pData[done + i] = static_cast<U8>(w & 0xFF);
                if (i + 1 < k) {
                    pData[done + i + 1] = static_cast<U8>(w >> 8);
                }
            }
            if (brownOutWord) {
                U16 brownOut = 0;
                CPU_NextAnswerWord(&brownOut);
                if (brownOut != 0) {
                    CPU_SetLastResponse(brownOut);
                    MAIN_ReportStatus(18, 0);
                    return -1;
                }
            }
            done += k;
            Addr += k;
            continue;
        }
        if (status == 1) {
            const int detail = CPU_GetTrailer() >> 8;
            U16 w = 0;
            if (detail == 0 || CPU_NextAnswerWord(&w) != 0) {
                CPU_SetLastResponse(TAMSA_STATUS_CODE_INVALID);
                MAIN_ReportStatus(1, 0);
                return static_cast<int>(done);
            }
            CPU_SetLastResponse(w);
            if (detail != 1) {
                MAIN_ReportStatus(1, 0);
                return static_cast<int>(done);
            }
            if (w == TAMSA_STATUS_CODE_PARAMETER) {
                MAIN_ReportStatus(16, 0);
            } else if (w != TAMSA_STATUS_CODE_CMD_ERROR) {
                MAIN_ReportStatus(w != 0 ? 2 : 1, 0);
            }
            return -1;
        }
        CPU_SetLastResponse(TAMSA_STATUS_CODE_INVALID);
        MAIN_ReportStatus(status, 0);
        return -1;
    }
    CPU_SetLastResponse(TAMSA_STATUS_CODE_OK);
    return static_cast<int>(done);
}

// The result code of a programming answer (EEPROM and ULP): 0, 17, 16, 8,
// 2, 1 for a missing word, or the failed exchange's probe status.
int programmingResult(int status, int count) {
    if (status != 0) {
        CPU_SetLastResponse(TAMSA_STATUS_CODE_INVALID);
        return status;
    }
    U16 w = 0;
    if (count < 1 || CPU_NextAnswerWord(&w) != 0) {
        CPU_SetLastResponse(TAMSA_STATUS_CODE_INVALID);
        return 1;
    }
    CPU_SetLastResponse(w);
    switch (w) {
    case TAMSA_STATUS_CODE_OK:
        return 0;
    case TAMSA_STATUS_CODE_NV_ERROR:
        return 17;
    case TAMSA_STATUS_CODE_PARAMETER:
        return 16;
    case TAMSA_STATUS_CODE_CMD_ERROR:
        return 8;
    default:
        return 2;
    }
}

// The EROM answer of one programming request: 0, -4 for a programming
// failure, -1 otherwise. A page also needs the whole trailer word to be 0; a
// single word is judged by its answer word alone.
int eromResult(int status, bool WholeTrailer) {
    U16 w = 0xFFFF;
    const bool got = status == 0 && CPU_NextAnswerWord(&w) == 0;
    CPU_SetLastResponse(got ? w : TAMSA_STATUS_CODE_INVALID);
    if (got && w == TAMSA_STATUS_CODE_OK && (!WholeTrailer || CPU_GetTrailer() == 0)) {
        return 0;
    }
    return got && w == TAMSA_STATUS_CODE_NV_ERROR ? -4 : -1;
}

int progEromWord(U32 ByteAddr, U16 Word) {
    const U16 item[2] = {low16(ByteAddr / 2), Word};
    CPU_AddCommand(C_PROG_PF_WORD, CMD_MODE_TX);
    CPU_AddData(item, 2);
    CPU_AddAnswer(1);
    return eromResult(CPU_Execute(0, 1, nullptr), false);
}

int progEromPage(U32 ByteAddr, const U8 *pData) {
    U16 item[1 + kPageWords];
    item[0] = low16(ByteAddr / 2);
    for (int i = 0; i < kPageWords; ++i) {
        item[1 + i] = static_cast<U16>(pData[2 * std::size_t(i)] | pData[2 * std::size_t(i) + 1] << 8);
    }
    CPU_AddCommand(C_PROG_PF_PAGE, CMD_MODE_TX);
    CPU_AddData(item, 1 + kPageWords);
    CPU_AddAnswer(1);
    return eromResult(CPU_Execute(0, 1, nullptr), true);
}

// The EROM word that holds the byte at ByteAddr, as its two bytes.
int readEromWord(U32 ByteAddr, U8 (&bytes)[2]) {
    const int r = chunkedRead(C_GET_PF_WORDS, 2, ByteAddr, 2, bytes);
    // A read that ended before its bytes arrived is a failure, not 0 bytes
    // programmed.
    return r == 2 ? 2 : (r < 0 ? r : -1);
}

// Programs n bytes word by word; odd ends are merged with the byte of their
// word that stays. n, or the failing step's value.
int progEromWords(U32 ByteAddr, U32 n, const U8 *pData) {
    U32 i = 0;
    while (i < n) {
        const U32 addr = ByteAddr + i;
        U16 word = 0;
        U32 step = 1;
        if (addr % 2 != 0 || n - i == 1) {
            U8 held[2] = {};
            const int r = readEromWord(addr, held);
            if (r != 2) {
                return r;
            }
            word = addr % 2 != 0 ? static_cast<U16>(pData[i] << 8 | held[0])
                                 : static_cast<U16>(held[1] << 8 | pData[i]);
        } else {
            word = static_cast<U16>(pData[i + 1] << 8 | pData[i]);
            step = 2;
        }
        const int r = progEromWord(addr, word);
        if (r != 0) {
            return r;
        }
        i += step;
    }
    return static_cast<int>(n);
}

// The answer of the single-request operations: 0, -1 for a refusal or a
// missing word, or the failed exchange's status. `nvIsFailure` tells
// whether status 7 is a refusal.
int singleResult(int status, int count, bool nvIsFailure) {
    if (status != 0) {
        CPU_SetLastResponse(TAMSA_STATUS_CODE_INVALID);
        return status;
    }
    U16 w = 0;
    if (count < 1 || CPU_NextAnswerWord(&w) != 0) {
        CPU_SetLastResponse(TAMSA_STATUS_CODE_INVALID);
        return -1;
    }
    CPU_SetLastResponse(w);
    if (w == TAMSA_STATUS_CODE_CMD_ERROR || w == TAMSA_STATUS_CODE_PARAMETER ||
        (nvIsFailure && w == TAMSA_STATUS_CODE_NV_ERROR)) {
        return -1;
    }
    return 0;
}

} // namespace

int CPU_GetData(U32 Addr, U32 NumBytes, U8 *pData) {
    if (NumBytes == 0) {
        return 0;
    }
    if (refuseArguments(NumBytes, pData, INT_MAX) || CPU_RequireHalted() != 0) {
        return -1;
    }
    return chunkedRead(C_GET_DATA, 1, Addr, NumBytes, pData);
}

int CPU_GetEEPROM(U32 Addr, U32 NumBytes, U8 *pData) {
    if (NumBytes == 0) {
        return 0;
    }
    if (refuseArguments(NumBytes, pData, INT_MAX) || CPU_RequireHalted() != 0) {
        return -1;
    }
    return chunkedRead(C_GET_EE_BYTES, 1, Addr, NumBytes, pData);
}

int CPU_GetEROM(U32 Addr, U32 NumBytes, U8 *pData) {
    if (NumBytes == 0) {
        return 0;
    }
    if (refuseArguments(NumBytes, pData, INT_MAX) || CPU_RequireHalted() != 0) {
        return -1;
    }
    if (Addr % 2 == 0) {
        return chunkedRead(C_GET_PF_WORDS, 2, Addr, NumBytes, pData);
    }
    // The target reads whole words: a read from an odd address takes the
    // high byte of the word below it first, so that the bytes returned are
    // those from the address asked for.
    U8 held[2] = {};
    const int first = readEromWord(Addr, held);
    if (first != 2) {
        return first;
    }
    pData[0] = held[1];
    if (NumBytes == 1) {
        return 1;
    }
    const int rest = chunkedRead(C_GET_PF_WORDS, 2, Addr + 1, NumBytes - 1, pData + 1);
    return rest < 0 ? rest : rest + 1;
}

int CPU_SetData(U32 Addr, U32 NumBytes, const U8 *pData) {
    if (NumBytes == 0) {
        return 0;
    }
    if (refuseArguments(NumBytes, pData, INT_MAX) || CPU_RequireHalted() != 0) {
        return -1;
    }
    U32 done = 0;
    while (done < NumBytes) {
        const U32 k = NumBytes - done < kDataChunk ? NumBytes - done : kDataChunk;
        const U16 item[2] = {low16(Addr), low16(k)};
        CPU_AddCommand(C_SET_DATA, CMD_MODE_TX);
        CPU_AddData(item, 2);
        CPU_AddBytes(pData + done, static_cast<int>(k));
        CPU_AddAnswer(1);
        const int status = CPU_Execute(0, 1, nullptr);
        if (status != 0) {
            CPU_SetLastResponse(TAMSA_STATUS_CODE_INVALID);
            return -1;
        }
        U16 w = 0xFFFF;
        CPU_NextAnswerWord(&w);
        CPU_SetLastResponse(w);
        if (w != TAMSA_STATUS_CODE_OK) {
            return -1;
        }
        done += k;
        Addr += k;
    }
    return static_cast<int>(done);
}

int CPU_ProgEEPROM(U32 Addr, U32 NumBytes, const U8 *pData) {
    if (NumBytes == 0) {
        return 0;
    }
    if (refuseArguments(NumBytes, pData, INT_MAX) || CPU_RequireHalted() != 0) {
        return -1;
    }
    U32 done = 0;
    while (done < NumBytes) {
        U32 k = NumBytes - done < kPageBytes ? NumBytes - done : kPageBytes;
        const U32 r = (Addr + k) % kPageBytes;
        if (r < k) {
            k -= r; // a chunk never crosses a page boundary
        }
        const U16 item[2] = {low16(Addr), low16(k)};
        CPU_AddCommand(C_PROG_EE_BYTES, CMD_MODE_TX);
        CPU_AddData(item, 2);
        CPU_AddBytes(pData + done, static_cast<int>(k));
        CPU_AddAnswer(1);
        int count = 0;
        const int status = CPU_Execute(1, 0, &count);
        const int result = programmingResult(status, count);
        if (result != 0) {
            MAIN_ReportStatus(result, 0);
            return -1;
        }
        done += k;
        Addr += k;
    }
    return static_cast<int>(done);
}

int CPU_ProgEROM(U32 Addr, U32 NumBytes, const U8 *pData) {
    if (NumBytes == 0) {
        return 0;
    }
    if (refuseArguments(NumBytes, pData, INT_MAX) || CPU_RequireHalted() != 0) {
        return -1;
    }
    U32 done = 0;
    if (Addr % kPageBytes != 0 || NumBytes < kPageBytes) {
        const U32 room = kPageBytes - Addr % kPageBytes;
        const U32 h = room < NumBytes ? room : NumBytes;
        const int r = progEromWords(Addr, h, pData);
        if (r != static_cast<int>(h)) {
            return r;
        }
        done = h;
    }
    while (NumBytes - done >= kPageBytes) {
        const int r = progEromPage(Addr + done, pData + done);
        if (r != 0) {
            return r;
        }
        done += kPageBytes;
    }
    if (done < NumBytes) {
        const U32 tail = NumBytes - done;
        const int r = progEromWords(Addr + done, tail, pData + done);
        if (r != static_cast<int>(tail)) {
            return r;
        }
        done = NumBytes;
    }
    return static_cast<int>(done);
}

int CPU_GetULP(U32 Addr, U32 NumPages, U32 *pData) {
    if (NumPages == 0) {
        return 0;
    }
    // Four bytes a page: a byte count beyond int is refused.
    if (refuseArguments(NumPages, pData, INT_MAX / 4) || CPU_RequireHalted() != 0) {
        return -1;
    }
    const U32 bytes = NumPages * 4;
    U32 done = 0;
    while (done < bytes) {
        const U32 k = bytes - done < kReadChunk ? bytes - done : kReadChunk;
        const U32 pages = k / 4;
        const U16 item[2] = {low16(Addr), low16(pages)};
        CPU_AddCommand(C_GET_ULP_PAGES, CMD_MODE_TX);
        CPU_AddData(item, 2);
        CPU_AddAnswer(static_cast<int>((k + 1) / 2 + 1));
        const int status = CPU_Execute(1, 1, nullptr);
        if (status == 0) {
            U16 first = 0;
            CPU_NextAnswerWord(&first);
            CPU_SetLastResponse(first);
            if (first != TAMSA_STATUS_CODE_OK) {
                MAIN_ReportStatus(2, 0);
                return -1;
            }
            for (U32 i = 0; i < pages; ++i) {
                U16 lo = 0;
                U16 hi = 0;
                CPU_NextAnswerWord(&lo);
                CPU_NextAnswerWord(&hi);
                pData[done / 4 + i] = static_cast<U32>(hi) << 16 | lo;
            }
            done += k;
            Addr += pages;
            continue;
        }
        if (status == 1) {
            const int detail = CPU_GetTrailer() >> 8;
            U16 w = 0;
            if (detail == 0 || CPU_NextAnswerWord(&w) != 0) {
                CPU_SetLastResponse(TAMSA_STATUS_CODE_INVALID);
                MAIN_ReportStatus(1, 0);
                return static_cast<int>(done / 4);
            }
            CPU_SetLastResponse(w);
            if (detail != 1) {
                MAIN_ReportStatus(1, 0);
                return static_cast<int>(done / 4);
            }
            if (w == TAMSA_STATUS_CODE_PARAMETER) {
                MAIN_ReportStatus(16, 0);
            } else if (w != TAMSA_STATUS_CODE_CMD_ERROR && w != 0) {
                MAIN_ReportStatus(1, 0);
            }
            return -1;
        }
        CPU_SetLastResponse(TAMSA_STATUS_CODE_INVALID);
        MAIN_ReportStatus(status, 0);
        return -1;
    }
    return static_cast<int>(bytes / 4);
}

int CPU_ProgULP(U32 Addr, U32 NumPages, const U32 *pData) {
    if (NumPages == 0) {
        return 0;
    }
    if (refuseArguments(NumPages, pData, INT_MAX) || CPU_RequireHalted() != 0) {
        return -1;
    }
    for (U32 i = 0; i < NumPages; ++i) {
        const U16 item[3] = {low16(Addr + i), low16(pData[i]), static_cast<U16>(pData[i] >> 16)};
        CPU_AddCommand(C_PROG_ULP_PAGE, CMD_MODE_TX);
        CPU_AddData(item, 3);
        CPU_AddAnswer(1);
        int count = 0;
        const int status = CPU_Execute(1, 0, &count);
        const int result = programmingResult(status, count);
        if (result != 0) {
            MAIN_ReportStatus(result, 0);
            return -1;
        }
    }
    return static_cast<int>(NumPages);
}

int CPU_ProgUlpBytes(U32 Addr, U32 Mask, U32 Data) {
    if (CPU_RequireHalted() != 0) {
        return -1;
    }
    // This command takes the high half first.
    const U16 item[4] = {low16(Addr), static_cast<U16>(Mask & 0xF), static_cast<U16>(Data >> 16),
                         low16(Data)};
    CPU_AddCommand(C_PROG_ULP_BYTES, CMD_MODE_TX);
    CPU_AddData(item, 4);
    CPU_AddAnswer(1);
    int count = 0;
    const int status = CPU_Execute(1, 0, &count);
    int result = programmingResult(status, count);
    if (status == 0 && count < 1) {
        result = -1;
    }
    MAIN_ReportStatus(result, 0);
    return result;
}

int CPU_CopyPage(U32 srcAddr, U32 desAddr) {
    const U16 item[2] = {low16(srcAddr), low16(desAddr)};
    CPU_AddCommand(C_COPY_PAGE, CMD_MODE_TX);
    CPU_AddData(item, 2);
    CPU_AddAnswer(1);
    int count = 0;
    const int status = CPU_Execute(0, 0, &count);
    return singleResult(status, count, true);
}

int CPU_ProgPfBits(U32 Address, int Offset, int NumBits, const U8 *pData) {
    // One request carries at most 245 data words: longer runs are refused
    // rather than cut. The offset travels in four bits: a larger one would
    // program other bits than asked for.
    if (Offset < 0 || Offset > 15 || NumBits < 0 || NumBits > kMaxBitRun - Offset) {
        MAIN_SetLastErrorCode(16);
        return -1;
    }
    const int total = Offset + NumBits;
    int bytes = total / 8;
    if (total % 16 != 0) {
        bytes += bytes % 2 != 0 ? 1 : 2;
    }
    const int words = bytes / 2;
    if (words > 0 && pData == nullptr) {
        MAIN_SetLastErrorCode(16);
        return -1;
    }
    U16 data[kMaxBitRun / 16] = {};
    for (int i = 0; i < words; ++i) {
        data[i] = static_cast<U16>(pData[2 * std::size_t(i)] | pData[2 * std::size_t(i) + 1] << 8);
    }
    const U16 head[2] = {low16(Address), static_cast<U16>((Offset & 0xF) << 12 | (NumBits & 0xFFF))};
    CPU_AddCommand(C_PROG_PF_BITS, CMD_MODE_TX);
    CPU_AddData(head, 2);
    CPU_AddData(data, words);
    CPU_AddAnswer(1);
    int count = 0;
    const int status = CPU_Execute(0, 0, &count);
    return singleResult(status, count, true);
}

int CPU_SetBitField(U32 Addr, int Position, int Width, U32 Data) {
    const U16 item[3] = {low16(Addr), static_cast<U16>((Width & 0xF) << 4 | (Position & 0xF)), low16(Data)};
    CPU_AddCommand(C_SET_BIT_FIELD, CMD_MODE_TX);
    CPU_AddData(item, 3);
    CPU_AddAnswer(1);
    int count = 0;
    const int status = CPU_Execute(0, 0, &count);
    return singleResult(status, count, false);
}

int CPU_IoTest(int Flag) {
    int status = 0;
    int count = 0;
    if (Flag != 0) {
        CPU_AddCommand(C_IO_TEST, CMD_MODE_TX);
        for (const U16 w : kIoTestCode) {
            CPU_AddData(&w, 1);
        }
        CPU_AddAnswer(1);
        status = CPU_Execute(0, 0, &count);
    } else {
        CPU_AddData(&kIoTestExit, 1);
        CPU_AddAnswer(1);
        status = CPU_Execute(1, 0, &count);
        MAIN_ReportStatus(status, 0);
    }
    return singleResult(status, count, false);
}
