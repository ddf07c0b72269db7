/* A user's program on the installed library: opens the probe that
 * QUIDOR_SERVER names, writes DATA and reads it back, keeps what it read as
 * an Intel HEX file with the memory image library and reads that back.
 *   downstream FOLDER
 * Prints what it did; exits with 1 at the first result that is not as
 * expected. */
#include <Ferrox.h>
#include <FerroxConst.h>
#include <MEMAREA.h>

#include <stdio.h>
#include <string.h>

#define ADDR 0x0200u
#define SIZE 64u

static void errorOut(const char *sText) {
    printf("error: %s\n", sText);
}

static int fail(const char *what) {
    printf("FAILED: %s\n", what);
    FERROX_Close();
    return 1;
}

int main(int argc, char **argv) {
    U8 image[SIZE];
    U8 back[SIZE];
    U8 fromFile[SIZE];
    char path[1024];
    char error[256];
    MEMAREA_HANDLE area;
    unsigned i;
    int ok;
    if (argc != 2) {
        fprintf(stderr, "usage: downstream FOLDER\n");
        return 2;
    }
    printf("library %d, compiled %s\n", FERROX_GetDLLVersion(), FERROX_GetCompileDateTime());
    if (FERROX_Open(NULL, errorOut) != 0) {
        printf("FAILED: open\n");
        return 1;
    }
    for (i = 0; i < SIZE; ++i) {
        image[i] = (U8)(0xA5u ^ (i * 7u));
    }
    if (FERROX_CPU_EnterMonitor() != 0) {
        return fail("enter monitor");
    }
    if (FERROX_CPU_SetData(ADDR, SIZE, image) != (int)SIZE) {
        return fail("write DATA");
    }
    if (FERROX_CPU_GetData(ADDR, SIZE, back) != (int)SIZE || memcmp(image, back, SIZE) != 0) {
        return fail("read DATA");
    }
    printf("DATA %.4X..%.4X read back\n", ADDR, ADDR + SIZE - 1);

    snprintf(path, sizeof path, "%s/data.hex", argv[1]);
    area = MEMAREA_Create();
    ok = area != NULL && MEMAREA_Add(area, ADDR, SIZE, back) == 0 &&
         MEMAREA_WriteHexFile(area, path, error, (int)sizeof error) == 0;
    MEMAREA_Delete(area);
    if (!ok) {
        return fail("write the HEX file");
    }
    area = MEMAREA_Create();
    ok = area != NULL && MEMAREA_ReadHexFile(area, path, error, (int)sizeof error) == 0 &&
         MEMAREA_GetFirstAddr(area) == ADDR && MEMAREA_GetLastAddr(area) == ADDR + SIZE - 1 &&
         MEMAREA_ReadMem(area, ADDR, SIZE, fromFile, 0xFF) == 0 && memcmp(image, fromFile, SIZE) == 0;
    MEMAREA_Delete(area);
    if (!ok) {
        return fail("read the HEX file back");
    }
    printf("HEX file holds the same bytes\n");
    FERROX_Close();
    return 0;
}
