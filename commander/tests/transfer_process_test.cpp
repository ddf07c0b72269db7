// The memory, transfer, fill and signature commands of ferroxcmd as
// processes against quidorsim over TCP/IP, with srec_cat and objcopy as the
// peers that write and read the HEX files.
#include "commander_fixture.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <vector>

namespace {

using namespace cmd_test;

// One Intel HEX data record.
std::string hexRecord(unsigned address, const std::vector<unsigned> &bytes) {
    char text[16];
    unsigned sum = static_cast<unsigned>(bytes.size()) + (address >> 8) + (address & 0xFF);
    std::snprintf(text, sizeof text, ":%02X%04X00", static_cast<unsigned>(bytes.size()), address);
    std::string record = text;
    for (const unsigned b : bytes) {
        std::snprintf(text, sizeof text, "%02X", b);
        record += text;
        sum += b;
    }
    std::snprintf(text, sizeof text, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
    return record + text;
}
const std::string kEof = ":00000001FF\n";

// A value after a text, as the commander printed it.
std::string valueAfter(const std::string &out, const std::string &label) {
    const std::size_t at = out.find(label);
    if (at == std::string::npos) {
        return "";
    }
    const std::size_t start = at + label.size();
    return out.substr(start, out.find('\n', start) - start);
}

class Transfer : public Commander {
protected:
    // A shell command in the scratch folder (the peer tools).
    int shell(const std::string &command) {
        return std::system(("cd '" + scratch_.path() + "' && " + command).c_str());
    }
    std::string session(const std::string &input) {
        const Result r = interactive(input);
        EXPECT_EQ(r.err, "") << "nothing on standard error without a terminal";
        return r.out.substr(interactiveHeader().size());
    }
};

TEST_F(Transfer, SrecCatImageDownloadedIntoTheWholeEromMatchesTheTargetAndComesBackToObjcopy) {
    std::string image(32768, '\0');
    std::uint32_t seed = 12345;
    for (char &c : image) {
        seed = seed * 1103515245u + 12345u;
        c = static_cast<char>(seed >> 24);
    }
    scratch_.write("in.bin", image);
    ASSERT_EQ(shell("srec_cat in.bin -binary -o in.hex -intel -obs=32"), 0);
    const std::string out =
        session("fr EROM, 0, 3FFF\nverify\ndownload EROM, in\nsig 0\nupload EROM, out, 0, 4000\n");
    EXPECT_NE(out.find("Quidor>Executing download, file in ... \n"
                       "Note: no fill pattern defined, using default = 0x00000000.\n"
                       "Note: Fill range (items): 0x0000 .. 0x3FFF\n"
                       "Note: number of memory ranges in hex file: 1, (byte) addr. 0x0000 .. 0x7FFF\n"
                       "Writing 32768 Bytes to EROM memory, starting from 0x0000 ...\n"
                       "Verifying data from (byte) addr. 0x0000 to 0x7FFF ...Target data verified OK\n"
                       "EROM calculated signature: "),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("Download finished, 32768 byte(s) written to EROM.\n"), std::string::npos) << out;
    const std::string calculated = valueAfter(out, "EROM calculated signature: ");
    ASSERT_EQ(calculated.size(), 6u) << out;
    EXPECT_EQ(valueAfter(out, "signature (memory code  0) = "), "00" + calculated);
    EXPECT_NE(out.find("32768 bytes of data written to file out.hex\n"), std::string::npos) << out;
    ASSERT_EQ(shell("objcopy -I ihex -O binary out.hex out.bin"), 0);
    EXPECT_TRUE(scratch_.read("out.bin") == image) << "the upload differs from the image";
}

TEST_F(Transfer, UploadsOfTheFourMemories) {
    const std::string out =
        session("wEROM 100,1111 2222\nupload EROM, prog, 100, 20\nwULP 8,12345678 9abcdef0\n"
                "upload ULP, data.hex, 8, 2\nupload DATA, x\nwDat 10,AB\n"
                "upload data, ..\\out\\img,10,1\nupload EEPROM,\"e e\",FFE,4\n");
    // Which error the library gives for a read past the end is its own business.
    const std::string shown = std::regex_replace(out, std::regex("\n\\*{6} Error: [^\n]*\n"),
                                                 "\n****** Error: <the library's text>\n");
    EXPECT_EQ(shown,
              "Quidor>Writing 1111 to EROM @ 0100\nWriting 2222 to EROM @ 0101\n"
              "Quidor>Executing upload ...\nReading 64 Bytes EROM memory, starting from 0x0200 ...\n"
              "64 bytes of data written to file prog.hex\n"
              "Quidor>Writing 12345678 to ULPEE page 0008\nWriting 9ABCDEF0 to ULPEE page 0009\n"
              "Quidor>Executing upload ...\nReading 2 pages from ULP memory, starting from page 0x0008 ...\n"
              "8 bytes of data written to file data.hex\n"
              "Quidor>Executing upload ...\nWrong parameter for upload, size must be larger than zero\n"
              "Quidor>Writing AB to DATA @ 10\n"
              "Quidor>Executing upload ...\nReading 1 Bytes Data memory, starting from 0x0010 ...\n"
              "1 bytes of data written to file ..\\out\\img\n"
              "Quidor>Executing upload ...\nReading 4 Bytes EEPROM memory, starting from 0x0FFE ...\n"
              "\n****** Error: <the library's text>\n"
              "...upload size too large\n"
              "Quidor>");
    EXPECT_FALSE(std::filesystem::exists(scratch_.file("e e.hex"))) << "a short read writes no file";
    const std::string prog = scratch_.read("prog.hex");
    EXPECT_EQ(prog.substr(0, 9), ":20020000") << prog;
    EXPECT_NE(prog.find("\n:20022000"), std::string::npos) << prog;
    ASSERT_EQ(shell("objcopy -I ihex -O binary prog.hex prog.bin"), 0);
    EXPECT_EQ(scratch_.read("prog.bin"), std::string("\x11\x11\x22\x22", 4) + std::string(60, '\xFF'));
    // the writer ends its lines with CR LF
    EXPECT_EQ(scratch_.read("data.hex"), ":0800200078563412F0DEBC9AA0\r\n:00000001FF\r\n");
    EXPECT_EQ(scratch_.read("..\\out\\img"), ":01001000AB44\r\n:00000001FF\r\n");
}

TEST_F(Transfer, UploadArgumentErrors) {
    const std::string out =
        session("upload FLASH, f\nupload EROM\nupload EROM, f, zz\nupload EROM, f, 10; 2\n"
                "upload EROM, f, 10, zz\n");
    EXPECT_EQ(out, "Quidor>Executing upload ...\nInvalid memory parameter for upload\n"
                   "Quidor>Executing upload ...\nInvalid parameter for upload, expected a file name\n"
                   "Quidor>Executing upload ...\nInvalid parameter for upload, expected an address (hex)\n"
                   "Quidor>Executing upload ...\nInvalid delimiter between <addr> and <size> for upload\n"
                   "Quidor>Executing upload ...\nInvalid parameter for upload, expected a size (hex)\n"
                   "Quidor>");
}

TEST_F(Transfer, EromRangesAtOddEndsAreCompletedFromTheTarget) {
    scratch_.write("odd.hex", hexRecord(0x101, {0xAA, 0xBB, 0xCC}) + kEof);
    scratch_.write("end.hex", hexRecord(0x104, {0xDD}) + kEof);
    const std::string out =
        session("wEROM 80,1234 5678 9ABC\ndownload EROM, odd\ndownload EROM, end\nrEROM 80,3\n");
    EXPECT_EQ(out,
              "Quidor>Writing 1234 to EROM @ 0080\nWriting 5678 to EROM @ 0081\nWriting 9ABC to EROM @ 0082\n"
              "Quidor>Executing download, file odd ... \n"
              "Note: number of memory ranges in hex file: 1, (byte) addr. 0x0101 .. 0x0103\n"
              "Writing 4 Bytes to EROM memory, starting from 0x0100 ...\n"
              "Download finished, 4 byte(s) written to EROM.\n"
              "Quidor>Executing download, file end ... \n"
              "Note: number of memory ranges in hex file: 1, (byte) addr. 0x0104 .. 0x0104\n"
              "Writing 2 Bytes to EROM memory, starting from 0x0104 ...\n"
              "Download finished, 2 byte(s) written to EROM.\n"
              "Quidor>3 Words requested, 3 words read\n"
              "00000080 = AA34 CCBB 9ADD \n"
              "Quidor>");
}

TEST_F(Transfer, EepromAndUlpFilesMustFitTheirUnits) {
    scratch_.write("odd.hex", hexRecord(0x11, {1, 2}) + kEof);
    scratch_.write("three.hex", hexRecord(0x10, {1, 2, 3}) + kEof);
    scratch_.write("pair.hex", hexRecord(0x10, {1, 2}) + kEof);
    const std::string out =
        session("download EEPROM, odd\ndownload EEPROM, three\ndownload ULP, pair\nrEEPROM 10,4\nrULP 4,1\n");
    const std::string refused = "\nHex file error: start address or length invalid for given memory type.\n";
    EXPECT_EQ(out, "Quidor>Executing download, file odd ... \n" + refused +
                       "Quidor>Executing download, file three ... \n" + refused +
                       "Quidor>Executing download, file pair ... \n" + refused +
                       "Quidor>4 Bytes requested, 4 bytes read\n00000010 = FF FF FF FF \n"
                       "Quidor>1 Pages requested, 1 Pages read\n00000004 = 00000000 \n"
                       "Quidor>");
}

TEST_F(Transfer, FillPatternFillsTheRangeAroundTheFile) {
    scratch_.write("few.hex", hexRecord(0x10, {1, 2, 3, 4}) + kEof);
    const std::string out = session("fr EROM, 0, 1FF\nfp EROM, 1234\ndownload EROM, few\nrEROM 0,C\n");
    EXPECT_NE(out.find("Note: Fill range (items): 0x0000 .. 0x01FF\n"
                       "Note: number of memory ranges in hex file: 1, (byte) addr. 0x0010 .. 0x0013\n"
                       "Writing 1024 Bytes to EROM memory, starting from 0x0000 ...\n"
                       "EROM calculated signature: "),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("Download finished, 1024 byte(s) written to EROM.\n"
                       "Quidor>12 Words requested, 12 words read\n"
                       "00000000 = 1234 0000 1234 0000 1234 0000 1234 0000 \n"
                       "00000008 = 0201 0403 1234 0000 \n"),
              std::string::npos)
        << out;
}

TEST_F(Transfer, FillSettingsCommands) {
    const std::string out =
        session("fillrange EROM, 100, 100\nfillrange EROM, OFF\nfr EROM, 10000, 10001\n"
                "fr FLASH, 1, 2\nfr EEPROM, 2\nfr ULP, 1, 2\nfr ULP, off\nfp ULP, 5\nfp ULP, off\n"
                "fp ULP, xyz\nfp X, 1\n");
    EXPECT_EQ(out, "Quidor>Error: end must be larger than start address.\n"
                   "Quidor>Syntax: fillrange <memtype>, <start address>, <end address>  OR\n"
                   "        fillrange <memtype>, off\n"
                   "Quidor>Error: addresses must be 16 bit.\n"
                   "Quidor>\nInvalid memory parameter\n"
                   "Quidor>Syntax: fillrange <memtype>, <start address>, <end address>  OR\n"
                   "        fillrange <memtype>, off\n"
                   "Quidor>Fill range for ULP set to 0x0001 .. 0x0002\n"
                   "Quidor>Fill range setting cleared for ULP.\n"
                   "Quidor>Fill pattern set to 0x00000005 for ULP \n"
                   "Quidor>fill pattern cleared for ULP.\n"
                   "Quidor>Syntax: fillpattern <memtype>, <32-bit fill pattern>|off\n"
                   "Quidor>\nInvalid memory parameter\n"
                   "Quidor>");
}

TEST_F(Transfer, ProgPfBitsTakesTheWordsItsBitRunNeeds) {
    const std::string out =
        session("h\nppb 100, 4, 8, ABCD\nrEROM 100,1\nppb 100, 0, 16, 1111\nppb 100, 8, 16, 1\n"
                "ppb 101, 8, 16, 1 2\nppb 100\nsbf 10, 4, 4, A\nrDat 10,2\nsbf 10, 4\ncp 1, 2\n"
                "cp 1\n");
    const std::string syntax =
        "Syntax: progPfBits <Addr(hex)>,<Offset(dec)>,<Number(dec)>,<Data(hex)> [<Data(hex)>...]\n";
    EXPECT_EQ(out, "Quidor>PC: 0000\n"
                   "Quidor>progPfBits addr:0100 offset:4 numbits:8\n"
                   "Quidor>1 Words requested, 1 words read\n00000100 = FBCF \n"
                   "Quidor>progPfBits addr:0100 offset:0 numbits:16\n"
                   "Quidor>" +
                       syntax +
                       "Quidor>progPfBits addr:0101 offset:8 numbits:16\n"
                       "Quidor>" +
                       syntax +
                       "Quidor>setBitField addr:0010, position:4, width:4, data:000A\n"
                       "Quidor>00000010 = A0 00 \n"
                       "Quidor>Syntax: setBitField <Addr>,<Position>,<Width>,<Data>\n"
                       "Quidor>copyPage scrAddr:0001 -> desAddr:0002\n"
                       "Quidor>Syntax: copyPage <scrAddr>,<desAddr>\n"
                       "Quidor>");
}

TEST_F(Transfer, WritesOfEepromPairsAndUlpPages) {
    const std::string out =
        session("wEEPROM 11, 22 33\nwEEPROM 10, 22 33 44\nrEEPROM 10,4\nwUlpBytes 3,2,AABBCCDD\n"
                "copyULP 3, 5, 1\ncopyULP 3, 5\nrULP 3,3\nwULP 1\n");
    EXPECT_EQ(out, "Quidor>Address has to be even, CPU can write 16bit words only on even addresses\n"
                   "Quidor>Writing 3322 to EEPROM @ 0010\nParse error: number of data bytes must be even.\n"
                   "Quidor>4 Bytes requested, 4 bytes read\n00000010 = 22 33 FF FF \n"
                   "Quidor>Writing AABBCCDD -> 00000003, Mask:00000002\n"
                   "Quidor>copyULP: read 1 pages successfully.\nWriting 0000CC00 to ULPEE page 0005\n"
                   "Quidor>Syntax: copyULP <pAddrSource>, <pAddrDest>, <NumPages>\n"
                   "Quidor>3 Pages requested, 3 Pages read\n00000003 = 0000CC00 00000000 0000CC00 \n"
                   "Quidor>Syntax: wULP <Addr>, <Data>\n"
                   "Quidor>");
}

TEST_F(Transfer, VerifyReportsWhatAProgrammingFaultLeftBehind) {
    start({"--program-failure", "1"});
    scratch_.write("pages.hex", hexRecord(0x20, {0x78, 0x56, 0x34, 0x12, 0xF0, 0xDE, 0xBC, 0x9A}) + kEof);
    const std::string out = session("verify\ndownload ULP, pages\n");
    EXPECT_NE(out.find("Writing 8 Bytes to ULP memory, starting from 0x0020 ...\n"), std::string::npos)
        << out;
    EXPECT_NE(
        out.find(
            "Verifying data from (byte) addr. 0x0020 to 0x0027 ...VERIFY ERROR at (byte) address 0x0020\n"
            "Expected: 0x78\nFound:    0x00\n"
            "Download finished, 8 byte(s) written to ULP.\n"),
        std::string::npos)
        << out;
}

TEST_F(Transfer, AProgrammingFaultStopsAWholeImageWrite) {
    start({"--program-failure", "1"});
    scratch_.write("few.hex", hexRecord(0x10, {1, 2, 3, 4}) + kEof);
    const std::string out = session("fr EROM, 0, 1F\ndownload EROM, few\n");
    EXPECT_NE(out.find("Writing 64 Bytes to EROM memory, starting from 0x0000 ...\n"), std::string::npos)
        << out;
    EXPECT_NE(
        out.find("Error: not all of the requested bytes could be written!\nEROM calculated signature: "),
        std::string::npos)
        << out;
    EXPECT_NE(out.find("Download finished, 0 byte(s) written to EROM.\n"), std::string::npos) << out;
}

TEST_F(Transfer, ABrownOutDuringAnUploadWritesNoFile) {
    start({"--brown-out", "1"});
    const std::string out = session("upload EROM, bo, 0, 10\nupload EROM, bo, 0, 10\n");
    EXPECT_EQ(out, "Quidor>Executing upload ...\nReading 32 Bytes EROM memory, starting from 0x0000 ...\n"
                   "\n****** Error: Brown out occurred.\n...upload size too large\n"
                   "Quidor>Executing upload ...\nReading 32 Bytes EROM memory, starting from 0x0000 ...\n"
                   "32 bytes of data written to file bo.hex\n"
                   "Quidor>");
}

TEST_F(Transfer, MalformedHexFilesGiveTheReadersTextAndLeaveTheTargetUntouched) {
    std::string bad = hexRecord(0, {1, 2, 3, 4});
    bad[bad.size() - 2] = bad[bad.size() - 2] == '0' ? '1' : '0'; // checksum
    scratch_.write("checksum.hex", hexRecord(0x40, {9, 9}) + bad + kEof);
    const std::string good = hexRecord(0, {1, 2, 3, 4});
    scratch_.write("truncated.hex", good + good.substr(0, 7) + "\n");
    scratch_.write("text.hex", "hello\n");
    const std::string out =
        session("download EROM, checksum\ndownload DATA, truncated\ndownload EEPROM, text\n"
                "download EROM, missing\nrEROM 0,2\nrEROM 20,1\nrDat 0,4\nrEEPROM 0,2\n");
    EXPECT_EQ(out, "Quidor>Executing download, file checksum ... \n"
                   "\nError in line 2: Checksum error !\nExpected: 0xF2, found: 0xF0\n"
                   "Quidor>Executing download, file truncated ... \n"
                   "\nError in line 2: Expected Hex character : 0..9, A..F\n"
                   "Quidor>Executing download, file text ... \n\nError in line 1: Not a hex file\n"
                   "Quidor>Executing download, file missing ... \n\nCould not open file [missing.hex]\n"
                   "File not found!\n"
                   "Quidor>2 Words requested, 2 words read\n00000000 = FFFF FFFF \n"
                   "Quidor>1 Words requested, 1 words read\n00000020 = FFFF \n"
                   "Quidor>00000000 = 00 00 00 00 \n"
                   "Quidor>2 Bytes requested, 2 bytes read\n00000000 = FF FF \n"
                   "Quidor>");
}

TEST_F(Transfer, FileSignaturesOfThePartsVectors) {
    struct Case {
        const char *settings;
        std::string file;
        const char *line;
    } cases[] = {
        {"fr EEPROM,0,1", hexRecord(0, {0x01, 0x00}), "Par.EEPROM calculated signature: 000100\n"},
        {"fr EEPROM,0,3", hexRecord(0, {0x01, 0x00}), "Par.EEPROM calculated signature: 000080\n"},
        {"fr EEPROM,0,1", hexRecord(0, {0xFF, 0xFF}), "Par.EEPROM calculated signature: FFFF00\n"},
        {"fr EEPROM,0,3", hexRecord(0, {0xFF, 0xFF, 0xFF, 0xFF}),
         "Par.EEPROM calculated signature: 800080\n"},
        {"fr ULP,0,1\nfp ULP,FFFFFFFF", hexRecord(4, {0xFF, 0xFF, 0xFF, 0xFF}),
         "ULPEE calculated signature: A000A0\n"},
        {"fr EROM,0,1FF\nfp EROM,FFFFFFFF", hexRecord(0x100, std::vector<unsigned>(32, 0xFF)),
         "EROM calculated signature: C15575\n"},
        {"fr EEPROM,0,F", hexRecord(0, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}),
         "Par.EEPROM calculated signature: 0A3DC8\n"},
    };
    for (const Case &c : cases) {
        scratch_.write("v.hex", c.file + kEof);
        const std::string memory = std::string(c.line).substr(0, std::string(c.line).find(' '));
        const std::string out = session(std::string(c.settings) + "\nfilesig " +
                                        (memory == "Par.EEPROM" ? "EEPROM"
                                         : memory == "ULPEE"    ? "ULP"
                                                                : "EROM") +
                                        ", v\n");
        EXPECT_NE(out.find(c.line), std::string::npos) << c.settings << "\n" << out;
        EXPECT_EQ(out.find("Writing"), std::string::npos) << "filesig writes nothing";
    }
}

TEST_F(Transfer, FileSignatureNeedsAFillRangeAndOneOfItsMemories) {
    scratch_.write("d.hex", hexRecord(0, {1, 2}) + kEof);
    const std::string out =
        session("filesig EROM, d\nfr DATA, 0, 1\nfilesig DATA, d\nfilesig X, d\nfilesig EROM\n");
    EXPECT_EQ(out, "Quidor>Error: a memory fill range must be defined in order to use this function.\n"
                   "Quidor>Fill range for DATA set to 0x0000 .. 0x0001\n"
                   "Quidor>Note: no fill pattern defined, using default = 0x00000000.\n"
                   "Note: Fill range (items): 0x0000 .. 0x0001\n"
                   "Note: number of memory ranges in hex file: 1, (byte) addr. 0x0000 .. 0x0001\n"
                   "Invalid memory type selected for signature.\n"
                   "Quidor>\nInvalid memory parameter for download\n"
                   "Quidor>\nInvalid parameter for download, expected a file name\n"
                   "Quidor>");
}

TEST_F(Transfer, TargetSignaturesByCode) {
    const std::string out = session("sig\nsig 5\nsig x\n");
    std::string all = "Quidor>Device in non-protected mode !\nattempting to read signatures 0 - 11\n";
    const std::regex value("signature \\(memory code ( [0-9]|1[01])\\) = (00[0-9A-F]{6}|n\\.a\\.)\n");
    const std::size_t begin = out.find("attempting to read signatures 0 - 11\n");
    ASSERT_NE(begin, std::string::npos) << out;
    const std::string lines = out.substr(begin, out.find("Quidor>", begin) - begin);
    EXPECT_EQ(std::distance(std::sregex_iterator(lines.begin(), lines.end(), value), std::sregex_iterator()),
              12)
        << lines;
    EXPECT_NE(lines.find("signature (memory code 11) = n.a.\n"), std::string::npos) << lines;
    EXPECT_NE(out.find("Quidor>Device in non-protected mode !\nattempting to read signature 5\n"
                       "signature (memory code  5) = "),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("attempting to read signature 0\nsignature (memory code  0) = "), std::string::npos)
        << out;
}

TEST_F(Transfer, SignaturesOfAProtectedTargetAreStillRead) {
    start({"--protected"});
    const std::string out = session("sig 1\n");
    EXPECT_NE(
        out.find(
            "Device in protected mode !\nattempting to read signature 1\nsignature (memory code  1) = 00"),
        std::string::npos)
        << out;
}

TEST(TransferTerminal, ProgressShowsOnATerminalsStandardErrorOnly) {
    // Every target request answered 2 ms late: the transfer takes a moment.
    Simulator sim({"--fault", "late", "--fault-command", "0xCD", "--fault-count", "-1", "--late-ms", "2"});
    ASSERT_FALSE(sim.server().empty());
    ScratchDir scratch;
    scratch.write("in.hex", hexRecord(0, std::vector<unsigned>(32, 0x5A)) + kEof);
    Terminal t({"--fr", "EROM,0,3FFF", "--verify", "--download", "EROM,", scratch.file("in.hex")},
               sim.server(), scratch.file("stdout.txt"));
    const int status = t.finish();
    EXPECT_EQ(status, 0);
    const std::string shown = t.shown();
    EXPECT_NE(shown.find(" of 32768 bytes, "), std::string::npos) << shown;
    EXPECT_NE(shown.find("\r" + std::string(60, ' ') + "\r"), std::string::npos) << "the line is cleared";
    const std::string out = scratch.read("stdout.txt");
    EXPECT_NE(out.find("Writing 32768 Bytes to EROM memory, starting from 0x0000 ...\n"
                       "Verifying data from (byte) addr. 0x0000 to 0x7FFF ...Target data verified OK\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find('\r'), std::string::npos) << out;
    EXPECT_EQ(out.find(" bytes, "), std::string::npos) << out;
}

} // namespace
