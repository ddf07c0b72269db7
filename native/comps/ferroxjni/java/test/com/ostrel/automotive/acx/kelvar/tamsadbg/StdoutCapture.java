package com.ostrel.automotive.acx.kelvar.tamsadbg;

import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;

/**
 * The process's standard output, native and Java, caught in a file while it
 * is open; in the order the two sides wrote it.
 */
final class StdoutCapture implements AutoCloseable {
    private static StdoutCapture current;
    private final Path file;
    private boolean open;

    StdoutCapture() throws IOException {
        file = Files.createTempFile("ferroxjni-stdout", ".txt");
        System.out.flush();
        assertTrue(TestNative.redirectStdout(file.toString()));
        open = true;
        current = this;
    }

    /** Puts standard output back after a test that failed while catching it. */
    static void restore() throws IOException {
        if (current != null) {
            current.close();
        }
    }

    /** Stops catching and returns what was written. */
    String text() throws IOException {
        close();
        String text = Files.readString(file, StandardCharsets.UTF_8);
        Files.deleteIfExists(file);
        return text;
    }

    @Override
    public void close() throws IOException {
        if (open) {
            System.out.flush();
            TestNative.restoreStdout();
            open = false;
            current = null;
        }
    }
}
