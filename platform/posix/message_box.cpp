#include "../common/system.h"

#include <cstdio>

namespace plat::system {

// No desktop to show it on: the box goes to standard error as one block.
void showMessageBox(const char *text, const char *caption, MessageIcon) {
    (void)std::fprintf(stderr, "[%s] %s\n", caption, text);
    (void)std::fflush(stderr);
}

} // namespace plat::system
