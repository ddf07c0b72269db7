// Keeping the probe's firmware equal to the library's image, and the text
// commands through which an application steers that and programs the
// probe's serial number.
#include "firmware.h"

#include "link.h"
#include "main_log.h"
#include "probe.h"

#include "plat/clock.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr U8 kCmdDownload = 0x06;
// The probe answers its firmware string again this long after a download.
constexpr U32 kRestartMs = 2500;
constexpr char kQuidorPrefix[] = "Quidor ";
// Banner positions that "InvalidateFW" changes: the version digits of
// "Rev 2.0" and two letters of "compiled".
constexpr std::size_t kVersionMajor = 11;
constexpr std::size_t kVersionMinor = 13;

// What the firmware module keeps for the process (the image itself is
// never left changed).
struct State {
    U8 AutoUpdateFW = 1;
};
State g;

char *banner() {
    return reinterpret_cast<char *>(FirmwareImage + FW_BANNER_OFFSET);
}

std::size_t bannerLength() {
    return strnlen(banner(), FW_IMAGE_SIZE - FW_BANNER_OFFSET);
}

// Reply text: appended while room remains, one byte kept for the NUL.
class Reply {
public:
    Reply(char *pResponse, int ResponseSize)
        : p_(pResponse), size_(pResponse != nullptr ? ResponseSize : 0) {}
    void add(const char *sText) {
        for (; *sText != '\0' && len_ + 1 < size_; ++sText) {
            p_[len_++] = *sText;
        }
        if (len_ < size_) {
            p_[len_] = '\0';
        }
    }

private:
    char *p_;
    int size_;
    int len_ = 0;
};

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

const char *skipBlanks(const char *s) {
    while (isBlank(*s)) {
        ++s;
    }
    return s;
}

// A keyword matches as a prefix of the text, without regard to case.
bool takeKeyword(const char *&s, const char *sKeyword) {
    const std::size_t n = std::strlen(sKeyword);
    for (std::size_t i = 0; i < n; ++i) {
        if (s[i] == '\0' || std::tolower(static_cast<unsigned char>(s[i])) !=
                                std::tolower(static_cast<unsigned char>(sKeyword[i]))) {
            return false;
        }
    }
    s += n;
    return true;
}

// The serial number is write-once: the probe takes it only while it still
// holds its erased value.
int programSerialNumber(U32 Value, Reply &reply) {
    U8 config[EMU_SYSTEM_CONFIG_BYTES];
    if (EMU_ReadSystemConfig(config) != 0) {
        return 1;
    }
    const U32 current = static_cast<U32>(config[0]) | static_cast<U32>(config[1]) << 8 |
                        static_cast<U32>(config[2]) << 16 | static_cast<U32>(config[3]) << 24;
    if (current != 0xFFFFFFFFu) {
        char text[128];
        (void)std::snprintf(text, sizeof text, "ERROR - S/N %d can not be overwritten by S/N %d\n",
                            static_cast<int>(current), static_cast<int>(Value));
        reply.add(text);
        return 1;
    }
    for (int i = 0; i < 4; ++i) {
        config[i] = static_cast<U8>(Value >> (8 * i));
    }
    if (EMU_WriteSystemConfig(config) == 0) {
        reply.add("O.K.\n");
        return 0;
    }
    reply.add("ERR\n");
    return 1;
}

int setSerialNumber(const char *&s, Reply &reply) {
    s = skipBlanks(s);
    if (*s != '=') {
        reply.add("ERROR - Expected '='\n");
        return 1;
    }
    s = skipBlanks(s + 1);
    if (*s < '0' || *s > '9') {
        reply.add("ERROR : ");
        reply.add("Expected a dec value");
        reply.add("\n");
        return 1;
    }
    U32 value = 0;
    for (; *s >= '0' && *s <= '9'; ++s) {
        value = value * 10u + static_cast<U32>(*s - '0');
    }
    return programSerialNumber(value, reply);
}

} // namespace

const char *FW_GetBanner() {
    return banner();
}
U8 FW_IsAutoUpdate() {
    return g.AutoUpdateFW;
}
void FW_SetAutoUpdate(U8 On) {
    g.AutoUpdateFW = On != 0 ? 1 : 0;
}

U16 CRC16_Calc(const U8 *pData, U32 NumBytes, U16 Init) {
    U16 crc = Init;
    for (U32 i = 0; i < NumBytes; ++i) {
        crc = static_cast<U16>(crc ^ pData[i]);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1u) != 0 ? static_cast<U16>((crc >> 1) ^ 0x8408u) : static_cast<U16>(crc >> 1);
        }
    }
    return crc;
}

U16 FW_PlaceCRC(U8 *pImage, U32 Size, U8 CRCFirst) {
    if (Size < 2) {
        return 0;
    }
    U8 *at = CRCFirst != 0 ? pImage : pImage + Size - 2;
    const U16 crc = CRCFirst != 0 ? CRC16_Calc(pImage + 2, Size - 2, 0) : CRC16_Calc(pImage, Size - 2, 0);
    at[0] = static_cast<U8>(crc);
    at[1] = static_cast<U8>(crc >> 8);
    return crc;
}

int FW_Check() {
    char text[256] = {};
    if (EMU_GetFirmwareString(text, 255) != 0) {
        return 1;
    }
    const std::size_t len = strnlen(text, sizeof text);
    if (len == 0 || len > 255) {
        return 1;
    }
    // A firmware of another kind: no download is tried.
    if (std::strncmp(text, kQuidorPrefix, sizeof kQuidorPrefix - 1) != 0) {
        return 1;
    }
    FW_CompareAndUpdate(text);
    return 0;
}

U16 FW_CompareAndUpdate(const char *sProbeFirmware) {
    // The probe's identification may be the banner or a leading part of it.
    const std::size_t n = std::strlen(sProbeFirmware);
    if (n <= bannerLength() && std::memcmp(banner(), sProbeFirmware, n) == 0) {
        return 0;
    }
    return FW_Update(FirmwareImage, FW_IMAGE_SIZE);
}

U16 FW_Update(const U8 *pImage, U32 Size) {
    U16 crc = 0;
    FW_Download(pImage, Size, &crc, Size == FW_CRC_FIRST_SIZE ? 1 : 0);
    plat::sleepMs(kRestartMs);
    // A fresh read: the download dropped the cached string.
    char text[256] = {};
    if (EMU_GetFirmwareString(text, 255) != 0) {
        return 0;
    }
    return crc;
}

U8 FW_Download(const U8 *pImage, U32 Size, U16 *pCRC, U8 CRCFirst) {
    // The size travels as 16 bits and the CRC needs two bytes of its own.
    if (pImage == nullptr || Size < 2 || Size > 0xFFFF) {
        return 1;
    }
    std::vector<U8> image(pImage, pImage + Size);
    const U16 crc = FW_PlaceCRC(image.data(), Size, CRCFirst);
    if (pCRC != nullptr) {
        *pCRC = crc;
    }
    U8 ok = 0;
    const U8 request[1] = {kCmdDownload};
    U8 answer = 0;
    if (LINK_WriteRead(request, 1, &answer, 1) != 1) {
        EMU_ReportOnce("Communication time out - Can not execute firmware update");
    } else if (answer != 0) {
        EMU_ReportOnce("Quidor can not execute firmware update");
    } else {
        const U8 size[2] = {static_cast<U8>(Size), static_cast<U8>(Size >> 8)};
        LINK_Write(size, 2);
        LINK_Write(image.data(), static_cast<int>(Size));
        U8 status = 0;
        if (LINK_Read(&status, 1) != 1) {
            EMU_ReportOnce("Communication timed out after firmware update");
        } else if (status != 0) {
            EMU_ReportOnce("Quidor could not update firmware");
        } else {
            ok = 1;
        }
    }
    EMU_InvalidateFirmwareString();
    return ok != 0 ? 0 : 1;
}

void FW_Invalidate() {
    char *b = banner();
    const std::size_t len = bannerLength();
    char *compiled = std::strstr(b, "compiled");
    if (len <= kVersionMinor || compiled == nullptr) {
        return; // not a banner this command knows how to change
    }
    const char major = b[kVersionMajor];
    const char minor = b[kVersionMinor];
    b[kVersionMajor] = '1';
    b[kVersionMinor] = 'x';
    compiled[5] = 'L';
    compiled[6] = 'E';
    FW_Check();
    // The whole banner comes back, so that later downloads in this process
    // send the true image again.
    compiled[5] = 'l';
    compiled[6] = 'e';
    b[kVersionMajor] = major;
    b[kVersionMinor] = minor;
}

int FW_ExecCommand(const char *sCommand, char *pResponse, int ResponseSize) {
    Reply reply(pResponse, ResponseSize);
    reply.add("");
    if (sCommand == nullptr) {
        // No text is a caller's mistake, not an empty list of commands.
        MAIN_SetLastErrorCode(16);
        return 1;
    }
    const char *s = sCommand;
    for (;;) {
        s = skipBlanks(s);
        if (*s == '\0') {
            return 0;
        }
        if (takeKeyword(s, "NoUpdateSN")) {
            EMU_SetReportNegativeSN(0);
        } else if (takeKeyword(s, "InvalidateFW")) {
            FW_Invalidate();
        } else if (takeKeyword(s, "SetSN")) {
            return setSerialNumber(s, reply);
        } else if (takeKeyword(s, "UpdateFirmware")) {
            char text[256] = {};
            if (EMU_GetFirmwareString(text, 255) == 0) {
                FW_CompareAndUpdate(text);
            }
        } else if (takeKeyword(s, "DisableAutoUpdateFW")) {
            g.AutoUpdateFW = 0;
        } else {
            reply.add("ERROR: Unknown command\n");
            return 1;
        }
    }
}

void FW_ResetState() {
    g = State{};
}
