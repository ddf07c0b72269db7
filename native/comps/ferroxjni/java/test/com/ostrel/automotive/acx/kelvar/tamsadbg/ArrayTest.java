package com.ostrel.automotive.acx.kelvar.tamsadbg;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.Arrays;
import java.util.List;

import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.EnumSource;

/** Arrays and strings between Java and the library. */
class ArrayTest extends BridgeTest {
    /** The byte memories, each with its write and read method. */
    enum Memory {
        DATA(0x0140) {
            int write(int addr, int n, byte[] data) {
                return ferrox.CPU_SetData(addr, n, data);
            }

            int read(int addr, int n, byte[] data) {
                return ferrox.CPU_GetData(addr, n, data);
            }
        },
        EEPROM(0x0240) {
            int write(int addr, int n, byte[] data) {
                return ferrox.CPU_ProgEEPROM(addr, n, data);
            }

            int read(int addr, int n, byte[] data) {
                return ferrox.CPU_GetEEPROM(addr, n, data);
            }
        },
        EROM(0x0340) {
            int write(int addr, int n, byte[] data) {
                return ferrox.CPU_ProgEROM(addr, n, data);
            }

            int read(int addr, int n, byte[] data) {
                return ferrox.CPU_GetEROM(addr, n, data);
            }
        };

        final int addr;

        Memory(int addr) {
            this.addr = addr;
        }

        abstract int write(int addr, int n, byte[] data);

        abstract int read(int addr, int n, byte[] data);
    }

    static byte[] pattern(int n, int seed) {
        byte[] b = new byte[n];
        for (int i = 0; i < n; i++) {
            b[i] = (byte) (seed + 37 * i);
        }
        return b;
    }

    @BeforeEach
    void openWithRecorder() {
        open();
    }

    @ParameterizedTest
    @EnumSource(Memory.class)
    void readsFillTheArrayAndWritesLeaveItAsItWas(Memory m) {
        byte[] data = pattern(48, m.ordinal() + 0x81);
        byte[] sent = data.clone();
        assertEquals(48, m.write(m.addr, 48, data));
        assertArrayEquals(sent, data);

        byte[] back = new byte[64];
        Arrays.fill(back, (byte) 0x5A);
        assertEquals(48, m.read(m.addr, 48, back));
        assertArrayEquals(sent, Arrays.copyOf(back, 48));
        for (int i = 48; i < 64; i++) {
            assertEquals((byte) 0x5A, back[i], "beyond the count, element " + i);
        }
    }

    @ParameterizedTest
    @EnumSource(Memory.class)
    void tooShortOrMissingArraysAreRefusedWithoutTouchingTheTarget(Memory m) throws Exception {
        byte[] before = new byte[16];
        assertEquals(16, m.read(m.addr, 16, before));
        long mark = traceMark();

        byte[] shortArray = new byte[8];
        Arrays.fill(shortArray, (byte) 0x33);
        assertEquals(-1, m.read(m.addr, 16, shortArray));
        assertEquals(-1, m.read(m.addr, 16, null));
        assertEquals(-1, m.write(m.addr, 16, shortArray));
        assertEquals(-1, m.write(m.addr, 16, null));
        assertFalse(traceSince(mark).contains("-> CD"), "a target request went out");
        for (byte b : shortArray) {
            assertEquals((byte) 0x33, b);
        }
        // a refusal, not an error: nothing reported, the next call goes through
        assertTrue(recorder.errors.isEmpty(), recorder.errors.toString());
        byte[] after = new byte[16];
        assertEquals(16, m.read(m.addr, 16, after));
        assertArrayEquals(before, after);
        // a count of 0 needs no array
        assertEquals(0, m.read(m.addr, 0, null));
    }

    @Test
    void ulpPagesAreInts() {
        int[] pages = {0x12345678, 0x80000001, -1};
        int[] sent = pages.clone();
        assertEquals(3, ferrox.CPU_ProgULP(0x10, 3, pages));
        assertArrayEquals(sent, pages);
        int[] back = new int[4];
        back[3] = 77;
        assertEquals(3, ferrox.CPU_GetULP(0x10, 3, back));
        assertArrayEquals(new int[] {0x12345678, 0x80000001, -1, 77}, back);
        assertEquals(-1, ferrox.CPU_GetULP(0x10, 3, new int[2]));
        assertEquals(-1, ferrox.CPU_ProgULP(0x10, 3, new int[2]));
    }

    @Test
    void configMemoryAndBuffersReadIntoTheirArrays() {
        byte[] config = new byte[4];
        assertEquals(0, ferrox.EMU_ReadConfigMem(config, 0, 4));
        assertArrayEquals(new byte[] {0, (byte) 0xFF, (byte) 0xFF, (byte) 0xFF}, config);
        byte[] sel = {(byte) 0xFF};
        assertEquals(0, ferrox.EMU_WriteConfigMem(sel, 4, 1));
        // too short an array: the library's refusal for a missing buffer
        assertEquals(1, ferrox.EMU_ReadConfigMem(new byte[2], 0, 4));
        assertEquals(1, ferrox.EMU_WriteConfigMem(new byte[2], 0, 4));

        assertEquals(0, ferrox.EMU_ControlUserBuffer(Ferrox.EMU_CMD_BUFFER_CLEAN));
        assertEquals(0, ferrox.EMU_ControlUserBuffer(Ferrox.EMU_CMD_BUFFER_START));
        short[] items = new short[16];
        Arrays.fill(items, (short) -7);
        int n = ferrox.EMU_ReadUserBuffer(16, items);
        assertTrue(n > 0 && n <= 16, "items read: " + n);
        for (int i = 1; i < n; i++) {
            assertEquals(items[i - 1] + 1, items[i], "the target streams a counter");
        }
        for (int i = n; i < 16; i++) {
            assertEquals(-7, items[i]);
        }
        assertEquals(-1, ferrox.EMU_ReadUserBuffer(16, new short[8]));
        assertEquals(-1, ferrox.EMU_ReadSystemBuffer(16, null));
        assertEquals(0, ferrox.EMU_ControlUserBuffer(Ferrox.EMU_CMD_BUFFER_STOP));
    }

    @Test
    void signatureFillsAtMostFourBytes() {
        byte[] full = new byte[6];
        Arrays.fill(full, (byte) 0x11);
        assertEquals(4, ferrox.CPU_CalcSign(0, 4, full));
        assertFalse(Arrays.equals(new byte[] {0x11, 0x11, 0x11, 0x11}, Arrays.copyOf(full, 4)));
        assertEquals(0x11, full[4]);
        byte[] two = new byte[2];
        assertEquals(4, ferrox.CPU_CalcSign(0, 2, two));
        assertArrayEquals(Arrays.copyOf(full, 2), two);
        assertEquals(-1, ferrox.CPU_CalcSign(0, 4, new byte[3]));
    }

    @Test
    void versionItemsFitTheArrayGiven() {
        int n = ferrox.CPU_GetVersion(new int[0]);
        assertEquals(5, n);
        assertEquals(5, ferrox.CPU_GetVersion(null));
        int[] items = new int[5];
        assertEquals(5, ferrox.CPU_GetVersion(items));
        assertNotEquals(0, items[1]);
        // shorter: the items that fit; longer: the rest untouched
        int[] first2 = new int[2];
        assertEquals(5, ferrox.CPU_GetVersion(first2));
        assertArrayEquals(Arrays.copyOf(items, 2), first2);
        int[] longer = new int[7];
        Arrays.fill(longer, 99);
        assertEquals(5, ferrox.CPU_GetVersion(longer));
        assertArrayEquals(items, Arrays.copyOf(longer, 5));
        assertEquals(99, longer[5]);
        assertEquals(99, longer[6]);
    }

    @Test
    void pfBitsTakeAtMost64BytesCoveringTheRun() throws Exception {
        byte[] ones = {(byte) 0xFF, (byte) 0xFF};
        assertEquals(2, ferrox.CPU_ProgEROM(0x0400, 2, ones));
        // bits 4..11 of the word at word address 0x200 (byte address 0x400)
        assertEquals(0, ferrox.CPU_ProgPfBits(0x200, 4, 8, new byte[] {0, 0}));
        byte[] word = new byte[2];
        assertEquals(2, ferrox.CPU_GetEROM(0x0400, 2, word));
        assertArrayEquals(new byte[] {0x0F, (byte) 0xF0}, word);

        long mark = traceMark();
        assertEquals(-1, ferrox.CPU_ProgPfBits(0x200, 0, 8, new byte[65]));
        // 20 bits need three bytes
        assertEquals(-1, ferrox.CPU_ProgPfBits(0x200, 4, 16, new byte[2]));
        assertEquals(-1, ferrox.CPU_ProgPfBits(0x200, 0, 1, null));
        assertFalse(traceSince(mark).contains("-> CD"), "a target request went out");
        // 64 bytes, a run of 512 bits, are the most
        assertEquals(0, ferrox.CPU_ProgPfBits(0x200, 0, 512, new byte[64]));
        assertEquals(2, ferrox.CPU_GetEROM(0x0400, 2, word));
        assertArrayEquals(new byte[] {0, 0}, word);
    }

    @Test
    void textCommandsAndTheirReplies() {
        // an empty reply array: the command still runs
        assertEquals(0, ferrox.EMU_ExecCommand("SetSN=4711", new String[0]));
        assertEquals(4711, ferrox.EMU_GetSN());
        String[] reply = {"untouched", "untouched"};
        assertEquals(1, ferrox.EMU_ExecCommand("SetSN=1", reply));
        assertEquals(List.of("ERROR - S/N 4711 can not be overwritten by S/N 1\n", "untouched"), List.of(reply));
        assertEquals(1, ferrox.EMU_ExecCommand("Bogus", reply));
        assertEquals("ERROR: Unknown command\n", reply[0]);
        assertEquals(0, ferrox.EMU_ExecCommand("NoUpdateSN", reply));
        assertEquals("", reply[0]);
        assertEquals(0, ferrox.EMU_ExecCommand("NoUpdateSN", null));
    }

    @Test
    void missingStringsAreTheLibrarysToRefuse() {
        assertEquals(-1, ferrox.CPU_Unprotect(null));
        String[] reply = {"untouched"};
        assertEquals(1, ferrox.EMU_ExecCommand(null, reply));
        assertEquals("", reply[0]);
    }
}
