package com.ostrel.automotive.acx.kelvar.tamsadbg;

import java.util.List;
import java.util.concurrent.CopyOnWriteArrayList;

/** A callback object that keeps what it receives, and on which thread. */
class Recorder implements FerroxCallback {
    final List<String> logs = new CopyOnWriteArrayList<>();
    final List<String> errors = new CopyOnWriteArrayList<>();
    final List<Thread> errorThreads = new CopyOnWriteArrayList<>();

    @Override
    public void logMessage(String message) {
        logs.add(message);
    }

    @Override
    public void errorMessage(String message) {
        errors.add(message);
        errorThreads.add(Thread.currentThread());
    }
}
