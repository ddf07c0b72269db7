// The probe's and the target's protocol as the simulator knows it: probe
// command bytes, the items of a target request, the target's command codes,
// status codes and device status word, and its access codes. Written for
// the simulator on its own, not taken from the library's headers, so that a
// wrong code on either side shows as a failing exchange.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace sim {

// Probe command bytes: the first byte of every request.
namespace probecmd {
inline constexpr std::uint8_t kFirmwareString = 0x01;
inline constexpr std::uint8_t kDownload = 0x06;
inline constexpr std::uint8_t kHwStatus = 0x07;
inline constexpr std::uint8_t kReadConfig = 0x8E;
inline constexpr std::uint8_t kWriteConfig = 0x8F;
inline constexpr std::uint8_t kTargetRequest = 0xCD;
inline constexpr std::uint8_t kUserBuffer = 0xD2;
inline constexpr std::uint8_t kSystemBuffer = 0xD3;
inline constexpr std::uint8_t kPowerOffAtClose = 0xDC;
inline constexpr std::uint8_t kReadSystemConfig = 0xE6;
inline constexpr std::uint8_t kWriteSystemConfig = 0xE7;
inline constexpr std::uint8_t kCaps = 0xE8;
inline constexpr std::uint8_t kExtendedCaps = 0xED;
inline constexpr std::uint8_t kHwVersion = 0xF0;
inline constexpr std::uint8_t kLinkSetup = 0xF1;
inline constexpr std::uint8_t kSwitchPower = 0xF2;
inline constexpr std::uint8_t kSwitchInterface = 0xF3;
inline constexpr std::uint8_t kAnswerTimeout = 0xF4;
inline constexpr std::uint8_t kSwitchPowerEx = 0xF7;
} // namespace probecmd

// Capability bits of the first capability word.
namespace caps {
inline constexpr std::uint32_t kGetHwVersion = 1u << 1;
inline constexpr std::uint32_t kHasPulldown = 1u << 2;
inline constexpr std::uint32_t kReadConfig = 1u << 4;
inline constexpr std::uint32_t kWriteConfig = 1u << 5;
inline constexpr std::uint32_t kSwitchPowerEx = 1u << 6;
inline constexpr std::uint32_t kExtended = 1u << 31;
} // namespace caps

// The configuration memory: byte 0 the USB address, byte 4 the supply
// voltage selection.
namespace config {
inline constexpr std::size_t kUsbAddress = 0;
inline constexpr std::size_t kVoltageSelection = 4;
// Values of the voltage selection byte.
inline constexpr std::uint8_t kSupply3V = 1;
inline constexpr std::uint8_t kSupply5V = 2;
} // namespace config

// Control codes of the user and system buffers.
namespace buffer {
inline constexpr std::uint8_t kStart = 0x01;
inline constexpr std::uint8_t kStop = 0x02;
inline constexpr std::uint8_t kClean = 0x03;
inline constexpr std::uint8_t kGetCount = 0x04;
inline constexpr std::uint8_t kRead = 0x10;
} // namespace buffer

// Item types of a target request (the high byte of an item's first word).
namespace item {
inline constexpr std::uint8_t kData = 0;
inline constexpr std::uint8_t kCommand = 1;
inline constexpr std::uint8_t kEntry = 2;
inline constexpr std::uint8_t kAnswer = 5;
inline constexpr std::uint8_t kResetEntry = 8;
} // namespace item

// The target's command codes.
namespace cmd {
inline constexpr std::uint16_t kAbort = 0x0000;
inline constexpr std::uint16_t kRun = 0x0001;
inline constexpr std::uint16_t kTrace = 0x0002;
inline constexpr std::uint16_t kGetData = 0x0003;
inline constexpr std::uint16_t kSetData = 0x0004;
inline constexpr std::uint16_t kGetRegs = 0x0005;
inline constexpr std::uint16_t kSetRegs = 0x0006;
inline constexpr std::uint16_t kSetBp = 0x0007;
inline constexpr std::uint16_t kProgPfWord = 0x0008;
inline constexpr std::uint16_t kProgPfPage = 0x0009;
inline constexpr std::uint16_t kProgEeBytes = 0x000A;
inline constexpr std::uint16_t kProgUlpPage = 0x000B;
inline constexpr std::uint16_t kGetUlpPages = 0x000C;
inline constexpr std::uint16_t kGetEeBytes = 0x000D;
inline constexpr std::uint16_t kGetPfWords = 0x000E;
inline constexpr std::uint16_t kReset = 0x000F;
inline constexpr std::uint16_t kProtect = 0x0010;
inline constexpr std::uint16_t kErase = 0x0011;
inline constexpr std::uint16_t kCalcSign = 0x0012;
inline constexpr std::uint16_t kGetVersion = 0x0013;
inline constexpr std::uint16_t kProgUlpBytes = 0x0014;
inline constexpr std::uint16_t kProgPfBits = 0x0016;
inline constexpr std::uint16_t kIoTest = 0x0017;
inline constexpr std::uint16_t kSetBitField = 0x0018;
inline constexpr std::uint16_t kCopyPage = 0x0019;
inline constexpr std::uint16_t kUnprotect = 0x001A;
inline constexpr std::uint16_t kStop = 0x3C00;
inline constexpr std::uint16_t kClrWatchp = 0xB800;
inline constexpr std::uint16_t kSetBaudRate = 0xBC00; // + the rate index 0 or 1
inline constexpr std::uint16_t kGetDevStat = 0xFFFF;
// Mode bits of a command item: the command goes out, an answer comes back.
inline constexpr std::uint16_t kModeTx = 1u << 0;
inline constexpr std::uint16_t kModeRx = 1u << 1;
} // namespace cmd

// The target's status codes.
namespace status {
inline constexpr std::uint16_t kOk = 0x0000;
inline constexpr std::uint16_t kStop = 0x0001;
inline constexpr std::uint16_t kHwbpHit = 0x0002;
inline constexpr std::uint16_t kBootMonitor = 0x0003;
inline constexpr std::uint16_t kCmdError = 0x0004;
inline constexpr std::uint16_t kAbort = 0x0005;
inline constexpr std::uint16_t kParameter = 0x0006;
inline constexpr std::uint16_t kNvError = 0x0007;
inline constexpr std::uint16_t kSwbpHit = 0x0008;
} // namespace status

// The device status word.
namespace devstat {
inline constexpr std::uint16_t kModeMask = 0x0007;
inline constexpr std::uint16_t kModeInit = 3;
inline constexpr std::uint16_t kModeProtected = 4;
inline constexpr unsigned kWatchpShift = 6;
inline constexpr std::uint16_t kMonitor = 1u << 12;
inline constexpr std::uint16_t kValid = 0xC000;
} // namespace devstat

// The target ROM's access codes: eight words after C_ERASE and C_IO_TEST,
// and the one word that leaves the I/O test mode.
inline constexpr std::array<std::uint16_t, 8> kEraseAccessCode = {0xE7A5, 0x1C3B, 0x9D40, 0x62F1,
                                                                  0x0B8E, 0xD35C, 0x47A2, 0xF019};
inline constexpr std::array<std::uint16_t, 8> kIoTestAccessCode = {0x5A0F, 0xC3E1, 0x2B96, 0x7D04,
                                                                   0x8E52, 0x16BA, 0xA4C7, 0x393D};
inline constexpr std::uint16_t kIoTestExitCode = 0x0E5C;

} // namespace sim
