// kshim's USB bus driver: one physical device object per plugged device,
// serving USB request blocks from the simulator's USB device model.
#include "internal.h"

#include <usbdlib.h>
#include <usbioctl.h>

#include "plat/clock.h"

#include <algorithm>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

namespace kshim::detail {

namespace {

struct BusPipe {
    UCHAR endpoint;
    USBD_PIPE_TYPE type;
    USHORT maxPacket;
};

struct BusDevice {
    sim::UsbFunction *function = nullptr;
    DEVICE_CAPABILITIES capabilities{};
    std::mutex mutex;
    bool gone = false;
    std::vector<std::unique_ptr<BusPipe>> pipes;
    std::deque<PIRP> pendingIn;
    PIRP waitWake = nullptr;
    std::map<USHORT, std::size_t> urbCounts;
    int nextInterfaceHandle = 1;
};

BusDevice &busOf(PDEVICE_OBJECT pdo) {
    return **static_cast<BusDevice **>(pdo->DeviceExtension);
}

PURB urbOf(PIRP irp) {
    return static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
}

void completeIrp(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    atDispatch([irp] { IoCompleteRequest(irp, IO_NO_INCREMENT); });
}

NTSTATUS failUrb(PIRP irp, PURB urb, USBD_STATUS usbStatus, NTSTATUS status) {
    urb->UrbHeader.Status = usbStatus;
    completeIrp(irp, status);
    return status;
}

PVOID transferBuffer(PVOID buffer, PMDL mdl) {
    if (buffer != nullptr) {
        return buffer;
    }
    return mdl != nullptr ? MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority) : nullptr;
}

// The descriptor at `offset` if it lies whole inside the configuration.
const USB_COMMON_DESCRIPTOR *descriptorAt(const UCHAR *config, ULONG total, ULONG offset) {
    if (offset + sizeof(USB_COMMON_DESCRIPTOR) > total) {
        return nullptr;
    }
    auto *d = reinterpret_cast<const USB_COMMON_DESCRIPTOR *>(config + offset);
    if (d->bLength < sizeof(USB_COMMON_DESCRIPTOR) || offset + d->bLength > total) {
        return nullptr;
    }
    return d;
}

VOID NTAPI cancelIn(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    BusDevice &bus = busOf(DeviceObject);
    {
        std::lock_guard<std::mutex> lock(bus.mutex);
        bus.pendingIn.erase(std::remove(bus.pendingIn.begin(), bus.pendingIn.end(), Irp),
                            bus.pendingIn.end());
    }
    PURB urb = urbOf(Irp);
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
    failUrb(Irp, urb, USBD_STATUS_CANCELED, STATUS_CANCELLED);
}

// Tries the transfer of a pending IN request; false while the device has
// nothing to send. Bus lock held.
bool tryIn(BusDevice &bus, PIRP irp, NTSTATUS &status) {
    PURB urb = urbOf(irp);
    auto &t = urb->UrbBulkOrInterruptTransfer;
    auto *pipe = static_cast<BusPipe *>(t.PipeHandle);
    auto *data = static_cast<std::uint8_t *>(transferBuffer(t.TransferBuffer, t.TransferBufferMDL));
    std::size_t received = 0;
    std::uint32_t due = 0;
    const auto result = bus.function->bulkIn(pipe->endpoint, data, t.TransferBufferLength, received, due);
    if (result == sim::UsbFunction::Result::Pending) {
        return false;
    }
    t.TransferBufferLength = static_cast<ULONG>(received);
    if (received > 0 && static_cast<std::int32_t>(due - plat::tickMs()) > 0) {
        irp->Kshim.DueTick = due;
        irp->Kshim.HasDueTick = TRUE;
    }
    switch (result) {
    case sim::UsbFunction::Result::Done:
        urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
        status = STATUS_SUCCESS;
        break;
    case sim::UsbFunction::Result::Overrun:
        urb->UrbHeader.Status = USBD_STATUS_BUFFER_OVERRUN;
        status = STATUS_UNSUCCESSFUL;
        break;
    default:
        t.TransferBufferLength = 0;
        urb->UrbHeader.Status = USBD_STATUS_STALL_PID;
        status = STATUS_UNSUCCESSFUL;
        break;
    }
    return true;
}

// Serves waiting IN requests in order while the device has data.
void serveIn(BusDevice &bus) {
    for (;;) {
        PIRP done = nullptr;
        NTSTATUS status = STATUS_SUCCESS;
        {
            std::lock_guard<std::mutex> lock(bus.mutex);
            for (auto it = bus.pendingIn.begin(); it != bus.pendingIn.end(); ++it) {
                PIRP irp = *it;
                if (IoSetCancelRoutine(irp, nullptr) == nullptr) {
                    continue; // its cancel routine takes it out
                }
                if (tryIn(bus, irp, status)) {
                    bus.pendingIn.erase(it);
                    done = irp;
                    break;
                }
                IoSetCancelRoutine(irp, cancelIn);
                if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
                    bus.pendingIn.erase(it);
                    urbOf(irp)->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
                    urbOf(irp)->UrbHeader.Status = USBD_STATUS_CANCELED;
                    status = STATUS_CANCELLED;
                    done = irp;
                }
                break; // later requests wait behind the first
            }
        }
        if (done == nullptr) {
            return;
        }
        completeIrp(done, status);
    }
}

// Fails the waiting IN requests (of one pipe, or all).
void failPendingIn(BusDevice &bus, BusPipe *pipe, USBD_STATUS usbStatus, NTSTATUS status) {
    std::vector<PIRP> failed;
    {
        std::lock_guard<std::mutex> lock(bus.mutex);
        for (auto it = bus.pendingIn.begin(); it != bus.pendingIn.end();) {
            PIRP irp = *it;
            if ((pipe == nullptr || urbOf(irp)->UrbBulkOrInterruptTransfer.PipeHandle == pipe) &&
                IoSetCancelRoutine(irp, nullptr) != nullptr) {
                failed.push_back(irp);
                it = bus.pendingIn.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (PIRP irp : failed) {
        urbOf(irp)->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
        failUrb(irp, urbOf(irp), usbStatus, status);
    }
}

NTSTATUS selectConfiguration(BusDevice &bus, PIRP irp, PURB urb) {
    auto &select = urb->UrbSelectConfiguration;
    std::lock_guard<std::mutex> lock(bus.mutex);
    if (select.ConfigurationDescriptor == nullptr) {
        bus.pipes.clear(); // unconfigured
        return STATUS_SUCCESS;
    }
    const auto *config = reinterpret_cast<const UCHAR *>(select.ConfigurationDescriptor);
    const ULONG total = select.ConfigurationDescriptor->wTotalLength;
    auto *info = &select.Interface;
    auto *end = reinterpret_cast<UCHAR *>(urb) + urb->UrbHeader.Length;
    const ULONG header = offsetof(USBD_INTERFACE_INFORMATION, Pipes);
    std::vector<std::unique_ptr<BusPipe>> pipes;
    for (ULONG n = 0; n < select.ConfigurationDescriptor->bNumInterfaces; ++n) {
        auto *at = reinterpret_cast<UCHAR *>(info);
        if (at + header > end || info->Length < header || at + info->Length > end) {
            break; // the request holds fewer interfaces than the configuration
        }
        PUSB_INTERFACE_DESCRIPTOR id = USBD_ParseConfigurationDescriptorEx(
            select.ConfigurationDescriptor, select.ConfigurationDescriptor, info->InterfaceNumber,
            info->AlternateSetting, -1, -1, -1);
        if (id == nullptr) {
            urb->UrbHeader.Status = USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR;
            return STATUS_INVALID_PARAMETER;
        }
        ULONG offset = static_cast<ULONG>(reinterpret_cast<const UCHAR *>(id) - config) + id->bLength;
        ULONG count = 0;
        while (const USB_COMMON_DESCRIPTOR *d = descriptorAt(config, total, offset)) {
            if (d->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) {
                break;
            }
            if (d->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE &&
                d->bLength >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
                auto *e = reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR *>(d);
                if (count >= info->NumberOfPipes ||
                    header + (count + 1) * sizeof(USBD_PIPE_INFORMATION) > info->Length) {
                    urb->UrbHeader.Status = USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR;
                    return STATUS_INVALID_PARAMETER;
                }
                auto pipe = std::make_unique<BusPipe>(
                    BusPipe{e->bEndpointAddress, static_cast<USBD_PIPE_TYPE>(e->bmAttributes & 3),
                            e->wMaxPacketSize});
                PUSBD_PIPE_INFORMATION p = &info->Pipes[count];
                p->MaximumPacketSize = e->wMaxPacketSize;
                p->EndpointAddress = e->bEndpointAddress;
                p->Interval = e->bInterval;
                p->PipeType = pipe->type;
                p->PipeHandle = pipe.get();
                p->PipeFlags = 0;
                pipes.push_back(std::move(pipe));
                ++count;
            }
            offset += d->bLength;
        }
        if (count != info->NumberOfPipes || count != id->bNumEndpoints) {
            urb->UrbHeader.Status = USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR;
            return STATUS_INVALID_PARAMETER;
        }
        info->Class = id->bInterfaceClass;
        info->SubClass = id->bInterfaceSubClass;
        info->Protocol = id->bInterfaceProtocol;
        info->InterfaceHandle =
            reinterpret_cast<USBD_INTERFACE_HANDLE>(static_cast<ULONG_PTR>(bus.nextInterfaceHandle++));
        info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(at + info->Length);
    }
    select.ConfigurationHandle = &bus;
    bus.pipes = std::move(pipes);
    (void)irp;
    return STATUS_SUCCESS;
}

BusPipe *findPipe(BusDevice &bus, USBD_PIPE_HANDLE handle) {
    for (auto &p : bus.pipes) {
        if (p.get() == handle) {
            return p.get();
        }
    }
    return nullptr;
}

NTSTATUS submitUrb(PDEVICE_OBJECT pdo, PIRP irp) {
    BusDevice &bus = busOf(pdo);
    PURB urb = urbOf(irp);
    if (urb == nullptr) {
        completeIrp(irp, STATUS_INVALID_PARAMETER);
        return STATUS_INVALID_PARAMETER;
    }
    {
        std::lock_guard<std::mutex> lock(bus.mutex);
        ++bus.urbCounts[urb->UrbHeader.Function];
        if (bus.gone) {
            urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
        }
    }
    if (urb->UrbHeader.Status == USBD_STATUS_DEVICE_GONE) {
        completeIrp(irp, STATUS_DEVICE_NOT_CONNECTED);
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
        auto &d = urb->UrbControlDescriptorRequest;
        const auto bytes = bus.function->getDescriptor(d.DescriptorType, d.Index, d.LanguageId);
        if (bytes.empty()) {
            d.TransferBufferLength = 0;
            return failUrb(irp, urb, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL);
        }
        auto *buffer = static_cast<UCHAR *>(transferBuffer(d.TransferBuffer, d.TransferBufferMDL));
        const ULONG n = std::min<ULONG>(d.TransferBufferLength, static_cast<ULONG>(bytes.size()));
        std::memcpy(buffer, bytes.data(), n);
        d.TransferBufferLength = n;
        completeIrp(irp, STATUS_SUCCESS);
        return STATUS_SUCCESS;
    }
    case URB_FUNCTION_SELECT_CONFIGURATION: {
        NTSTATUS status = selectConfiguration(bus, irp, urb);
        if (!NT_SUCCESS(status)) {
            completeIrp(irp, status);
            return status;
        }
        completeIrp(irp, STATUS_SUCCESS);
        return STATUS_SUCCESS;
    }
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
        auto &t = urb->UrbBulkOrInterruptTransfer;
        BusPipe *pipe;
        {
            std::lock_guard<std::mutex> lock(bus.mutex);
            pipe = findPipe(bus, t.PipeHandle);
        }
        if (pipe == nullptr) {
            return failUrb(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
        }
        auto *data = static_cast<std::uint8_t *>(transferBuffer(t.TransferBuffer, t.TransferBufferMDL));
        if (data == nullptr && t.TransferBufferLength != 0) {
            return failUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
        }
        if (!USB_ENDPOINT_DIRECTION_IN(pipe->endpoint)) {
            if (bus.function->bulkOut(pipe->endpoint, data, t.TransferBufferLength) !=
                sim::UsbFunction::Result::Done) {
                return failUrb(irp, urb, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL);
            }
            const bool dropped = bus.function->takeDisconnect();
            completeIrp(irp, STATUS_SUCCESS);
            if (dropped) {
                busDeviceGone(pdo);
            } else {
                serveIn(bus);
            }
            return STATUS_SUCCESS;
        }
        IoMarkIrpPending(irp);
        {
            std::lock_guard<std::mutex> lock(bus.mutex);
            bus.pendingIn.push_back(irp);
            IoSetCancelRoutine(irp, cancelIn);
        }
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
            {
                std::lock_guard<std::mutex> lock(bus.mutex);
                bus.pendingIn.erase(std::remove(bus.pendingIn.begin(), bus.pendingIn.end(), irp),
                                    bus.pendingIn.end());
            }
            t.TransferBufferLength = 0;
            failUrb(irp, urb, USBD_STATUS_CANCELED, STATUS_CANCELLED);
            return STATUS_PENDING;
        }
        serveIn(bus);
        return STATUS_PENDING;
    }
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_RESET_PIPE: {
        BusPipe *pipe;
        {
            std::lock_guard<std::mutex> lock(bus.mutex);
            pipe = findPipe(bus, urb->UrbPipeRequest.PipeHandle);
        }
        if (pipe == nullptr) {
            return failUrb(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
        }
        if (urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE) {
            failPendingIn(bus, pipe, USBD_STATUS_CANCELED, STATUS_CANCELLED);
        } else {
            bus.function->reset();
        }
        completeIrp(irp, STATUS_SUCCESS);
        return STATUS_SUCCESS;
    }
    default:
        return failUrb(irp, urb, USBD_STATUS_INVALID_URB_FUNCTION, STATUS_INVALID_PARAMETER);
    }
}

NTSTATUS NTAPI busInternalControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    BusDevice &bus = busOf(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    bool gone;
    {
        std::lock_guard<std::mutex> lock(bus.mutex);
        gone = bus.gone;
    }
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
        return submitUrb(DeviceObject, Irp);
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
        auto *portStatus = static_cast<ULONG *>(stack->Parameters.Others.Argument1);
        if (portStatus == nullptr) {
            completeIrp(Irp, STATUS_INVALID_PARAMETER);
            return STATUS_INVALID_PARAMETER;
        }
        *portStatus = gone ? 0 : USBD_PORT_ENABLED | USBD_PORT_CONNECTED;
        completeIrp(Irp, STATUS_SUCCESS);
        return STATUS_SUCCESS;
    }
    case IOCTL_INTERNAL_USB_RESET_PORT:
    case IOCTL_INTERNAL_USB_ENABLE_PORT: {
        const NTSTATUS status = gone ? STATUS_DEVICE_NOT_CONNECTED : STATUS_SUCCESS;
        if (!gone) {
            bus.function->reset();
        }
        completeIrp(Irp, status);
        return status;
    }
    default:
        completeIrp(Irp, STATUS_INVALID_DEVICE_REQUEST);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

NTSTATUS NTAPI busPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    BusDevice &bus = busOf(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status = Irp->IoStatus.Status;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
        const DEVICE_CAPABILITIES mine = bus.capabilities;
        caps->DeviceD1 = mine.DeviceD1;
        caps->DeviceD2 = mine.DeviceD2;
        caps->Removable = 1;
        caps->WakeFromD0 = mine.WakeFromD0;
        caps->WakeFromD1 = mine.WakeFromD1;
        caps->WakeFromD2 = mine.WakeFromD2;
        caps->WakeFromD3 = mine.WakeFromD3;
        std::copy(std::begin(mine.DeviceState), std::end(mine.DeviceState), std::begin(caps->DeviceState));
        caps->SystemWake = mine.SystemWake;
        caps->DeviceWake = mine.DeviceWake;
        status = STATUS_SUCCESS;
        break;
    }
    default:
        break;
    }
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

VOID NTAPI cancelWake(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    BusDevice &bus = busOf(DeviceObject);
    {
        std::lock_guard<std::mutex> lock(bus.mutex);
        if (bus.waitWake == Irp) {
            bus.waitWake = nullptr;
        }
    }
    PoStartNextPowerIrp(Irp);
    completeIrp(Irp, STATUS_CANCELLED);
}

NTSTATUS NTAPI busPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    BusDevice &bus = busOf(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MinorFunction == IRP_MN_WAIT_WAKE) {
        std::unique_lock<std::mutex> lock(bus.mutex);
        if (bus.gone || bus.waitWake != nullptr) {
            lock.unlock();
            PoStartNextPowerIrp(Irp);
            const NTSTATUS status = bus.gone ? STATUS_NO_SUCH_DEVICE : STATUS_DEVICE_BUSY;
            completeIrp(Irp, status);
            return status;
        }
        IoMarkIrpPending(Irp);
        bus.waitWake = Irp;
        IoSetCancelRoutine(Irp, cancelWake);
        if (Irp->Cancel && IoSetCancelRoutine(Irp, nullptr) != nullptr) {
            bus.waitWake = nullptr;
            lock.unlock();
            PoStartNextPowerIrp(Irp);
            completeIrp(Irp, STATUS_CANCELLED);
        }
        return STATUS_PENDING;
    }
    NTSTATUS status = Irp->IoStatus.Status;
    if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) {
        status = STATUS_SUCCESS;
    }
    PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Status = status;
    atDispatch([Irp] { IoCompleteRequest(Irp, IO_NO_INCREMENT); });
    return status;
}

NTSTATUS NTAPI busOther(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    (void)DeviceObject;
    const NTSTATUS status = IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_SYSTEM_CONTROL
                                ? Irp->IoStatus.Status
                                : STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

DRIVER_OBJECT &busDriver() {
    static DRIVER_EXTENSION extension{};
    static DRIVER_OBJECT driver = [] {
        DRIVER_OBJECT d{};
        d.DriverExtension = &extension;
        for (auto &f : d.MajorFunction) {
            f = busOther;
        }
        d.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = busInternalControl;
        d.MajorFunction[IRP_MJ_PNP] = busPnp;
        d.MajorFunction[IRP_MJ_POWER] = busPower;
        return d;
    }();
    return driver;
}

int nextBusDevice = 0;

} // namespace

PDEVICE_OBJECT createBusDevice(sim::UsbFunction &function, const DEVICE_CAPABILITIES &capabilities) {
    std::wstring name = widen("\\Device\\USBPDO-" + std::to_string(nextBusDevice++));
    UNICODE_STRING u;
    RtlInitUnicodeString(&u, name.c_str());
    PDEVICE_OBJECT pdo = nullptr;
    if (!NT_SUCCESS(IoCreateDevice(&busDriver(), sizeof(BusDevice *), &u, FILE_DEVICE_USB, 0, FALSE, &pdo))) {
        bugCheck("cannot create the bus device");
    }
    auto *bus = new BusDevice;
    bus->function = &function;
    bus->capabilities = capabilities;
    *static_cast<BusDevice **>(pdo->DeviceExtension) = bus;
    pdo->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
    return pdo;
}

void deleteBusDevice(PDEVICE_OBJECT pdo) {
    BusDevice *bus = &busOf(pdo);
    {
        std::lock_guard<std::mutex> lock(bus->mutex);
        if (!bus->pendingIn.empty() || bus->waitWake != nullptr) {
            bugCheck("bus device deleted with requests pending on it");
        }
    }
    IoDeleteDevice(pdo);
    delete bus;
}

void busDeviceGone(PDEVICE_OBJECT pdo) {
    BusDevice &bus = busOf(pdo);
    PIRP wake = nullptr;
    {
        std::lock_guard<std::mutex> lock(bus.mutex);
        bus.gone = true;
        if (bus.waitWake != nullptr && IoSetCancelRoutine(bus.waitWake, nullptr) != nullptr) {
            wake = bus.waitWake;
            bus.waitWake = nullptr;
        }
    }
    failPendingIn(bus, nullptr, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
    if (wake != nullptr) {
        PoStartNextPowerIrp(wake);
        completeIrp(wake, STATUS_NO_SUCH_DEVICE);
    }
}

bool busWaitWakePending(PDEVICE_OBJECT pdo) {
    BusDevice &bus = busOf(pdo);
    std::lock_guard<std::mutex> lock(bus.mutex);
    return bus.waitWake != nullptr;
}

bool busWake(PDEVICE_OBJECT pdo) {
    BusDevice &bus = busOf(pdo);
    PIRP wake = nullptr;
    {
        std::lock_guard<std::mutex> lock(bus.mutex);
        if (bus.waitWake == nullptr || IoSetCancelRoutine(bus.waitWake, nullptr) == nullptr) {
            return false;
        }
        wake = bus.waitWake;
        bus.waitWake = nullptr;
    }
    PoStartNextPowerIrp(wake);
    completeIrp(wake, STATUS_SUCCESS);
    return true;
}

void busService(PDEVICE_OBJECT pdo) {
    serveIn(busOf(pdo));
}

std::size_t busUrbCount(PDEVICE_OBJECT pdo, USHORT function) {
    BusDevice &bus = busOf(pdo);
    std::lock_guard<std::mutex> lock(bus.mutex);
    auto it = bus.urbCounts.find(function);
    return it == bus.urbCounts.end() ? 0 : it->second;
}

} // namespace kshim::detail
