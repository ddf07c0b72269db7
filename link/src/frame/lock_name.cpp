// The API lock's name, compiled into each build of the library on its own.
#include "api.h"

#ifndef FERROX_LOCK_NAME
#error "FERROX_LOCK_NAME must name the API lock"
#endif

const char *const API_LockName = FERROX_LOCK_NAME;
