// Internals shared by kshim's parts.
#pragma once

#include <ntddk.h>
#include <usb.h>

#include "kshim/kshim.h"

#include <string>

namespace kshim::detail {

// Stops the process: what the kernel would answer with a bug check.
[[noreturn]] void bugCheck(const char *what);

// Runs `f` at DISPATCH_LEVEL on this thread (completions from the bus).
template <typename F> void atDispatch(F &&f);
void raiseIrql(KIRQL level, KIRQL &old);
void lowerIrql(KIRQL old);

std::wstring widen(const std::string &text);
std::string lower(std::string text);

// Object namespace.
PDEVICE_OBJECT findDevice(const std::string &name);
std::string deviceName(PDEVICE_OBJECT device);
PDEVICE_OBJECT topOfStack(PDEVICE_OBJECT device);
// Files open on a device stack (the I/O manager counts them).
void fileOpened(PDEVICE_OBJECT top);
void fileClosed(PDEVICE_OBJECT top);
int openFiles(PDEVICE_OBJECT top);
void setOnLastClose(PDEVICE_OBJECT top, std::function<void()> action);

// An IRP that kshim itself sends, finished through `finish` when its
// completion reaches the top of the stack.
PIRP allocateIrp(CCHAR stackSize);
void freeIrp(PIRP irp);

// The bus.
PDEVICE_OBJECT createBusDevice(sim::UsbFunction &function, const DEVICE_CAPABILITIES &capabilities);
void deleteBusDevice(PDEVICE_OBJECT pdo);
void busDeviceGone(PDEVICE_OBJECT pdo);
bool busWaitWakePending(PDEVICE_OBJECT pdo);
bool busWake(PDEVICE_OBJECT pdo);
void busService(PDEVICE_OBJECT pdo);
std::size_t busUrbCount(PDEVICE_OBJECT pdo, USHORT function);
DEVICE_POWER_STATE reportedPowerState(PDEVICE_OBJECT device);
int requestedPowerIrps();

template <typename F> void atDispatch(F &&f) {
    KIRQL old;
    raiseIrql(DISPATCH_LEVEL, old);
    f();
    lowerIrql(old);
}

} // namespace kshim::detail
