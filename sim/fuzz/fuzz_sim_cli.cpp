// Arbitrary command lines for quidorsim: arguments separated by NUL bytes.
#include "sim/cli.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size > 4096) {
        return 0;
    }
    std::vector<std::string> args(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            args.emplace_back();
        } else {
            args.back().push_back(static_cast<char>(data[i]));
        }
    }
    sim::CliOptions options;
    std::string error;
    const bool ok = sim::parseCommandLine(args, options, error);
    if (ok == !error.empty()) {
        __builtin_trap(); // a refusal always says why, an acceptance never complains
    }
    return 0;
}
