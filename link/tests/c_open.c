/* Opens the library with no probe present, as an application written in C
 * would, and checks the result, the error text and the version. */
#include "Ferrox.h"
#include "FerroxConst.h"

#include <stdio.h>
#include <string.h>

static char lastError[4096];
static int errorCalls;

static void errorOut(const char *sText) {
    ++errorCalls;
    snprintf(lastError, sizeof lastError, "%s", sText);
}

static void logOut(const char *sText) {
    (void)sText;
}

int main(int argc, char **argv) {
    const char *expected = argc > 1 ? argv[1] : "";
    int failures = 0;
    int r = FERROX_Open(logOut, errorOut);
    if (r != 1) {
        printf("FERROX_Open returned %d, expected 1\n", r);
        ++failures;
    }
    if (errorCalls != 1 || strcmp(lastError, expected) != 0) {
        printf("error output (%d calls): \"%s\", expected \"%s\"\n", errorCalls, lastError, expected);
        ++failures;
    }
    if (FERROX_GetDLLVersion() != 1092) {
        printf("FERROX_GetDLLVersion returned %d\n", FERROX_GetDLLVersion());
        ++failures;
    }
    if (FERROX_IsOpen() != 0 || FERROX_HasError() != -1) {
        printf("connection state wrong after the failed open\n");
        ++failures;
    }
    if (FERROX_CPU_IsHalted() != FERROX_HALT_STATE_RUNNING) {
        printf("FERROX_CPU_IsHalted without a probe did not return 0\n");
        ++failures;
    }
    FERROX_Close();
    printf("%d passed, %d failed\n", failures == 0 ? 1 : 0, failures == 0 ? 0 : 1);
    return failures == 0 ? 0 : 1;
}
