// Arbitrary contents of the state folder's files: the first byte picks the
// file, the rest is its content.
#include "sim/state_store.h"

#include "plat/clock.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 1 || size > 70000) {
        return 0;
    }
    static const char *const kFiles[] = {"config.bin", "system.bin", "data.bin",   "eeprom.bin",
                                         "erom.bin",   "ulp.bin",    "device.bin", "firmware.bin"};
    static const std::string dir =
        (std::filesystem::temp_directory_path() / ("fuzz_sim_state_" + std::to_string(::getpid()))).string();
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    const std::string path = dir + "/" + kFiles[data[0] % 8];
    if (std::FILE *f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data + 1, 1, size - 1, f);
        std::fclose(f);
    }
    plat::ScopedVirtualClock clock;
    sim::Probe probe(*clock);
    std::string error;
    if (!sim::loadState(probe, dir, error) && error.empty()) {
        __builtin_trap(); // a refusal always says why
    }
    const std::uint8_t hw[] = {0x01, 0x07};
    probe.write(hw, sizeof hw);
    if (probe.available() != 2 + 112 + 8) {
        __builtin_trap();
    }
    std::filesystem::remove_all(dir);
    return 0;
}
