#include "ferroxjni_text.h"

#include <cstring>

namespace {

const char kHexExtension[] = ".Hex";

// The four characters at p equal ".HEX" without regard to case.
bool _IsHexExtension(const char *p) {
    const char upper[] = ".HEX";
    for (int i = 0; i < 4; ++i) {
        char c = p[i];
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
        if (c != upper[i]) {
            return false;
        }
    }
    return true;
}

// Number of continuation bytes after a lead byte, or -1 for a byte that
// cannot start a sequence.
int _TrailCount(unsigned char lead) {
    if (lead < 0x80) {
        return 0;
    }
    if (lead >= 0xC0 && lead < 0xE0) {
        return 1;
    }
    if (lead >= 0xE0 && lead < 0xF0) {
        return 2;
    }
    if (lead >= 0xF0 && lead < 0xF5) {
        return 3;
    }
    return -1;
}

} // namespace

int JNI_SettleFilename(const char *sText, char *pName, std::size_t NameSize, int *pFileKind) {
    if (NameSize == 0) {
        return -1;
    }
    pName[0] = '\0';
    const std::size_t len = sText != nullptr ? std::strlen(sText) : 0;
    const char *dot = sText != nullptr ? std::strrchr(sText, '.') : nullptr;
    const std::size_t total = dot == nullptr ? len + sizeof kHexExtension - 1 : len;
    if (total >= NameSize) {
        return -1;
    }
    if (len > 0) {
        std::memcpy(pName, sText, len);
    }
    pName[len] = '\0';
    if (dot == nullptr) {
        std::memcpy(pName + len, kHexExtension, sizeof kHexExtension);
        *pFileKind = JNI_FILE_HEX;
    } else {
        *pFileKind = _IsHexExtension(dot) ? JNI_FILE_HEX : JNI_FILE_BIN;
    }
    return 0;
}

std::u16string JNI_Utf8ToUtf16(const char *sText) {
    std::u16string out;
    if (sText == nullptr) {
        return out;
    }
    const auto *p = reinterpret_cast<const unsigned char *>(sText);
    while (*p != 0) {
        const int trail = _TrailCount(*p);
        if (trail == 0) {
            out.push_back(*p++);
            continue;
        }
        char32_t cp = 0;
        bool valid = trail > 0;
        if (valid) {
            cp = static_cast<char32_t>(*p & (0x3F >> trail));
            for (int i = 1; i <= trail; ++i) {
                if ((p[i] & 0xC0) != 0x80) {
                    valid = false;
                    break;
                }
                cp = cp << 6 | static_cast<char32_t>(p[i] & 0x3F);
            }
        }
        // Shortest forms only, except the two-byte NUL of Java's modified
        // UTF-8. Encoded surrogates pass as they are: a name that Java handed
        // out in modified UTF-8 comes back as the same string.
        static const char32_t kLowest[] = {0, 0x80, 0x800, 0x10000};
        if (valid && cp < kLowest[trail] && !(trail == 1 && cp == 0)) {
            valid = false;
        }
        if (valid && cp > 0x10FFFF) {
            valid = false;
        }
        if (!valid) {
            out.push_back(u'\uFFFD');
            ++p;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        p += trail + 1;
    }
    return out;
}
