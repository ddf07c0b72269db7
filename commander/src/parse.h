// Argument parsers of the commander. Each skips leading white space (space,
// tab, CR, LF), moves the cursor past what it took and returns nullptr, or
// an error text (which the commands never print: they show their own
// syntax lines). A failed parse leaves the cursor after the white space.
#pragma once

#include "Ferrox.h"

// Hexadecimal: optional "0x" (lower-case x), then digits shifted in from the
// right (digits beyond eight push the oldest out). Consumes no delimiter.
const char *ParseHex(char **ppCursor, U32 *pValue);
// Decimal digits, value * 10 + digit in 32 bits.
const char *ParseDec(char **ppCursor, U32 *pValue);
// Hexadecimal, but an empty remainder gives 0 without error.
const char *ParseOptionalHex(char **ppCursor, U32 *pValue);
// Text up to the end of the line, CR, LF, a closing quote (consumed) or,
// unquoted, a comma; at most Capacity - 1 characters. Then white space and
// one comma are skipped.
const char *ParseText(char **ppCursor, char *pText, int Capacity);
// A memory keyword ("EROM", "EEPROM", "DATA", "ULP", any case) as its
// MEM_TYPE_ code; *pMemType is 0 when the text names none.
const char *ParseMemType(char **ppCursor, int *pMemType);

// The one character between two numbers, whatever it is (never the end).
void SkipSeparator(char **ppCursor);
// Space, tab, CR, LF.
void SkipWhiteSpace(char **ppCursor);
bool IsWhiteSpace(char c);

// Printed name of a memory type code: "EROM", "EEPROM", "DATA", "ULP",
// "(undefined)".
const char *MemTypeName(int MemType);
