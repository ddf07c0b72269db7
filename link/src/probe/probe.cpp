// Probe layer: connect and disconnect, and the probe's own commands with the
// copies the library keeps of their answers.
#include "probe.h"

#include "firmware.h"
#include "link.h"
#include "main_log.h"

#include "plat/clock.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr U8 kCmdFirmwareString = 0x01;
constexpr U8 kCmdHwStatus = 0x07;
constexpr U8 kCmdReadConfig = 0x8E;
constexpr U8 kCmdWriteConfig = 0x8F;
constexpr U8 kCmdReadSystemConfig = 0xE6;
constexpr U8 kCmdWriteSystemConfig = 0xE7;
constexpr U8 kCmdCaps = 0xE8;
constexpr U8 kCmdExtendedCaps = 0xED;
constexpr U8 kCmdHwVersion = 0xF0;
constexpr U8 kCmdSwitchInterface = 0xF3;

// The two lengths a firmware of this probe answers with.
constexpr U16 kFirmwareStringLong = 112;
constexpr U16 kFirmwareStringShort = 37;
constexpr int kFirmwareStringCache = 256;

// Everything the probe layer keeps, in one place.
struct State {
    U32 Caps[8] = {};
    U8 ProbeUnusable = 0;
    U32 HwVersion = 0;
    U8 FirmwareStringCached = 0;
    U16 FirmwareStringLength = 0;
    char FirmwareString[kFirmwareStringCache] = {};
    U8 SystemConfigCached = 0;
    U8 SystemConfig[EMU_SYSTEM_CONFIG_BYTES] = {};
    U8 ConfigMemLoaded = 0;
    U8 ConfigMem[EMU_CONFIG_BYTES] = {};
    U8 ReportNegativeSN = 1;
};
State g;

U16 get16(const U8 *p) {
    return static_cast<U16>(p[0] | (p[1] << 8));
}
U32 get32(const U8 *p) {
    return static_cast<U32>(p[0]) | static_cast<U32>(p[1]) << 8 | static_cast<U32>(p[2]) << 16 |
           static_cast<U32>(p[3]) << 24;
}

// Connect and disconnect start every connection from empty caches. The
// configuration memory keeps its bytes (only "loaded" is cleared).
void clearProbeState() {
    std::memset(g.Caps, 0, sizeof g.Caps);
    g.HwVersion = 0;
    g.FirmwareStringCached = 0;
    g.SystemConfigCached = 0;
    g.ConfigMemLoaded = 0;
    g.ProbeUnusable = 0;
}

// Copies a text of `Length` bytes into the caller's buffer without ever
// passing BufferSize; a text that would fill it is cut to keep the NUL.
void copyOut(char *pBuffer, int BufferSize, const char *sText, int Length) {
    if (pBuffer == nullptr || BufferSize <= 0) {
        return;
    }
    const int n = Length < BufferSize ? Length : BufferSize - 1;
    std::memcpy(pBuffer, sText, static_cast<std::size_t>(n));
    if (n < BufferSize) {
        pBuffer[n] = '\0';
    }
}

bool configWritable() {
    return (g.Caps[0] & FERROX_EMU_CAP_READ_CONFIG) != 0 && (g.Caps[0] & FERROX_EMU_CAP_WRITE_CONFIG) != 0;
}

constexpr U8 kCmdPowerOffAtClose = 0xDC;
// A switched-off supply must fall within this many polls of 10 ms.
constexpr int kPowerPolls = 200;
constexpr U32 kPollMs = 10;

} // namespace

int ProbeConnect(FERROX_OUTPUT_FUNC pfErrorOut) {
    clearProbeState();
    // The error output goes in before the connect, so that the TCP/IP
    // transport's connect failure reaches the application on the first open.
    LINK_SetErrorSink(pfErrorOut);
    if (LINK_Connect() != 0) {
        return 1;
    }
    if (FW_IsAutoUpdate() != 0 && FW_Check() != 0) {
        return 1;
    }
    EMU_ReadCaps();
    EMU_LoadConfigMem();
    return 0;
}

void ProbeDisconnect() {
    clearProbeState();
    LINK_Disconnect();
}

U8 EMU_IsProbeUnusable() {
    return g.ProbeUnusable;
}

void EMU_ReportOnce(const char *sText) {
    if (g.ProbeUnusable == 0) {
        g.ProbeUnusable = 1;
        MAIN_LogError(sText);
    }
}

U32 EMU_GetCaps(int Word) {
    return Word >= 0 && Word < 8 ? g.Caps[Word] : 0;
}

void EMU_ReadCaps() {
    std::memset(g.Caps, 0, sizeof g.Caps);
    const U8 request[1] = {kCmdCaps};
    U8 raw[32] = {};
    if (LINK_WriteRead(request, 1, raw, 4) == 4) {
        g.Caps[0] = get32(raw);
        if ((g.Caps[0] & EMU_CAP_EXTENDED) == 0) {
            return;
        }
        const U8 extended[1] = {kCmdExtendedCaps};
        const int n = LINK_WriteRead(extended, 1, raw, 32);
        // The answer replaces the words as far as it came.
        for (int w = 0; w < 8; ++w) {
            g.Caps[w] = get32(raw + 4 * static_cast<std::size_t>(w));
        }
        if (n == 32) {
            return;
        }
    } else {
        g.Caps[0] = get32(raw);
    }
    EMU_ReportOnce("Could not read Quidor capabilities.");
}

U32 EMU_GetHWVersion() {
    if (g.HwVersion != 0) {
        return g.HwVersion;
    }
    const U8 request[1] = {kCmdHwVersion};
    U8 raw[4] = {};
    if (LINK_WriteRead(request, 1, raw, 4) != 4) {
        EMU_ReportOnce("Could not read Hardware version.");
        g.HwVersion = 0;
        return 0;
    }
    g.HwVersion = get32(raw);
    return g.HwVersion;
}

int EMU_GetHWStatus(FERROX_HW_STATUS *pStatus) {
    if (g.ProbeUnusable != 0 || LINK_HasCommError() != 0) {
        return 1;
    }
    if (pStatus != nullptr) {
        const U8 request[1] = {kCmdHwStatus};
        U8 raw[8] = {};
        if (LINK_WriteRead(request, 1, raw, 8) != 8) {
            g.ProbeUnusable = 1;
        }
        pStatus->VTarget = get16(raw);
        pStatus->SDA = raw[2];
        pStatus->SCL = raw[3];
        pStatus->SDAout = raw[4];
        pStatus->Wakeout = raw[5];
        pStatus->FPGA = raw[6];
        pStatus->TargetPowerOn = raw[7];
    }
    return g.ProbeUnusable;
}

int EMU_GetFirmwareString(char *pBuffer, int BufferSize) {
    if (pBuffer == nullptr) {
        // Nowhere to put the text: refused before anything is sent.
        MAIN_SetLastErrorCode(16);
        return 1;
    }
    if (g.ProbeUnusable != 0 || LINK_HasCommError() != 0) {
        return 1;
    }
    if (g.FirmwareStringCached != 0) {
        copyOut(pBuffer, BufferSize, g.FirmwareString, g.FirmwareStringLength);
        return 0;
    }
    const U8 request[1] = {kCmdFirmwareString};
    U16 length = 0;
    for (int attempt = 0;; ++attempt) {
        if (BufferSize > 0) {
            std::memset(pBuffer, 0, static_cast<std::size_t>(BufferSize));
        }
        U8 raw[2] = {};
        if (LINK_WriteRead(request, 1, raw, 2) != 2) {
            EMU_ReportOnce(
                "EMU_GetFirmwareString: Insufficient data read when trying to read the string length.");
            return 1;
        }
        length = get16(raw);
        if (length == kFirmwareStringLong || length == kFirmwareStringShort) {
            break;
        }
        if (attempt == 1) {
            char text[256];
            (void)std::snprintf(
                text, sizeof text,
                "EMU_GetFirmwareString: Quidor reports unsupported firmware string size of %d (expected %d)",
                length, kFirmwareStringLong);
            EMU_ReportOnce(text);
            return 2;
        }
        LINK_FlushInput();
    }
    char text[kFirmwareStringCache] = {};
    if (LINK_Read(reinterpret_cast<U8 *>(text), length) < length) {
        EMU_ReportOnce("EMU_GetFirmwareString: Insufficient data read.");
        return 1;
    }
    std::memcpy(g.FirmwareString, text, sizeof g.FirmwareString);
    g.FirmwareStringLength = length;
    g.FirmwareStringCached = 1;
    copyOut(pBuffer, BufferSize, g.FirmwareString, g.FirmwareStringLength);
    return 0;
}

void EMU_InvalidateFirmwareString() {
    g.FirmwareStringCached = 0;
}

U8 EMU_ReadSystemConfig(U8 *pOut) {
    if (pOut != nullptr) {
        std::memset(pOut, 0, EMU_SYSTEM_CONFIG_BYTES);
    }
    if (LINK_HasCommError() != 0) {
        return 1;
    }
    if (g.SystemConfigCached == 0) {
        const U8 request[1] = {kCmdReadSystemConfig};
        if (LINK_WriteRead(request, 1, g.SystemConfig, EMU_SYSTEM_CONFIG_BYTES) == EMU_SYSTEM_CONFIG_BYTES) {
            g.SystemConfigCached = 1;
        }
    }
    if (g.SystemConfigCached == 0) {
        return 1;
    }
    if (pOut != nullptr) {
        std::memcpy(pOut, g.SystemConfig, EMU_SYSTEM_CONFIG_BYTES);
    }
    return 0;
}

U8 EMU_WriteSystemConfig(const U8 *pIn) {
    U8 status = 1;
    if (LINK_HasCommError() == 0 && pIn != nullptr) {
        U8 request[1 + EMU_SYSTEM_CONFIG_BYTES];
        request[0] = kCmdWriteSystemConfig;
        std::memcpy(request + 1, pIn, EMU_SYSTEM_CONFIG_BYTES);
        LINK_WriteRead(request, sizeof request, &status, 1);
        g.SystemConfigCached = 0;
    }
    return status;
}

U8 EMU_LoadConfigMem() {
    if (LINK_HasCommError() != 0 || (g.Caps[0] & FERROX_EMU_CAP_READ_CONFIG) == 0) {
        return 1;
    }
    const U8 request[1] = {kCmdReadConfig};
    if (LINK_WriteRead(request, 1, g.ConfigMem, EMU_CONFIG_BYTES) == EMU_CONFIG_BYTES) {
        g.ConfigMemLoaded = 1;
    }
    return g.ConfigMemLoaded != 0 ? 0 : 1;
}

int EMU_StoreConfigMem(const U8 *pIn) {
    // pIn may be the host copy itself, which the read-back overwrites.
    U8 sent[EMU_CONFIG_BYTES];
    std::memcpy(sent, pIn, EMU_CONFIG_BYTES);
    U8 request[1 + EMU_CONFIG_BYTES];
    request[0] = kCmdWriteConfig;
    std::memcpy(request + 1, sent, EMU_CONFIG_BYTES);
    if (LINK_Write(request, sizeof request) < static_cast<int>(sizeof request)) {
        return 1;
    }
    g.ConfigMemLoaded = 0;
    if (EMU_LoadConfigMem() != 0) {
        return 1;
    }
    return std::memcmp(g.ConfigMem, sent, EMU_CONFIG_BYTES) == 0 ? 0 : 2;
}

int EMU_ControlBuffer(U8 Kind, U8 Code) {
    if (Code == EMU_CMD_BUFFER_READ) {
        // The read code takes a count that only the read function sends:
        // passed through alone, the probe would take the next request's
        // bytes for it and every exchange after would be out of step.
        MAIN_SetLastErrorCode(16);
        return -1;
    }
    if (g.ProbeUnusable != 0 || LINK_HasCommError() != 0) {
        return -1;
    }
    const U8 request[2] = {Kind, Code};
    LINK_Write(request, 2);
    U8 answer[2] = {};
    if (LINK_Read(answer, 2) == 0) {
        return -1;
    }
    return get16(answer);
}

int EMU_ReadBuffer(U8 Kind, U32 NumItems, U16 *pData) {
    if (pData == nullptr) {
        // No buffer for the items: refused before anything is sent.
        MAIN_SetLastErrorCode(16);
        return -1;
    }
    if (NumItems > 65535 || g.ProbeUnusable != 0 || LINK_HasCommError() != 0) {
        return -1;
    }
    const U8 request[4] = {Kind, EMU_CMD_BUFFER_READ, static_cast<U8>(NumItems),
                           static_cast<U8>(NumItems >> 8)};
    LINK_Write(request, 4);
    U8 raw[2] = {};
    if (LINK_Read(raw, 2) != 2) {
        return -1;
    }
    const U32 n = get16(raw);
    if (n > NumItems) {
        // More than the caller can take: drain the items and the status word
        // so that the next exchange starts clean.
        for (U32 i = 0; i < n + 1; ++i) {
            if (LINK_Read(raw, 2) != 2) {
                break;
            }
        }
        return -1;
    }
    if (n > 0) {
        // The items arrive little-endian; each is turned in place.
        U8 *bytes = reinterpret_cast<U8 *>(pData);
        if (LINK_Read(bytes, static_cast<int>(2 * n)) < static_cast<int>(2 * n)) {
            return -1;
        }
        for (U32 i = 0; i < n; ++i) {
            pData[i] = get16(bytes + 2 * static_cast<std::size_t>(i));
        }
    }
    if (LINK_Read(raw, 2) != 2 || get16(raw) != 0) {
        return -1;
    }
    return static_cast<int>(n);
}

int EMU_ReadConfigMemCopy(U8 *pData, U32 Off, U32 NumBytes) {
    if (pData == nullptr && NumBytes != 0) {
        MAIN_SetLastErrorCode(16); // a count without a buffer
        return 1;
    }
    if (Off >= EMU_CONFIG_BYTES || NumBytes > EMU_CONFIG_BYTES || Off + NumBytes > EMU_CONFIG_BYTES) {
        return 1;
    }
    if ((g.Caps[0] & FERROX_EMU_CAP_READ_CONFIG) == 0) {
        return 2;
    }
    if (NumBytes != 0) {
        std::memcpy(pData, g.ConfigMem + Off, NumBytes);
    }
    return 0;
}

int EMU_WriteConfigMemBytes(const U8 *pData, U32 Off, U32 NumBytes) {
    if (pData == nullptr && NumBytes != 0) {
        MAIN_SetLastErrorCode(16); // a count without a buffer
        return 1;
    }
    if (Off >= EMU_CONFIG_BYTES || NumBytes > EMU_CONFIG_BYTES || Off + NumBytes > EMU_CONFIG_BYTES) {
        return 1;
    }
    if (LINK_HasCommError() != 0) {
        return -1;
    }
    if (!configWritable()) {
        return 2;
    }
    if (NumBytes != 0) {
        std::memcpy(g.ConfigMem + Off, pData, NumBytes);
    }
    return EMU_StoreConfigMem(g.ConfigMem) == 0 ? 0 : -1;
}

int EMU_SetUSBAddr(U32 Addr) {
    if (Addr > 3) {
        return 1;
    }
    if (LINK_HasCommError() != 0) {
        return -1;
    }
    if (!configWritable()) {
        return 2;
    }
    g.ConfigMem[0] = static_cast<U8>(Addr);
    return EMU_StoreConfigMem(g.ConfigMem) == 0 ? 0 : -1;
}

int EMU_GetSN() {
    U8 config[EMU_SYSTEM_CONFIG_BYTES];
    if (EMU_ReadSystemConfig(config) != 0) {
        return -3;
    }
    const auto sn = static_cast<I32>(get32(config));
    return sn < 0 && g.ReportNegativeSN == 0 ? -1 : sn;
}

void EMU_SetReportNegativeSN(U8 On) {
    g.ReportNegativeSN = On != 0 ? 1 : 0;
}

int EMU_SwitchInterface(U8 Mode) {
    const U8 request[2] = {kCmdSwitchInterface, Mode};
    U8 answer = 0;
    return LINK_WriteRead(request, 2, &answer, 1) == 1 ? Mode : -1;
}

int EMU_SwitchSupply(U8 Command, U8 On, U8 OnlyRecord, U8 *pAnswer, FERROX_HW_STATUS *pBefore) {
    FERROX_HW_STATUS local = {};
    FERROX_HW_STATUS &before = pBefore != nullptr ? *pBefore : local;
    before = FERROX_HW_STATUS{};
    if (EMU_GetHWStatus(&before) != 0) {
        before = FERROX_HW_STATUS{};
        return -1;
    }
    const U8 request[2] = {Command, On};
    U8 answer = 0;
    if (LINK_WriteRead(request, 2, &answer, 1) != 1) {
        return -1;
    }
    if (pAnswer != nullptr) {
        *pAnswer = answer;
    }
    if (before.TargetPowerOn == 0 || On != 0 || before.VTarget <= EMU_POWER_OFF_MILLIVOLTS) {
        return 0;
    }
    int polls = 0;
    FERROX_HW_STATUS now = before;
    while (now.VTarget > EMU_POWER_OFF_MILLIVOLTS) {
        if (polls == kPowerPolls) {
            if (OnlyRecord == 0) {
                MAIN_ReportErrorOnce(
                    "Quidor Hardware problem !\nCould not power down target to enter Monitor-mode.");
            }
            return -2;
        }
        plat::sleepMs(kPollMs);
        ++polls;
        if (EMU_GetHWStatus(&now) != 0) {
            return -3;
        }
    }
    // Give the target as long again as the fall took, so that it is really
    // reset before it is powered again.
    plat::sleepMs(2 * kPollMs * static_cast<U32>(polls));
    return 0;
}

int EMU_PowerOffAtClose(FERROX_HW_STATUS *pBefore) {
    FERROX_HW_STATUS local = {};
    FERROX_HW_STATUS &before = pBefore != nullptr ? *pBefore : local;
    before = FERROX_HW_STATUS{};
    if (EMU_GetHWStatus(&before) != 0) {
        before = FERROX_HW_STATUS{};
        return -1;
    }
    const U8 request[1] = {kCmdPowerOffAtClose};
    U8 answer = 0;
    if (LINK_WriteRead(request, 1, &answer, 1) != 1) {
        return -1;
    }
    if (before.TargetPowerOn == 0 || before.VTarget <= EMU_POWER_OFF_MILLIVOLTS) {
        return 0;
    }
    FERROX_HW_STATUS now = before;
    for (int round = 0; round < kPowerPolls; ++round) {
        if (EMU_GetHWStatus(&now) != 0) {
            return -1;
        }
        if (now.VTarget <= EMU_POWER_OFF_MILLIVOLTS) {
            return 0;
        }
        plat::sleepMs(kPollMs);
    }
    MAIN_ReportErrorOnce("Quidor Hardware problem !\nCould not power down target when disconnecting.");
    return -1;
}

void EMU_ClearErrors(U8 ConnectionOpen) {
    LINK_ClearCommError();
    if (MAIN_IsErrorReported() != 0 && LINK_HasCommError() == 0) {
        MAIN_SetErrorReported(0);
        if (ConnectionOpen != 0) {
            EMU_ControlBuffer(EMU_KIND_SYSTEM_BUFFER, EMU_CMD_BUFFER_CLEAN);
        }
    }
}

void EMU_ResetState() {
    g = State{};
}
