// The bridge's own parsing: file names from Java and the library's texts
// (probe firmware text, file names, error texts) on their way to Java.
#include "ferroxjni_text.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

void check(bool ok) {
    if (!ok) {
        __builtin_trap();
    }
}

// Well-formed UTF-8 of a decoded text (surrogates as three bytes each), to
// compare with the input where that was well-formed.
std::string encode(const std::u16string &text) {
    std::string out;
    for (const char16_t u : text) {
        if (u < 0x80 && u != 0) {
            out.push_back(static_cast<char>(u));
        } else if (u < 0x800) {
            out.push_back(static_cast<char>(0xC0 | u >> 6));
            out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xE0 | u >> 12));
            out.push_back(static_cast<char>(0x80 | (u >> 6 & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
        }
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    const char *s = text.c_str(); // up to the first NUL, as the bridge sees it
    const std::size_t len = std::strlen(s);

    const std::u16string decoded = JNI_Utf8ToUtf16(s);
    check(decoded.size() <= len);
    bool replaced = false;
    for (const char16_t u : decoded) {
        replaced = replaced || u == u'\uFFFD';
    }
    if (!replaced) {
        // Nothing replaced: the text was Java's (modified) UTF-8 and decodes
        // back to the same characters, up to four-byte forms.
        check(JNI_Utf8ToUtf16(encode(decoded).c_str()) == decoded);
    }

    char name[JNI_FILENAME_SIZE];
    int kind = -1;
    if (JNI_SettleFilename(s, name, sizeof name, &kind) == 0) {
        const std::size_t n = std::strlen(name);
        check(n < sizeof name);
        check(std::strncmp(name, s, len) == 0);
        check(kind == JNI_FILE_HEX || kind == JNI_FILE_BIN);
        check(n == len || (n == len + 4 && std::strchr(s, '.') == nullptr && kind == JNI_FILE_HEX));
    } else {
        check(name[0] == '\0' && len + 4 >= sizeof name);
    }
    return 0;
}
