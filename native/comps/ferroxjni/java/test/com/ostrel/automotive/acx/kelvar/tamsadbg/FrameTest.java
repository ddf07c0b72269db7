package com.ostrel.automotive.acx.kelvar.tamsadbg;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotSame;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.lang.ref.WeakReference;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** The bridge's frame: the callback object, the connection and the library calls around it. */
class FrameTest extends BridgeTest {
    // Breakpoint number 5 does not exist: the target refuses it and the
    // library reports "Invalid parameter sent to target CPU." (result 16).
    static final int BP_ADDR = 0x0100;
    static final int BAD_BP_FLAGS = 0x45;
    static final String BAD_BP_TEXT = "Invalid parameter sent to target CPU.";

    /** Lacks errorMessage. */
    static final class LogOnly {
        final Recorder inner = new Recorder();

        public void logMessage(String message) {
            inner.logMessage(message);
        }
    }

    /** Lacks logMessage. */
    static final class ErrorOnly {
        final Recorder inner = new Recorder();

        public void errorMessage(String message) {
            inner.errorMessage(message);
        }
    }

    @Test
    void jniVersionIs30CharactersPaddedWithZeros() {
        char[] version = ferrox.getJniDllVersion();
        assertEquals(30, version.length);
        assertEquals("TamsadbgJni Library - 3.0", new String(version, 0, 25));
        for (int i = 25; i < 30; i++) {
            assertEquals(0, version[i], "element " + i);
        }
    }

    @Test
    void libraryFactsComeThrough() {
        open();
        assertEquals(1, ferrox.IsOpen());
        assertEquals(1092, ferrox.GetDLLVersion());
        assertTrue(ferrox.GetCompileDateTime().matches("[A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}"),
                ferrox.GetCompileDateTime());
        assertEquals(22000, ferrox.EMU_GetHWVersion());
        assertTrue(ferrox.EMU_GetFirmwareString().startsWith("Quidor "), ferrox.EMU_GetFirmwareString());
        ferrox.Close();
        assertEquals(0, ferrox.IsOpen());
        assertEquals(-1, ferrox.HasError());
    }

    @Test
    void errorTextReachesTheCallbackObject() {
        open();
        assertEquals(16, ferrox.CPU_WriteBP(BP_ADDR, BAD_BP_FLAGS));
        assertEquals(List.of(BAD_BP_TEXT), recorder.errors);
        assertEquals(List.of(Thread.currentThread()), recorder.errorThreads);
        assertEquals(1, ferrox.HasError());
        ferrox.ClrError();
        assertEquals(0, ferrox.HasError());
        // the library never writes to the log output
        assertTrue(recorder.logs.isEmpty());
    }

    @Test
    void objectLackingAMethodIsNotRegisteredAndItsTextsArePrinted() throws Exception {
        for (Object callback : new Object[] {new LogOnly(), new ErrorOnly()}) {
            assertThrows(NoSuchMethodError.class, () -> ferrox.Open(callback));
            assertEquals(1, ferrox.IsOpen(), "the connection opens all the same");
            enterMonitor();
            StdoutCapture out = new StdoutCapture();
            assertEquals(16, ferrox.CPU_WriteBP(BP_ADDR, BAD_BP_FLAGS));
            assertEquals("\n****** Error: " + BAD_BP_TEXT + "\n", out.text());
            Recorder inner = callback instanceof LogOnly ? ((LogOnly) callback).inner : ((ErrorOnly) callback).inner;
            assertTrue(inner.logs.isEmpty() && inner.errors.isEmpty());
            ferrox.ClrError();
            ferrox.Close();
        }
    }

    @Test
    void openWithoutCallbackObjectPrintsTheTexts() throws Exception {
        assertEquals(0, ferrox.Open(null));
        assertEquals(1, ferrox.IsOpen());
        enterMonitor();
        StdoutCapture out = new StdoutCapture();
        assertEquals(16, ferrox.CPU_WriteBP(BP_ADDR, BAD_BP_FLAGS));
        assertEquals("\n****** Error: " + BAD_BP_TEXT + "\n", out.text());
    }

    @Test
    void secondOpenReplacesTheCallbackObject() {
        Recorder first = new Recorder();
        assertEquals(0, ferrox.Open(first));
        open();
        assertEquals(16, ferrox.CPU_WriteBP(BP_ADDR, BAD_BP_FLAGS));
        assertEquals(List.of(BAD_BP_TEXT), recorder.errors);
        assertTrue(first.errors.isEmpty());
    }

    @Test
    void closeAndReopenLetTheCallbackObjectGo() {
        // The bridge holds its object by a global reference: once dropped,
        // the object can be collected.
        WeakReference<Recorder> closed = openWithThrowawayCallback();
        ferrox.Close();
        assertCollected(closed);

        WeakReference<Recorder> replaced = openWithThrowawayCallback();
        open();
        assertCollected(replaced);
    }

    private static WeakReference<Recorder> openWithThrowawayCallback() {
        Recorder throwaway = new Recorder();
        assertEquals(0, ferrox.Open(throwaway));
        return new WeakReference<>(throwaway);
    }

    private static void assertCollected(WeakReference<?> ref) {
        for (int i = 0; i < 20 && ref.get() != null; i++) {
            System.gc();
        }
        assertNull(ref.get(), "the bridge still holds the callback object");
    }

    @Test
    void exceptionOfTheCallbackDoesNotReachTheCaller() {
        Recorder thrower = new Recorder() {
            @Override
            public void errorMessage(String message) {
                super.errorMessage(message);
                throw new IllegalStateException("thrown by the callback");
            }
        };
        assertEquals(0, ferrox.Open(thrower));
        enterMonitor();
        assertEquals(16, ferrox.CPU_WriteBP(BP_ADDR, BAD_BP_FLAGS));
        assertEquals(List.of(BAD_BP_TEXT), thrower.errors);
        ferrox.ClrError();
        assertEquals(0, ferrox.CPU_WriteBP(BP_ADDR, 0x40));
    }

    @Test
    void callbackArrivesOnAThreadThatJavaDidNotCreate() {
        open();
        for (int round = 1; round <= 2; round++) {
            assertEquals(16, TestNative.writeBpOnForeignThread(BP_ADDR, BAD_BP_FLAGS));
            assertEquals(round, recorder.errors.size());
            assertEquals(BAD_BP_TEXT, recorder.errors.get(round - 1));
            Thread foreign = recorder.errorThreads.get(round - 1);
            assertNotSame(Thread.currentThread(), foreign);
            // attached for the message only: the VM does not wait for it at exit
            assertFalse(foreign.isAlive(), "the foreign thread is still attached");
            ferrox.ClrError();
        }
    }

    @Test
    void closeExPassesItsModeUnsigned() throws Exception {
        // Modes 2 and above leave the target powered: the probe gets no
        // switch-off (0xDC). 0x80 is 128 to the library, not -128.
        open();
        assertEquals(10, ferrox.CPU_GetRegsAll(null));
        long mark = traceMark();
        ferrox.CloseEx((byte) 0x80);
        assertEquals(0, ferrox.IsOpen());
        assertFalse(traceSince(mark).contains("-> DC"), traceSince(mark));

        open();
        assertEquals(10, ferrox.CPU_GetRegsAll(null));
        mark = traceMark();
        ferrox.CloseEx((byte) 1);
        assertTrue(traceSince(mark).contains("-> DC"), traceSince(mark));
    }

    @Test
    void emptyLogFileNameSwitchesTheLogOff(@TempDir Path dir) throws Exception {
        Path log = dir.resolve("ferrox.log");
        open();
        ferrox.SetLogFile(log.toString());
        ferrox.GetDLLVersion();
        long size = Files.size(log);
        assertTrue(size > 0);
        ferrox.SetLogFile("");
        long closed = Files.size(log);
        ferrox.GetDLLVersion();
        ferrox.CPU_IsHalted();
        assertEquals(closed, Files.size(log));
        // null as well
        ferrox.SetLogFile(log.toString());
        ferrox.SetLogFile(null);
        closed = Files.size(log);
        ferrox.GetDLLVersion();
        assertEquals(closed, Files.size(log));
    }

    @Test
    void selectTcpipReconnectsToTheServerNamed() {
        open();
        assertEquals(0, ferrox.SelectTCPIP(SERVER_HOST, SERVER_PORT));
        assertEquals(1, ferrox.IsOpen());
        enterMonitor();
        assertEquals(4, ferrox.CPU_GetEROM(0, 4, new byte[4]));

        // the host and port reach the library as given
        assertEquals(1, ferrox.SelectTCPIP("127.0.0.1", 1));
        assertEquals(List.of("Can not connect to Quidor TCP/IP Server (127.0.0.1, port 1)"), recorder.errors);
        // a missing host name is the library's to refuse
        assertEquals(1, ferrox.SelectTCPIP(null, SERVER_PORT));
        ferrox.ClrError();
        assertEquals(0, ferrox.SelectTCPIP(SERVER_HOST, SERVER_PORT));
        // after a failed connection only a new open makes the probe usable again
        ferrox.Close();
        open();
        assertEquals(4, ferrox.CPU_GetEROM(0, 4, new byte[4]));
    }
}
