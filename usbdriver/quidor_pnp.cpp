/* Driver entry, device creation and naming, plug and play, USB configuration,
   outstanding I/O and the held-request queue. */
#include "quidor.h"

namespace {

/* Copy of the registry path given at entry. */
UNICODE_STRING QUIDOR_RegistryPath;

/* {1F4088B8-5965-47BE-A1D5-E7AAA885A6E3} */
const GUID GUID_CLASS_QUIDOR = {0x1F4088B8, 0x5965, 0x47BE, {0xA1, 0xD5, 0xE7, 0xAA, 0xA8, 0x85, 0xA6, 0xE3}};

const WCHAR QUIDOR_DeviceBase[] = L"\\Device\\halvornquidor";
const WCHAR QUIDOR_LinkBase[] = L"\\DosDevices\\halvornquidor";

/* Base text followed by an optional decimal number; always terminated. */
VOID QUIDOR_FormatName(PWCHAR Buffer, ULONG Chars, const WCHAR *Base, LONG Number) {
    ULONG n = 0;
    while (Base[n] != 0 && n + 1 < Chars) {
        Buffer[n] = Base[n];
        ++n;
    }
    if (Number >= 0) {
        WCHAR digits[12];
        ULONG count = 0;
        ULONG value = static_cast<ULONG>(Number);
        do {
            digits[count++] = static_cast<WCHAR>(L'0' + value % 10);
            value /= 10;
        } while (value != 0);
        while (count > 0 && n + 1 < Chars) {
            Buffer[n++] = digits[--count];
        }
    }
    Buffer[n] = 0;
}

VOID QUIDOR_FreeConfiguration(PQUIDOR_DEVICE_EXTENSION DeviceExtension) {
    if (DeviceExtension->UsbConfigurationDescriptor != NULL) {
        ExFreePool(DeviceExtension->UsbConfigurationDescriptor);
        DeviceExtension->UsbConfigurationDescriptor = NULL;
    }
    if (DeviceExtension->UsbInterface != NULL) {
        ExFreePool(DeviceExtension->UsbInterface);
        DeviceExtension->UsbInterface = NULL;
    }
    if (DeviceExtension->PipeOpen != NULL) {
        ExFreePool(DeviceExtension->PipeOpen);
        DeviceExtension->PipeOpen = NULL;
    }
}

VOID QUIDOR_SetDeviceState(PQUIDOR_DEVICE_EXTENSION DeviceExtension, DEVSTATE NewState) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&DeviceExtension->DevStateLock, &oldIrql);
    DeviceExtension->PrevDevState = DeviceExtension->DeviceState;
    DeviceExtension->DeviceState = NewState;
    KeReleaseSpinLock(&DeviceExtension->DevStateLock, oldIrql);
}

VOID QUIDOR_RestorePreviousState(PQUIDOR_DEVICE_EXTENSION DeviceExtension) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&DeviceExtension->DevStateLock, &oldIrql);
    DeviceExtension->DeviceState = DeviceExtension->PrevDevState;
    DeviceExtension->QueueState = AllowRequests;
    KeReleaseSpinLock(&DeviceExtension->DevStateLock, oldIrql);
}

NTSTATUS NTAPI QUIDOR_SignalCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/* Reads a descriptor into a pool buffer of Length bytes; the bytes that
   arrived are returned in *Received. */
NTSTATUS QUIDOR_GetDescriptor(PQUIDOR_DEVICE_EXTENSION DeviceExtension, UCHAR Type, UCHAR Index, PVOID Buffer,
                              ULONG Length, ULONG *Received) {
    PURB urb = static_cast<PURB>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), QUIDOR_POOL_TAG));
    if (urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    UsbBuildGetDescriptorRequest(urb, static_cast<USHORT>(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)),
                                 Type, Index, 0, Buffer, NULL, Length, NULL);
    NTSTATUS ntStatus = QUIDOR_CallUSBD(DeviceExtension, urb);
    ULONG received = urb->UrbControlDescriptorRequest.TransferBufferLength;
    *Received = received <= Length ? received : Length;
    ExFreePool(urb);
    return ntStatus;
}

NTSTATUS QUIDOR_SelectInterfaces(PQUIDOR_DEVICE_EXTENSION DeviceExtension) {
    PUSB_CONFIGURATION_DESCRIPTOR configDesc = DeviceExtension->UsbConfigurationDescriptor;
    ULONG numberOfInterfaces = configDesc->bNumInterfaces;
    if (numberOfInterfaces == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG listSize = sizeof(USBD_INTERFACE_LIST_ENTRY) * (numberOfInterfaces + 1);
    PUSBD_INTERFACE_LIST_ENTRY interfaceList = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(
        ExAllocatePoolWithTag(NonPagedPool, listSize, QUIDOR_POOL_TAG));
    if (interfaceList == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(interfaceList, listSize);

    ULONG found = 0;
    for (LONG interfaceNumber = 0; found < numberOfInterfaces && interfaceNumber < QUIDOR_INTERFACE_SEARCH;
         ++interfaceNumber) {
        PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor =
            USBD_ParseConfigurationDescriptorEx(configDesc, configDesc, interfaceNumber, -1, -1, -1, -1);
        if (interfaceDescriptor != NULL) {
            interfaceList[found].InterfaceDescriptor = interfaceDescriptor;
            interfaceList[found].Interface = NULL;
            ++found;
        }
    }
    if (found == 0) {
        ExFreePool(interfaceList);
        return STATUS_INVALID_PARAMETER;
    }

    PURB urb = USBD_CreateConfigurationRequestEx(configDesc, interfaceList);
    if (urb == NULL) {
        ExFreePool(interfaceList);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PUSBD_INTERFACE_INFORMATION usbInterface = &urb->UrbSelectConfiguration.Interface;
    for (ULONG i = 0; i < usbInterface->NumberOfPipes; ++i) {
        usbInterface->Pipes[i].MaximumTransferSize = QUIDOR_PIPE_TRANSFER;
    }

    NTSTATUS ntStatus = QUIDOR_CallUSBD(DeviceExtension, urb);
    if (NT_SUCCESS(ntStatus)) {
        /* The bus filled in the first interface's block in place. */
        usbInterface = &urb->UrbSelectConfiguration.Interface;
        PUSBD_INTERFACE_INFORMATION copy = static_cast<PUSBD_INTERFACE_INFORMATION>(
            ExAllocatePoolWithTag(NonPagedPool, usbInterface->Length, QUIDOR_POOL_TAG));
        ULONG pipes = usbInterface->NumberOfPipes;
        ULONG flagBytes = sizeof(LONG) * (pipes != 0 ? pipes : 1);
        PLONG flags = static_cast<PLONG>(ExAllocatePoolWithTag(NonPagedPool, flagBytes, QUIDOR_POOL_TAG));
        if (copy == NULL || flags == NULL) {
            if (copy != NULL) {
                ExFreePool(copy);
            }
            if (flags != NULL) {
                ExFreePool(flags);
            }
            ntStatus = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            RtlCopyMemory(copy, usbInterface, usbInterface->Length);
            RtlZeroMemory(flags, flagBytes);
            DeviceExtension->UsbInterface = copy;
            DeviceExtension->PipeOpen = flags;
        }
    }
    ExFreePool(urb);
    ExFreePool(interfaceList);
    return ntStatus;
}

NTSTATUS QUIDOR_ReadAndSelectDescriptors(PQUIDOR_DEVICE_EXTENSION DeviceExtension) {
    USB_DEVICE_DESCRIPTOR *deviceDescriptor = static_cast<USB_DEVICE_DESCRIPTOR *>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(USB_DEVICE_DESCRIPTOR), QUIDOR_POOL_TAG));
    if (deviceDescriptor == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(deviceDescriptor, sizeof(USB_DEVICE_DESCRIPTOR));
    ULONG received = 0;
    NTSTATUS ntStatus = QUIDOR_GetDescriptor(DeviceExtension, USB_DEVICE_DESCRIPTOR_TYPE, 0, deviceDescriptor,
                                             sizeof(USB_DEVICE_DESCRIPTOR), &received);
    if (NT_SUCCESS(ntStatus) && received < sizeof(USB_DEVICE_DESCRIPTOR)) {
        ntStatus = STATUS_UNSUCCESSFUL; /* a device descriptor is 18 bytes */
    }
    if (NT_SUCCESS(ntStatus)) {
        DeviceExtension->VendorId = deviceDescriptor->idVendor;
        DeviceExtension->ProductId = deviceDescriptor->idProduct;
        DeviceExtension->SerialIndex = deviceDescriptor->iSerialNumber;
    }
    ExFreePool(deviceDescriptor);
    if (!NT_SUCCESS(ntStatus)) {
        return ntStatus;
    }

    /* The serial string is read again after a restart. */
    RtlZeroMemory(DeviceExtension->SerialDescriptor, sizeof(DeviceExtension->SerialDescriptor));
    DeviceExtension->SerialRead = 0;
    USB_CONFIGURATION_DESCRIPTOR *head = static_cast<USB_CONFIGURATION_DESCRIPTOR *>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(USB_CONFIGURATION_DESCRIPTOR), QUIDOR_POOL_TAG));
    if (head == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(head, sizeof(USB_CONFIGURATION_DESCRIPTOR));
    ntStatus = QUIDOR_GetDescriptor(DeviceExtension, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, head,
                                    sizeof(USB_CONFIGURATION_DESCRIPTOR), &received);
    ULONG totalLength = head->wTotalLength;
    ExFreePool(head);
    if (NT_SUCCESS(ntStatus) && (received < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
                                 totalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR))) {
        ntStatus = STATUS_UNSUCCESSFUL;
    }
    if (!NT_SUCCESS(ntStatus)) {
        return ntStatus;
    }

    PUSB_CONFIGURATION_DESCRIPTOR configDesc = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(
        ExAllocatePoolWithTag(NonPagedPool, totalLength, QUIDOR_POOL_TAG));
    if (configDesc == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(configDesc, totalLength);
    ntStatus = QUIDOR_GetDescriptor(DeviceExtension, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, configDesc,
                                    totalLength, &received);
    /* A device that sends less than it announced, or announces something
       else the second time, gets no configuration built from stale bytes. */
    if (NT_SUCCESS(ntStatus) && (received != totalLength || configDesc->wTotalLength != totalLength)) {
        ntStatus = STATUS_UNSUCCESSFUL;
    }
    if (!NT_SUCCESS(ntStatus)) {
        ExFreePool(configDesc);
        return ntStatus;
    }
    DeviceExtension->UsbConfigurationDescriptor = configDesc;
    DeviceExtension->WaitWakeEnable = (configDesc->bmAttributes & USB_CONFIG_REMOTE_WAKEUP) != 0 ? 1 : 0;
    return QUIDOR_SelectInterfaces(DeviceExtension);
}

VOID QUIDOR_CreateLink(PQUIDOR_DEVICE_EXTENSION DeviceExtension) {
    if (DeviceExtension->VendorId != QUIDOR_VENDOR_ID) {
        return;
    }
    /* A restart keeps the link made by the first start. */
    if (DeviceExtension->LinkName[0] != 0) {
        return;
    }
    LONG suffix;
    switch (DeviceExtension->ProductId & 0xFF) {
    case 2:
        suffix = 1;
        break;
    case 3:
        suffix = 2;
        break;
    case 4:
        suffix = 3;
        break;
    default:
        suffix = -1;
        break;
    }
    QUIDOR_FormatName(DeviceExtension->LinkName, QUIDOR_NAME_CHARS, QUIDOR_LinkBase, suffix);
    UNICODE_STRING linkName;
    UNICODE_STRING deviceName;
    RtlInitUnicodeString(&linkName, DeviceExtension->LinkName);
    RtlInitUnicodeString(&deviceName, DeviceExtension->DeviceName);
    if (!NT_SUCCESS(IoCreateSymbolicLink(&linkName, &deviceName))) {
        DeviceExtension->LinkName[0] = 0;
    }
}

NTSTATUS QUIDOR_HandleStartDevice(PQUIDOR_DEVICE_EXTENSION DeviceExtension, PIRP Irp) {
    /* A start after a failed one finds the buffers of that attempt. */
    QUIDOR_FreeConfiguration(DeviceExtension);

    NTSTATUS ntStatus = QUIDOR_ForwardAndWait(DeviceExtension, Irp);
    if (!NT_SUCCESS(ntStatus)) {
        return ntStatus;
    }
    ntStatus = QUIDOR_ReadAndSelectDescriptors(DeviceExtension);
    if (!NT_SUCCESS(ntStatus)) {
        return ntStatus;
    }
    LARGE_INTEGER tick;
    KeQueryTickCount(&tick);
    DeviceExtension->ConfiguredTick = tick.u.LowPart;

    QUIDOR_CreateLink(DeviceExtension);

    ntStatus = IoSetDeviceInterfaceState(&DeviceExtension->InterfaceName, TRUE);
    if (!NT_SUCCESS(ntStatus)) {
        return ntStatus;
    }

    KIRQL oldIrql;
    KeAcquireSpinLock(&DeviceExtension->DevStateLock, &oldIrql);
    DeviceExtension->PrevDevState = DeviceExtension->DeviceState;
    DeviceExtension->DeviceState = Working;
    DeviceExtension->QueueState = AllowRequests;
    KeReleaseSpinLock(&DeviceExtension->DevStateLock, oldIrql);

    InterlockedExchangePointer(reinterpret_cast<PVOID volatile *>(&DeviceExtension->WaitWakeIrp), NULL);
    InterlockedExchange(&DeviceExtension->FlagWWCancel, 0);
    InterlockedExchange(&DeviceExtension->FlagWWOutstanding, 0);
    if (DeviceExtension->WaitWakeEnable) {
        QUIDOR_IssueWaitWake(DeviceExtension);
    }
    QUIDOR_ProcessQueuedRequests(DeviceExtension);
    return STATUS_SUCCESS;
}

NTSTATUS QUIDOR_Unconfigure(PQUIDOR_DEVICE_EXTENSION DeviceExtension) {
    ULONG size = sizeof(struct _URB_SELECT_CONFIGURATION);
    PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, QUIDOR_POOL_TAG));
    if (urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(urb, size);
    UsbBuildSelectConfigurationRequest(urb, static_cast<USHORT>(size), NULL);
    NTSTATUS ntStatus = QUIDOR_CallUSBD(DeviceExtension, urb);
    ExFreePool(urb);
    return ntStatus;
}

/* Fails held requests and closes the pipes of a device that is going away. */
VOID QUIDOR_ShutDownIo(PQUIDOR_DEVICE_EXTENSION DeviceExtension) {
    if (DeviceExtension->WaitWakeEnable) {
        QUIDOR_CancelWaitWake(DeviceExtension);
    }
    QUIDOR_SetQueueState(DeviceExtension, FailRequests);
    QUIDOR_ProcessQueuedRequests(DeviceExtension);
    IoSetDeviceInterfaceState(&DeviceExtension->InterfaceName, FALSE);
    QUIDOR_AbortPipes(DeviceExtension);
}

} // namespace

NTSTATUS QUIDOR_CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    ULONG size = static_cast<ULONG>(RegistryPath->Length) + sizeof(WCHAR);
    QUIDOR_RegistryPath.Buffer =
        static_cast<PWSTR>(ExAllocatePoolWithTag(NonPagedPool, size, QUIDOR_POOL_TAG));
    if (QUIDOR_RegistryPath.Buffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(QUIDOR_RegistryPath.Buffer, size);
    RtlMoveMemory(QUIDOR_RegistryPath.Buffer, RegistryPath->Buffer, RegistryPath->Length);
    QUIDOR_RegistryPath.Length = RegistryPath->Length;
    QUIDOR_RegistryPath.MaximumLength = static_cast<USHORT>(size);

    DriverObject->MajorFunction[IRP_MJ_CREATE] = QUIDOR_DispatchCreate;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = QUIDOR_DispatchClose;
    DriverObject->MajorFunction[IRP_MJ_READ] = QUIDOR_DispatchRead;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = QUIDOR_DispatchWrite;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = QUIDOR_DispatchDevCtrl;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = QUIDOR_DispatchClean;
    DriverObject->MajorFunction[IRP_MJ_POWER] = QUIDOR_DispatchPower;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = QUIDOR_DispatchSysCtrl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = QUIDOR_DispatchPnP;
    DriverObject->DriverExtension->AddDevice = QUIDOR_AddDevice;
    DriverObject->DriverUnload = QUIDOR_Unload;
    return STATUS_SUCCESS;
}

VOID NTAPI QUIDOR_Unload(PDRIVER_OBJECT DriverObject) {
    UNREFERENCED_PARAMETER(DriverObject);
    if (QUIDOR_RegistryPath.Buffer != NULL) {
        ExFreePool(QUIDOR_RegistryPath.Buffer);
        QUIDOR_RegistryPath.Buffer = NULL;
    }
}

NTSTATUS NTAPI QUIDOR_AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
    PDEVICE_OBJECT deviceObject = NULL;
    NTSTATUS ntStatus = STATUS_UNSUCCESSFUL;
    WCHAR name[QUIDOR_NAME_CHARS];
    for (LONG n = 0; n < QUIDOR_DEVICE_NAMES; ++n) {
        QUIDOR_FormatName(name, QUIDOR_NAME_CHARS, QUIDOR_DeviceBase, n);
        UNICODE_STRING deviceName;
        RtlInitUnicodeString(&deviceName, name);
        ntStatus = IoCreateDevice(DriverObject, sizeof(QUIDOR_DEVICE_EXTENSION), &deviceName,
                                  FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, &deviceObject);
        if (NT_SUCCESS(ntStatus)) {
            break;
        }
    }
    if (!NT_SUCCESS(ntStatus)) {
        return ntStatus;
    }

    PQUIDOR_DEVICE_EXTENSION deviceExtension =
        static_cast<PQUIDOR_DEVICE_EXTENSION>(deviceObject->DeviceExtension);
    deviceExtension->FunctionalDeviceObject = deviceObject;
    deviceExtension->PhysicalDeviceObject = PhysicalDeviceObject;
    deviceObject->Flags |= DO_DIRECT_IO;
    RtlCopyMemory(deviceExtension->DeviceName, name, sizeof(name));

    KeInitializeSpinLock(&deviceExtension->DevStateLock);
    KeInitializeSpinLock(&deviceExtension->QueueLock);
    KeInitializeSpinLock(&deviceExtension->IOCountLock);
    KeInitializeSpinLock(&deviceExtension->ReadAheadLock);
    KeInitializeEvent(&deviceExtension->RemoveEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&deviceExtension->StopEvent, NotificationEvent, TRUE);
    deviceExtension->DeviceState = NotStarted;
    deviceExtension->PrevDevState = NotStarted;
    deviceExtension->OpenHandleCount = 0;
    deviceExtension->QueueState = HoldRequests;
    InitializeListHead(&deviceExtension->NewRequestsQueue);
    deviceExtension->OutStandingIO = 1;
    deviceExtension->ReadAheadCount = 0;
    deviceExtension->ReadStageBusy = 0;
    deviceExtension->PowerIoHeld = 0;
    deviceExtension->LinkName[0] = 0;

    deviceObject->Flags |= PhysicalDeviceObject->Flags & DO_POWER_PAGABLE;
    deviceExtension->SysPower = PowerSystemWorking;
    deviceExtension->DevPower = PowerDeviceD0;
    POWER_STATE state;
    state.DeviceState = PowerDeviceD0;
    PoSetPowerState(deviceObject, DevicePowerState, state);

    deviceExtension->TopOfStackDeviceObject = IoAttachDeviceToDeviceStack(deviceObject, PhysicalDeviceObject);
    if (deviceExtension->TopOfStackDeviceObject == NULL) {
        IoDeleteDevice(deviceObject);
        return STATUS_NO_SUCH_DEVICE;
    }

    ntStatus = IoRegisterDeviceInterface(PhysicalDeviceObject, &GUID_CLASS_QUIDOR, NULL,
                                         &deviceExtension->InterfaceName);
    if (!NT_SUCCESS(ntStatus)) {
        IoDetachDevice(deviceExtension->TopOfStackDeviceObject);
        IoDeleteDevice(deviceObject);
        return ntStatus;
    }

    deviceObject->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI QUIDOR_DispatchPnP(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PQUIDOR_DEVICE_EXTENSION deviceExtension =
        static_cast<PQUIDOR_DEVICE_EXTENSION>(DeviceObject->DeviceExtension);
    PIO_STACK_LOCATION irpStack = IoGetCurrentIrpStackLocation(Irp);
    if (QUIDOR_GetDeviceState(deviceExtension) == Removed) {
        return QUIDOR_CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
    }
    QUIDOR_IoIncrement(deviceExtension);
    NTSTATUS ntStatus;
    KIRQL oldIrql;

    switch (irpStack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        ntStatus = QUIDOR_HandleStartDevice(deviceExtension, Irp);
        QUIDOR_CompleteRequest(Irp, ntStatus, 0);
        break;

    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
        KeAcquireSpinLock(&deviceExtension->DevStateLock, &oldIrql);
        deviceExtension->PrevDevState = deviceExtension->DeviceState;
        deviceExtension->DeviceState =
            irpStack->MinorFunction == IRP_MN_QUERY_STOP_DEVICE ? StopPending : RemovePending;
        deviceExtension->QueueState = HoldRequests;
        KeReleaseSpinLock(&deviceExtension->DevStateLock, oldIrql);
        /* This request's count goes first, so that the stop event tells
           when every other request has finished. */
        QUIDOR_IoDecrement(deviceExtension);
        KeWaitForSingleObject(&deviceExtension->StopEvent, Executive, KernelMode, FALSE, NULL);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(Irp);
        return IoCallDriver(deviceExtension->TopOfStackDeviceObject, Irp);

    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE: {
        DEVSTATE pending = irpStack->MinorFunction == IRP_MN_CANCEL_STOP_DEVICE ? StopPending : RemovePending;
        if (QUIDOR_GetDeviceState(deviceExtension) == pending) {
            ntStatus = QUIDOR_ForwardAndWait(deviceExtension, Irp);
            if (NT_SUCCESS(ntStatus)) {
                QUIDOR_RestorePreviousState(deviceExtension);
                QUIDOR_ProcessQueuedRequests(deviceExtension);
            }
            QUIDOR_CompleteRequest(Irp, ntStatus, 0);
        } else if (irpStack->MinorFunction == IRP_MN_CANCEL_STOP_DEVICE) {
            ntStatus = QUIDOR_CompleteRequest(Irp, STATUS_SUCCESS, 0);
        } else {
            Irp->IoStatus.Status = STATUS_SUCCESS;
            IoSkipCurrentIrpStackLocation(Irp);
            ntStatus = IoCallDriver(deviceExtension->TopOfStackDeviceObject, Irp);
        }
        break;
    }

    case IRP_MN_STOP_DEVICE:
        if (deviceExtension->WaitWakeEnable) {
            QUIDOR_CancelWaitWake(deviceExtension);
        }
        QUIDOR_SetDeviceState(deviceExtension, Stopped);
        QUIDOR_FreeConfiguration(deviceExtension);
        Irp->IoStatus.Status = QUIDOR_Unconfigure(deviceExtension);
        IoSkipCurrentIrpStackLocation(Irp);
        ntStatus = IoCallDriver(deviceExtension->TopOfStackDeviceObject, Irp);
        break;

    case IRP_MN_SURPRISE_REMOVAL:
        if (deviceExtension->WaitWakeEnable) {
            QUIDOR_CancelWaitWake(deviceExtension);
        }
        KeAcquireSpinLock(&deviceExtension->DevStateLock, &oldIrql);
        deviceExtension->PrevDevState = deviceExtension->DeviceState;
        deviceExtension->QueueState = FailRequests;
        deviceExtension->DeviceState = SurpriseRemoved;
        KeReleaseSpinLock(&deviceExtension->DevStateLock, oldIrql);
        QUIDOR_ProcessQueuedRequests(deviceExtension);
        IoSetDeviceInterfaceState(&deviceExtension->InterfaceName, FALSE);
        QUIDOR_AbortPipes(deviceExtension);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(Irp);
        ntStatus = IoCallDriver(deviceExtension->TopOfStackDeviceObject, Irp);
        break;

    case IRP_MN_REMOVE_DEVICE: {
        if (QUIDOR_GetDeviceState(deviceExtension) != SurpriseRemoved) {
            QUIDOR_ShutDownIo(deviceExtension);
        }
        QUIDOR_SetDeviceState(deviceExtension, Removed);
        /* This request's count and the device's own. */
        QUIDOR_IoDecrement(deviceExtension);
        QUIDOR_IoDecrement(deviceExtension);
        KeWaitForSingleObject(&deviceExtension->RemoveEvent, Executive, KernelMode, FALSE, NULL);
        QUIDOR_FreeConfiguration(deviceExtension);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(Irp);
        ntStatus = IoCallDriver(deviceExtension->TopOfStackDeviceObject, Irp);
        IoDetachDevice(deviceExtension->TopOfStackDeviceObject);
        if (deviceExtension->LinkName[0] != 0) {
            UNICODE_STRING linkName;
            RtlInitUnicodeString(&linkName, deviceExtension->LinkName);
            IoDeleteSymbolicLink(&linkName);
        }
        RtlFreeUnicodeString(&deviceExtension->InterfaceName);
        IoDeleteDevice(DeviceObject);
        return ntStatus;
    }

    case IRP_MN_QUERY_CAPABILITIES:
        ntStatus = QUIDOR_HandleQueryCapabilities(deviceExtension, Irp);
        break;

    default:
        IoSkipCurrentIrpStackLocation(Irp);
        ntStatus = IoCallDriver(deviceExtension->TopOfStackDeviceObject, Irp);
        break;
    }
    QUIDOR_IoDecrement(deviceExtension);
    return ntStatus;
}

NTSTATUS NTAPI QUIDOR_DispatchSysCtrl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PQUIDOR_DEVICE_EXTENSION deviceExtension =
        static_cast<PQUIDOR_DEVICE_EXTENSION>(DeviceObject->DeviceExtension);
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(deviceExtension->TopOfStackDeviceObject, Irp);
}

NTSTATUS QUIDOR_ForwardAndWait(PQUIDOR_DEVICE_EXTENSION DeviceExtension, PIRP Irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, QUIDOR_SignalCompletion, &event, TRUE, TRUE, TRUE);
    NTSTATUS ntStatus = IoCallDriver(DeviceExtension->TopOfStackDeviceObject, Irp);
    if (ntStatus == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    }
    return Irp->IoStatus.Status;
}

NTSTATUS QUIDOR_CallUSBStack(PQUIDOR_DEVICE_EXTENSION DeviceExtension, ULONG IoControlCode, PVOID Argument1) {
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IoControlCode, DeviceExtension->TopOfStackDeviceObject, NULL, 0,
                                             NULL, 0, TRUE, &event, &ioStatus);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIO_STACK_LOCATION nextStack = IoGetNextIrpStackLocation(irp);
    nextStack->Parameters.Others.Argument1 = Argument1;
    QUIDOR_IoIncrement(DeviceExtension);
    NTSTATUS ntStatus = IoCallDriver(DeviceExtension->TopOfStackDeviceObject, irp);
    if (ntStatus == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        ntStatus = ioStatus.Status;
    }
    QUIDOR_IoDecrement(DeviceExtension);
    return ntStatus;
}

NTSTATUS QUIDOR_CallUSBD(PQUIDOR_DEVICE_EXTENSION DeviceExtension, PURB Urb) {
    return QUIDOR_CallUSBStack(DeviceExtension, IOCTL_INTERNAL_USB_SUBMIT_URB, Urb);
}

VOID QUIDOR_IoIncrement(PQUIDOR_DEVICE_EXTENSION DeviceExtension) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&DeviceExtension->IOCountLock, &oldIrql);
    LONG result = InterlockedIncrement(&DeviceExtension->OutStandingIO);
    if (result == 2) {
        KeClearEvent(&DeviceExtension->StopEvent);
    }
    KeReleaseSpinLock(&DeviceExtension->IOCountLock, oldIrql);
}

VOID QUIDOR_IoDecrement(PQUIDOR_DEVICE_EXTENSION DeviceExtension) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&DeviceExtension->IOCountLock, &oldIrql);
    LONG result = InterlockedDecrement(&DeviceExtension->OutStandingIO);
    if (result == 1) {
        KeSetEvent(&DeviceExtension->StopEvent, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseSpinLock(&DeviceExtension->IOCountLock, oldIrql);
    /* The remove event last and outside the lock: the remove that waits for
       it deletes the device, lock and all, as soon as it runs. */
    if (result == 0) {
        KeSetEvent(&DeviceExtension->RemoveEvent, IO_NO_INCREMENT, FALSE);
    }
}

DEVSTATE QUIDOR_GetDeviceState(PQUIDOR_DEVICE_EXTENSION DeviceExtension) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&DeviceExtension->DevStateLock, &oldIrql);
    DEVSTATE state = DeviceExtension->DeviceState;
    KeReleaseSpinLock(&DeviceExtension->DevStateLock, oldIrql);
    return state;
}

VOID QUIDOR_SetQueueState(PQUIDOR_DEVICE_EXTENSION DeviceExtension, QUEUE_STATE QueueState) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&DeviceExtension->DevStateLock, &oldIrql);
    DeviceExtension->QueueState = QueueState;
    KeReleaseSpinLock(&DeviceExtension->DevStateLock, oldIrql);
}

namespace {

VOID NTAPI QUIDOR_CancelQueued(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PQUIDOR_DEVICE_EXTENSION deviceExtension =
        static_cast<PQUIDOR_DEVICE_EXTENSION>(DeviceObject->DeviceExtension);
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    KIRQL oldIrql;
    KeAcquireSpinLock(&deviceExtension->QueueLock, &oldIrql);
    /* Harmless when the queue took the request out already: it then points
       the entry at itself. */
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&deviceExtension->QueueLock, oldIrql);
    QUIDOR_CompleteRequest(Irp, STATUS_CANCELLED, 0);
}

} // namespace

/* Reads, writes and control requests while the queue is not open: held
   (pending, cancellable) or failed. *Handled is FALSE when the request may
   go on. */
NTSTATUS QUIDOR_QueueOrFail(PQUIDOR_DEVICE_EXTENSION DeviceExtension, PIRP Irp, BOOLEAN *Handled) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&DeviceExtension->QueueLock, &oldIrql);
    /* Read under the queue lock: a change to AllowRequests is followed by a
       pass over the queue under this lock, which then finds this request. */
    QUEUE_STATE queueState = DeviceExtension->QueueState;
    if (queueState == AllowRequests) {
        KeReleaseSpinLock(&DeviceExtension->QueueLock, oldIrql);
        *Handled = FALSE;
        return STATUS_SUCCESS;
    }
    *Handled = TRUE;
    if (queueState == FailRequests) {
        KeReleaseSpinLock(&DeviceExtension->QueueLock, oldIrql);
        return QUIDOR_CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
    }
    InsertTailList(&DeviceExtension->NewRequestsQueue, &Irp->Tail.Overlay.ListEntry);
    IoMarkIrpPending(Irp);
    IoSetCancelRoutine(Irp, QUIDOR_CancelQueued);
    if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
        /* Cancelled before the routine was in place. */
        RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
        KeReleaseSpinLock(&DeviceExtension->QueueLock, oldIrql);
        QUIDOR_CompleteRequest(Irp, STATUS_CANCELLED, 0);
        return STATUS_PENDING;
    }
    KeReleaseSpinLock(&DeviceExtension->QueueLock, oldIrql);
    return STATUS_PENDING;
}

namespace {

VOID NTAPI QUIDOR_ProcessQueuedWorker(PDEVICE_OBJECT DeviceObject, PVOID Context) {
    PQUIDOR_DEVICE_EXTENSION deviceExtension =
        static_cast<PQUIDOR_DEVICE_EXTENSION>(DeviceObject->DeviceExtension);
    QUIDOR_ProcessQueuedRequests(deviceExtension);
    IoFreeWorkItem(static_cast<PIO_WORKITEM>(Context));
    QUIDOR_IoDecrement(deviceExtension);
}

} // namespace

VOID QUIDOR_ProcessQueuedRequests(PQUIDOR_DEVICE_EXTENSION DeviceExtension) {
    /* Held requests run through the dispatch routines, and some of those
       wait for the USB stack: from a completion routine they go to a work
       item. The work item's I/O count keeps the device until it has run. */
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        PIO_WORKITEM item = IoAllocateWorkItem(DeviceExtension->FunctionalDeviceObject);
        if (item != NULL) {
            QUIDOR_IoIncrement(DeviceExtension);
            IoQueueWorkItem(item, QUIDOR_ProcessQueuedWorker, DelayedWorkQueue, item);
            return;
        }
    }
    LIST_ENTRY cancelledIrpList;
    InitializeListHead(&cancelledIrpList);
    for (;;) {
        KIRQL oldIrql;
        KeAcquireSpinLock(&DeviceExtension->QueueLock, &oldIrql);
        /* Held again meanwhile (a new power-down): the rest stays queued. */
        if (IsListEmpty(&DeviceExtension->NewRequestsQueue) || DeviceExtension->QueueState == HoldRequests) {
            KeReleaseSpinLock(&DeviceExtension->QueueLock, oldIrql);
            break;
        }
        PLIST_ENTRY listEntry = RemoveHeadList(&DeviceExtension->NewRequestsQueue);
        PIRP nextIrp = CONTAINING_RECORD(listEntry, IRP, Tail.Overlay.ListEntry);
        PDRIVER_CANCEL cancelRoutine = IoSetCancelRoutine(nextIrp, NULL);
        if (cancelRoutine == NULL) {
            /* Its cancel routine runs and waits for the queue lock. */
            InitializeListHead(listEntry);
            KeReleaseSpinLock(&DeviceExtension->QueueLock, oldIrql);
            continue;
        }
        if (nextIrp->Cancel) {
            InsertTailList(&cancelledIrpList, listEntry);
            KeReleaseSpinLock(&DeviceExtension->QueueLock, oldIrql);
            continue;
        }
        QUEUE_STATE queueState = DeviceExtension->QueueState;
        KeReleaseSpinLock(&DeviceExtension->QueueLock, oldIrql);
        if (queueState == FailRequests) {
            QUIDOR_CompleteRequest(nextIrp, STATUS_DELETE_PENDING, 0);
        } else {
            /* The request is this driver's own read, write or control
               request: it runs through its dispatch routine now. */
            PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(nextIrp);
            PDEVICE_OBJECT deviceObject = DeviceExtension->FunctionalDeviceObject;
            QUIDOR_IoIncrement(DeviceExtension);
            switch (stack->MajorFunction) {
            case IRP_MJ_READ:
                QUIDOR_DispatchRead(deviceObject, nextIrp);
                break;
            case IRP_MJ_WRITE:
                QUIDOR_DispatchWrite(deviceObject, nextIrp);
                break;
            case IRP_MJ_DEVICE_CONTROL:
                QUIDOR_DispatchDevCtrl(deviceObject, nextIrp);
                break;
            default:
                QUIDOR_CompleteRequest(nextIrp, STATUS_INVALID_DEVICE_REQUEST, 0);
                break;
            }
            QUIDOR_IoDecrement(DeviceExtension);
        }
    }
    while (!IsListEmpty(&cancelledIrpList)) {
        PLIST_ENTRY cancelEntry = RemoveHeadList(&cancelledIrpList);
        PIRP cancelledIrp = CONTAINING_RECORD(cancelEntry, IRP, Tail.Overlay.ListEntry);
        QUIDOR_CompleteRequest(cancelledIrp, STATUS_CANCELLED, 0);
    }
}
