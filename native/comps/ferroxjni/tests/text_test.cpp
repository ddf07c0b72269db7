// The bridge's file names and text decoding, without a VM.
#include "ferroxjni_text.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace {

struct NameCase {
    const char *given;
    const char *settled;
    int kind;
};

void PrintTo(const NameCase &c, std::ostream *os) {
    *os << '"' << c.given << '"';
}

class SettleFilename : public ::testing::TestWithParam<NameCase> {};

TEST_P(SettleFilename, AppendsHexOrKeepsTheName) {
    const NameCase &c = GetParam();
    char name[JNI_FILENAME_SIZE];
    int kind = -1;
    ASSERT_EQ(JNI_SettleFilename(c.given, name, sizeof name, &kind), 0);
    EXPECT_STREQ(name, c.settled);
    EXPECT_EQ(kind, c.kind);
}

INSTANTIATE_TEST_SUITE_P(Names, SettleFilename,
                         ::testing::Values(NameCase{"dump", "dump.Hex", JNI_FILE_HEX},
                                           NameCase{"a.hex", "a.hex", JNI_FILE_HEX},
                                           NameCase{"a.HeX", "a.HeX", JNI_FILE_HEX},
                                           // any extension that begins with .hex counts
                                           NameCase{"a.hexdump", "a.hexdump", JNI_FILE_HEX},
                                           NameCase{"a.bin", "a.bin", JNI_FILE_BIN},
                                           NameCase{"a.he", "a.he", JNI_FILE_BIN},
                                           NameCase{"a.", "a.", JNI_FILE_BIN},
                                           // the last dot of the whole name decides, also in a folder name
                                           NameCase{"a.b/image", "a.b/image", JNI_FILE_BIN},
                                           // the four characters from that dot are all that is looked at
                                           NameCase{"x.hex/image", "x.hex/image", JNI_FILE_HEX},
                                           NameCase{"a.bin.hex", "a.bin.hex", JNI_FILE_HEX}));

TEST(SettleFilenameLength, NameAndAppendedExtensionMustFitWithTheirNul) {
    char name[JNI_FILENAME_SIZE];
    int kind = -1;
    const std::string noDot507(507, 'n');
    ASSERT_EQ(JNI_SettleFilename(noDot507.c_str(), name, sizeof name, &kind), 0);
    EXPECT_EQ(std::string(name), noDot507 + ".Hex");

    const std::string noDot508(508, 'n');
    EXPECT_EQ(JNI_SettleFilename(noDot508.c_str(), name, sizeof name, &kind), -1);
    EXPECT_STREQ(name, "");

    const std::string withDot511 = std::string(507, 'n') + ".bin";
    EXPECT_EQ(JNI_SettleFilename(withDot511.c_str(), name, sizeof name, &kind), 0);
    EXPECT_EQ(JNI_SettleFilename((withDot511 + "x").c_str(), name, sizeof name, &kind), -1);
}

struct TextCase {
    const char *utf8;
    std::u16string expected;
};

void PrintTo(const TextCase &c, std::ostream *os) {
    *os << ::testing::PrintToString(std::string(c.utf8));
}

class Utf8ToUtf16 : public ::testing::TestWithParam<TextCase> {};

TEST_P(Utf8ToUtf16, DecodesOrReplaces) {
    EXPECT_EQ(JNI_Utf8ToUtf16(GetParam().utf8), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Utf8ToUtf16,
    ::testing::Values(TextCase{"Address parameter invalid.", u"Address parameter invalid."},
                      TextCase{"Gr\xC3\xBC\xC3\x9F"
                               "e \xE2\x82\xAC",
                               u"Gr\u00FC\u00DFe \u20AC"},
                      TextCase{"\xF0\x9F\x94\x8C", u"\U0001F50C"},
                      // Java's modified UTF-8: the two-byte NUL and encoded surrogates
                      TextCase{"a\xC0\x80"
                               "b",
                               std::u16string(u"a\0b", 3)},
                      TextCase{"\xED\xA0\xBD\xED\xB4\x8C", u"\U0001F50C"},
                      // bytes that are no UTF-8 become U+FFFD each
                      TextCase{"Quidor \xFF\xFE", u"Quidor \uFFFD\uFFFD"}, TextCase{"\xC3", u"\uFFFD"},
                      TextCase{"\xE2\x82"
                               "x",
                               u"\uFFFD\uFFFDx"},
                      TextCase{"\xC1\xBF", u"\uFFFD\uFFFD"},
                      TextCase{"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
                      TextCase{"\x80"
                               "A",
                               u"\uFFFDA"}));

TEST(Utf8ToUtf16Null, GivesAnEmptyText) {
    EXPECT_TRUE(JNI_Utf8ToUtf16(nullptr).empty());
}

} // namespace
