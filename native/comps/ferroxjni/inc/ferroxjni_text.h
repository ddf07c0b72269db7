/* Text handling of the Java bridge that needs no Java VM: the file names of
 * upload and download, and the library's texts on their way to Java
 * strings. */
#ifndef FERROXJNI_TEXT_H
#define FERROXJNI_TEXT_H

#include <cstddef>
#include <string>

/* Size of the file name buffer of upload and download. */
#define JNI_FILENAME_SIZE 512

/* File kinds of upload and download. */
#define JNI_FILE_HEX 0
#define JNI_FILE_BIN 1

/* Copies sText into pName (NameSize bytes) and settles the file kind: the
 * last "." of the whole name starts the extension; without any ".", ".Hex"
 * is appended and the file is a HEX file; otherwise it is a HEX file when the
 * extension begins with ".HEX" in any case, and a binary file otherwise.
 * Returns 0, or -1 when the name (with an appended ".Hex") and its NUL do not
 * fit; pName is then an empty text. */
int JNI_SettleFilename(const char *sText, char *pName, std::size_t NameSize, int *pFileKind);

/* Decodes a text of the link library (UTF-8, also the modified UTF-8 that
 * Java hands out) into UTF-16 for a Java string. Byte sequences that are not
 * UTF-8 become U+FFFD each, so that any text the probe or a file name brings
 * makes a valid string. */
std::u16string JNI_Utf8ToUtf16(const char *sText);

#endif /* FERROXJNI_TEXT_H */
