#include "usb_names.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace plat::usb {

namespace {

const char kPrefix[] = "\\\\.\\";
const char kBaseLink[] = "halvornquidor";

constexpr std::uint8_t kTypeConfiguration = 2;
constexpr std::uint8_t kTypeInterface = 4;
constexpr std::uint8_t kTypeEndpoint = 5;

} // namespace

bool splitDeviceName(const char *name, std::string &link, std::string &rest) {
    if (name == nullptr || std::strncmp(name, kPrefix, sizeof kPrefix - 1) != 0) {
        return false;
    }
    const char *start = name + sizeof kPrefix - 1;
    const char *slash = std::strchr(start, '\\');
    link.assign(start, slash == nullptr ? std::strlen(start) : static_cast<std::size_t>(slash - start));
    rest.assign(slash == nullptr ? "" : slash);
    return !link.empty();
}

std::string linkNameOf(std::uint16_t productId) {
    std::string name = kBaseLink;
    switch (productId & 0xFF) {
    case 2:
        return name + "1";
    case 3:
        return name + "2";
    case 4:
        return name + "3";
    default:
        return name;
    }
}

bool sameLinkName(const std::string &a, const std::string &b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

int pipeNumberOf(const std::string &rest) {
    std::size_t end = rest.size();
    while (end > 0 && std::isdigit(static_cast<unsigned char>(rest[end - 1])) == 0) {
        --end;
    }
    if (end == 0) {
        return -1;
    }
    std::size_t start = end;
    while (start > 0 && std::isdigit(static_cast<unsigned char>(rest[start - 1])) != 0) {
        --start;
    }
    int value = 0;
    for (std::size_t i = start; i < end; ++i) {
        value = value * 10 + (rest[i] - '0');
        if (value >= kMaxPipes) {
            return -1;
        }
    }
    return value;
}

bool parseConfiguration(const std::uint8_t *data, std::size_t size, FirstInterface &out) {
    out = FirstInterface{};
    if (data == nullptr || size < 9 || data[0] < 9 || data[1] != kTypeConfiguration) {
        return false;
    }
    const std::size_t total = std::min<std::size_t>(size, static_cast<std::size_t>(data[2] | data[3] << 8));
    if (data[4] == 0) {
        return false; // no interfaces
    }
    out.configurationValue = data[5];

    // The first interface is the lowest interface number present; of its
    // alternate settings, the one that comes first.
    std::size_t chosen = 0;
    for (std::size_t at = data[0]; at + 2 <= total && data[at] >= 2 && at + data[at] <= total;
         at += data[at]) {
        if (data[at + 1] == kTypeInterface && data[at] >= 9 &&
            (chosen == 0 || data[at + 2] < data[chosen + 2])) {
            chosen = at;
        }
    }
    if (chosen == 0) {
        return false;
    }
    out.interfaceNumber = data[chosen + 2];
    out.alternateSetting = data[chosen + 3];
    const std::size_t endpoints = data[chosen + 4];
    for (std::size_t at = chosen + data[chosen];
         out.pipes.size() < endpoints && at + 2 <= total && data[at] >= 2 && at + data[at] <= total;
         at += data[at]) {
        if (data[at + 1] == kTypeInterface) {
            break;
        }
        if (data[at + 1] == kTypeEndpoint && data[at] >= 7) {
            Pipe p;
            p.address = data[at + 2];
            p.attributes = data[at + 3];
            p.maxPacket = static_cast<std::uint16_t>(data[at + 4] | data[at + 5] << 8);
            out.pipes.push_back(p);
        }
    }
    // An interface that announces more endpoints than follow it cannot be
    // configured.
    return out.pipes.size() == endpoints;
}

} // namespace plat::usb
