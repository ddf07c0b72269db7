package com.ostrel.automotive.acx.kelvar.tamsadbg;

import static org.junit.jupiter.api.Assertions.assertEquals;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;

import org.junit.jupiter.api.AfterEach;

/**
 * Common ground of the bridge's tests: the process's one connection, reached
 * through QUIDOR_SERVER, and the simulator's trace (QUIDORSIM_LOG), both set
 * up by with_quidorsim.sh.
 */
abstract class BridgeTest {
    static final Ferrox ferrox = new Ferrox();
    static final String SERVER_HOST = System.getenv("QUIDOR_SERVER").split(":")[0];
    static final int SERVER_PORT = Integer.parseInt(System.getenv("QUIDOR_SERVER").split(":")[1]);
    private static final Path TRACE = Path.of(System.getenv("QUIDORSIM_LOG"));

    /** Receives the library's texts of the tests that open with it. */
    final Recorder recorder = new Recorder();

    /** Opens the connection with the recorder as the callback object. */
    void open() {
        assertEquals(0, ferrox.Open(recorder));
        enterMonitor();
    }

    /**
     * Brings the target into monitor mode after an open. The library keeps
     * believing in the monitor mode of an earlier connection in this
     * process, although closing and opening switched the target off; only a
     * forced entry brings it back.
     */
    static void enterMonitor() {
        assertEquals(0, ferrox.CPU_EnterMonitor(), "monitor entry");
    }

    @AfterEach
    void closeConnection() throws IOException {
        StdoutCapture.restore();
        ferrox.ClrError();
        ferrox.Close();
    }

    /** Where the simulator's trace ends now. */
    static long traceMark() throws IOException {
        return Files.size(TRACE);
    }

    /** The simulator's trace written since the mark: "-> .." requests, "<- .." answers. */
    static String traceSince(long mark) throws IOException {
        byte[] all = Files.readAllBytes(TRACE);
        return new String(all, (int) mark, all.length - (int) mark, StandardCharsets.US_ASCII);
    }
}
