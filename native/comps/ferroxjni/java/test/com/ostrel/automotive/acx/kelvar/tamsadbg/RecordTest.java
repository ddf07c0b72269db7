package com.ostrel.automotive.acx.kelvar.tamsadbg;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;

import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/** Registers and hardware status into the fields of Java objects. */
class RecordTest extends BridgeTest {
    /** Some of the registers, and R0 of a type that does not match. */
    static final class SomeRegisters {
        short PC = 11;
        int R0 = 22;
        short R7 = 33;
        short R8 = 44;
    }

    /** Some of the status, and SDA of a type that does not match. */
    static final class SomeStatus {
        short VTarget = 11;
        short SDA = 22;
        byte FPGA = 33;
        byte TargetPowerOn = 44;
    }

    @BeforeEach
    void openWithRecorder() {
        open();
    }

    @Test
    void registersFillEveryShortField() {
        assertEquals(0, ferrox.CPU_SetReg(0, 0x1234));
        assertEquals(0, ferrox.CPU_SetReg(4, 0x8001));
        TamsaRegisters r = new TamsaRegisters();
        assertEquals(10, ferrox.CPU_GetRegsAll(r));
        assertEquals(0x1234, r.PC);
        assertEquals((short) 0x8001, r.R2, "16 bits, negative in Java above 0x7FFF");
        assertEquals(0x2000, r.R7);
        assertEquals(0, r.R3);
    }

    @Test
    void registersSkipTheFieldsAClassLacks() {
        assertEquals(0, ferrox.CPU_SetReg(0, 0x0042));
        SomeRegisters r = new SomeRegisters();
        assertThrows(NoSuchFieldError.class, () -> ferrox.CPU_GetRegsAll(r));
        assertEquals(0x0042, r.PC);
        assertEquals(22, r.R0);
        assertEquals(0x2000, r.R7);
        assertEquals(44, r.R8);
    }

    @Test
    void registersAreWrittenAlsoWhenTheReadFails() {
        // a pending error stops target operations until ClrError
        assertEquals(16, ferrox.CPU_WriteBP(0x100, 0x45));
        TamsaRegisters r = new TamsaRegisters();
        r.PC = 5;
        r.R7 = 6;
        assertEquals(-1, ferrox.CPU_GetRegsAll(r));
        assertEquals(0, r.PC);
        assertEquals(0, r.R7);
    }

    @Test
    void hardwareStatusFillsEveryField() {
        assertEquals(10, ferrox.CPU_GetRegsAll(null)); // powers the target
        FerroxHWStatus s = new FerroxHWStatus();
        assertEquals(0, ferrox.EMU_GetHWStatus(s));
        assertEquals(3300, s.VTarget);
        assertEquals(1, s.SDA);
        assertEquals(1, s.SCL);
        assertEquals(0, s.SDAout);
        assertEquals(1, s.Wakeout);
        assertEquals(1, s.FPGA);
        assertEquals(1, s.TargetPowerOn);
        assertEquals(0, ferrox.EMU_GetHWStatus(null));
    }

    @Test
    void hardwareStatusSkipsTheFieldsAClassLacks() {
        assertEquals(10, ferrox.CPU_GetRegsAll(null));
        SomeStatus s = new SomeStatus();
        assertThrows(NoSuchFieldError.class, () -> ferrox.EMU_GetHWStatus(s));
        assertEquals(3300, s.VTarget);
        assertEquals(22, s.SDA);
        assertEquals(1, s.FPGA);
        assertEquals(1, s.TargetPowerOn);
    }
}
