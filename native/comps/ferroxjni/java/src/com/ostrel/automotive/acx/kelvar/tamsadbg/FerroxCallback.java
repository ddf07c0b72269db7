package com.ostrel.automotive.acx.kelvar.tamsadbg;

/**
 * Receives the texts of the probe link library.
 *
 * <p>An object handed to {@link Ferrox#Open(Object)} needs only the two methods
 * named here, with these parameter and result types; implementing this
 * interface is the simplest way to have them. The methods may be called on
 * any thread that calls into the library, also on threads that Java did not
 * create. An exception thrown by them is discarded.
 */
public interface FerroxCallback {
    /**
     * Receives a log text of the library.
     *
     * @param message the text as the library wrote it
     */
    void logMessage(String message);

    /**
     * Receives the error text that the library collected during one call,
     * at the end of that call.
     *
     * @param message the error text, possibly several lines
     */
    void errorMessage(String message);
}
