// A second process that loads the library and takes its API lock.
//   hold: takes the lock, says "locked", releases it after a line on stdin.
//   die:  takes the lock, says "locked" and dies holding it.
#include "api.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

int main(int argc, char **argv) {
    const char *mode = argc > 1 ? argv[1] : "hold";
    API_Lock("lock_holder");
    std::printf("locked\n");
    std::fflush(stdout);
    if (std::strcmp(mode, "die") == 0) {
        ::_exit(3);
    }
    char line[16];
    if (std::fgets(line, sizeof line, stdin) == nullptr) {
        return 2;
    }
    API_Unlock();
    std::printf("released\n");
    return 0;
}
