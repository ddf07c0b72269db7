/* Opens the library on whatever probe it finds (QUIDOR_SERVER selects a
 * probe server) and prints what the probe layer reports, one item a line;
 * the first argument, when given, is run as a text command. */
#include "Ferrox.h"

#include <stdio.h>

static void errorOut(const char *sText) {
    printf("error %s\n", sText);
}

int main(int argc, char **argv) {
    char text[256];
    char reply[128];
    FERROX_HW_STATUS status;
    if (FERROX_Open(NULL, errorOut) != 0) {
        printf("open failed\n");
        return 1;
    }
    FERROX_EMU_GetFirmwareString(text, (int)sizeof text);
    printf("firmware %s\n", text);
    printf("caps 0x%08X\n", FERROX_EMU_GetCaps());
    printf("hwversion %d\n", FERROX_EMU_GetHWVersion());
    printf("sn %d\n", FERROX_EMU_GetSN());
    if (argc > 1) {
        int r = FERROX_EMU_ExecCommand(argv[1], reply, (int)sizeof reply);
        printf("exec %d %s", r, reply);
    }
    if (FERROX_EMU_GetHWStatus(&status) == 0) {
        printf("power %u\n", (unsigned)status.TargetPowerOn);
    }
    FERROX_Close();
    return 0;
}
