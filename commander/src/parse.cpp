// Argument parsers of the commander.
#include "parse.h"

#include <strings.h>

bool IsWhiteSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

void SkipWhiteSpace(char **ppCursor) {
    while (IsWhiteSpace(**ppCursor)) {
        ++*ppCursor;
    }
}

void SkipSeparator(char **ppCursor) {
    if (**ppCursor != '\0') {
        ++*ppCursor;
    }
}

namespace {
int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}
} // namespace

const char *ParseHex(char **ppCursor, U32 *pValue) {
    SkipWhiteSpace(ppCursor);
    char *p = *ppCursor;
    if (p[0] == '0' && p[1] == 'x') {
        p += 2;
    }
    if (HexDigit(*p) < 0) {
        return "Expected a hex value";
    }
    U32 value = 0;
    for (int d = HexDigit(*p); d >= 0; d = HexDigit(*++p)) {
        value = (value << 4) | static_cast<U32>(d);
    }
    *pValue = value;
    *ppCursor = p;
    return nullptr;
}

const char *ParseDec(char **ppCursor, U32 *pValue) {
    SkipWhiteSpace(ppCursor);
    char *p = *ppCursor;
    if (*p < '0' || *p > '9') {
        return "Expected a dec value";
    }
    U32 value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10u + static_cast<U32>(*p - '0');
    }
    *pValue = value;
    *ppCursor = p;
    return nullptr;
}

const char *ParseOptionalHex(char **ppCursor, U32 *pValue) {
    SkipWhiteSpace(ppCursor);
    if (**ppCursor == '\0') {
        *pValue = 0;
        return nullptr;
    }
    return ParseHex(ppCursor, pValue);
}

const char *ParseText(char **ppCursor, char *pText, int Capacity) {
    SkipWhiteSpace(ppCursor);
    char *p = *ppCursor;
    const bool quoted = *p == '"';
    if (quoted) {
        ++p;
    }
    int n = 0;
    while (*p != '\0' && *p != '\r' && *p != '\n' && n < Capacity - 1) {
        if (*p == '"') {
            ++p;
            break;
        }
        if (!quoted && *p == ',') {
            break;
        }
        pText[n++] = *p++;
    }
    if (Capacity > 0) {
        pText[n] = '\0';
    }
    SkipWhiteSpace(&p);
    if (*p == ',') {
        ++p;
    }
    *ppCursor = p;
    return n == 0 ? "Expected a text" : nullptr;
}

const char *ParseMemType(char **ppCursor, int *pMemType) {
    char text[256];
    ParseText(ppCursor, text, sizeof text);
    static const char *const kNames[] = {"EROM", "EEPROM", "DATA", "ULP"};
    *pMemType = 0;
    for (int i = 0; i < 4; ++i) {
        if (strcasecmp(text, kNames[i]) == 0) {
            *pMemType = i + 1;
            return nullptr;
        }
    }
    return "Invalid memory type";
}

const char *MemTypeName(int MemType) {
    switch (MemType) {
    case MEM_TYPE_EROM:
        return "EROM";
    case MEM_TYPE_EEPROM:
        return "EEPROM";
    case MEM_TYPE_DATA:
        return "DATA";
    case MEM_TYPE_ULP:
        return "ULP";
    default:
        return "(undefined)";
    }
}
