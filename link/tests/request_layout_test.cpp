// Every request the library builds, pinned to literal bytes: the probe
// command bytes, the target command codes, the item types and fixed words,
// the access codes. The expected bytes are written out here, never taken
// from the library's own constants, so a wrong code in the library fails.
#include "capture.h"
#include "cpu_state.h"
#include "main_log.h"
#include "probe_script.h"
#include "scripted_probe.h"
#include "target_wire.h"

#include "plat/clock.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

using namespace ferrox_test;

namespace {

// "CD 06 00 ..." to bytes.
Bytes B(const std::string &text) {
    Bytes out;
    std::istringstream in(text);
    std::string byte;
    while (in >> byte) {
        out.push_back(static_cast<std::uint8_t>(std::stoul(byte, nullptr, 16)));
    }
    return out;
}
Bytes operator+(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The device status request, and the hardware status of a supplied target
// that is awake (clock line high).
const Bytes kDevStat = B("CD 06 00  00 01 01 00 FF FF 03 00  00 05 01 00");
const Bytes kHw = B("E4 0C 00 01 00 01 01 01");
const Bytes kHalted = B("03 D0 00 00");  // device status: valid, monitor, INIT
const Bytes kRunning = B("03 C0 00 00"); // device status: valid, running, INIT

// The halted guard on a target known to be in the monitor: the halt-state
// query, then the protection check.
void halted(ScriptedProbe &p) {
    p.expect(B("07"), kHw);
    p.expect(B("07"), kHw);
    p.expect(kDevStat, kHalted);
    p.expect(kDevStat, kHalted);
}
// One monitor entry pass that finds the target halted.
void entry(ScriptedProbe &p) {
    p.expect(B("07"), kHw);
    p.expect(B("07"), kHw);
    p.expect(B("07"), kHw);
    p.expect(kDevStat, kHalted);
}
void none(ScriptedProbe &) {}

// The eight words of a 128-bit code, each as its own one-word data item.
Bytes codeItems(const std::string &words) {
    Bytes out;
    std::istringstream in(words);
    std::string w;
    while (in >> w) {
        const unsigned v = static_cast<unsigned>(std::stoul(w, nullptr, 16));
        out = out +
              Bytes{0x00, 0x00, 0x01, 0x00, static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)};
    }
    return out;
}

Bytes page64() {
    Bytes b(64);
    for (std::size_t i = 0; i < b.size(); ++i) {
        b[i] = static_cast<std::uint8_t>(i + 1);
    }
    return b;
}

class RequestLayout : public OpenedWire {};

TEST_F(RequestLayout, EveryRequestTheLibraryBuilds) {
    struct Row {
        const char *what;
        std::function<void(ScriptedProbe &)> before; // exchanges that come first
        Bytes request;
        Bytes answer;
        std::function<void()> call;
        std::function<void(ScriptedProbe &)> after = none;
        U8 running = 0;
    };
    const Bytes pg = page64();
    const U8 two[2] = {0xAA, 0xBB};
    const U8 bits[2] = {0xAB, 0x00};
    const U32 ulp[1] = {0x11112222};
    TAMSA_REGISTERS regs{};
    U8 buf[64] = {};
    U32 items[4] = {};
    const std::string kIoCode = "5A0F C3E1 2B96 7D04 8E52 16BA A4C7 393D";
    const std::string kEraseCode = "E7A5 1C3B 9D40 62F1 0B8E D35C 47A2 F019";
    const std::vector<Row> rows = {
        // The target link.
        {"SetBaud 250 kHz", none, B("CD 04 00  00 01 01 00 01 BC 01 00"), B("00 00"),
         [] { FERROX_CPU_SetBaud(1); }},
        {"SendCommand", none, B("CD 04 00  00 01 01 00 34 12 03 00"), B("00 00"),
         [] { FERROX_CPU_SendCommand(0x1234, 3); }},
        {"SendData", none, B("CD 03 00  00 00 01 00 EF BE"), B("00 00"), [] { FERROX_CPU_SendData(0xBEEF); }},
        {"ClrWatchp", none, B("CD 04 00  00 01 01 00 00 B8 01 00"), B("00 00"),
         [] { FERROX_CPU_ClrWatchp(); }},
        {"Abort", none, B("CD 06 00  00 01 01 00 00 00 01 00  00 05 01 00"), B("05 00 00 00"),
         [] { FERROX_CPU_Abort(); }},
        {"GetStatus", none, kDevStat, kHalted, [] { FERROX_CPU_GetStatus(0); }},
        {"Go",
         [](ScriptedProbe &p) {
             p.expect(B("07"), kHw);
             p.expect(B("07"), kHw);
             p.expect(kDevStat, kHalted);
         },
         B("CD 06 00  00 01 01 00 01 00 01 00  00 05 01 00"), B("00 00 00 00"), [] { FERROX_CPU_Go(); }},
        {"Halt",
         [](ScriptedProbe &p) {
             p.expect(B("07"), kHw);
             p.expect(B("07"), kHw);
             p.expect(B("07"), kHw);
             p.expect(kDevStat, kRunning);
         },
         B("CD 06 00  00 01 01 00 00 3C 01 00  00 05 02 00"), B("01 00 34 12 00 00"),
         [] { FERROX_CPU_Halt(); }},
        {"Step", halted, B("CD 06 00  00 01 01 00 02 00 01 00  00 05 03 00"), B("00 00 02 00 10 00 00 00"),
         [] { FERROX_CPU_Step(); }},
        {"GetRegsAll", halted, B("CD 06 00  00 01 01 00 05 00 01 00  00 05 0C 00"),
         B("00 00 0A 00") + Bytes(20, 0) + B("00 00"), [&] { FERROX_CPU_GetRegsAll(&regs); }},
        {"SetReg", halted, B("CD 0A 00  00 01 01 00 06 00 01 00  00 00 02 00 03 00 45 23  00 05 01 00"),
         B("00 00 00 00"), [] { FERROX_CPU_SetReg(3, 0x12345); }},
        {"WriteBP", halted, B("CD 0A 00  00 01 01 00 07 00 01 00  00 00 02 00 41 00 00 02  00 05 01 00"),
         B("00 00 00 00"), [] { FERROX_CPU_WriteBP(0x200, 0x41); }},
        // The memories.
        {"GetData", halted, B("CD 0A 00  00 01 01 00 03 00 01 00  00 00 02 00 00 01 04 00  00 05 03 00"),
         B("00 00 11 22 33 44 00 00"), [&] { FERROX_CPU_GetData(0x100, 4, buf); }},
        {"SetData", halted,
         B("CD 0D 00  00 01 01 00 04 00 01 00  00 00 02 00 40 00 02 00  00 00 01 00 AA BB  00 05 01 00"),
         B("00 00 00 00"), [&] { FERROX_CPU_SetData(0x40, 2, two); }},
        {"GetEEPROM", halted, B("CD 0A 00  00 01 01 00 0D 00 01 00  00 00 02 00 10 00 02 00  00 05 03 00"),
         B("00 00 AA BB 00 00 00 00"), [&] { FERROX_CPU_GetEEPROM(0x10, 2, buf); }},
        {"ProgEEPROM", halted,
         B("CD 0D 00  00 01 01 00 0A 00 01 00  00 00 02 00 10 00 02 00  00 00 01 00 AA BB  00 05 01 00"),
         B("00 00 00 00"), [&] { FERROX_CPU_ProgEEPROM(0x10, 2, two); }},
        {"GetEROM", halted, B("CD 0A 00  00 01 01 00 0E 00 01 00  00 00 02 00 40 00 02 00  00 05 04 00"),
         B("00 00 11 22 33 44 00 00 00 00"), [&] { FERROX_CPU_GetEROM(0x80, 4, buf); }},
        {"ProgEROM word", halted,
         B("CD 0A 00  00 01 01 00 08 00 01 00  00 00 02 00 10 00 AA BB  00 05 01 00"), B("00 00 00 00"),
         [&] { FERROX_CPU_ProgEROM(0x20, 2, two); }},
        {"ProgEROM page", halted,
         B("CD 29 00  00 01 01 00 09 00 01 00  00 00 21 00 20 00") + pg + B("00 05 01 00"), B("00 00 00 00"),
         [&] { FERROX_CPU_ProgEROM(0x40, 64, pg.data()); }},
        {"GetULP", halted, B("CD 0A 00  00 01 01 00 0C 00 01 00  00 00 02 00 3E 00 01 00  00 05 03 00"),
         B("00 00 22 22 11 11 00 00"), [&] { FERROX_CPU_GetULP(0x3E, 1, items); }},
        {"ProgULP", halted,
         B("CD 0B 00  00 01 01 00 0B 00 01 00  00 00 03 00 3E 00 22 22 11 11  00 05 01 00"), B("00 00 00 00"),
         [&] { FERROX_CPU_ProgULP(0x3E, 1, ulp); }},
        {"ProgUlpBytes", halted,
         B("CD 0C 00  00 01 01 00 14 00 01 00  00 00 04 00 3E 00 06 00 BB AA DD CC  00 05 01 00"),
         B("00 00 00 00"), [] { FERROX_CPU_ProgUlpBytes(0x3E, 0x6, 0xAABBCCDD); }},
        {"CopyPage", none, B("CD 0A 00  00 01 01 00 19 00 01 00  00 00 02 00 01 00 02 00  00 05 01 00"),
         B("00 00 00 00"), [] { FERROX_CPU_CopyPage(1, 2); }},
        {"ProgPfBits", none,
         B("CD 0D 00  00 01 01 00 16 00 01 00  00 00 02 00 10 00 08 40  00 00 01 00 AB 00  00 05 01 00"),
         B("00 00 00 00"), [&] { FERROX_CPU_ProgPfBits(0x10, 4, 8, bits); }},
        {"SetBitField", none,
         B("CD 0B 00  00 01 01 00 18 00 01 00  00 00 03 00 20 00 43 00 05 00  00 05 01 00"), B("00 00 00 00"),
         [] { FERROX_CPU_SetBitField(0x20, 3, 4, 5); }},
        {"IoTest on", none, B("CD 1E 00  00 01 01 00 17 00 01 00") + codeItems(kIoCode) + B("00 05 01 00"),
         B("00 00 00 00"), [] { FERROX_CPU_IoTest(1); }},
        {"IoTest off", none, B("CD 05 00  00 00 01 00 5C 0E  00 05 01 00"), B("00 00 00 00"),
         [] { FERROX_CPU_IoTest(0); }},
        // Protection, erase, signatures and version items.
        {"Protect",
         [](ScriptedProbe &p) {
             entry(p);
             p.expect(kDevStat, kHalted);
         },
         B("CD 06 00  00 01 01 00 10 00 01 00  00 05 01 00"), B("00 00 00 00"), [] { FERROX_CPU_Protect(); },
         entry},
        {"Unprotect", entry,
         B("CD 1E 00  00 01 01 00 1A 00 01 00") + codeItems("EEFF CCDD AABB 8899 6677 4455 2233 0011") +
             B("00 05 01 00"),
         B("00 00 00 00"), [] { FERROX_CPU_Unprotect("00112233445566778899AABBCCDDEEFF"); }},
        {"Erase",
         [](ScriptedProbe &p) {
             entry(p);
             p.expect(B("F4 C0 D4 01 00"), B("00"));
         },
         B("CD 1E 00  00 01 01 00 11 00 01 00") + codeItems(kEraseCode) + B("00 05 01 00"), B("00 00 00 00"),
         [] { FERROX_CPU_Erase(); },
         [](ScriptedProbe &p) {
             entry(p);
             p.expect(B("F4 00 00 00 00"), B("00"));
         }},
        {"CalcSign", [](ScriptedProbe &p) { p.expect(B("F4 C0 27 09 00"), B("00")); },
         B("CD 09 00  00 01 01 00 12 00 01 00  00 00 01 00 05 00  00 05 03 00"), B("00 00 AB 00 EF CD 00 00"),
         [&] { FERROX_CPU_CalcSign(5, 4, buf); },
         [](ScriptedProbe &p) { p.expect(B("F4 00 00 00 00"), B("00")); }},
        {"GetVersion", none, B("CD 06 00  00 01 01 00 13 00 01 00  00 05 01 00"), B("00 00 00 00"),
         [] { FERROX_CPU_GetVersion(nullptr); }},
        // The monitor entry on an unsupplied target, and the reset.
        {"EnterMonitor",
         [](ScriptedProbe &p) {
             p.expect(B("07"), B("00 00 00 00 00 01 01 00"));
             p.expect(B("F1 02"), B("00"));
         },
         B("CD 0A 00  00 02 01 00 00 00 08 07 32 00  00 00 01 00 2D 6B  00 05 02 00"),
         B("00 00 03 00 00 01 00 00"), [] { FERROX_CPU_EnterMonitor(); },
         [](ScriptedProbe &p) { p.expect(kDevStat, kHalted); }},
        {"Reset",
         [](ScriptedProbe &p) {
             entry(p);
             p.expect(kDevStat, kHalted); // not protected
             p.expect(B("07"), kHw);      // the halt: halted already, asked twice
             for (int query = 0; query < 3; ++query) {
                 p.expect(B("07"), kHw);
                 p.expect(B("07"), kHw);
                 p.expect(kDevStat, kHalted);
             }
         },
         B("CD 0B 00  00 08 0F 00 08 00 00 00 08 07 32 00  00 00 01 00 2D 6B  00 05 03 00"),
         B("00 00 00 00 03 00 00 01 00 00"), [] { FERROX_CPU_Reset(); }},
        // The probe's own commands.
        {"GetHWVersion", none, B("F0"), B("F0 55 00 00"), [] { FERROX_EMU_GetHWVersion(); }},
        {"GetHWStatus", none, B("07"), kHw,
         [] {
             FERROX_HW_STATUS st;
             FERROX_EMU_GetHWStatus(&st);
         }},
        {"SwitchInterface", none, B("F3 02"), B("00"), [] { FERROX_EMU_SwitchInterface(2); }},
        {"SwitchPower",
         [](ScriptedProbe &p) {
             p.expect(B("07"), B("00 00 00 00 00 01 01 00"));
             p.expect(B("07"), B("00 00 00 00 00 01 01 00"));
         },
         B("F2 01"), B("00"), [] { FERROX_EMU_SwitchPower(1); }},
        {"ControlUserBuffer", none, B("D2 04"), B("05 00"), [] { FERROX_EMU_ControlUserBuffer(4, 0); }},
        {"ControlSystemBuffer", none, B("D3 01"), B("00 00"), [] { FERROX_EMU_ControlSystemBuffer(1, 0); }},
        {"ReadUserBuffer", none, B("D2 10 02 00"), B("00 00 00 00"),
         [] {
             U16 b[2];
             FERROX_EMU_ReadUserBuffer(2, b);
         }},
        {"GetSN", none, B("E6"), Bytes(256, 0xFF), [] { FERROX_EMU_GetSN(); }},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        MAIN_SetErrorReported(0);
        CPU_SetMonitorEntered(1);
        CPU_SetMonitorEntryFailed(0);
        CPU_SetTargetRunning(r.running);
        r.before(probe_);
        probe_.expect(r.request, r.answer);
        r.after(probe_);
        r.call();
        EXPECT_TRUE(probe_.scriptDone());
        if (!probe_.mismatches().empty()) {
            ADD_FAILURE() << probe_.mismatches().back();
            return; // the script is out of step from here on
        }
    }
}

} // namespace
