// kshim's plug-and-play and power manager, and the power calls drivers use.
#include "internal.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>

namespace kshim {

using detail::bugCheck;

namespace {

constexpr std::uint32_t kLostRequestMs = 30000;

std::mutex powerMutex;
std::map<PDEVICE_OBJECT, DEVICE_POWER_STATE> reportedStates;
int powerIrpsInFlight = 0;

// A request the managers send and wait for.
struct Sync {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    NTSTATUS status = STATUS_PENDING;

    static void finish(PIRP irp) {
        auto *s = static_cast<Sync *>(irp->Kshim.FinishContext);
        {
            std::lock_guard<std::mutex> lock(s->mutex);
            s->finished = true;
            s->status = irp->IoStatus.Status;
        }
        detail::freeIrp(irp);
        s->done.notify_all();
    }

    NTSTATUS wait() {
        std::unique_lock<std::mutex> lock(mutex);
        if (!done.wait_for(lock, std::chrono::milliseconds(kLostRequestMs), [this] { return finished; })) {
            bugCheck("a plug-and-play or power request never completed");
        }
        return status;
    }
};

NTSTATUS sendAndWait(PDEVICE_OBJECT device, UCHAR major, UCHAR minor,
                     const std::function<void(PIO_STACK_LOCATION)> &fill) {
    PDEVICE_OBJECT top = detail::topOfStack(device);
    PIRP irp = detail::allocateIrp(top->StackSize);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    stack->MinorFunction = minor;
    fill(stack);
    Sync sync;
    irp->Kshim.Finish = Sync::finish;
    irp->Kshim.FinishContext = &sync;
    IofCallDriver(top, irp);
    return sync.wait();
}

struct PoRequest {
    PREQUEST_POWER_COMPLETE completion;
    PVOID context;
    PDEVICE_OBJECT device;
    UCHAR minor;
    POWER_STATE state;

    static void finish(PIRP irp) {
        auto *r = static_cast<PoRequest *>(irp->Kshim.FinishContext);
        IO_STATUS_BLOCK status = irp->IoStatus;
        if (r->completion != nullptr) {
            r->completion(r->device, r->minor, r->state, r->context, &status);
        }
        delete r;
        detail::freeIrp(irp);
        std::lock_guard<std::mutex> lock(powerMutex);
        --powerIrpsInFlight;
    }
};

} // namespace

namespace detail {

DEVICE_POWER_STATE reportedPowerState(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> lock(powerMutex);
    auto it = reportedStates.find(device);
    return it == reportedStates.end() ? PowerDeviceUnspecified : it->second;
}

int requestedPowerIrps() {
    std::lock_guard<std::mutex> lock(powerMutex);
    return powerIrpsInFlight;
}

} // namespace detail

DEVICE_CAPABILITIES PlugOptions::defaultCapabilities() {
    DEVICE_CAPABILITIES c{};
    c.Size = sizeof(DEVICE_CAPABILITIES);
    c.Version = 1;
    c.DeviceD1 = 1;
    c.DeviceD2 = 1;
    c.WakeFromD2 = 1;
    c.DeviceState[PowerSystemWorking] = PowerDeviceD0;
    c.DeviceState[PowerSystemSleeping1] = PowerDeviceD1;
    c.DeviceState[PowerSystemSleeping2] = PowerDeviceD2;
    c.DeviceState[PowerSystemSleeping3] = PowerDeviceD2;
    c.DeviceState[PowerSystemHibernate] = PowerDeviceD3;
    c.DeviceState[PowerSystemShutdown] = PowerDeviceD3;
    c.SystemWake = PowerSystemSleeping1;
    c.DeviceWake = PowerDeviceD2;
    return c;
}

Kernel::Kernel(PDRIVER_INITIALIZE driverEntry, const std::wstring &registryPath)
    : registryPathText_(registryPath) {
    driver_ = new DRIVER_OBJECT{};
    driver_->DriverExtension = new DRIVER_EXTENSION{};
    driver_->DriverExtension->DriverObject = driver_;
    driver_->DriverInit = driverEntry;
    registryPath_.Buffer = registryPathText_.data();
    registryPath_.Length = static_cast<USHORT>(registryPathText_.size() * sizeof(WCHAR));
    registryPath_.MaximumLength = registryPath_.Length;
    entryStatus_ = driverEntry(driver_, &registryPath_);
}

Kernel::~Kernel() {
    for (auto &d : devices_) {
        if (d->removed) {
            continue;
        }
        if (d->fdo != nullptr && detail::openFiles(d->fdo) != 0) {
            bugCheck("kernel shut down with handles open on a device");
        }
        detail::busDeviceGone(d->pdo);
        if (d->fdo != nullptr) {
            sendPnp(*d, IRP_MN_SURPRISE_REMOVAL);
            sendPnp(*d, IRP_MN_REMOVE_DEVICE);
        }
        finishRemoval(*d);
    }
    drainWorkItems();
    if (!unloaded_ && NT_SUCCESS(entryStatus_)) {
        unloadDriver();
    }
    delete driver_->DriverExtension;
    delete driver_;
}

void Kernel::unloadDriver() {
    if (driver_->DeviceObject != nullptr) {
        bugCheck("driver unloaded while it still has device objects");
    }
    if (driver_->DriverUnload != nullptr) {
        driver_->DriverUnload(driver_);
    }
    unloaded_ = true;
}

Device &Kernel::plugIn(sim::UsbFunction &function, const PlugOptions &options) {
    auto device = std::make_unique<Device>();
    device->function = &function;
    device->pdo = detail::createBusDevice(function, options.capabilities);
    devices_.push_back(std::move(device));
    Device &d = *devices_.back();
    d.addStatus = driver_->DriverExtension->AddDevice(driver_, d.pdo);
    if (!NT_SUCCESS(d.addStatus)) {
        return d;
    }
    d.fdo = d.pdo->AttachedDevice;
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof(DEVICE_CAPABILITIES);
    caps.Version = 1;
    caps.Address = 0xFFFFFFFF;
    caps.UINumber = 0xFFFFFFFF;
    queryCapabilities(d, caps);
    d.startStatus = start(d);
    return d;
}

NTSTATUS Kernel::sendPnp(Device &device, UCHAR minor) {
    return sendAndWait(device.pdo, IRP_MJ_PNP, minor, [](PIO_STACK_LOCATION) {});
}

NTSTATUS Kernel::queryCapabilities(Device &device, DEVICE_CAPABILITIES &capabilities) {
    return sendAndWait(device.pdo, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES,
                       [&capabilities](PIO_STACK_LOCATION s) {
                           s->Parameters.DeviceCapabilities.Capabilities = &capabilities;
                       });
}

NTSTATUS Kernel::start(Device &device) {
    return sendPnp(device, IRP_MN_START_DEVICE);
}
NTSTATUS Kernel::queryStop(Device &device) {
    return sendPnp(device, IRP_MN_QUERY_STOP_DEVICE);
}
NTSTATUS Kernel::cancelStop(Device &device) {
    return sendPnp(device, IRP_MN_CANCEL_STOP_DEVICE);
}
NTSTATUS Kernel::stop(Device &device) {
    return sendPnp(device, IRP_MN_STOP_DEVICE);
}
NTSTATUS Kernel::queryRemove(Device &device) {
    return sendPnp(device, IRP_MN_QUERY_REMOVE_DEVICE);
}
NTSTATUS Kernel::cancelRemove(Device &device) {
    return sendPnp(device, IRP_MN_CANCEL_REMOVE_DEVICE);
}

NTSTATUS Kernel::remove(Device &device) {
    if (device.removed) {
        return STATUS_NO_SUCH_DEVICE;
    }
    if (device.fdo != nullptr && detail::openFiles(device.fdo) != 0) {
        return STATUS_DEVICE_BUSY; // the user vetoes: the device is in use
    }
    if (device.fdo != nullptr) {
        NTSTATUS status = queryRemove(device);
        if (!NT_SUCCESS(status)) {
            cancelRemove(device);
            return status;
        }
        sendPnp(device, IRP_MN_REMOVE_DEVICE);
    }
    finishRemoval(device);
    return STATUS_SUCCESS;
}

void Kernel::surpriseRemove(Device &device) {
    if (device.removed) {
        return;
    }
    detail::busDeviceGone(device.pdo);
    if (device.fdo == nullptr) {
        finishRemoval(device);
        return;
    }
    sendPnp(device, IRP_MN_SURPRISE_REMOVAL);
    if (detail::openFiles(device.fdo) == 0) {
        sendPnp(device, IRP_MN_REMOVE_DEVICE);
        finishRemoval(device);
        return;
    }
    detail::setOnLastClose(device.fdo, [this, &device] {
        sendPnp(device, IRP_MN_REMOVE_DEVICE);
        finishRemoval(device);
    });
}

void Kernel::finishRemoval(Device &device) {
    device.fdo = nullptr;
    device.removed = true;
    if (device.pdo->AttachedDevice != nullptr) {
        bugCheck("the driver did not detach from the bus device at removal");
    }
    detail::deleteBusDevice(device.pdo);
    device.pdo = nullptr;
}

NTSTATUS Kernel::sendPower(Device &device, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state) {
    return sendAndWait(device.pdo, IRP_MJ_POWER, minor, [type, state](PIO_STACK_LOCATION s) {
        s->Parameters.Power.Type = type;
        s->Parameters.Power.State = state;
    });
}

NTSTATUS Kernel::setSystemPower(Device &device, SYSTEM_POWER_STATE state) {
    POWER_STATE s;
    s.SystemState = state;
    return sendPower(device, IRP_MN_SET_POWER, SystemPowerState, s);
}

NTSTATUS Kernel::querySystemPower(Device &device, SYSTEM_POWER_STATE state) {
    POWER_STATE s;
    s.SystemState = state;
    return sendPower(device, IRP_MN_QUERY_POWER, SystemPowerState, s);
}

NTSTATUS Kernel::setDevicePower(Device &device, DEVICE_POWER_STATE state) {
    POWER_STATE s;
    s.DeviceState = state;
    return sendPower(device, IRP_MN_SET_POWER, DevicePowerState, s);
}

NTSTATUS Kernel::queryDevicePower(Device &device, DEVICE_POWER_STATE state) {
    POWER_STATE s;
    s.DeviceState = state;
    return sendPower(device, IRP_MN_QUERY_POWER, DevicePowerState, s);
}

DEVICE_POWER_STATE Kernel::reportedPowerState(Device &device) const {
    return detail::reportedPowerState(device.fdo);
}

bool Kernel::waitWakePending(Device &device) const {
    return detail::busWaitWakePending(device.pdo);
}

bool Kernel::wake(Device &device) {
    return detail::busWake(device.pdo);
}

void Kernel::serviceBus(Device &device) {
    detail::busService(device.pdo);
}

int Kernel::requestedPowerIrpsInFlight() const {
    return detail::requestedPowerIrps();
}

std::size_t Kernel::urbCount(Device &device, USHORT function) const {
    return detail::busUrbCount(device.pdo, function);
}

} // namespace kshim

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return IofCallDriver(DeviceObject, Irp);
}

VOID PoStartNextPowerIrp(PIRP Irp) {
    (void)Irp;
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
    POWER_STATE old;
    old.DeviceState = PowerDeviceUnspecified;
    if (Type == DevicePowerState) {
        std::lock_guard<std::mutex> lock(kshim::powerMutex);
        old.DeviceState = kshim::reportedStates[DeviceObject];
        kshim::reportedStates[DeviceObject] = State.DeviceState;
    }
    return old;
}

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP *Irp) {
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER &&
        MinorFunction != IRP_MN_WAIT_WAKE) {
        return STATUS_INVALID_PARAMETER;
    }
    PDEVICE_OBJECT top = kshim::detail::topOfStack(DeviceObject);
    PIRP irp = kshim::detail::allocateIrp(top->StackSize);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_POWER;
    stack->MinorFunction = MinorFunction;
    if (MinorFunction == IRP_MN_WAIT_WAKE) {
        stack->Parameters.WaitWake.PowerState = PowerState.SystemState;
    } else {
        stack->Parameters.Power.Type = DevicePowerState;
        stack->Parameters.Power.State = PowerState;
    }
    irp->Kshim.Finish = kshim::PoRequest::finish;
    irp->Kshim.FinishContext =
        new kshim::PoRequest{CompletionFunction, Context, DeviceObject, MinorFunction, PowerState};
    {
        std::lock_guard<std::mutex> lock(kshim::powerMutex);
        ++kshim::powerIrpsInFlight;
    }
    // The caller learns the request before it goes out, so that it can
    // cancel it even while it is on its way.
    if (Irp != nullptr) {
        *Irp = irp;
    }
    PoCallDriver(top, irp);
    return STATUS_PENDING;
}
