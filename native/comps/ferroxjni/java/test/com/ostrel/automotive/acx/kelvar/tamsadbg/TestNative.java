package com.ostrel.automotive.acx.kelvar.tamsadbg;

/** Native help for the tests (libferroxjni_testnative). */
final class TestNative {
    static {
        System.loadLibrary("ferroxjni_testnative");
    }

    private TestNative() {
    }

    /** FERROX_CPU_WriteBP on a thread that Java did not create; its result. */
    static native int writeBpOnForeignThread(int addr, int flags);

    /** Sends the process's standard output (file descriptor 1) into a file. */
    static native boolean redirectStdout(String path);

    /** Puts the process's standard output back. */
    static native boolean restoreStdout();
}
