#include "sim/cli.h"

#include "sim/tcp_server.h"

#include <cstdlib>

namespace sim {

namespace {

bool parseNumber(const std::string &text, long long min, long long max, long long &value) {
    if (text.empty() || text.size() > 20) {
        return false;
    }
    char *end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 0);
    if (end == nullptr || *end != '\0' || v < min || v > max) {
        return false;
    }
    value = v;
    return true;
}

bool isHexKey(const std::string &text) {
    if (text.size() != 32) {
        return false;
    }
    for (char c : text) {
        const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!hex) {
            return false;
        }
    }
    return true;
}

} // namespace

std::string usageText() {
    return "usage: quidorsim [--listen HOST:PORT] [--state DIR] [--trace] [options]\n"
           "\n"
           "A virtual Quidor probe with a Tamsa target behind it, served over the\n"
           "probe server's TCP/IP frames to one client at a time.\n"
           "\n"
           "  --listen HOST:PORT     address to serve (default 127.0.0.1:5151; port 0 picks a free one)\n"
           "  --state DIR            keep memories, configuration, serial number and firmware in DIR\n"
           "  --trace                print every request and answer in hex\n"
           "  --help                 this text\n"
           "  --version              the version and the date this program was compiled\n"
           "\n"
           "probe:\n"
           "  --hw-version N         hardware version (default 22000; below 22000 no voltage selection)\n"
           "  --extended-caps        capability bit 31 and the 32-byte extended capabilities\n"
           "  --short-fw-string      answer the firmware string with 37 bytes instead of 112\n"
           "  --firmware KIND        initial firmware: library (default), older, foreign\n"
           "  --serial N             serial number (default: not programmed)\n"
           "  --buffer-text TEXT     buffers stream TEXT, one character per item (default: a counter)\n"
           "\n"
           "target:\n"
           "  --self-powered         the target has its own supply\n"
           "  --no-target            no target behind the probe\n"
           "  --protected            the target starts protected\n"
           "  --unprotect-key HEX    the 32-digit unprotect key (default 00112233445566778899AABBCCDDEEFF)\n"
           "  --steps-per-ms N       instructions a running target executes per millisecond (default 1)\n"
           "\n"
           "faults:\n"
           "  --fault KIND           short, late, nothing or drop: applied to answers (see below)\n"
           "  --fault-command BYTE   only answers to this probe command (e.g. 0xCD)\n"
           "  --fault-skip N         let N matching answers pass first (default 0)\n"
           "  --fault-count N        hit N answers (default 1; -1 every one)\n"
           "  --late-ms N            delay of a late answer (default 6000)\n"
           "  --refuse-update        refuse firmware downloads\n"
           "  --brown-out N          N EEPROM/EROM reads report a brown-out (-1 every one)\n"
           "  --program-failure N    N programming commands fail (-1 every one)\n";
}

bool parseCommandLine(const std::vector<std::string> &args, CliOptions &o, std::string &error) {
    o.fault.lateMs = 6000;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        const auto value = [&](std::string &out) {
            if (i + 1 >= args.size()) {
                error = "missing value after " + a;
                return false;
            }
            out = args[++i];
            return true;
        };
        const auto number = [&](long long min, long long max, long long &out) {
            std::string text;
            if (!value(text)) {
                return false;
            }
            if (!parseNumber(text, min, max, out)) {
                error = "bad value for ";
                error += a;
                error += ": ";
                error += text;
                return false;
            }
            return true;
        };
        std::string text;
        long long n = 0;
        if (a == "--help" || a == "-h") {
            o.help = true;
        } else if (a == "--version") {
            o.version = true;
        } else if (a == "--listen") {
            if (!value(text)) {
                return false;
            }
            if (!parseHostPort(text, o.host, o.port)) {
                error = "bad address for --listen (HOST:PORT, IPv4): " + text;
                return false;
            }
        } else if (a == "--state") {
            if (!value(o.stateDir)) {
                return false;
            }
        } else if (a == "--trace") {
            o.trace = true;
        } else if (a == "--hw-version") {
            if (!number(0, 0xFFFFFFFFLL, n)) {
                return false;
            }
            o.probe.hwVersion = static_cast<std::uint32_t>(n);
        } else if (a == "--extended-caps") {
            o.probe.extendedCaps = true;
        } else if (a == "--short-fw-string") {
            o.probe.shortFirmwareString = true;
        } else if (a == "--firmware") {
            if (!value(text)) {
                return false;
            }
            if (text == "library") {
                o.probe.firmware = ProbeOptions::Firmware::Library;
            } else if (text == "older") {
                o.probe.firmware = ProbeOptions::Firmware::Older;
            } else if (text == "foreign") {
                o.probe.firmware = ProbeOptions::Firmware::Foreign;
            } else {
                error = "bad value for --firmware (library, older, foreign): " + text;
                return false;
            }
        } else if (a == "--serial") {
            if (!number(0, 0xFFFFFFFFLL, n)) {
                return false;
            }
            o.probe.serialNumber = static_cast<std::uint32_t>(n);
        } else if (a == "--buffer-text") {
            if (!value(o.probe.bufferText)) {
                return false;
            }
        } else if (a == "--self-powered") {
            o.probe.selfPowered = true;
        } else if (a == "--no-target") {
            o.probe.targetPresent = false;
        } else if (a == "--protected") {
            o.probe.targetProtected = true;
        } else if (a == "--unprotect-key") {
            if (!value(text)) {
                return false;
            }
            if (!isHexKey(text)) {
                error = "bad value for --unprotect-key (32 hex digits): " + text;
                return false;
            }
            o.probe.target.unprotectKey = text;
        } else if (a == "--steps-per-ms") {
            if (!number(0, 1000000, n)) {
                return false;
            }
            o.probe.stepsPerMs = static_cast<std::uint32_t>(n);
        } else if (a == "--fault") {
            if (!value(text)) {
                return false;
            }
            if (text == "short") {
                o.fault.kind = FaultKind::Short;
            } else if (text == "late") {
                o.fault.kind = FaultKind::Late;
            } else if (text == "nothing") {
                o.fault.kind = FaultKind::Nothing;
            } else if (text == "drop") {
                o.fault.kind = FaultKind::Drop;
            } else {
                error = "bad value for --fault (short, late, nothing, drop): " + text;
                return false;
            }
        } else if (a == "--fault-command") {
            if (!number(0, 255, n)) {
                return false;
            }
            o.fault.command = static_cast<int>(n);
        } else if (a == "--fault-skip") {
            if (!number(0, 1000000000, n)) {
                return false;
            }
            o.fault.skip = static_cast<int>(n);
        } else if (a == "--fault-count") {
            if (!number(-1, 1000000000, n)) {
                return false;
            }
            o.fault.count = static_cast<int>(n);
        } else if (a == "--late-ms") {
            if (!number(0, 3600000, n)) {
                return false;
            }
            o.fault.lateMs = static_cast<std::uint32_t>(n);
        } else if (a == "--refuse-update") {
            o.refuseUpdate = true;
        } else if (a == "--brown-out") {
            if (!number(-1, 1000000000, n)) {
                return false;
            }
            o.brownOuts = static_cast<int>(n);
        } else if (a == "--program-failure") {
            if (!number(-1, 1000000000, n)) {
                return false;
            }
            o.programFailures = static_cast<int>(n);
        } else {
            error = "unknown option: " + a;
            return false;
        }
    }
    return true;
}

} // namespace sim
