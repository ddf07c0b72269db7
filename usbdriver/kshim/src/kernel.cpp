// kshim's kernel core: pool, IRQL and spin locks, events and waits,
// interlocked operations, strings, memory descriptor lists, work items,
// IRPs (stack locations, completion, cancel), device objects and names.
#include "internal.h"

#include "plat/clock.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace kshim::detail {

void bugCheck(const char *what) {
    std::fprintf(stderr, "kshim: bug check: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

namespace {
thread_local KIRQL currentIrql = PASSIVE_LEVEL;
} // namespace

void raiseIrql(KIRQL level, KIRQL &old) {
    old = currentIrql;
    if (level < currentIrql) {
        bugCheck("IRQL raised to a lower level");
    }
    currentIrql = level;
}

void lowerIrql(KIRQL old) {
    currentIrql = old;
}

std::wstring widen(const std::string &text) {
    return std::wstring(text.begin(), text.end());
}

std::string lower(std::string text) {
    for (char &c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

} // namespace kshim::detail

using kshim::detail::bugCheck;

KIRQL KeGetCurrentIrql() {
    return kshim::detail::currentIrql;
}

// ---------------------------------------------------------------------------
// Pool

namespace {

struct PoolBlock {
    ULONG tag;
    SIZE_T size;
};

std::mutex poolMutex;
std::unordered_map<void *, PoolBlock> &poolBlocks() {
    static std::unordered_map<void *, PoolBlock> blocks;
    return blocks;
}
ULONG failTag = 0;
int failSkip = 0;
int failCount = 0;

} // namespace

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    if (PoolType != NonPagedPool && PoolType != NonPagedPoolNx && KeGetCurrentIrql() > APC_LEVEL) {
        bugCheck("paged pool allocated above APC_LEVEL");
    }
    std::lock_guard<std::mutex> lock(poolMutex);
    if (failCount != 0 && (failTag == 0 || failTag == Tag)) {
        if (failSkip > 0) {
            --failSkip;
        } else {
            if (failCount > 0) {
                --failCount;
            }
            return nullptr;
        }
    }
    void *p = std::malloc(NumberOfBytes != 0 ? NumberOfBytes : 1);
    if (p == nullptr) {
        return nullptr;
    }
    // Fresh pool is not zeroed: fill it so that reads of unset fields show.
    std::memset(p, 0xA5, NumberOfBytes);
    poolBlocks()[p] = PoolBlock{Tag, NumberOfBytes};
    return p;
}

VOID ExFreePool(PVOID P) {
    std::lock_guard<std::mutex> lock(poolMutex);
    auto it = poolBlocks().find(P);
    if (it == poolBlocks().end()) {
        bugCheck("ExFreePool of memory that is not an allocated pool block (double free?)");
    }
    poolBlocks().erase(it);
    std::free(P);
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) {
    {
        std::lock_guard<std::mutex> lock(poolMutex);
        auto it = poolBlocks().find(P);
        if (it != poolBlocks().end() && it->second.tag != Tag) {
            bugCheck("ExFreePoolWithTag with another tag than the allocation's");
        }
    }
    ExFreePool(P);
}

namespace kshim {

std::size_t poolOutstanding() {
    std::lock_guard<std::mutex> lock(poolMutex);
    return poolBlocks().size();
}

std::size_t poolOutstanding(ULONG tag) {
    std::lock_guard<std::mutex> lock(poolMutex);
    return static_cast<std::size_t>(std::count_if(poolBlocks().begin(), poolBlocks().end(),
                                                  [tag](const auto &b) { return b.second.tag == tag; }));
}

void failPoolAllocations(ULONG tag, int skip, int count) {
    std::lock_guard<std::mutex> lock(poolMutex);
    failTag = tag;
    failSkip = skip;
    failCount = count;
}

} // namespace kshim

// ---------------------------------------------------------------------------
// Interlocked operations

LONG InterlockedIncrement(LONG volatile *Addend) {
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
LONG InterlockedDecrement(LONG volatile *Addend) {
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
LONG InterlockedExchange(LONG volatile *Target, LONG Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
LONG InterlockedCompareExchange(LONG volatile *Destination, LONG Exchange, LONG Comparand) {
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comparand;
}
PVOID InterlockedExchangePointer(PVOID volatile *Target, PVOID Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

// ---------------------------------------------------------------------------
// Spin locks: the lock word holds its owner, so that a second acquire on the
// same thread stops the process instead of spinning for ever.

namespace {
thread_local char spinOwnerToken;
ULONG_PTR spinToken() {
    return reinterpret_cast<ULONG_PTR>(&spinOwnerToken);
}
} // namespace

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
    __atomic_store_n(SpinLock, 0, __ATOMIC_SEQ_CST);
}

VOID KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
    const ULONG_PTR me = spinToken();
    if (__atomic_load_n(SpinLock, __ATOMIC_SEQ_CST) == me) {
        bugCheck("spin lock acquired twice on one thread");
    }
    kshim::detail::raiseIrql(DISPATCH_LEVEL, *OldIrql);
    for (;;) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(SpinLock, &expected, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
            return;
        }
        std::this_thread::yield();
    }
}

VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    if (__atomic_load_n(SpinLock, __ATOMIC_SEQ_CST) != spinToken()) {
        bugCheck("spin lock released by a thread that does not hold it");
    }
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
    kshim::detail::lowerIrql(NewIrql);
}

namespace {
KSPIN_LOCK cancelSpinLock = 0;
} // namespace

VOID IoAcquireCancelSpinLock(PKIRQL Irql) {
    KeAcquireSpinLock(&cancelSpinLock, Irql);
}

VOID IoReleaseCancelSpinLock(KIRQL Irql) {
    KeReleaseSpinLock(&cancelSpinLock, Irql);
}

// ---------------------------------------------------------------------------
// Events and waits: one mutex and one condition for all events.

namespace {
std::mutex eventMutex;
std::condition_variable eventChanged;
int waiters = 0;
} // namespace

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    std::lock_guard<std::mutex> lock(eventMutex);
    Event->Header.Type = static_cast<UCHAR>(Type);
    Event->Header.SignalState = State ? 1 : 0;
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    (void)Increment;
    (void)Wait;
    LONG previous;
    {
        std::lock_guard<std::mutex> lock(eventMutex);
        previous = Event->Header.SignalState;
        Event->Header.SignalState = 1;
    }
    eventChanged.notify_all();
    return previous;
}

VOID KeClearEvent(PRKEVENT Event) {
    std::lock_guard<std::mutex> lock(eventMutex);
    Event->Header.SignalState = 0;
}

LONG KeResetEvent(PRKEVENT Event) {
    std::lock_guard<std::mutex> lock(eventMutex);
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

LONG KeReadStateEvent(PRKEVENT Event) {
    std::lock_guard<std::mutex> lock(eventMutex);
    return Event->Header.SignalState;
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    const bool poll = Timeout != nullptr && Timeout->QuadPart == 0;
    if (!poll && KeGetCurrentIrql() >= DISPATCH_LEVEL) {
        bugCheck("KeWaitForSingleObject at DISPATCH_LEVEL");
    }
    if (Timeout != nullptr && !poll) {
        bugCheck("kshim waits without a time-out or with a zero one only");
    }
    auto *event = static_cast<PRKEVENT>(Object);
    std::unique_lock<std::mutex> lock(eventMutex);
    if (poll && event->Header.SignalState == 0) {
        return STATUS_PENDING; // STATUS_TIMEOUT's place: not signalled
    }
    ++waiters;
    eventChanged.notify_all();
    eventChanged.wait(lock, [event] { return event->Header.SignalState != 0; });
    --waiters;
    if (event->Header.Type == SynchronizationEvent) {
        event->Header.SignalState = 0;
    }
    return STATUS_SUCCESS;
}

namespace kshim {

int blockedWaiters() {
    std::lock_guard<std::mutex> lock(eventMutex);
    return waiters;
}

void waitForBlockedWaiters(int count) {
    std::unique_lock<std::mutex> lock(eventMutex);
    eventChanged.wait(lock, [count] { return waiters >= count; });
}

} // namespace kshim

VOID KeQueryTickCount(PLARGE_INTEGER CurrentCount) {
    // The platform clock's milliseconds stand for the system's ticks.
    CurrentCount->QuadPart = plat::tickMs();
}

// ---------------------------------------------------------------------------
// Strings

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        return;
    }
    std::size_t n = 0;
    while (SourceString[n] != 0) {
        ++n;
    }
    DestinationString->Length = static_cast<USHORT>(n * sizeof(WCHAR));
    DestinationString->MaximumLength = static_cast<USHORT>((n + 1) * sizeof(WCHAR));
}

VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    USHORT n = std::min(SourceString->Length, DestinationString->MaximumLength);
    std::memcpy(DestinationString->Buffer, SourceString->Buffer, n);
    DestinationString->Length = n;
    if (n + sizeof(WCHAR) <= DestinationString->MaximumLength) {
        DestinationString->Buffer[n / sizeof(WCHAR)] = 0;
    }
}

VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    if (UnicodeString->Buffer != nullptr) {
        ExFreePool(UnicodeString->Buffer);
    }
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = 0;
    UnicodeString->MaximumLength = 0;
}

namespace kshim {

std::string narrow(PCUNICODE_STRING text) {
    std::string out;
    if (text == nullptr || text->Buffer == nullptr) {
        return out;
    }
    for (std::size_t i = 0; i < text->Length / sizeof(WCHAR); ++i) {
        out.push_back(static_cast<char>(text->Buffer[i]));
    }
    return out;
}

} // namespace kshim

// ---------------------------------------------------------------------------
// Memory descriptor lists

PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                   MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                   ULONG BugCheckOnFailure, ULONG Priority) {
    (void)AccessMode;
    (void)CacheType;
    (void)RequestedAddress;
    (void)BugCheckOnFailure;
    (void)Priority;
    if ((MemoryDescriptorList->MdlFlags & MDL_PAGES_LOCKED) == 0) {
        bugCheck("mapping an MDL whose pages are not locked");
    }
    MemoryDescriptorList->MappedSystemVa =
        static_cast<char *>(MemoryDescriptorList->StartVa) + MemoryDescriptorList->ByteOffset;
    MemoryDescriptorList->MdlFlags =
        static_cast<CSHORT>(MemoryDescriptorList->MdlFlags | MDL_MAPPED_TO_SYSTEM_VA);
    return MemoryDescriptorList->MappedSystemVa;
}

// ---------------------------------------------------------------------------
// Work items: one system worker thread at passive level.

struct _IO_WORKITEM {
    PDEVICE_OBJECT DeviceObject;
    bool queued;
};

namespace {

struct WorkQueue {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::pair<PIO_WORKITEM, std::pair<PIO_WORKITEM_ROUTINE, PVOID>>> items;
    bool running = false;
    bool stop = false;
    std::thread thread;
    int allocated = 0;

    ~WorkQueue() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stop = true;
        }
        changed.notify_all();
        if (thread.joinable()) {
            thread.join();
        }
    }

    void run() {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            changed.wait(lock, [this] { return stop || !items.empty(); });
            if (items.empty()) {
                return;
            }
            auto item = items.front();
            items.pop_front();
            running = true;
            item.first->queued = false;
            PDEVICE_OBJECT device = item.first->DeviceObject;
            lock.unlock();
            item.second.first(device, item.second.second);
            lock.lock();
            running = false;
            changed.notify_all();
        }
    }
};

WorkQueue &workQueue() {
    static WorkQueue queue;
    return queue;
}

} // namespace

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
    if (kshim::detail::findDevice(kshim::detail::deviceName(DeviceObject)) != DeviceObject) {
        bugCheck("work item for a device object that does not exist");
    }
    auto *item = new _IO_WORKITEM{DeviceObject, false};
    WorkQueue &q = workQueue();
    std::lock_guard<std::mutex> lock(q.mutex);
    ++q.allocated;
    return item;
}

VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
    WorkQueue &q = workQueue();
    {
        std::lock_guard<std::mutex> lock(q.mutex);
        if (IoWorkItem->queued) {
            bugCheck("work item freed while queued");
        }
        --q.allocated;
    }
    delete IoWorkItem;
}

VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                     PVOID Context) {
    (void)QueueType;
    WorkQueue &q = workQueue();
    {
        std::lock_guard<std::mutex> lock(q.mutex);
        if (IoWorkItem->queued) {
            bugCheck("work item queued twice");
        }
        IoWorkItem->queued = true;
        q.items.emplace_back(IoWorkItem, std::make_pair(WorkerRoutine, Context));
        if (!q.thread.joinable()) {
            q.thread = std::thread([&q] { q.run(); });
        }
    }
    q.changed.notify_all();
}

namespace kshim {

void drainWorkItems() {
    WorkQueue &q = workQueue();
    std::unique_lock<std::mutex> lock(q.mutex);
    q.changed.wait(lock, [&q] { return q.items.empty() && !q.running; });
}

} // namespace kshim

// ---------------------------------------------------------------------------
// IRPs

namespace kshim::detail {

PIRP allocateIrp(CCHAR stackSize) {
    if (stackSize < 1) {
        bugCheck("IRP without stack locations");
    }
    const std::size_t size =
        sizeof(IRP) + (static_cast<std::size_t>(stackSize) - 1) * sizeof(IO_STACK_LOCATION);
    auto *irp = static_cast<PIRP>(std::calloc(1, size));
    if (irp == nullptr) {
        bugCheck("out of memory");
    }
    irp->Size = static_cast<USHORT>(size);
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = &irp->Stack[static_cast<int>(stackSize)];
    InitializeListHead(&irp->Tail.Overlay.ListEntry);
    return irp;
}

void freeIrp(PIRP irp) {
    std::free(irp);
}

} // namespace kshim::detail

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    (void)ChargeQuota;
    return kshim::detail::allocateIrp(StackSize);
}

VOID IoFreeIrp(PIRP Irp) {
    kshim::detail::freeIrp(Irp);
}

PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
    return __atomic_exchange_n(&Irp->CancelRoutine, CancelRoutine, __ATOMIC_SEQ_CST);
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (Irp->Kshim.Completed) {
        bugCheck("IoCallDriver with an IRP that has completed");
    }
    Irp->CurrentLocation--;
    if (Irp->CurrentLocation <= 0) {
        bugCheck("NO_MORE_IRP_STACK_LOCATIONS");
    }
    PIO_STACK_LOCATION stack = --Irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = DeviceObject;
    PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];
    if (dispatch == nullptr) {
        bugCheck("IRP for a major function the driver does not serve");
    }
    return dispatch(DeviceObject, Irp);
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    (void)PriorityBoost;
    if (Irp->IoStatus.Status == STATUS_PENDING) {
        bugCheck("IRP completed with STATUS_PENDING");
    }
    if (Irp->Kshim.Completed || Irp->CurrentLocation > Irp->StackCount) {
        bugCheck("MULTIPLE_IRP_COMPLETE_REQUESTS");
    }
    if (Irp->CancelRoutine != nullptr) {
        bugCheck("IRP completed with its cancel routine still set");
    }
    for (;;) {
        PIO_STACK_LOCATION stack = Irp->Tail.Overlay.CurrentStackLocation;
        Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        const UCHAR control = stack->Control;
        // Leave this location: the driver above sees its own.
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
        stack->CompletionRoutine = nullptr;
        stack->Context = nullptr;
        stack->Control = 0;
        const bool top = Irp->CurrentLocation > Irp->StackCount;
        const NTSTATUS status = Irp->IoStatus.Status;
        const bool invoke =
            routine != nullptr && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS) != 0) ||
                                   (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR) != 0) ||
                                   (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL) != 0));
        if (invoke) {
            PDEVICE_OBJECT device = top ? nullptr : Irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
            if (routine(device, Irp, context) == STATUS_MORE_PROCESSING_REQUIRED) {
                return; // the driver owns the IRP again; it may be gone already
            }
        } else if (Irp->PendingReturned && !top) {
            IoMarkIrpPending(Irp);
        }
        if (top) {
            break;
        }
    }
    Irp->Kshim.Completed = TRUE;
    if (Irp->UserIosb != nullptr) {
        *Irp->UserIosb = Irp->IoStatus;
    }
    if (Irp->UserEvent != nullptr) {
        KeSetEvent(Irp->UserEvent, IO_NO_INCREMENT, FALSE);
    }
    if (Irp->Kshim.Finish != nullptr) {
        Irp->Kshim.Finish(Irp);
    } else {
        kshim::detail::freeIrp(Irp);
    }
}

BOOLEAN IoCancelIrp(PIRP Irp) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    routine(Irp->Tail.Overlay.CurrentStackLocation->DeviceObject, Irp);
    return TRUE;
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                   PIO_STATUS_BLOCK IoStatusBlock) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        bugCheck("IoBuildDeviceIoControlRequest above PASSIVE_LEVEL");
    }
    PIRP irp = kshim::detail::allocateIrp(DeviceObject->StackSize);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
    irp->UserBuffer = OutputBuffer;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->IoStatus.Status = STATUS_SUCCESS;
    return irp;
}

// ---------------------------------------------------------------------------
// Device objects, names, links and interfaces

namespace {

struct ObjectSpace {
    std::mutex mutex;
    std::map<std::string, PDEVICE_OBJECT> devices;                    // lower-case name
    std::map<PDEVICE_OBJECT, std::string> names;                      // as created
    std::map<std::string, std::pair<std::string, std::string>> links; // lower-case link: (link, target)
    std::map<PDEVICE_OBJECT, int> openFiles;
    std::map<PDEVICE_OBJECT, std::function<void()>> onLastClose;
    std::map<PDEVICE_OBJECT, std::vector<kshim::DeviceInterface>> interfaces;
    int nextInterface = 0;
};

ObjectSpace &objects() {
    static ObjectSpace space;
    return space;
}

// "\??\x" and "\DosDevices\x" name the same link.
std::string linkKey(const std::string &name) {
    std::string key = kshim::detail::lower(name);
    if (key.rfind("\\??\\", 0) == 0) {
        key = "\\dosdevices\\" + key.substr(4);
    }
    return key;
}

struct DeviceBlock {
    DEVICE_OBJECT object;
};

} // namespace

namespace kshim::detail {

PDEVICE_OBJECT findDevice(const std::string &name) {
    ObjectSpace &o = objects();
    std::lock_guard<std::mutex> lock(o.mutex);
    auto it = o.devices.find(lower(name));
    return it == o.devices.end() ? nullptr : it->second;
}

std::string deviceName(PDEVICE_OBJECT device) {
    ObjectSpace &o = objects();
    std::lock_guard<std::mutex> lock(o.mutex);
    auto it = o.names.find(device);
    return it == o.names.end() ? std::string() : it->second;
}

PDEVICE_OBJECT topOfStack(PDEVICE_OBJECT device) {
    while (device->AttachedDevice != nullptr) {
        device = device->AttachedDevice;
    }
    return device;
}

void fileOpened(PDEVICE_OBJECT top) {
    ObjectSpace &o = objects();
    std::lock_guard<std::mutex> lock(o.mutex);
    ++o.openFiles[top];
}

void fileClosed(PDEVICE_OBJECT top) {
    std::function<void()> action;
    {
        ObjectSpace &o = objects();
        std::lock_guard<std::mutex> lock(o.mutex);
        if (--o.openFiles[top] == 0) {
            o.openFiles.erase(top);
            auto it = o.onLastClose.find(top);
            if (it != o.onLastClose.end()) {
                action = std::move(it->second);
                o.onLastClose.erase(it);
            }
        }
    }
    if (action) {
        action();
    }
}

int openFiles(PDEVICE_OBJECT top) {
    ObjectSpace &o = objects();
    std::lock_guard<std::mutex> lock(o.mutex);
    auto it = o.openFiles.find(top);
    return it == o.openFiles.end() ? 0 : it->second;
}

void setOnLastClose(PDEVICE_OBJECT top, std::function<void()> action) {
    ObjectSpace &o = objects();
    std::lock_guard<std::mutex> lock(o.mutex);
    o.onLastClose[top] = std::move(action);
}

} // namespace kshim::detail

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT *DeviceObject) {
    (void)Exclusive;
    std::string name = DeviceName != nullptr ? kshim::narrow(DeviceName) : std::string();
    ObjectSpace &o = objects();
    std::lock_guard<std::mutex> lock(o.mutex);
    if (!name.empty() && o.devices.count(kshim::detail::lower(name)) != 0) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    // The extension follows the object directly and is exactly as large as
    // asked, so that the sanitizer sees a write past its end.
    auto *block = static_cast<char *>(std::calloc(1, sizeof(DEVICE_OBJECT) + DeviceExtensionSize));
    if (block == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto *device = reinterpret_cast<PDEVICE_OBJECT>(block);
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT));
    device->DriverObject = DriverObject;
    device->DeviceExtension = DeviceExtensionSize != 0 ? block + sizeof(DEVICE_OBJECT) : nullptr;
    device->DeviceType = DeviceType;
    device->Characteristics = DeviceCharacteristics;
    device->Flags = DO_DEVICE_INITIALIZING;
    device->StackSize = 1;
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
    if (name.empty()) {
        name = "\\Device\\kshim-anonymous-" + std::to_string(reinterpret_cast<std::uintptr_t>(device));
    }
    o.devices[kshim::detail::lower(name)] = device;
    o.names[device] = name;
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    ObjectSpace &o = objects();
    {
        std::lock_guard<std::mutex> lock(o.mutex);
        if (DeviceObject->AttachedDevice != nullptr) {
            bugCheck("IoDeleteDevice of a device that another device is attached to");
        }
        if (o.openFiles.count(DeviceObject) != 0) {
            bugCheck("IoDeleteDevice of a device with open files");
        }
        auto it = o.names.find(DeviceObject);
        if (it == o.names.end()) {
            bugCheck("IoDeleteDevice of an unknown device object");
        }
        o.devices.erase(kshim::detail::lower(it->second));
        o.names.erase(it);
        o.interfaces.erase(DeviceObject);
    }
    PDRIVER_OBJECT driver = DeviceObject->DriverObject;
    for (PDEVICE_OBJECT *link = &driver->DeviceObject; *link != nullptr; link = &(*link)->NextDevice) {
        if (*link == DeviceObject) {
            *link = DeviceObject->NextDevice;
            break;
        }
    }
    std::memset(static_cast<void *>(DeviceObject), 0xDD, sizeof(DEVICE_OBJECT));
    std::free(DeviceObject);
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
    PDEVICE_OBJECT top = kshim::detail::topOfStack(TargetDevice);
    top->AttachedDevice = SourceDevice;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    return top;
}

VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    if (TargetDevice->AttachedDevice == nullptr) {
        bugCheck("IoDetachDevice of a device nothing is attached to");
    }
    TargetDevice->AttachedDevice = nullptr;
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    const std::string link = kshim::narrow(SymbolicLinkName);
    ObjectSpace &o = objects();
    std::lock_guard<std::mutex> lock(o.mutex);
    const std::string key = linkKey(link);
    if (o.links.count(key) != 0) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    o.links[key] = {link, kshim::narrow(DeviceName)};
    return STATUS_SUCCESS;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
    ObjectSpace &o = objects();
    std::lock_guard<std::mutex> lock(o.mutex);
    return o.links.erase(linkKey(kshim::narrow(SymbolicLinkName))) != 0 ? STATUS_SUCCESS
                                                                        : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID *InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName) {
    (void)ReferenceString;
    ObjectSpace &o = objects();
    std::string name;
    {
        std::lock_guard<std::mutex> lock(o.mutex);
        char guid[64];
        std::snprintf(guid, sizeof guid, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                      InterfaceClassGuid->Data1, InterfaceClassGuid->Data2, InterfaceClassGuid->Data3,
                      InterfaceClassGuid->Data4[0], InterfaceClassGuid->Data4[1],
                      InterfaceClassGuid->Data4[2], InterfaceClassGuid->Data4[3],
                      InterfaceClassGuid->Data4[4], InterfaceClassGuid->Data4[5],
                      InterfaceClassGuid->Data4[6], InterfaceClassGuid->Data4[7]);
        name = "\\??\\USB#KSHIM#" + std::to_string(o.nextInterface++) + "#" + guid;
        o.interfaces[PhysicalDeviceObject].push_back({name, false});
    }
    // The caller frees the name with RtlFreeUnicodeString.
    const std::size_t bytes = (name.size() + 1) * sizeof(WCHAR);
    auto *buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, kshim::poolTag("IoSt")));
    if (buffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    for (std::size_t i = 0; i < name.size(); ++i) {
        buffer[i] = static_cast<WCHAR>(name[i]);
    }
    buffer[name.size()] = 0;
    SymbolicLinkName->Buffer = buffer;
    SymbolicLinkName->Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
    SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes);
    return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
    const std::string name = kshim::narrow(SymbolicLinkName);
    ObjectSpace &o = objects();
    std::lock_guard<std::mutex> lock(o.mutex);
    for (auto &entry : o.interfaces) {
        for (auto &i : entry.second) {
            if (i.name == name) {
                i.enabled = Enable != FALSE;
                return STATUS_SUCCESS;
            }
        }
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

namespace kshim {

std::string linkTarget(const std::string &link) {
    ObjectSpace &o = objects();
    std::lock_guard<std::mutex> lock(o.mutex);
    auto it = o.links.find(linkKey(link));
    return it == o.links.end() ? std::string() : it->second.second;
}

std::vector<std::string> symbolicLinks() {
    ObjectSpace &o = objects();
    std::lock_guard<std::mutex> lock(o.mutex);
    std::vector<std::string> out;
    for (const auto &l : o.links) {
        out.push_back(l.second.first);
    }
    return out;
}

std::vector<DeviceInterface> deviceInterfaces(PDEVICE_OBJECT physicalDevice) {
    ObjectSpace &o = objects();
    std::lock_guard<std::mutex> lock(o.mutex);
    auto it = o.interfaces.find(physicalDevice);
    return it == o.interfaces.end() ? std::vector<DeviceInterface>{} : it->second;
}

} // namespace kshim
