package com.ostrel.automotive.acx.kelvar.tamsadbg;

/**
 * The ten registers of the Tamsa CPU, as {@link Ferrox#CPU_GetRegsAll(Object)}
 * fills them.
 *
 * <p>Each register is 16 bits wide; values above 0x7FFF appear negative in
 * the Java {@code short} (use {@code value & 0xFFFF} for the unsigned
 * value). Any other class with {@code short} fields of these names serves
 * as well.
 */
public class TamsaRegisters {
    /** Program counter (a word address). */
    public short PC;
    /** Processor status word. */
    public short PSW;
    /** Register R0. */
    public short R0;
    /** Register R1. */
    public short R1;
    /** Register R2. */
    public short R2;
    /** Register R3. */
    public short R3;
    /** Register R4. */
    public short R4;
    /** Register R5. */
    public short R5;
    /** Register R6. */
    public short R6;
    /** Register R7, the stack pointer. */
    public short R7;

    /** Creates a record with every register 0. */
    public TamsaRegisters() {
    }

    /**
     * Tells the registers as text, each in four hexadecimal digits.
     *
     * @return the text, for instance "PC=0000 PSW=0000 R0=0000 ... R7=2000"
     */
    @Override
    public String toString() {
        return String.format("PC=%04X PSW=%04X R0=%04X R1=%04X R2=%04X R3=%04X R4=%04X R5=%04X R6=%04X R7=%04X",
                PC & 0xFFFF, PSW & 0xFFFF, R0 & 0xFFFF, R1 & 0xFFFF, R2 & 0xFFFF, R3 & 0xFFFF, R4 & 0xFFFF,
                R5 & 0xFFFF, R6 & 0xFFFF, R7 & 0xFFFF);
    }
}
