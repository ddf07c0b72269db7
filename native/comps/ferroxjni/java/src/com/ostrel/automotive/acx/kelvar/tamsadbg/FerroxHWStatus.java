package com.ostrel.automotive.acx.kelvar.tamsadbg;

/**
 * The probe's hardware status, as {@link Ferrox#EMU_GetHWStatus(Object)}
 * fills it.
 *
 * <p>The line levels are 0 or 1. Any other class with fields of these names
 * and types serves as well.
 */
public class FerroxHWStatus {
    /** Target voltage in millivolts. */
    public short VTarget;
    /** Level of the SDA line. */
    public byte SDA;
    /** Level of the SCL line. */
    public byte SCL;
    /** Level the probe drives on SDA. */
    public byte SDAout;
    /** Level of the wake-up output. */
    public byte Wakeout;
    /** State of the probe's FPGA. */
    public byte FPGA;
    /** 1 while the probe supplies the target, 0 otherwise. */
    public byte TargetPowerOn;

    /** Creates a record with every field 0. */
    public FerroxHWStatus() {
    }

    /**
     * Tells the status as text.
     *
     * @return the text, for instance "VTarget=3300 mV SDA=1 SCL=1 SDAout=0 Wakeout=1 FPGA=1 TargetPowerOn=1"
     */
    @Override
    public String toString() {
        return String.format("VTarget=%d mV SDA=%d SCL=%d SDAout=%d Wakeout=%d FPGA=%d TargetPowerOn=%d",
                VTarget & 0xFFFF, SDA & 0xFF, SCL & 0xFF, SDAout & 0xFF, Wakeout & 0xFF, FPGA & 0xFF,
                TargetPowerOn & 0xFF);
    }
}
