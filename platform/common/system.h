// What the platform-neutral parts of the layer take from the implementation
// of one platform (posix/ or win32/). Internal to the platform layer.
#pragma once

#include "plat/clock.h"
#include "plat/device.h"
#include "plat/message_box.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace plat::system {

// The wall clock of the platform.
Clock &wallClock();

// Opens a device or pipe that no registered provider serves; nullptr with
// the Windows error code when there is none by that name.
std::unique_ptr<DeviceFile> openDevice(const char *name, std::uint32_t &winError);

// Shows a message box to the user (no hook installed).
void showMessageBox(const char *text, const char *caption, MessageIcon icon);

// The longest file name the system takes, its terminating NUL included.
extern const std::size_t kMaxPathLength;

// The file test hooks: true when this write (or read) is to fail.
bool takeWriteFault();
bool takeReadFault();

// The named mutex's test hooks, run where the platform's code waits and
// releases.
void runBeforeWaitHook();

} // namespace plat::system
