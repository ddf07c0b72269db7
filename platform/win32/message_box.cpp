#include "../common/system.h"

#include <windows.h>

namespace plat::system {

// No owner window; on top of every window and modal for the program's
// windows, so that it is seen whatever the program shows.
void showMessageBox(const char *text, const char *caption, MessageIcon icon) {
    const UINT iconFlag = icon == MessageIcon::Error ? MB_ICONERROR : MB_ICONWARNING;
    MessageBoxA(nullptr, text, caption, MB_OK | MB_TOPMOST | MB_TASKMODAL | iconFlag);
}

} // namespace plat::system
