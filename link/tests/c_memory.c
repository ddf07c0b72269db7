/* Uses the target's memories through the library on whatever probe it finds
 * (QUIDOR_SERVER selects a probe server) and prints each result, one a
 * line: every memory written and read back, the target's signature against
 * the one computed here, protection, version items, erase. */
#include "Ferrox.h"
#include "FerroxConst.h"

#include <stdio.h>
#include <string.h>

#define EROM_BYTES 32768

static unsigned char image[600];
static unsigned char back[600];
static unsigned char erom[EROM_BYTES];

static void errorOut(const char *sText) {
    printf("error %s\n", sText);
}

/* The target's 24-bit signature of a byte image, computed on the host. */
static unsigned long signature(const unsigned char *p, unsigned long n) {
    unsigned long s = 0;
    unsigned long i;
    for (i = 0; i + 1 < n; i += 2) {
        const unsigned long w = (unsigned long)p[i] | (unsigned long)p[i + 1] << 8;
        s = (s >> 1) ^ ((s & 1u) != 0 ? 0xD80000ul : 0ul) ^ (w << 8);
    }
    return s;
}

static int same(int n) {
    return n > 0 && memcmp(image, back, (size_t)n) == 0;
}

int main(void) {
    U8 sig[4];
    U32 pages[3] = {0x11223344u, 0x55667788u, 0x99AABBCCu};
    U32 pagesBack[3];
    unsigned long value;
    int i;
    int n;
    for (i = 0; i < (int)sizeof image; ++i) {
        image[i] = (unsigned char)(i * 7 + 3);
    }
    if (FERROX_Open(NULL, errorOut) != 0) {
        printf("open failed\n");
        return 1;
    }
    printf("enter %d\n", FERROX_CPU_EnterMonitor());
    printf("setdata %d\n", FERROX_CPU_SetData(0x0101, 600, image));
    n = FERROX_CPU_GetData(0x0101, 600, back);
    printf("getdata %d same %d\n", n, same(n));
    printf("progeeprom %d\n", FERROX_CPU_ProgEEPROM(0x003F, 300, image));
    n = FERROX_CPU_GetEEPROM(0x003F, 300, back);
    printf("geteeprom %d same %d\n", n, same(n));
    printf("progerom %d\n", FERROX_CPU_ProgEROM(0x0041, 130, image));
    n = FERROX_CPU_GetEROM(0x0041, 130, back);
    printf("geterom %d same %d\n", n, same(n));
    printf("progulp %d\n", FERROX_CPU_ProgULP(0x10, 3, pages));
    n = FERROX_CPU_GetULP(0x10, 3, pagesBack);
    printf("getulp %d same %d\n", n, memcmp(pages, pagesBack, sizeof pages) == 0);
    printf("wholeerom %d\n", FERROX_CPU_GetEROM(0, EROM_BYTES, erom));
    printf("calcsign %d\n", FERROX_CPU_CalcSign(0, 4, sig));
    value = (unsigned long)sig[0] | (unsigned long)sig[1] << 8 | (unsigned long)sig[2] << 16 |
            (unsigned long)sig[3] << 24;
    printf("signature matches %d\n", value == signature(erom, EROM_BYTES));
    printf("protect %d\n", FERROX_CPU_Protect());
    printf("isprotected %d\n", FERROX_CPU_IsProtected());
    printf("getdata %d\n", FERROX_CPU_GetData(0x0101, 4, back));
    FERROX_ClrError();
    printf("protect %d\n", FERROX_CPU_Protect());
    printf("unprotect %d\n", FERROX_CPU_Unprotect("00112233445566778899aabbccddeeff"));
    printf("isprotected %d\n", FERROX_CPU_IsProtected());
    n = FERROX_CPU_GetVersion(NULL);
    printf("versions %d\n", n);
    printf("protect %d\n", FERROX_CPU_Protect());
    printf("erase %d\n", FERROX_CPU_Erase());
    printf("isprotected %d\n", FERROX_CPU_IsProtected());
    n = FERROX_CPU_GetEROM(0x0040, 2, back);
    printf("erased %d 0x%02X%02X\n", n, back[1], back[0]);
    FERROX_CloseEx(2);
    return 0;
}
