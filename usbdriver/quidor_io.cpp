/* What user mode sees: pipe handles by name, bulk reads and writes in
   stages, the read-ahead buffer, the control codes, cleanup and close. */
#include "quidor.h"

LONG QUIDOR_ReadMode = 0;

namespace {

const char QUIDOR_BuildDate[] = __DATE__ " " __TIME__;

PQUIDOR_DEVICE_EXTENSION QUIDOR_Extension(PDEVICE_OBJECT DeviceObject) {
    return static_cast<PQUIDOR_DEVICE_EXTENSION>(DeviceObject->DeviceExtension);
}

/* The pipe a handle was opened on; NULL for the device itself, or when the
   configuration it named is gone. */
PUSBD_PIPE_INFORMATION QUIDOR_PipeOfFile(PQUIDOR_DEVICE_EXTENSION DeviceExtension, PFILE_OBJECT FileObject) {
    if (FileObject == NULL || FileObject->FsContext == NULL || DeviceExtension->UsbInterface == NULL) {
        return NULL;
    }
    ULONG_PTR pipeNumber = reinterpret_cast<ULONG_PTR>(FileObject->FsContext) - 1;
    if (pipeNumber >= DeviceExtension->UsbInterface->NumberOfPipes) {
        return NULL;
    }
    return &DeviceExtension->UsbInterface->Pipes[pipeNumber];
}

NTSTATUS QUIDOR_PipeRequest(PQUIDOR_DEVICE_EXTENSION DeviceExtension, USHORT Function,
                            USBD_PIPE_HANDLE PipeHandle) {
    PURB urb = static_cast<PURB>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_PIPE_REQUEST), QUIDOR_POOL_TAG));
    if (urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(urb, sizeof(struct _URB_PIPE_REQUEST));
    urb->UrbHeader.Length = static_cast<USHORT>(sizeof(struct _URB_PIPE_REQUEST));
    urb->UrbHeader.Function = Function;
    urb->UrbPipeRequest.PipeHandle = PipeHandle;
    NTSTATUS ntStatus = QUIDOR_CallUSBD(DeviceExtension, urb);
    ExFreePool(urb);
    return ntStatus;
}

/* Length of the next read stage: a whole number of packets that fits the
   free part of ReadAhead, at most one stage. */
ULONG QUIDOR_ReadStageLength(PQUIDOR_DEVICE_EXTENSION DeviceExtension, ULONG PacketSize) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&DeviceExtension->ReadAheadLock, &oldIrql);
    ULONG room = QUIDOR_READ_AHEAD_SIZE - DeviceExtension->ReadAheadCount;
    KeReleaseSpinLock(&DeviceExtension->ReadAheadLock, oldIrql);
    ULONG length = room < QUIDOR_STAGE_SIZE ? room : QUIDOR_STAGE_SIZE;
    if (PacketSize != 0) {
        length -= length % PacketSize;
    }
    return length;
}

IO_COMPLETION_ROUTINE QUIDOR_ReadWriteCompletion;

/* Sends the next stage of a read or write in the request's next stack
   location. The context may be gone when this returns. */
NTSTATUS QUIDOR_StartStage(PQUIDOR_RW_CONTEXT Context, PIRP Irp, BOOLEAN Read) {
    PUCHAR buffer;
    ULONG flags;
    if (Read) {
        Context->StageLength = QUIDOR_ReadStageLength(Context->DeviceExtension, Context->PacketSize);
        buffer = Context->Stage;
        flags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    } else {
        Context->StageLength =
            Context->Remaining < QUIDOR_STAGE_SIZE ? Context->Remaining : QUIDOR_STAGE_SIZE;
        buffer = Context->Buffer;
        flags = USBD_TRANSFER_DIRECTION_OUT;
    }
    PURB urb = reinterpret_cast<PURB>(&Context->Urb);
    RtlZeroMemory(&Context->Urb, sizeof(Context->Urb));
    UsbBuildInterruptOrBulkTransferRequest(
        urb, static_cast<USHORT>(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)), Context->PipeHandle, buffer,
        NULL, Context->StageLength, flags, NULL);
    PIO_STACK_LOCATION nextStack = IoGetNextIrpStackLocation(Irp);
    nextStack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    nextStack->MinorFunction = 0;
    nextStack->Parameters.Others.Argument1 = urb;
    nextStack->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    IoSetCompletionRoutine(Irp, QUIDOR_ReadWriteCompletion, Context, TRUE, TRUE, TRUE);
    return IoCallDriver(Context->DeviceExtension->TopOfStackDeviceObject, Irp);
}

NTSTATUS NTAPI QUIDOR_ReadWriteCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID ContextPointer) {
    UNREFERENCED_PARAMETER(DeviceObject);
    PQUIDOR_RW_CONTEXT context = static_cast<PQUIDOR_RW_CONTEXT>(ContextPointer);
    PQUIDOR_DEVICE_EXTENSION deviceExtension = context->DeviceExtension;
    BOOLEAN read = IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_READ;
    NTSTATUS ntStatus = Irp->IoStatus.Status;

    if (read) {
        ULONG delivered = 0;
        if (NT_SUCCESS(ntStatus)) {
            ULONG received = context->Urb.TransferBufferLength;
            if (received > context->StageLength) {
                received = context->StageLength;
            }
            KIRQL oldIrql;
            KeAcquireSpinLock(&deviceExtension->ReadAheadLock, &oldIrql);
            ULONG room = QUIDOR_READ_AHEAD_SIZE - deviceExtension->ReadAheadCount;
            if (received > room) {
                received = room;
            }
            RtlCopyMemory(deviceExtension->ReadAhead + deviceExtension->ReadAheadCount, context->Stage,
                          received);
            deviceExtension->ReadAheadCount += received;
            KeReleaseSpinLock(&deviceExtension->ReadAheadLock, oldIrql);

            delivered = QUIDOR_ServeReadAhead(deviceExtension, context->Buffer, context->Remaining, FALSE);
            if (delivered == 0) {
                if (QUIDOR_ReadStageLength(deviceExtension, context->PacketSize) != 0) {
                    QUIDOR_StartStage(context, Irp, TRUE);
                    return STATUS_MORE_PROCESSING_REQUIRED;
                }
                /* ReadAhead is full: the request takes what there is. */
                delivered = QUIDOR_ServeReadAhead(deviceExtension, context->Buffer, context->Remaining, TRUE);
            }
        }
        Irp->IoStatus.Information = delivered;
        InterlockedExchange(&deviceExtension->ReadStageBusy, 0);
    } else {
        if (NT_SUCCESS(ntStatus)) {
            context->Remaining -= context->StageLength;
            context->Total += context->StageLength;
            context->Buffer += context->StageLength;
            if (context->Remaining > 0) {
                QUIDOR_StartStage(context, Irp, FALSE);
                return STATUS_MORE_PROCESSING_REQUIRED;
            }
        }
        /* On failure too: what the stages before took is written. */
        Irp->IoStatus.Information = context->Total;
    }
    ExFreePool(context);
    QUIDOR_IoDecrement(deviceExtension);
    return STATUS_SUCCESS;
}

NTSTATUS QUIDOR_DispatchReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN Read) {
    PQUIDOR_DEVICE_EXTENSION deviceExtension = QUIDOR_Extension(DeviceObject);
    BOOLEAN handled;
    NTSTATUS ntStatus = QUIDOR_QueueOrFail(deviceExtension, Irp, &handled);
    if (handled) {
        return ntStatus;
    }

    /* Asking the port waits: not where a held write runs again from a
       completion routine. */
    if (!Read && KeGetCurrentIrql() == PASSIVE_LEVEL) {
        ULONG portStatus = 0;
        if (NT_SUCCESS(
                QUIDOR_CallUSBStack(deviceExtension, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus)) &&
            (portStatus & USBD_PORT_ENABLED) == 0) {
            QUIDOR_CallUSBStack(deviceExtension, IOCTL_INTERNAL_USB_ENABLE_PORT, NULL);
        }
    }
    if (QUIDOR_GetDeviceState(deviceExtension) != Working) {
        return QUIDOR_CompleteRequest(Irp, STATUS_INVALID_DEVICE_STATE, 0);
    }
    PUSBD_PIPE_INFORMATION pipe =
        QUIDOR_PipeOfFile(deviceExtension, IoGetCurrentIrpStackLocation(Irp)->FileObject);
    /* A read needs an IN pipe and a write an OUT pipe: the bus takes the
       direction from the endpoint, not from the request. */
    if (pipe == NULL || pipe->PipeType != UsbdPipeTypeBulk ||
        (USB_ENDPOINT_DIRECTION_IN(pipe->EndpointAddress) != 0) != (Read != FALSE)) {
        return QUIDOR_CompleteRequest(Irp, STATUS_INVALID_HANDLE, 0);
    }
    if (Irp->MdlAddress == NULL) {
        /* The I/O manager builds no list for a transfer of no bytes. */
        PIO_STACK_LOCATION irpStack = IoGetCurrentIrpStackLocation(Irp);
        ULONG requested = Read ? irpStack->Parameters.Read.Length : irpStack->Parameters.Write.Length;
        return QUIDOR_CompleteRequest(Irp, requested == 0 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL, 0);
    }
    ULONG length = MmGetMdlByteCount(Irp->MdlAddress);
    if (length > QUIDOR_MAX_TRANSFER) {
        return QUIDOR_CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    if (length == 0) {
        return QUIDOR_CompleteRequest(Irp, STATUS_SUCCESS, 0);
    }
    PUCHAR buffer = static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(Irp->MdlAddress, NormalPagePriority));
    if (buffer == NULL) {
        return QUIDOR_CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    if (Read) {
        ULONG delivered = QUIDOR_ServeReadAhead(deviceExtension, buffer, length, FALSE);
        if (delivered != 0) {
            return QUIDOR_CompleteRequest(Irp, STATUS_SUCCESS, delivered);
        }
        /* One read stage per device: a second one would append to ReadAhead
           behind the first one's back. */
        if (InterlockedExchange(&deviceExtension->ReadStageBusy, 1) != 0) {
            return QUIDOR_CompleteRequest(Irp, STATUS_DEVICE_BUSY, 0);
        }
    }
    PQUIDOR_RW_CONTEXT context = static_cast<PQUIDOR_RW_CONTEXT>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(QUIDOR_RW_CONTEXT), QUIDOR_POOL_TAG));
    if (context == NULL) {
        if (Read) {
            InterlockedExchange(&deviceExtension->ReadStageBusy, 0);
        }
        return QUIDOR_CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    RtlZeroMemory(context, sizeof(QUIDOR_RW_CONTEXT));
    context->Remaining = length;
    context->Total = 0;
    context->DeviceExtension = deviceExtension;
    context->PipeHandle = pipe->PipeHandle;
    context->Buffer = buffer;
    context->PacketSize = pipe->MaximumPacketSize;

    USBD_PIPE_HANDLE pipeHandle = pipe->PipeHandle;
    IoMarkIrpPending(Irp);
    QUIDOR_IoIncrement(deviceExtension);
    ntStatus = QUIDOR_StartStage(context, Irp, Read);
    /* The request completes through its completion routine either way; a
       stage the bus refused leaves the pipe to be reset. Resetting waits, so
       only where waiting is allowed. */
    if (!NT_SUCCESS(ntStatus) && ntStatus != STATUS_CANCELLED && ntStatus != STATUS_DEVICE_NOT_CONNECTED &&
        KeGetCurrentIrql() == PASSIVE_LEVEL) {
        if (!NT_SUCCESS(QUIDOR_ResetPipe(deviceExtension, pipeHandle))) {
            QUIDOR_ResetPort(deviceExtension);
        }
    }
    return STATUS_PENDING;
}

NTSTATUS QUIDOR_GetSerialNumber(PQUIDOR_DEVICE_EXTENSION DeviceExtension, PCHAR Buffer, ULONG OutputLength,
                                ULONG_PTR *Information) {
    if (!DeviceExtension->SerialRead) {
        DeviceExtension->SerialRead = 1;
        if (DeviceExtension->SerialIndex != 0) {
            PUCHAR descriptor = static_cast<PUCHAR>(
                ExAllocatePoolWithTag(NonPagedPool, QUIDOR_SERIAL_DESCRIPTOR_SIZE, QUIDOR_POOL_TAG));
            if (descriptor != NULL) {
                RtlZeroMemory(descriptor, QUIDOR_SERIAL_DESCRIPTOR_SIZE);
                PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(
                    NonPagedPool, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), QUIDOR_POOL_TAG));
                if (urb != NULL) {
                    RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
                    UsbBuildGetDescriptorRequest(
                        urb, static_cast<USHORT>(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)),
                        USB_STRING_DESCRIPTOR_TYPE, DeviceExtension->SerialIndex, 0, descriptor, NULL,
                        QUIDOR_SERIAL_DESCRIPTOR_SIZE, NULL);
                    if (NT_SUCCESS(QUIDOR_CallUSBD(DeviceExtension, urb))) {
                        ULONG received = urb->UrbControlDescriptorRequest.TransferBufferLength;
                        if (received > QUIDOR_SERIAL_DESCRIPTOR_SIZE) {
                            received = QUIDOR_SERIAL_DESCRIPTOR_SIZE;
                        }
                        RtlCopyMemory(DeviceExtension->SerialDescriptor, descriptor, received);
                    }
                    ExFreePool(urb);
                }
                ExFreePool(descriptor);
            }
        }
    }
    const UCHAR *serial = DeviceExtension->SerialDescriptor;
    if (serial[0] < 2 || serial[1] != USB_STRING_DESCRIPTOR_TYPE) {
        return STATUS_BUFFER_TOO_SMALL; /* no serial string */
    }
    ULONG chars = (static_cast<ULONG>(serial[0]) - 2) / 2;
    if (OutputLength < chars + 1) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    for (ULONG i = 0; i < chars; ++i) {
        Buffer[i] = static_cast<CHAR>(serial[2 + 2 * i]);
    }
    Buffer[chars] = 0;
    *Information = chars + 1;
    return STATUS_SUCCESS;
}

NTSTATUS QUIDOR_PutUlong(PVOID Buffer, ULONG OutputLength, ULONG Value, ULONG_PTR *Information) {
    if (OutputLength < sizeof(ULONG)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    RtlCopyMemory(Buffer, &Value, sizeof(ULONG));
    *Information = sizeof(ULONG);
    return STATUS_SUCCESS;
}

} // namespace

LONG QUIDOR_ParsePipeNumber(PCUNICODE_STRING FileName) {
    ULONG end = FileName->Length / sizeof(WCHAR);
    while (end > 0 && !(FileName->Buffer[end - 1] >= L'0' && FileName->Buffer[end - 1] <= L'9')) {
        --end;
    }
    if (end == 0) {
        return -1;
    }
    ULONG start = end;
    while (start > 0 && FileName->Buffer[start - 1] >= L'0' && FileName->Buffer[start - 1] <= L'9') {
        --start;
    }
    LONG value = 0;
    for (ULONG i = start; i < end; ++i) {
        value = value * 10 + static_cast<LONG>(FileName->Buffer[i] - L'0');
        if (value >= QUIDOR_MAX_PIPES) {
            return -1;
        }
    }
    return value;
}

ULONG QUIDOR_ServeReadAhead(PQUIDOR_DEVICE_EXTENSION DeviceExtension, PUCHAR Buffer, ULONG Length,
                            BOOLEAN Any) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&DeviceExtension->ReadAheadLock, &oldIrql);
    ULONG count = DeviceExtension->ReadAheadCount;
    ULONG delivered = 0;
    if ((QUIDOR_ReadMode & 1) != 0 || Any) {
        delivered = count < Length ? count : Length;
    } else if (count >= Length) {
        delivered = Length;
    }
    if (delivered != 0) {
        RtlCopyMemory(Buffer, DeviceExtension->ReadAhead, delivered);
        RtlMoveMemory(DeviceExtension->ReadAhead, DeviceExtension->ReadAhead + delivered, count - delivered);
        DeviceExtension->ReadAheadCount = count - delivered;
    }
    KeReleaseSpinLock(&DeviceExtension->ReadAheadLock, oldIrql);
    return delivered;
}

NTSTATUS QUIDOR_ResetPipe(PQUIDOR_DEVICE_EXTENSION DeviceExtension, USBD_PIPE_HANDLE PipeHandle) {
    return QUIDOR_PipeRequest(DeviceExtension, URB_FUNCTION_RESET_PIPE, PipeHandle);
}

NTSTATUS QUIDOR_ResetPort(PQUIDOR_DEVICE_EXTENSION DeviceExtension) {
    ULONG portStatus = 0;
    NTSTATUS ntStatus = QUIDOR_CallUSBStack(DeviceExtension, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus);
    if (NT_SUCCESS(ntStatus) && (portStatus & USBD_PORT_CONNECTED) != 0) {
        ntStatus = QUIDOR_CallUSBStack(DeviceExtension, IOCTL_INTERNAL_USB_RESET_PORT, NULL);
    }
    return ntStatus;
}

NTSTATUS QUIDOR_AbortPipes(PQUIDOR_DEVICE_EXTENSION DeviceExtension) {
    PUSBD_INTERFACE_INFORMATION usbInterface = DeviceExtension->UsbInterface;
    if (usbInterface == NULL || DeviceExtension->PipeOpen == NULL) {
        return STATUS_SUCCESS;
    }
    for (ULONG i = 0; i < usbInterface->NumberOfPipes; ++i) {
        if (DeviceExtension->PipeOpen[i] != 0) {
            NTSTATUS ntStatus = QUIDOR_PipeRequest(DeviceExtension, URB_FUNCTION_ABORT_PIPE,
                                                   usbInterface->Pipes[i].PipeHandle);
            if (ntStatus == STATUS_INSUFFICIENT_RESOURCES) {
                return ntStatus;
            }
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI QUIDOR_DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PQUIDOR_DEVICE_EXTENSION deviceExtension = QUIDOR_Extension(DeviceObject);
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    if (QUIDOR_GetDeviceState(deviceExtension) != Working || deviceExtension->UsbInterface == NULL) {
        return QUIDOR_CompleteRequest(Irp, STATUS_INVALID_DEVICE_STATE, 0);
    }
    if (fileObject == NULL) {
        return QUIDOR_CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    fileObject->FsContext = NULL;
    if (fileObject->FileName.Length == 0) {
        InterlockedIncrement(&deviceExtension->OpenHandleCount);
        return QUIDOR_CompleteRequest(Irp, STATUS_SUCCESS, 0);
    }
    LONG pipeNumber = QUIDOR_ParsePipeNumber(&fileObject->FileName);
    if (pipeNumber < 0 || deviceExtension->PipeOpen == NULL) {
        return QUIDOR_CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    if (static_cast<ULONG>(pipeNumber) >= deviceExtension->UsbInterface->NumberOfPipes) {
        return QUIDOR_CompleteRequest(Irp, STATUS_INVALID_DEVICE_STATE, 0);
    }
    /* The handle keeps the pipe's number: the pipe information itself is
       rebuilt at every start. */
    fileObject->FsContext = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(pipeNumber) + 1);
    InterlockedIncrement(&deviceExtension->PipeOpen[pipeNumber]);
    InterlockedIncrement(&deviceExtension->OpenHandleCount);
    return QUIDOR_CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI QUIDOR_DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PQUIDOR_DEVICE_EXTENSION deviceExtension = QUIDOR_Extension(DeviceObject);
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    if (fileObject != NULL && fileObject->FsContext != NULL) {
        ULONG_PTR pipeNumber = reinterpret_cast<ULONG_PTR>(fileObject->FsContext) - 1;
        if (deviceExtension->PipeOpen != NULL && deviceExtension->UsbInterface != NULL &&
            pipeNumber < deviceExtension->UsbInterface->NumberOfPipes &&
            deviceExtension->PipeOpen[pipeNumber] > 0) {
            InterlockedDecrement(&deviceExtension->PipeOpen[pipeNumber]);
        }
        fileObject->FsContext = NULL;
    }
    InterlockedDecrement(&deviceExtension->OpenHandleCount);
    return QUIDOR_CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI QUIDOR_DispatchClean(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PQUIDOR_DEVICE_EXTENSION deviceExtension = QUIDOR_Extension(DeviceObject);
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    QUIDOR_IoIncrement(deviceExtension);

    LIST_ENTRY cleanupList;
    InitializeListHead(&cleanupList);
    KIRQL oldIrql;
    KeAcquireSpinLock(&deviceExtension->QueueLock, &oldIrql);
    PLIST_ENTRY entry = deviceExtension->NewRequestsQueue.Flink;
    while (entry != &deviceExtension->NewRequestsQueue) {
        PIRP heldIrp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        PLIST_ENTRY next = entry->Flink;
        if (IoGetCurrentIrpStackLocation(heldIrp)->FileObject == fileObject) {
            RemoveEntryList(entry);
            if (IoSetCancelRoutine(heldIrp, NULL) != NULL) {
                InsertTailList(&cleanupList, entry);
            } else {
                InitializeListHead(entry); /* its cancel routine completes it */
            }
        }
        entry = next;
    }
    KeReleaseSpinLock(&deviceExtension->QueueLock, oldIrql);
    while (!IsListEmpty(&cleanupList)) {
        PLIST_ENTRY cancelEntry = RemoveHeadList(&cleanupList);
        QUIDOR_CompleteRequest(CONTAINING_RECORD(cancelEntry, IRP, Tail.Overlay.ListEntry), STATUS_CANCELLED,
                               0);
    }

    KeAcquireSpinLock(&deviceExtension->ReadAheadLock, &oldIrql);
    deviceExtension->ReadAheadCount = 0;
    KeReleaseSpinLock(&deviceExtension->ReadAheadLock, oldIrql);

    QUIDOR_CompleteRequest(Irp, STATUS_SUCCESS, 0);
    QUIDOR_IoDecrement(deviceExtension);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI QUIDOR_DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return QUIDOR_DispatchReadWrite(DeviceObject, Irp, TRUE);
}

NTSTATUS NTAPI QUIDOR_DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return QUIDOR_DispatchReadWrite(DeviceObject, Irp, FALSE);
}

NTSTATUS NTAPI QUIDOR_DispatchDevCtrl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PQUIDOR_DEVICE_EXTENSION deviceExtension = QUIDOR_Extension(DeviceObject);
    BOOLEAN handled;
    NTSTATUS ntStatus = QUIDOR_QueueOrFail(deviceExtension, Irp, &handled);
    if (handled) {
        return ntStatus;
    }
    if (QUIDOR_GetDeviceState(deviceExtension) != Working) {
        return QUIDOR_CompleteRequest(Irp, STATUS_INVALID_DEVICE_STATE, 0);
    }
    QUIDOR_IoIncrement(deviceExtension);

    PIO_STACK_LOCATION irpStack = IoGetCurrentIrpStackLocation(Irp);
    PVOID ioBuffer = Irp->AssociatedIrp.SystemBuffer;
    ULONG inputLength = irpStack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outputLength = irpStack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG_PTR information = 0;

    switch (irpStack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_QUIDOR_GET_CONFIG_DESCRIPTOR: {
        PUSB_CONFIGURATION_DESCRIPTOR configDesc = deviceExtension->UsbConfigurationDescriptor;
        if (configDesc == NULL) {
            ntStatus = STATUS_UNSUCCESSFUL;
        } else if (outputLength < configDesc->wTotalLength) {
            ntStatus = STATUS_BUFFER_TOO_SMALL;
        } else {
            RtlCopyMemory(ioBuffer, configDesc, configDesc->wTotalLength);
            information = configDesc->wTotalLength;
            ntStatus = STATUS_SUCCESS;
        }
        break;
    }
    case IOCTL_QUIDOR_RESET_PORT:
        ntStatus = QUIDOR_ResetPort(deviceExtension);
        break;
    case IOCTL_QUIDOR_RESET_PIPE: {
        PUSBD_PIPE_INFORMATION pipe = QUIDOR_PipeOfFile(deviceExtension, irpStack->FileObject);
        ntStatus =
            pipe == NULL ? STATUS_INVALID_PARAMETER : QUIDOR_ResetPipe(deviceExtension, pipe->PipeHandle);
        break;
    }
    case IOCTL_QUIDOR_SET_READ_MODE:
        if (inputLength < sizeof(ULONG)) {
            ntStatus = STATUS_BUFFER_TOO_SMALL;
        } else {
            LONG mode;
            RtlCopyMemory(&mode, ioBuffer, sizeof(LONG));
            InterlockedExchange(&QUIDOR_ReadMode, mode);
            /* The mode goes back as the answer only into a buffer that
               holds it. */
            information = outputLength >= sizeof(ULONG) ? sizeof(ULONG) : 0;
            ntStatus = STATUS_SUCCESS;
        }
        break;
    case IOCTL_QUIDOR_GET_READ_MODE:
        ntStatus = QUIDOR_PutUlong(ioBuffer, outputLength, static_cast<ULONG>(QUIDOR_ReadMode), &information);
        break;
    case IOCTL_QUIDOR_GET_DRIVER_CODE:
        ntStatus = QUIDOR_PutUlong(ioBuffer, outputLength, QUIDOR_DRIVER_CODE, &information);
        break;
    case IOCTL_QUIDOR_GET_BUILD_DATE:
        if (outputLength < sizeof(QUIDOR_BuildDate)) {
            ntStatus = STATUS_BUFFER_TOO_SMALL;
        } else {
            RtlCopyMemory(ioBuffer, QUIDOR_BuildDate, sizeof(QUIDOR_BuildDate));
            information = sizeof(QUIDOR_BuildDate);
            ntStatus = STATUS_SUCCESS;
        }
        break;
    case IOCTL_QUIDOR_GET_MAX_TRANSFER:
    case IOCTL_QUIDOR_GET_MAX_TRANSFER2:
        ntStatus = QUIDOR_PutUlong(ioBuffer, outputLength, QUIDOR_MAX_TRANSFER, &information);
        break;
    case IOCTL_QUIDOR_GET_SERIAL_NUMBER:
        ntStatus =
            QUIDOR_GetSerialNumber(deviceExtension, static_cast<PCHAR>(ioBuffer), outputLength, &information);
        break;
    case IOCTL_QUIDOR_GET_CONFIG_TICK:
        ntStatus = QUIDOR_PutUlong(ioBuffer, outputLength, deviceExtension->ConfiguredTick, &information);
        break;
    default:
        ntStatus = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    QUIDOR_CompleteRequest(Irp, ntStatus, information);
    QUIDOR_IoDecrement(deviceExtension);
    return ntStatus;
}
