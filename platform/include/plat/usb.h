// Real probes on the USB bus.
//
// The device namespace (plat/device.h) resolves the driver's names
// (\\.\halvornquidor<N>, \pipe00, \pipe01) to in-process devices first; a
// name none of them claims reaches a Quidor probe on the bus, found by its
// vendor ID and named by its product ID as the driver names its links. Real
// probes answer on the wall clock: under a virtual clock only in-process
// devices exist.
#pragma once

namespace plat {

// The udev rule that lets the logged-in user open probes without root.
inline constexpr const char kUsbRulesFile[] = "70-quidor.rules";

enum class UsbNotice {
    NoPermission, // a probe is there, but this user may not open its device node
    InUse,        // a probe is there, but another program holds its interface
};

// Where the provider tells what keeps a present probe from being opened:
// once per probe and problem, as text naming the cure. Without a sink the
// text goes to standard error. The sink may be called from any thread that
// opens a device.
using UsbNoticeSink = void (*)(UsbNotice notice, const char *text);
void setUsbNoticeSink(UsbNoticeSink sink);

} // namespace plat
