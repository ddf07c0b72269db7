package com.ostrel.automotive.acx.kelvar.tamsadbg;

/**
 * The Quidor probe and the Tamsa target behind it, through the probe link
 * library {@code Ferrox}.
 *
 * <p>Loading this class loads the native bridge {@code ferroxjni}
 * ({@code libferroxjni.so}, {@code ferroxjni.dll}), which needs the link
 * library beside it; run Java with {@code -Djava.library.path=DIR} naming
 * their folder. Almost every method forwards its arguments to the link
 * library's export of the same name with the prefix {@code FERROX_} and
 * returns its result unchanged; the library's documentation gives the
 * values. The library serves one probe per process, so all instances of this
 * class share one connection.
 *
 * <p>A process started with the environment variable
 * {@code QUIDOR_SERVER=HOST:PORT} reaches a probe server over TCP/IP (or the
 * simulated probe {@code quidorsim}); {@link #SelectTCPIP(String, int)} and
 * {@link #SelectUSB(int)} choose the transport at run time.
 *
 * <p>Arrays are passed to the library as they are: a method that reads into
 * an array needs one of at least the counted size; a method that refuses a
 * missing buffer in the library ({@code null} or too short an array) returns
 * the library's refusal value and leaves the array unchanged. Texts from the
 * library reach the callback object given to {@link #Open(Object)}, or
 * standard output without one. {@link #upload(String, int, int)} and
 * {@link #download(String, int)} report on standard output.
 *
 * <p>A minimal session:
 * <pre>{@code
 * Ferrox ferrox = new Ferrox();
 * if (ferrox.Open(myCallback) == 0) {
 *     byte[] data = new byte[256];
 *     ferrox.CPU_GetEROM(0x0000, data.length, data);
 *     ferrox.upload("erom.hex", 0x0000, 0x8000);
 *     ferrox.Close();
 * }
 * }</pre>
 */
public class Ferrox {
    static {
        System.loadLibrary("ferroxjni");
    }

    /** Buffer control code: start collecting items. */
    public static final int EMU_CMD_BUFFER_START = 0x01;
    /** Buffer control code: stop collecting items. */
    public static final int EMU_CMD_BUFFER_STOP = 0x02;
    /** Buffer control code: drop the collected items. */
    public static final int EMU_CMD_BUFFER_CLEAN = 0x03;
    /** Buffer control code: ask for the number of collected items. */
    public static final int EMU_CMD_BUFFER_GET_CNT = 0x04;

    /** Creates a handle on the process's one probe connection. */
    public Ferrox() {
    }

    // ------------------------------------------------------------ bridge and connection

    /**
     * Tells the bridge's name and version.
     *
     * @return 30 characters: "TamsadbgJni Library - 3.0" followed by characters 0
     */
    public native char[] getJniDllVersion();

    /**
     * Registers the callback object and opens the connection to the probe.
     *
     * <p>The object needs the methods {@code void logMessage(String)} and
     * {@code void errorMessage(String)} (see {@link FerroxCallback}); the
     * library's error texts arrive on {@code errorMessage}. A second call
     * replaces the registered object. With {@code null}, or with an object
     * that lacks one of the methods, no object is registered and the texts
     * are printed on standard output; for the object that lacks a method the
     * call ends with a {@link NoSuchMethodError} after opening the connection.
     *
     * @param callback the callback object, or {@code null}
     * @return 0 when the connection is open, 1 when it could not be opened
     */
    public native int Open(Object callback);

    /**
     * Closes the connection (close mode 0: a self-powered target runs on, the
     * probe's supply is switched off) and drops the callback object.
     */
    public native void Close();

    /**
     * Closes the connection with a close mode and drops the callback object.
     *
     * @param RunMode the close mode, 0 to 255: 0 and 1 let a self-powered target
     *                run on and switch the probe's supply off; 2 and above leave
     *                the target powered and halted
     */
    public native void CloseEx(byte RunMode);

    /** Clears the library's pending error state, so that errors are reported again. */
    public native void ClrError();

    /**
     * Tells whether an error was reported since the last {@link #ClrError()}.
     *
     * @return 1 yes, 0 no, -1 no connection open
     */
    public native int HasError();

    /**
     * Tells whether a connection is open.
     *
     * @return 1 open, 0 closed
     */
    public native byte IsOpen();

    /**
     * Tells the link library's version number.
     *
     * @return major * 1000 + minor, for instance 1092 for version 1.92
     */
    public native int GetDLLVersion();

    /**
     * Tells when the link library was built.
     *
     * @return the date and time, for instance "Sep 11 2015 15:09:13"
     */
    public native String GetCompileDateTime();

    /**
     * Selects the USB transport and the probe's port; reconnects when a
     * connection was open.
     *
     * @param Port the probe's USB port (address) 0 to 3
     * @return 0 done, 1 the reconnection failed
     */
    public native byte SelectUSB(int Port);

    /**
     * Selects the TCP/IP transport to a probe server; reconnects when a
     * connection was open.
     *
     * @param host the server's host name or IPv4 address
     * @param port the server's TCP port
     * @return 0 done, 1 the reconnection failed
     */
    public native byte SelectTCPIP(String host, int port);

    /**
     * Switches the library's log file on or off.
     *
     * @param Filename the log file's name, or "" (or {@code null}) to switch it off
     */
    public native void SetLogFile(String Filename);

    // ------------------------------------------------------------ target execution

    /**
     * Aborts a target command that waits for further words.
     *
     * @return the result of {@code FERROX_CPU_Abort}
     */
    public native int CPU_Abort();

    /**
     * Clears the target's watchpoint flags.
     *
     * @return the result of {@code FERROX_CPU_ClrWatchp}
     */
    public native int CPU_ClrWatchp();

    /**
     * Brings the target into monitor mode.
     *
     * @return 0 done, otherwise the result of {@code FERROX_CPU_EnterMonitor}
     */
    public native int CPU_EnterMonitor();

    /**
     * Erases EROM and EEPROM and lifts the protection.
     *
     * @return 0 done, otherwise the result of {@code FERROX_CPU_Erase}
     */
    public native int CPU_Erase();

    /**
     * Tells the last status word that the target answered.
     *
     * @return the status word, or a negative value when there was none
     */
    public native int CPU_GetLastResponse();

    /**
     * Starts the halted target.
     *
     * @return the result of {@code FERROX_CPU_Go}
     */
    public native int CPU_Go();

    /**
     * Halts the running target.
     *
     * @return the result of {@code FERROX_CPU_Halt}
     */
    public native int CPU_Halt();

    /**
     * Tells whether and why the target is halted.
     *
     * @return the halt state: 0 running, 1 hardware breakpoint, 2 software
     *         breakpoint, -1 unknown, -2 halted by the user, -3 error, -4 powered off
     */
    public native int CPU_IsHalted();

    /**
     * Tells whether the target is protected.
     *
     * @return the result of {@code FERROX_CPU_IsProtected}
     */
    public native int CPU_IsProtected();

    /**
     * Power-cycles the target and brings it into monitor mode.
     *
     * @return the result of {@code FERROX_CPU_PowerOnReset}
     */
    public native int CPU_PowerOnReset();

    /**
     * Protects the target's memories against read-out.
     *
     * @return the result of {@code FERROX_CPU_Protect}
     */
    public native int CPU_Protect();

    /**
     * Resets the target into the boot monitor; it stays halted.
     *
     * @return the result of {@code FERROX_CPU_Reset}
     */
    public native int CPU_Reset();

    /**
     * Executes one instruction of the halted target.
     *
     * @return the result of {@code FERROX_CPU_Step}
     */
    public native int CPU_Step();

    /**
     * Tells the probe's first capability word.
     *
     * @return the capability bits
     */
    public native int EMU_GetCaps();

    /**
     * Tells the probe's hardware version.
     *
     * @return the version, or -1
     */
    public native int EMU_GetHWVersion();

    /**
     * Tells the probe's serial number.
     *
     * @return the serial number, -1 when none is programmed, -3 when it could not be read
     */
    public native int EMU_GetSN();

    /**
     * Reads one register of the target.
     *
     * @param RegIndex 0 PC, 1 PSW, 2 to 9 R0 to R7
     * @return the register's value, or -1
     */
    public native int CPU_GetReg(int RegIndex);

    /**
     * Switches the target's I/O test mode on or off.
     *
     * @param Flag non-zero on, 0 off
     * @return the result of {@code FERROX_CPU_IoTest}
     */
    public native int CPU_IoTest(int Flag);

    /**
     * Sends one data word to the target.
     *
     * @param Data the word
     * @return the result of {@code FERROX_CPU_SendData}
     */
    public native int CPU_SendData(int Data);

    /**
     * Sets the speed of the link to the target.
     *
     * @param Speed 0 for 125 kHz, 1 for 250 kHz
     * @return the probe status (0 done), or -1
     */
    public native int CPU_SetBaud(int Speed);

    /**
     * Sets the probe's USB address in its configuration memory.
     *
     * @param Addr the address 0 to 3
     * @return the result of {@code FERROX_EMU_SetUSBAddr}
     */
    public native int EMU_SetUSBAddr(int Addr);

    /**
     * Reads the target's device status.
     *
     * @param SuppressErrorOut non-zero to report no error
     * @return the result of {@code FERROX_CPU_GetStatus}
     */
    public native int CPU_GetStatus(byte SuppressErrorOut);

    /**
     * Tells whether and why the target is halted, optionally without reporting errors.
     *
     * @param SuppressErrorOut non-zero to report no error
     * @return the halt state as {@link #CPU_IsHalted()} gives it
     */
    public native int CPU_IsHaltedEx(byte SuppressErrorOut);

    /**
     * Switches the probe's interface to the target.
     *
     * @param Mode 0 off, otherwise on
     * @return the result of {@code FERROX_EMU_SwitchInterface}
     */
    public native int EMU_SwitchInterface(byte Mode);

    /**
     * Switches the probe's supply of the target.
     *
     * @param Mode 0 off, otherwise on
     * @return the result of {@code FERROX_EMU_SwitchPower}
     */
    public native int EMU_SwitchPower(byte Mode);

    /**
     * Switches the probe's supply of the target with a voltage selection
     * (probes that announce it).
     *
     * @param Mode 0 off, 1 on at 3 V, 2 on at 5 V
     * @return 0 done, 1 not supported by the probe, 2 wrong parameter, 3 the
     *         configuration fixes another voltage, -1 failure
     */
    public native int EMU_SwitchPowerEx(byte Mode);

    /**
     * Copies one EROM page inside the target.
     *
     * @param srcAddr the source page
     * @param desAddr the destination page
     * @return the result of {@code FERROX_CPU_CopyPage}
     */
    public native int CPU_CopyPage(int srcAddr, int desAddr);

    /**
     * Sends one command word to the target.
     *
     * @param Command the command code
     * @param Mode    the command mode
     * @return the result of {@code FERROX_CPU_SendCommand}
     */
    public native int CPU_SendCommand(int Command, int Mode);

    /**
     * Writes one register of the halted target.
     *
     * @param RegIndex 0 PC, 1 PSW, 2 to 9 R0 to R7
     * @param Data     the value (16 bits)
     * @return the result of {@code FERROX_CPU_SetReg}
     */
    public native int CPU_SetReg(int RegIndex, int Data);

    /**
     * Sets or removes a breakpoint.
     *
     * @param Addr  the breakpoint's address (a word address)
     * @param Flags the control word: bits 3..0 the breakpoint number 0 to 3,
     *              bits 7..4 its flags; flags 0 remove the breakpoint
     * @return the result of {@code FERROX_CPU_WriteBP}
     */
    public native int CPU_WriteBP(int Addr, int Flags);

    // ------------------------------------------------------------ target memories

    /**
     * Programs selected bytes of one ULP page.
     *
     * @param Addr the page number
     * @param Mask bit i selects byte i (bit 0 the least significant byte)
     * @param Data the page's new value
     * @return the result of {@code FERROX_CPU_ProgUlpBytes}
     */
    public native int CPU_ProgUlpBytes(int Addr, int Mask, int Data);

    /**
     * Sets a bit field of a 16-bit DATA word.
     *
     * @param Addr     the word's byte address
     * @param Position the field's lowest bit
     * @param Width    the field's width in bits
     * @param Data     the field's value
     * @return the result of {@code FERROX_CPU_SetBitField}
     */
    public native int CPU_SetBitField(int Addr, int Position, int Width, int Data);

    /**
     * Controls the probe's system buffer.
     *
     * @param Cmd one of the {@code EMU_CMD_BUFFER_} codes
     * @return the result of {@code FERROX_EMU_ControlSystemBuffer}
     */
    public native int EMU_ControlSystemBuffer(int Cmd);

    /**
     * Controls the probe's user buffer.
     *
     * @param Cmd one of the {@code EMU_CMD_BUFFER_} codes
     * @return the result of {@code FERROX_EMU_ControlUserBuffer}
     */
    public native int EMU_ControlUserBuffer(int Cmd);

    /**
     * Reads DATA memory into an array.
     *
     * @param Addr     the byte address
     * @param NumBytes the number of bytes
     * @param Data     receives the bytes; at least {@code NumBytes} long
     * @return the number of bytes read, or a failure value (-1)
     */
    public native int CPU_GetData(int Addr, int NumBytes, byte[] Data);

    /**
     * Reads EEPROM into an array.
     *
     * @param Addr     the byte address
     * @param NumBytes the number of bytes
     * @param Data     receives the bytes; at least {@code NumBytes} long
     * @return the number of bytes read, or a failure value (-1)
     */
    public native int CPU_GetEEPROM(int Addr, int NumBytes, byte[] Data);

    /**
     * Reads EROM into an array.
     *
     * @param Addr     the byte address
     * @param NumBytes the number of bytes
     * @param Data     receives the bytes; at least {@code NumBytes} long
     * @return the number of bytes read, or a failure value (-1)
     */
    public native int CPU_GetEROM(int Addr, int NumBytes, byte[] Data);

    /**
     * Lets the target compute the signature of a memory region.
     *
     * @param Instance the region, as the target defines it
     * @param NumBytes the number of signature bytes wanted (at most 4 are written)
     * @param Data     receives the signature, little-endian
     * @return 4, or -1
     */
    public native int CPU_CalcSign(int Instance, int NumBytes, byte[] Data);

    /**
     * Writes DATA memory.
     *
     * @param Addr     the byte address
     * @param NumBytes the number of bytes
     * @param Data     the bytes; at least {@code NumBytes} long; not changed
     * @return the number of bytes written, or a failure value
     */
    public native int CPU_SetData(int Addr, int NumBytes, byte[] Data);

    /**
     * Programs EEPROM.
     *
     * @param Addr     the byte address
     * @param NumBytes the number of bytes
     * @param Data     the bytes; at least {@code NumBytes} long; not changed
     * @return the number of bytes programmed, or a failure value
     */
    public native int CPU_ProgEEPROM(int Addr, int NumBytes, byte[] Data);

    /**
     * Programs EROM.
     *
     * @param Addr     the byte address
     * @param NumBytes the number of bytes
     * @param Data     the bytes; at least {@code NumBytes} long; not changed
     * @return the number of bytes programmed, or a failure value
     */
    public native int CPU_ProgEROM(int Addr, int NumBytes, byte[] Data);

    /**
     * Reads ULP pages.
     *
     * @param Addr     the first page number
     * @param NumPages the number of pages
     * @param Data     receives one 32-bit page an element; at least {@code NumPages} long
     * @return the number of pages read, or a failure value
     */
    public native int CPU_GetULP(int Addr, int NumPages, int[] Data);

    /**
     * Programs ULP pages.
     *
     * @param Addr     the first page number
     * @param NumPages the number of pages
     * @param Data     one 32-bit page an element; at least {@code NumPages} long; not changed
     * @return the number of pages programmed, or a failure value
     */
    public native int CPU_ProgULP(int Addr, int NumPages, int[] Data);

    /**
     * Copies bytes of the probe's configuration memory (as read at connect).
     *
     * @param Data     receives the bytes; at least {@code NumBytes} long
     * @param Offset   the first byte, 0 to 255
     * @param NumBytes the number of bytes
     * @return 0 done, 1 bad range or buffer, 2 the probe cannot read it
     */
    public native int EMU_ReadConfigMem(byte[] Data, int Offset, int NumBytes);

    /**
     * Writes bytes of the probe's configuration memory.
     *
     * @param Data     the bytes; at least {@code NumBytes} long; not changed
     * @param Offset   the first byte, 0 to 255
     * @param NumBytes the number of bytes
     * @return 0 done, otherwise the result of {@code FERROX_EMU_WriteConfigMem}
     */
    public native int EMU_WriteConfigMem(byte[] Data, int Offset, int NumBytes);

    /**
     * Reads items collected in the probe's system buffer.
     *
     * @param NumItems the most items wanted
     * @param Data     receives the 16-bit items; at least {@code NumItems} long
     * @return the number of items read, or -1
     */
    public native int EMU_ReadSystemBuffer(int NumItems, short[] Data);

    /**
     * Reads items collected in the probe's user buffer.
     *
     * @param NumItems the most items wanted
     * @param Data     receives the 16-bit items; at least {@code NumItems} long
     * @return the number of items read, or -1
     */
    public native int EMU_ReadUserBuffer(int NumItems, short[] Data);

    // ------------------------------------------------------------ composite calls

    /**
     * Reads all ten registers into the {@code short} fields "PC", "PSW" and
     * "R0" to "R7" of an object (for instance a {@link TamsaRegisters}).
     *
     * <p>The fields are written also when the read failed. A field that the
     * object's class lacks is skipped, the others are set, and the call then
     * ends with a {@link NoSuchFieldError}.
     *
     * @param Registers the object to fill; {@code null} reads the registers only
     * @return 10 (the number of registers), or -1
     */
    public native int CPU_GetRegsAll(Object Registers);

    /**
     * Reads the target's version items.
     *
     * <p>Each item is one 32-bit element. Call it with an empty array to
     * learn the number of items, then with an array of that length; a shorter
     * array receives the items that fit.
     *
     * @param Data receives the items
     * @return the number of items, or -1
     */
    public native int CPU_GetVersion(int[] Data);

    /**
     * Programs a run of bits inside EROM.
     *
     * @param Address the word address where the run starts
     * @param Offset  the first bit of the run, 0 to 15
     * @param NumBits the number of bits
     * @param Data    the bits' 16-bit words, little-endian, at most 64 bytes, and
     *                at least {@code (Offset + NumBits + 7) / 8} bytes
     * @return the result of {@code FERROX_CPU_ProgPfBits}, or -1 when
     *         {@code Data} is longer than 64 bytes or too short for the run
     */
    public native int CPU_ProgPfBits(int Address, int Offset, int NumBits, byte[] Data);

    /**
     * Lifts the target's protection with its key.
     *
     * @param hexKey the 128-bit key as 32 hexadecimal digits
     * @return the result of {@code FERROX_CPU_Unprotect}
     */
    public native int CPU_Unprotect(String hexKey);

    /**
     * Runs text commands of the link library ("SetSN=123", "UpdateFirmware", ...).
     *
     * @param Command   the command text
     * @param Responses element 0, when there is one, receives the reply text
     *                  (at most 255 characters)
     * @return 0 all commands done, 1 error
     */
    public native int EMU_ExecCommand(String Command, String[] Responses);

    /**
     * Tells the probe's firmware text.
     *
     * @return the text (at most 255 characters), empty when it could not be read
     */
    public native String EMU_GetFirmwareString();

    /**
     * Reads the probe's hardware status into the fields "VTarget"
     * ({@code short}) and "SDA", "SCL", "SDAout", "Wakeout", "FPGA",
     * "TargetPowerOn" ({@code byte}) of an object (for instance a
     * {@link FerroxHWStatus}).
     *
     * <p>A field that the object's class lacks is skipped, the others are
     * set, and the call then ends with a {@link NoSuchFieldError}.
     *
     * @param hwStatus the object to fill; {@code null} reads the status only
     * @return 0 done, 1 failed, -1 no connection
     */
    public native int EMU_GetHWStatus(Object hwStatus);

    /**
     * Copies EROM into a file, reporting on standard output.
     *
     * <p>The file is an Intel HEX file when its name's extension begins with
     * ".hex" (in any case), and when the name has no "." at all, in which case
     * ".Hex" is appended; it is a raw binary file otherwise.
     *
     * @param fname   the file's name, at most 511 bytes (".Hex" included)
     * @param address the first EROM byte address
     * @param size    the number of bytes, above 0
     * @return 0 done (also when nothing could be read or written: see the
     *         printed lines), 6 bad parameter, -1 out of memory
     */
    public native int upload(String fname, int address, int size);

    /**
     * Programs a file into EROM, reporting on standard output.
     *
     * <p>The file kind follows the name as in {@link #upload(String, int, int)}.
     * An Intel HEX file is programmed at its own addresses, a binary file from
     * {@code address} upward.
     *
     * @param fname   the file's name, at most 511 bytes (".Hex" included)
     * @param address the load address of a binary file
     * @return 0 done, -1 failure (see the printed lines), -140 the file does
     *         not exist
     */
    public native int download(String fname, int address);
}
