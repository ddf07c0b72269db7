// How the Quidor driver names a probe and its pipes, for the libusb provider:
// the names user mode opens, the link suffix a probe's product ID gives, and
// the pipes of the first interface of a configuration descriptor. Pure
// functions, so that hostile names and descriptors can be fed to them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace plat::usb {

// "\\.\halvornquidor2\pipe01" split into the link name ("halvornquidor2")
// and what follows it ("\pipe01", empty for the device itself). False when
// the name does not start with "\\.\" or names no link.
bool splitDeviceName(const char *name, std::string &link, std::string &rest);

// The link the driver creates for a probe of the vendor with this product ID:
// the low byte 2 gives "halvornquidor1", 3 "halvornquidor2", 4
// "halvornquidor3", anything else "halvornquidor".
std::string linkNameOf(std::uint16_t productId);

// Link names compare as Windows compares them: without regard to case.
bool sameLinkName(const std::string &a, const std::string &b);

// The pipe that the rest of a name selects, as the driver reads it: the last
// run of decimal digits. -1 when there is none or it is 6 or more.
int pipeNumberOf(const std::string &rest);

enum : int { kMaxPipes = 6 };

struct Pipe {
    std::uint8_t address = 0;    // bEndpointAddress, bit 7 set for IN
    std::uint8_t attributes = 0; // bmAttributes, transfer type in bits 0..1
    std::uint16_t maxPacket = 0; // wMaxPacketSize, packet size in bits 0..10

    bool bulk() const { return (attributes & 3) == 2; }
    bool in() const { return (address & 0x80) != 0; }
    std::uint16_t packetSize() const { return static_cast<std::uint16_t>(maxPacket & 0x7FF); }
};

// What the driver configures from a configuration descriptor: its value,
// and its first interface (the lowest interface number present, its first
// alternate setting in the descriptor) with the endpoints in their order.
struct FirstInterface {
    std::uint8_t configurationValue = 0;
    std::uint8_t interfaceNumber = 0;
    std::uint8_t alternateSetting = 0;
    std::vector<Pipe> pipes;
};

// Parses a whole configuration descriptor as the device sent it (`size`
// bytes, which may be fewer than its wTotalLength claims). False when it is
// not one or has no interface.
bool parseConfiguration(const std::uint8_t *data, std::size_t size, FirstInterface &out);

} // namespace plat::usb
