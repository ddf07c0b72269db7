/* Drives the target through the library on whatever probe it finds
 * (QUIDOR_SERVER selects a probe server) and prints each result, one a
 * line: monitor entry, registers, step, run, halt, reset. */
#include "Ferrox.h"
#include "FerroxConst.h"

#include <stdio.h>

static void errorOut(const char *sText) {
    printf("error %s\n", sText);
}

int main(void) {
    TAMSA_REGISTERS regs;
    int n;
    if (FERROX_Open(NULL, errorOut) != 0) {
        printf("open failed\n");
        return 1;
    }
    printf("enter %d\n", FERROX_CPU_EnterMonitor());
    printf("setreg %d\n", FERROX_CPU_SetReg(0, 0x10100));
    printf("setreg %d\n", FERROX_CPU_SetReg(2, 0x1234));
    n = FERROX_CPU_GetRegsAll(&regs);
    printf("regs %d pc 0x%04X r0 0x%04X\n", n, (unsigned)regs.PC, (unsigned)regs.R0);
    printf("step %d\n", FERROX_CPU_Step());
    printf("pc 0x%08X\n", (unsigned)FERROX_CPU_GetReg(0));
    printf("halted %d\n", FERROX_CPU_IsHalted());
    printf("go %d\n", FERROX_CPU_Go());
    printf("halted %d\n", FERROX_CPU_IsHalted());
    printf("halt %d\n", FERROX_CPU_Halt());
    printf("halted %d\n", FERROX_CPU_IsHalted());
    printf("reset %d\n", FERROX_CPU_Reset());
    printf("pc 0x%08X\n", (unsigned)FERROX_CPU_GetReg(0));
    printf("reg10 0x%08X\n", (unsigned)FERROX_CPU_GetReg(10));
    FERROX_CloseEx(2);
    return 0;
}
