#include "usb_testbed.h"

#include "plat/device.h"

#include <umockdev.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <linux/capability.h>
#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <map>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace ferrox_test {

namespace {

constexpr std::uint8_t kRequestGetDescriptor = 6;
constexpr std::size_t kSetupSize = 8;

// One URB of one client (an open file of the node): its ioctl data, held
// until the client reaps it.
struct Urb {
    UMockdevIoctlData *data = nullptr; // the usbdevfs_urb, with its buffer resolved
    usbdevfs_urb *urb() const { return reinterpret_cast<usbdevfs_urb *>(data->data); }
};

struct Client {
    std::deque<Urb> waiting; // bulk IN with nothing to send yet
    std::deque<Urb> done;    // to be reaped
};

std::string hex(const std::vector<std::uint8_t> &bytes) {
    std::string out;
    char two[3];
    for (std::uint8_t b : bytes) {
        std::snprintf(two, sizeof two, "%02x", b);
        out += two;
    }
    return out;
}

} // namespace

struct UsbTestbed::Device {
    sim::UsbFunction *function = nullptr;
    unsigned bus = 0;
    unsigned address = 0;
    std::string node;
    std::string sysPath;
    UMockdevIoctlBase *handler = nullptr;
    std::mutex mutex; // the handler thread against the test's thread
    std::map<UMockdevIoctlClient *, Client> clients;
    bool gone = false;

    // Completes an URB with `status` and hands it to its client's reap.
    static void finish(Client &c, Urb u, int status, std::size_t actual) {
        u.urb()->status = status;
        u.urb()->actual_length = static_cast<int>(actual);
        c.done.push_back(u);
    }

    // Serves a bulk IN URB if the function has something; false while it
    // waits for the probe.
    bool serveIn(Client &c, Urb u) {
        usbdevfs_urb *urb = u.urb();
        std::size_t received = 0;
        std::uint32_t due = 0;
        const auto result = function->bulkIn(urb->endpoint, static_cast<std::uint8_t *>(urb->buffer),
                                             static_cast<std::size_t>(urb->buffer_length), received, due);
        switch (result) {
        case sim::UsbFunction::Result::Pending:
            return false;
        case sim::UsbFunction::Result::Done:
            finish(c, u, 0, received);
            return true;
        case sim::UsbFunction::Result::Overrun:
            finish(c, u, -EOVERFLOW, received);
            return true;
        case sim::UsbFunction::Result::Stall:
            finish(c, u, -EPIPE, 0);
            return true;
        }
        return true;
    }

    // The device left the bus: what was in flight fails as usbfs fails it.
    void dropOff() {
        gone = true;
        for (auto &[client, c] : clients) {
            while (!c.waiting.empty()) {
                finish(c, c.waiting.front(), -ESHUTDOWN, 0);
                c.waiting.pop_front();
            }
        }
    }

    void submit(UMockdevIoctlClient *client, UMockdevIoctlData *arg) {
        UMockdevIoctlData *data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
        auto *urb = reinterpret_cast<usbdevfs_urb *>(data->data);
        if (urb->buffer_length > 0) {
            UMockdevIoctlData *buffer = umockdev_ioctl_data_resolve(
                data, offsetof(usbdevfs_urb, buffer), static_cast<std::size_t>(urb->buffer_length), nullptr);
            g_object_unref(buffer); // the URB's data keeps it
        }
        if (gone) {
            g_object_unref(data);
            umockdev_ioctl_client_complete(client, -1, ENODEV);
            return;
        }
        Client &c = clients[client];
        Urb u{data};
        auto *buffer = static_cast<std::uint8_t *>(urb->buffer);
        const auto size = static_cast<std::size_t>(std::max(urb->buffer_length, 0));
        if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
            control(c, u, buffer, size);
        } else if (urb->type != USBDEVFS_URB_TYPE_BULK) {
            finish(c, u, -EINVAL, 0);
        } else if ((urb->endpoint & 0x80) != 0) {
            if (!serveIn(c, u)) {
                c.waiting.push_back(u);
            }
        } else {
            const auto result = function->bulkOut(urb->endpoint, buffer, size);
            finish(c, u, result == sim::UsbFunction::Result::Done ? 0 : -EPIPE, size);
            if (function->takeDisconnect()) {
                dropOff();
            } else {
                serveWaiting();
            }
        }
        umockdev_ioctl_client_complete(client, 0, 0);
    }

    // Endpoint 0: the standard descriptor requests, which is all a host asks
    // of the probe there.
    void control(Client &c, Urb u, std::uint8_t *buffer, std::size_t size) {
        if (size < kSetupSize || buffer[0] != 0x80 || buffer[1] != kRequestGetDescriptor) {
            finish(c, u, -EPIPE, 0);
            return;
        }
        const auto wanted = static_cast<std::size_t>(buffer[6] | buffer[7] << 8);
        const std::vector<std::uint8_t> d = function->getDescriptor(
            buffer[3], buffer[2], static_cast<std::uint16_t>(buffer[4] | buffer[5] << 8));
        if (d.empty()) {
            finish(c, u, -EPIPE, 0);
            return;
        }
        const std::size_t n = std::min({d.size(), wanted, size - kSetupSize});
        std::memcpy(buffer + kSetupSize, d.data(), n);
        finish(c, u, 0, n);
    }

    // Data from the probe reaches the IN URBs that wait for it, in order.
    void serveWaiting() {
        for (auto &[client, c] : clients) {
            while (!c.waiting.empty() && serveIn(c, c.waiting.front())) {
                c.waiting.pop_front();
            }
        }
    }

    void reap(UMockdevIoctlClient *client, UMockdevIoctlData *arg) {
        Client &c = clients[client];
        if (c.done.empty()) {
            umockdev_ioctl_client_complete(client, -1, gone && c.waiting.empty() ? ENODEV : EAGAIN);
            return;
        }
        Urb u = c.done.front();
        c.done.pop_front();
        UMockdevIoctlData *slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void *), nullptr);
        umockdev_ioctl_data_set_ptr(slot, 0, u.data);
        g_object_unref(slot);
        g_object_unref(u.data);
        umockdev_ioctl_client_complete(client, 0, 0);
    }

    void discard(UMockdevIoctlClient *client, UMockdevIoctlData *arg) {
        Client &c = clients[client];
        const gulong urbAddress = *reinterpret_cast<gulong *>(arg->data);
        for (auto it = c.waiting.begin(); it != c.waiting.end(); ++it) {
            if (it->data->client_addr == urbAddress) {
                finish(c, *it, -ENOENT, 0);
                c.waiting.erase(it);
                umockdev_ioctl_client_complete(client, 0, 0);
                return;
            }
        }
        umockdev_ioctl_client_complete(client, -1, EINVAL); // done already
    }

    gboolean handle(UMockdevIoctlClient *client) {
        std::lock_guard<std::mutex> lock(mutex);
        const gulong request = umockdev_ioctl_client_get_request(client);
        UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
        switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            UMockdevIoctlData *caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(guint32), nullptr);
            *reinterpret_cast<guint32 *>(caps->data) = USBDEVFS_CAP_BULK_CONTINUATION |
                                                       USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                                       USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
            g_object_unref(caps);
            umockdev_ioctl_client_complete(client, gone ? -1 : 0, gone ? ENODEV : 0);
            return TRUE;
        }
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_RELEASEINTERFACE:
        case USBDEVFS_SETINTERFACE:
        case USBDEVFS_SETCONFIGURATION:
        case USBDEVFS_CLEAR_HALT:
        case USBDEVFS_RESETEP:
        case USBDEVFS_RESET:
            if (request == USBDEVFS_CLEAR_HALT || request == USBDEVFS_RESET) {
                function->reset();
            }
            umockdev_ioctl_client_complete(client, gone ? -1 : 0, gone ? ENODEV : 0);
            return TRUE;
        case USBDEVFS_GETDRIVER:
        case USBDEVFS_IOCTL:
            umockdev_ioctl_client_complete(client, -1, ENODATA); // no kernel driver bound
            return TRUE;
        case USBDEVFS_SUBMITURB:
            submit(client, arg);
            return TRUE;
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY:
            reap(client, arg);
            return TRUE;
        case USBDEVFS_DISCARDURB:
            discard(client, arg);
            return TRUE;
        default:
            umockdev_ioctl_client_complete(client, -1, ENOTTY);
            return TRUE;
        }
    }

    void vanished(UMockdevIoctlClient *client) {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = clients.find(client);
        if (it == clients.end()) {
            return;
        }
        for (Urb &u : it->second.waiting) {
            g_object_unref(u.data);
        }
        for (Urb &u : it->second.done) {
            g_object_unref(u.data);
        }
        clients.erase(it);
    }

    static gboolean onIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer self) {
        return static_cast<Device *>(self)->handle(client);
    }
    static void onVanished(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer self) {
        static_cast<Device *>(self)->vanished(client);
    }
};

struct UsbTestbed::Impl {
    UMockdevTestbed *testbed = nullptr;
    std::list<Device> devices;
};

UsbTestbed::UsbTestbed() : impl_(std::make_unique<Impl>()) {
    impl_->testbed = umockdev_testbed_new();
}

UsbTestbed::~UsbTestbed() {
    for (Device &d : impl_->devices) {
        if (d.handler != nullptr) {
            umockdev_testbed_detach_ioctl(impl_->testbed, d.node.c_str(), nullptr);
            g_object_unref(d.handler);
        }
        for (auto &[client, c] : d.clients) {
            for (Urb &u : c.waiting) {
                g_object_unref(u.data);
            }
            for (Urb &u : c.done) {
                g_object_unref(u.data);
            }
        }
    }
    g_object_unref(impl_->testbed);
}

bool UsbTestbed::available() {
    return umockdev_in_mock_environment() != 0;
}

std::string UsbTestbed::nodeOf(unsigned bus, unsigned address) {
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", bus, address);
    return node;
}

UsbTestbed::Device *UsbTestbed::find(unsigned bus, unsigned address) {
    for (Device &d : impl_->devices) {
        if (d.bus == bus && d.address == address && d.handler != nullptr) {
            return &d;
        }
    }
    return nullptr;
}

void UsbTestbed::plugIn(sim::UsbFunction &function, unsigned bus, unsigned address) {
    Device &d = impl_->devices.emplace_back();
    d.function = &function;
    d.bus = bus;
    d.address = address;
    d.node = nodeOf(bus, address);
    // The handler listens before the device shows, so that the add event
    // finds a node that answers.
    d.handler = umockdev_ioctl_base_new();
    g_signal_connect(d.handler, "handle-ioctl", G_CALLBACK(&Device::onIoctl), &d);
    g_signal_connect(d.handler, "client-vanished", G_CALLBACK(&Device::onVanished), &d);
    umockdev_testbed_attach_ioctl(impl_->testbed, d.node.c_str(), d.handler, nullptr);

    std::vector<std::uint8_t> descriptors = function.getDescriptor(sim::kUsbDescriptorDevice, 0, 0);
    const std::vector<std::uint8_t> config = function.getDescriptor(sim::kUsbDescriptorConfiguration, 0, 0);
    descriptors.insert(descriptors.end(), config.begin(), config.end());
    char text[1024];
    std::snprintf(text, sizeof text,
                  "P: /devices/pci0000:00/0000:00:14.0/usb%u/%u-%u\n"
                  "N: bus/usb/%03u/%03u\n"
                  "E: SUBSYSTEM=usb\n"
                  "E: DEVTYPE=usb_device\n"
                  "E: DEVNAME=/dev/bus/usb/%03u/%03u\n"
                  "E: BUSNUM=%03u\n"
                  "E: DEVNUM=%03u\n"
                  "A: busnum=%u\\n\n"
                  "A: devnum=%u\\n\n"
                  "A: bConfigurationValue=1\\n\n"
                  "A: speed=12\\n\n"
                  "H: descriptors=%s\n",
                  bus, bus, address, bus, address, bus, address, bus, address, bus, address,
                  hex(descriptors).c_str());
    d.sysPath = "/sys/devices/pci0000:00/0000:00:14.0/usb" + std::to_string(bus) + "/" + std::to_string(bus) +
                "-" + std::to_string(address);
    umockdev_testbed_add_from_string(impl_->testbed, text, nullptr);
    umockdev_testbed_uevent(impl_->testbed, d.sysPath.c_str(), "add");
}

void UsbTestbed::unplug(unsigned bus, unsigned address) {
    Device *d = find(bus, address);
    if (d == nullptr) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        d->dropOff();
    }
    umockdev_testbed_uevent(impl_->testbed, d->sysPath.c_str(), "remove");
    umockdev_testbed_remove_device(impl_->testbed, d->sysPath.c_str());
}

bool UsbTestbed::droppedOff(unsigned bus, unsigned address) {
    Device *d = find(bus, address);
    if (d == nullptr) {
        return false;
    }
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->gone;
}

void UsbTestbed::denyAccess(unsigned bus, unsigned address) {
    gchar *root = umockdev_testbed_get_root_dir(impl_->testbed);
    const std::string path = std::string(root) + nodeOf(bus, address);
    g_free(root);
    struct stat st {};
    ::stat(path.c_str(), &st);
    ::chmod(path.c_str(), st.st_mode & ~static_cast<mode_t>(0777));
}

bool waitUntilOpens(const std::string &name) {
    for (int i = 0; i < 500; ++i) {
        std::uint32_t error = 0;
        if (plat::openDevice(name.c_str(), error) != nullptr) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

void dropFileCapabilities() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (::syscall(SYS_capget, &header, data) != 0) {
        return;
    }
    const unsigned drop = (1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH) | (1u << CAP_FOWNER);
    data[0].effective &= ~drop;
    ::syscall(SYS_capset, &header, data);
}

} // namespace ferrox_test
