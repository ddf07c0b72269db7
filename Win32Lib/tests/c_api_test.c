#include "MEMAREA.h"
#include "OUTFILE.h"
/* The public headers compile as C. */
int win32lib_c_api_compiles(void);
int win32lib_c_api_compiles(void) {
    MEMAREA_HANDLE h = MEMAREA_Create();
    int n = MEMAREA_GetNumRanges(h);
    MEMAREA_Delete(h);
    return n;
}
