// Builds the probe firmware image from its source: writes the data file and
// the C++ source that compiles it into the library. Any error in the source
// fails the build.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

[[noreturn]] void fail(const std::string &where, const std::string &what) {
    std::cerr << where << ": " << what << "\n";
    std::exit(1);
}

unsigned long number(const std::string &where, const std::string &text, int base, unsigned long max) {
    if (text.empty()) {
        fail(where, "number expected");
    }
    std::size_t used = 0;
    unsigned long v = 0;
    try {
        v = std::stoul(text, &used, base);
    } catch (const std::exception &) {
        fail(where, "bad number '" + text + "'");
    }
    if (used != text.size() || v > max) {
        fail(where, "bad number '" + text + "'");
    }
    return v;
}

std::uint16_t crcKermit(const std::uint8_t *p, std::size_t n) {
    std::uint16_t crc = 0;
    for (std::size_t i = 0; i < n; ++i) {
        crc = static_cast<std::uint16_t>(crc ^ p[i]);
        for (int b = 0; b < 8; ++b) {
            crc = (crc & 1u) != 0 ? static_cast<std::uint16_t>((crc >> 1) ^ 0x8408u)
                                  : static_cast<std::uint16_t>(crc >> 1);
        }
    }
    return crc;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 4) {
        std::cerr << "usage: fwgen SOURCE IMAGE.bin IMAGE.cpp\n";
        return 2;
    }
    std::ifstream in(argv[1]);
    if (!in) {
        fail(argv[1], "cannot open");
    }
    std::vector<std::uint8_t> image;
    std::vector<bool> written;
    enum class Crc { None, First, Last } crc = Crc::None;
    std::string line;
    int lineNo = 0;
    while (std::getline(in, line)) {
        ++lineNo;
        const std::string where = std::string(argv[1]) + ":" + std::to_string(lineNo);
        if (const auto hash = line.find('#'); hash != std::string::npos && line.find('"') > hash) {
            line.erase(hash);
        }
        std::istringstream words(line);
        std::string op;
        if (!(words >> op)) {
            continue;
        }
        if (op == "size") {
            std::string n;
            words >> n;
            image.assign(number(where, n, 10, 0xFFFF), 0);
            written.assign(image.size(), false);
            continue;
        }
        if (image.empty()) {
            fail(where, "size must come first");
        }
        if (op == "fill") {
            std::string b;
            words >> b;
            const auto v = static_cast<std::uint8_t>(number(where, b, 16, 0xFF));
            for (std::size_t i = 0; i < image.size(); ++i) {
                if (!written[i]) {
                    image[i] = v;
                }
            }
        } else if (op == "crc") {
            std::string at;
            words >> at;
            crc = at == "first"  ? Crc::First
                  : at == "last" ? Crc::Last
                                 : (fail(where, "crc first|last"), Crc::None);
        } else if (op == "at") {
            std::string off, kind;
            words >> off >> kind;
            std::size_t pos = number(where, off, 16, image.size() - 1);
            std::vector<std::uint8_t> bytes;
            if (kind == "text") {
                const auto q1 = line.find('"');
                const auto q2 = line.rfind('"');
                if (q1 == std::string::npos || q2 == q1) {
                    fail(where, "quoted text expected");
                }
                bytes.assign(line.begin() + static_cast<std::ptrdiff_t>(q1 + 1),
                             line.begin() + static_cast<std::ptrdiff_t>(q2));
                bytes.push_back(0);
            } else if (kind == "u16" || kind == "u32") {
                std::string v;
                words >> v;
                const int size = kind == "u16" ? 2 : 4;
                const unsigned long value = number(where, v, 16, size == 2 ? 0xFFFFul : 0xFFFFFFFFul);
                for (int i = 0; i < size; ++i) {
                    bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
                }
            } else if (kind == "bytes") {
                std::string b;
                while (words >> b) {
                    bytes.push_back(static_cast<std::uint8_t>(number(where, b, 16, 0xFF)));
                }
            } else {
                fail(where, "unknown kind '" + kind + "'");
            }
            if (pos + bytes.size() > image.size()) {
                fail(where, "past the end of the image");
            }
            for (const std::uint8_t b : bytes) {
                if (written[pos]) {
                    fail(where, "byte written twice");
                }
                image[pos] = b;
                written[pos++] = true;
            }
        } else {
            fail(where, "unknown directive '" + op + "'");
        }
    }
    if (image.size() < 2) {
        fail(argv[1], "no image");
    }
    if (crc != Crc::None) {
        const bool first = crc == Crc::First;
        const std::uint16_t v =
            first ? crcKermit(image.data() + 2, image.size() - 2) : crcKermit(image.data(), image.size() - 2);
        std::uint8_t *at = first ? image.data() : image.data() + image.size() - 2;
        at[0] = static_cast<std::uint8_t>(v);
        at[1] = static_cast<std::uint8_t>(v >> 8);
    }

    std::ofstream bin(argv[2], std::ios::binary);
    bin.write(reinterpret_cast<const char *>(image.data()), static_cast<std::streamsize>(image.size()));
    std::ofstream cpp(argv[3]);
    cpp << "// Generated from quidor_fw.fws by fwgen; do not edit.\n#include \"firmware.h\"\n\n"
        << "static_assert(" << image.size() << " == FW_IMAGE_SIZE, \"image size\");\n\n"
        << "U8 FirmwareImage[FW_IMAGE_SIZE] = {\n";
    for (std::size_t i = 0; i < image.size(); ++i) {
        char b[8];
        std::snprintf(b, sizeof b, "0x%02X,", image[i]);
        cpp << (i % 16 == 0 ? "    " : " ") << b << (i % 16 == 15 ? "\n" : "");
    }
    cpp << "};\n";
    if (!bin || !cpp) {
        fail(argv[2], "cannot write");
    }
    return 0;
}
