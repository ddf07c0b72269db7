// kshim: the USBD library. Descriptors come from the device and are parsed
// with every length checked against the configuration's total length.
#include <usbdlib.h>

#include "kshim/kshim.h"

#include <new>

namespace {

// The descriptor at `offset` if it lies whole inside the configuration.
const USB_COMMON_DESCRIPTOR *descriptorAt(PUSB_CONFIGURATION_DESCRIPTOR config, ULONG offset) {
    const ULONG total = config->wTotalLength;
    if (offset + sizeof(USB_COMMON_DESCRIPTOR) > total) {
        return nullptr;
    }
    auto *d =
        reinterpret_cast<const USB_COMMON_DESCRIPTOR *>(reinterpret_cast<const UCHAR *>(config) + offset);
    if (d->bLength < sizeof(USB_COMMON_DESCRIPTOR) || offset + d->bLength > total) {
        return nullptr;
    }
    return d;
}

} // namespace

PUSB_INTERFACE_DESCRIPTOR
USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                    PVOID StartPosition, LONG InterfaceNumber, LONG AlternateSetting,
                                    LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol) {
    if (ConfigurationDescriptor == nullptr) {
        return nullptr;
    }
    auto *base = reinterpret_cast<UCHAR *>(ConfigurationDescriptor);
    auto *start = static_cast<UCHAR *>(StartPosition);
    if (start < base) {
        return nullptr;
    }
    ULONG offset = static_cast<ULONG>(start - base);
    while (const USB_COMMON_DESCRIPTOR *d = descriptorAt(ConfigurationDescriptor, offset)) {
        if (d->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE &&
            d->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            auto *i = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(base + offset);
            if ((InterfaceNumber == -1 || i->bInterfaceNumber == InterfaceNumber) &&
                (AlternateSetting == -1 || i->bAlternateSetting == AlternateSetting) &&
                (InterfaceClass == -1 || i->bInterfaceClass == InterfaceClass) &&
                (InterfaceSubClass == -1 || i->bInterfaceSubClass == InterfaceSubClass) &&
                (InterfaceProtocol == -1 || i->bInterfaceProtocol == InterfaceProtocol)) {
                return i;
            }
        }
        offset += d->bLength;
    }
    return nullptr;
}

PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
    // One interface information block per list entry, each with room for the
    // pipes its interface descriptor announces.
    std::size_t total = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
    for (PUSBD_INTERFACE_LIST_ENTRY e = InterfaceList; e->InterfaceDescriptor != nullptr; ++e) {
        const std::size_t pipes = e->InterfaceDescriptor->bNumEndpoints;
        total +=
            sizeof(USBD_INTERFACE_INFORMATION) + (pipes > 0 ? pipes - 1 : 0) * sizeof(USBD_PIPE_INFORMATION);
    }
    if (total > 0xFFFF) {
        return nullptr;
    }
    const auto size = static_cast<ULONG>(total);
    auto *urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kshim::poolTag("USBD")));
    if (urb == nullptr) {
        return nullptr;
    }
    std::memset(urb, 0, size);
    urb->UrbHeader.Length = static_cast<USHORT>(size);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;
    auto *info = &urb->UrbSelectConfiguration.Interface;
    for (PUSBD_INTERFACE_LIST_ENTRY e = InterfaceList; e->InterfaceDescriptor != nullptr; ++e) {
        const ULONG pipes = e->InterfaceDescriptor->bNumEndpoints;
        info->Length = static_cast<USHORT>(sizeof(USBD_INTERFACE_INFORMATION) +
                                           (pipes > 0 ? pipes - 1 : 0) * sizeof(USBD_PIPE_INFORMATION));
        info->InterfaceNumber = e->InterfaceDescriptor->bInterfaceNumber;
        info->AlternateSetting = e->InterfaceDescriptor->bAlternateSetting;
        info->NumberOfPipes = pipes;
        for (ULONG p = 0; p < pipes; ++p) {
            info->Pipes[p].MaximumTransferSize = 4096;
        }
        e->Interface = info;
        info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<UCHAR *>(info) + info->Length);
    }
    return urb;
}
