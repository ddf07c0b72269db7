// Pipe names as create requests carry them: any wide text. The number is
// the run of digits that ends at the last digit, refused from 6 on.
#include "quidor.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    std::vector<WCHAR> name;
    for (std::size_t i = 0; i + 1 < size && name.size() < 30000; i += 2) {
        name.push_back(static_cast<WCHAR>(data[i] | data[i + 1] << 8));
    }
    UNICODE_STRING text;
    text.Buffer = name.data();
    text.Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
    text.MaximumLength = text.Length;
    const LONG pipe = QUIDOR_ParsePipeNumber(&text);

    // Reference: the same rule, read from the front of the last run.
    std::size_t end = name.size();
    while (end > 0 && !(name[end - 1] >= L'0' && name[end - 1] <= L'9')) {
        --end;
    }
    std::size_t start = end;
    while (start > 0 && name[start - 1] >= L'0' && name[start - 1] <= L'9') {
        --start;
    }
    LONG expected = end == 0 ? -1 : 0;
    for (std::size_t i = start; i < end && expected >= 0; ++i) {
        expected = expected * 10 + static_cast<LONG>(name[i] - L'0');
        if (expected >= QUIDOR_MAX_PIPES) {
            expected = -1;
        }
    }
    if (pipe != expected) {
        std::abort();
    }
    return 0;
}
