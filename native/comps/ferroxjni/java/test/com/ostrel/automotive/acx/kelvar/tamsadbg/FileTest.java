package com.ostrel.automotive.acx.kelvar.tamsadbg;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.File;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;

import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** upload and download: EROM to and from HEX and binary files, reported on standard output. */
class FileTest extends BridgeTest {
    @TempDir
    Path dir;

    @BeforeEach
    void openWithRecorder() {
        open();
    }

    static byte[] pattern(int n, int seed) {
        byte[] b = new byte[n];
        for (int i = 0; i < n; i++) {
            b[i] = (byte) (seed + 29 * i + (i >> 3));
        }
        return b;
    }

    /** An Intel HEX data record. */
    static String record(int addr, byte[] data, int from, int n) {
        StringBuilder line = new StringBuilder(String.format(":%02X%04X00", n, addr));
        int sum = n + (addr >> 8) + (addr & 0xFF);
        for (int i = 0; i < n; i++) {
            line.append(String.format("%02X", data[from + i] & 0xFF));
            sum += data[from + i] & 0xFF;
        }
        return line.append(String.format("%02X", -sum & 0xFF)).toString();
    }

    static String path(Path p) {
        return p.toString();
    }

    /**
     * A file name of exactly the given length (no dot after the folder),
     * in folders that exist: one name may not be longer than 255 bytes.
     */
    String nameOfLength(int length) throws Exception {
        Path folder = dir;
        while (length - folder.toString().length() - 1 > 200) {
            folder = Files.createDirectories(folder.resolve("d".repeat(150)));
        }
        String name = folder.resolve("n".repeat(length - folder.toString().length() - 1)).toString();
        assertEquals(length, name.length());
        assertEquals(name.lastIndexOf('.'), dir.toString().lastIndexOf('.'));
        return name;
    }

    byte[] erom(int addr, int n) {
        byte[] b = new byte[n];
        assertEquals(n, ferrox.CPU_GetEROM(addr, n, b));
        return b;
    }

    @Test
    void uploadToANameWithoutDotWritesAHexFile() throws Exception {
        byte[] data = pattern(256, 3);
        assertEquals(256, ferrox.CPU_ProgEROM(0x1000, 256, data));
        String name = path(dir.resolve("dump"));
        StdoutCapture out = new StdoutCapture();
        assertEquals(0, ferrox.upload(name, 0x1000, 256));
        assertEquals("\nReading 256 Bytes EROM memory, starting from 0x1000 ...\n"
                + "\n256 Bytes of Data written to file " + name + ".Hex\n", out.text());

        List<String> expected = new ArrayList<>();
        for (int i = 0; i < 256; i += 32) {
            expected.add(record(0x1000 + i, data, i, 32));
        }
        expected.add(":00000001FF");
        assertEquals(expected, Files.readAllLines(dir.resolve("dump.Hex"), StandardCharsets.US_ASCII));
    }

    @Test
    void uploadToHexAndBinNames() throws Exception {
        byte[] data = pattern(16, 7);
        assertEquals(16, ferrox.CPU_ProgEROM(0, 16, data));

        assertEquals(0, ferrox.upload(path(dir.resolve("image.bin")), 0, 16));
        assertArrayEquals(data, Files.readAllBytes(dir.resolve("image.bin")));

        assertEquals(0, ferrox.upload(path(dir.resolve("image.hex")), 0, 16));
        assertEquals(List.of(record(0, data, 0, 16), ":00000001FF"), Files.readAllLines(dir.resolve("image.hex")));
        assertFalse(Files.exists(dir.resolve("image.hex.Hex")));

        // the only dot in a folder's name: a binary file, no ".Hex"
        Path folder = Files.createDirectory(dir.resolve("a.b"));
        assertEquals(0, ferrox.upload(path(folder.resolve("image")), 0, 16));
        assertArrayEquals(data, Files.readAllBytes(folder.resolve("image")));
        assertEquals(1, new File(folder.toString()).list().length);
    }

    @Test
    void uploadRefusesBadParametersBeforeTouchingTheTarget() throws Exception {
        String name = path(dir.resolve("never"));
        String longName = nameOfLength(508);
        Object[][] cases = {
            {name, 0, "\nWrong parameter for upload, size must be larger than zero\n"},
            {name, -16, "\nWrong parameter for upload, size must be larger than zero\n"},
            {null, 16, "\nWrong parameter for upload, missing a valid filename\n"},
            {"", 16, "\nWrong parameter for upload, missing a valid filename\n"},
            {longName, 16, "\nWrong parameter for upload, filename too long (at most 511 characters, with an "
                    + "appended \".Hex\")\n"},
        };
        for (Object[] c : cases) {
            long mark = traceMark();
            StdoutCapture out = new StdoutCapture();
            assertEquals(6, ferrox.upload((String) c[0], 0x1000, (Integer) c[1]));
            assertEquals(c[2], out.text());
            assertEquals("", traceSince(mark), "the target was reached");
        }
        assertFalse(Files.exists(dir.resolve("never")));
        assertFalse(Files.exists(Path.of(longName + ".Hex")));
        // one character less fits, ".Hex" and all
        assertEquals(0, ferrox.upload(longName.substring(0, 507), 0, 16));
        assertTrue(Files.exists(Path.of(longName.substring(0, 507) + ".Hex")));
    }

    @Test
    void uploadOfARangeThatCannotBeReadWritesNoFile() throws Exception {
        StdoutCapture out = new StdoutCapture();
        assertEquals(0, ferrox.upload(path(dir.resolve("beyond")), 0x8000, 16));
        assertEquals("\nReading 16 Bytes EROM memory, starting from 0x8000 ...\n", out.text());
        assertEquals(0, new File(dir.toString()).list().length);
        assertEquals(1, recorder.errors.size());
    }

    @Test
    void downloadOfATwoRangeHexFileProgramsBothRanges() throws Exception {
        byte[] low = pattern(256, 11);
        byte[] high = pattern(256, 99);
        List<String> lines = new ArrayList<>();
        for (int i = 0; i < 256; i += 32) {
            lines.add(record(i, low, i, 32));
        }
        for (int i = 0; i < 256; i += 32) {
            lines.add(record(0x400 + i, high, i, 32));
        }
        lines.add(":00000001FF");
        Path file = dir.resolve("two.hex");
        Files.write(file, lines);
        byte[] gap = erom(0x100, 0x300);

        StdoutCapture out = new StdoutCapture();
        assertEquals(0, ferrox.download(path(file), 0x7000));
        assertEquals("Writing 256 Bytes to EROM memory, starting from 0x0 ...\n"
                + "Writing 256 Bytes to EROM memory, starting from 0x400 ...\n"
                + "Download finished, 512 Byte(s) written to memory.\n", out.text());
        assertArrayEquals(low, erom(0, 256));
        assertArrayEquals(high, erom(0x400, 256));
        assertArrayEquals(gap, erom(0x100, 0x300));
    }

    @Test
    void downloadOfABinaryFileLoadsFromTheAddressGiven() throws Exception {
        byte[] data = pattern(40, 5);
        Path file = dir.resolve("code.bin");
        Files.write(file, data);
        StdoutCapture out = new StdoutCapture();
        assertEquals(0, ferrox.download(path(file), 0x0600));
        assertEquals("Writing 40 Bytes to EROM memory, starting from 0x600 ...\n"
                + "Download finished, 40 Byte(s) written to memory.\n", out.text());
        assertArrayEquals(data, erom(0x600, 40));
    }

    @Test
    void downloadOfAMissingFilePrintsTheReadersText() throws Exception {
        for (String name : new String[] {"missing.hex", "missing"}) {
            String settled = path(dir.resolve(name.contains(".") ? name : name + ".Hex"));
            StdoutCapture out = new StdoutCapture();
            assertEquals(-1, ferrox.download(path(dir.resolve(name)), 0));
            assertEquals("\nCould not open file [" + settled + "]\nFile not found!\n", out.text());
        }
    }

    @Test
    void downloadStopsAtARangeThatCannotBeProgrammed() throws Exception {
        // 0x7FF0..0x800F: its second half lies beyond the 32 KiB of EROM
        byte[] data = pattern(32, 1);
        Path file = dir.resolve("edge.hex");
        Files.write(file, List.of(record(0x7FF0, data, 0, 32), ":00000001FF"));
        StdoutCapture out = new StdoutCapture();
        assertEquals(-1, ferrox.download(path(file), 0));
        assertEquals("Writing 32 Bytes to EROM memory, starting from 0x7FF0 ...\n"
                + "Error on download: Not all of the requested bytes could be written!\n", out.text());
    }

    @Test
    void downloadRefusesAMissingOrTooLongName() throws Exception {
        String longName = nameOfLength(508);
        StdoutCapture out = new StdoutCapture();
        assertEquals(-1, ferrox.download(null, 0));
        assertEquals(-1, ferrox.download(longName, 0));
        assertEquals("\nWrong parameter for download, missing a valid filename\n"
                + "\nWrong parameter for download, filename too long (at most 511 characters, with an appended "
                + "\".Hex\")\n", out.text());
    }

    @Test
    void linesStandInOrderWithTheJavaOutput() throws Exception {
        Path file = dir.resolve("order.bin");
        Files.write(file, pattern(8, 0));
        StdoutCapture out = new StdoutCapture();
        System.out.println("before download");
        assertEquals(0, ferrox.download(path(file), 0x0700));
        System.out.println("between");
        assertEquals(0, ferrox.upload(path(file), 0x0700, 8));
        System.out.println("after upload");
        assertEquals("before download\n"
                + "Writing 8 Bytes to EROM memory, starting from 0x700 ...\n"
                + "Download finished, 8 Byte(s) written to memory.\n"
                + "between\n"
                + "\nReading 8 Bytes EROM memory, starting from 0x700 ...\n"
                + "\n8 Bytes of Data written to file " + file + "\n"
                + "after upload\n", out.text());
        assertTrue(Arrays.equals(pattern(8, 0), Files.readAllBytes(file)));
    }
}
