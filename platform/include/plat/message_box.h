// The message box stand-in: a caption and a text shown to the user.
//
// On POSIX there is no desktop to show it on, so it goes to standard error
// as one block; tests may install a hook to capture it instead.
#pragma once

namespace plat {

enum class MessageIcon { Warning, Error };

void messageBox(const char *text, const char *caption, MessageIcon icon);

using MessageBoxHook = void (*)(const char *text, const char *caption, MessageIcon icon);
// Installs a hook that receives every message box (nullptr restores stderr).
void setMessageBoxHook(MessageBoxHook hook);

} // namespace plat
