#include "sim/state_store.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

namespace sim {

namespace {

namespace fs = std::filesystem;

using Bytes = std::vector<std::uint8_t>;

// 0: missing, 1: read, -1: failed.
int readFile(const fs::path &path, Bytes &out) {
    std::error_code ec;
    if (!fs::exists(path, ec)) {
        return 0;
    }
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return -1;
    }
    out.clear();
    std::uint8_t chunk[4096];
    std::size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
        out.insert(out.end(), chunk, chunk + n);
        if (out.size() > (1u << 20)) {
            break; // no state file is this large; the size check refuses it
        }
    }
    const bool failed = std::ferror(f) != 0;
    (void)std::fclose(f);
    return failed ? -1 : 1;
}

bool writeFile(const fs::path &path, const Bytes &data, std::string &error) {
    const fs::path tmp = path.string() + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
        if (!out) {
            error = "cannot write " + tmp.string();
            return false;
        }
    }
    std::error_code ec;
    fs::rename(tmp, path, ec);
    if (ec) {
        error = "cannot replace " + path.string() + ": " + ec.message();
        return false;
    }
    return true;
}

template <typename T> Bytes toBytes(const std::vector<T> &v) {
    Bytes out;
    out.reserve(v.size() * sizeof(T));
    for (T x : v) {
        for (std::size_t b = 0; b < sizeof(T); ++b) {
            out.push_back(static_cast<std::uint8_t>(x >> (8 * b)));
        }
    }
    return out;
}

template <typename T> void fromBytes(const Bytes &in, std::vector<T> &v) {
    for (std::size_t i = 0; i < v.size(); ++i) {
        T x = 0;
        for (std::size_t b = 0; b < sizeof(T); ++b) {
            x = static_cast<T>(x | static_cast<T>(in[i * sizeof(T) + b]) << (8 * b));
        }
        v[i] = x;
    }
}

struct Loaded {
    Bytes config, system, data, eeprom, erom, ulp, device, firmware;
};

bool take(const fs::path &dir, const char *name, std::size_t size, Bytes &out, std::string &error) {
    const int r = readFile(dir / name, out);
    if (r < 0) {
        error = "cannot read " + (dir / name).string();
        return false;
    }
    if (r == 1 && size != 0 && out.size() != size) {
        error = (dir / name).string() + ": expected " + std::to_string(size) + " bytes, found " +
                std::to_string(out.size());
        return false;
    }
    return true;
}

} // namespace

bool loadState(Probe &probe, const std::string &dirText, std::string &error) {
    const fs::path dir(dirText);
    Target &t = probe.target();
    Loaded l;
    // Everything is checked before anything is taken.
    if (!take(dir, "config.bin", Probe::kConfigBytes, l.config, error) ||
        !take(dir, "system.bin", Probe::kConfigBytes, l.system, error) ||
        !take(dir, "data.bin", Target::kDataBytes, l.data, error) ||
        !take(dir, "eeprom.bin", Target::kEepromBytes, l.eeprom, error) ||
        !take(dir, "erom.bin", Target::kEromWords * 2, l.erom, error) ||
        !take(dir, "ulp.bin", Target::kUlpPages * 4, l.ulp, error) ||
        !take(dir, "device.bin", 1, l.device, error) || !take(dir, "firmware.bin", 0, l.firmware, error)) {
        return false;
    }
    if (l.firmware.size() > 0xFFFF) {
        error = (dir / "firmware.bin").string() + ": larger than a probe image can be";
        return false;
    }
    if (!l.config.empty()) {
        std::copy(l.config.begin(), l.config.end(), probe.configMemory().begin());
    }
    if (!l.system.empty()) {
        std::copy(l.system.begin(), l.system.end(), probe.systemConfig().begin());
    }
    if (!l.data.empty()) {
        t.dataMemory() = l.data;
    }
    if (!l.eeprom.empty()) {
        t.eeprom() = l.eeprom;
    }
    if (!l.erom.empty()) {
        fromBytes(l.erom, t.erom());
    }
    if (!l.ulp.empty()) {
        fromBytes(l.ulp, t.ulp());
    }
    if (!l.device.empty()) {
        t.setProtected(l.device[0] == 4);
    }
    if (!l.firmware.empty()) {
        probe.loadFirmwareImage(l.firmware);
    }
    return true;
}

bool saveState(Probe &probe, const std::string &dirText, std::string &error) {
    const fs::path dir(dirText);
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
        error = "cannot create " + dirText + ": " + ec.message();
        return false;
    }
    const Target &t = probe.target();
    const Bytes config(probe.configMemory().begin(), probe.configMemory().end());
    const Bytes system(probe.systemConfig().begin(), probe.systemConfig().end());
    bool ok = writeFile(dir / "config.bin", config, error) && writeFile(dir / "system.bin", system, error) &&
              writeFile(dir / "data.bin", t.dataMemory(), error) &&
              writeFile(dir / "eeprom.bin", t.eeprom(), error) &&
              writeFile(dir / "erom.bin", toBytes(t.erom()), error) &&
              writeFile(dir / "ulp.bin", toBytes(t.ulp()), error) &&
              writeFile(dir / "device.bin", Bytes{t.deviceMode()}, error);
    if (ok && !probe.firmwareImage().empty()) {
        ok = writeFile(dir / "firmware.bin", probe.firmwareImage(), error);
    }
    return ok;
}

} // namespace sim
