// The console input table in force.
#include "console.h"

namespace {
const CONSOLE_INPUT *Installed = nullptr;
} // namespace

const CONSOLE_INPUT *CONSOLE_Input(void) {
    return Installed != nullptr ? Installed : CONSOLE_PlatformInput();
}

void CONSOLE_SetInput(const CONSOLE_INPUT *pInput) {
    Installed = pInput;
}
