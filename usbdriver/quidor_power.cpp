/* Power management: the driver owns its device's power policy. System sleep
   maps to device states through the bus driver's capabilities; I/O is held
   while the device is out of D0; remote wakeup arms a wait-wake request. */
#include "quidor.h"

namespace {

typedef struct _POWER_COMPLETION_CONTEXT {
    PDEVICE_OBJECT DeviceObject;
    PIRP SIrp;
} POWER_COMPLETION_CONTEXT, *PPOWER_COMPLETION_CONTEXT;

typedef struct _WORKER_THREAD_CONTEXT {
    PDEVICE_OBJECT DeviceObject;
    PIRP Irp;
    PIO_WORKITEM WorkItem;
} WORKER_THREAD_CONTEXT, *PWORKER_THREAD_CONTEXT;

PQUIDOR_DEVICE_EXTENSION QUIDOR_Extension(PDEVICE_OBJECT DeviceObject) {
    return static_cast<PQUIDOR_DEVICE_EXTENSION>(DeviceObject->DeviceExtension);
}

NTSTATUS NTAPI QUIDOR_FinishDevPoDnIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    PQUIDOR_DEVICE_EXTENSION deviceExtension = static_cast<PQUIDOR_DEVICE_EXTENSION>(Context);
    PIO_STACK_LOCATION irpStack = IoGetCurrentIrpStackLocation(Irp);
    if (NT_SUCCESS(Irp->IoStatus.Status) && irpStack->MinorFunction == IRP_MN_SET_POWER) {
        POWER_STATE newState = irpStack->Parameters.Power.State;
        deviceExtension->DevPower = newState.DeviceState;
        PoSetPowerState(DeviceObject, DevicePowerState, newState);
    }
    PoStartNextPowerIrp(Irp);
    QUIDOR_IoDecrement(deviceExtension);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI QUIDOR_FinishDevPoUpIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    PQUIDOR_DEVICE_EXTENSION deviceExtension = static_cast<PQUIDOR_DEVICE_EXTENSION>(Context);
    if (NT_SUCCESS(Irp->IoStatus.Status)) {
        POWER_STATE newState = IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State;
        deviceExtension->DevPower = newState.DeviceState;
        PoSetPowerState(DeviceObject, DevicePowerState, newState);
        if (newState.DeviceState == PowerDeviceD0) {
            QUIDOR_SetQueueState(deviceExtension, AllowRequests);
            QUIDOR_ProcessQueuedRequests(deviceExtension);
        }
    }
    PoStartNextPowerIrp(Irp);
    QUIDOR_IoDecrement(deviceExtension);
    return STATUS_SUCCESS;
}

VOID QUIDOR_PassDownPower(PQUIDOR_DEVICE_EXTENSION DeviceExtension, PIRP Irp,
                          PIO_COMPLETION_ROUTINE Routine) {
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, Routine, DeviceExtension, TRUE, TRUE, TRUE);
    PoCallDriver(DeviceExtension->TopOfStackDeviceObject, Irp);
}

VOID QUIDOR_FailPowerIrp(PQUIDOR_DEVICE_EXTENSION DeviceExtension, PIRP Irp, NTSTATUS Status) {
    PoStartNextPowerIrp(Irp);
    QUIDOR_CompleteRequest(Irp, Status, 0);
    QUIDOR_IoDecrement(DeviceExtension);
}

/* Waits at passive level until the device's other I/O has finished, then
   passes the power-down on. */
VOID NTAPI QUIDOR_HoldIoRequestsWorkerRoutine(PDEVICE_OBJECT DeviceObject, PVOID Context) {
    PWORKER_THREAD_CONTEXT context = static_cast<PWORKER_THREAD_CONTEXT>(Context);
    PQUIDOR_DEVICE_EXTENSION deviceExtension = QUIDOR_Extension(DeviceObject);
    PIRP irp = context->Irp;
    /* This request's count, and the system request's when it is the one
       that asked for this device request. */
    LONG held = 1 + InterlockedCompareExchange(&deviceExtension->PowerIoHeld, 0, 0);
    for (LONG i = 0; i < held; ++i) {
        QUIDOR_IoDecrement(deviceExtension);
    }
    KeWaitForSingleObject(&deviceExtension->StopEvent, Executive, KernelMode, FALSE, NULL);
    for (LONG i = 0; i < held; ++i) {
        QUIDOR_IoIncrement(deviceExtension);
    }
    QUIDOR_PassDownPower(deviceExtension, irp, QUIDOR_FinishDevPoDnIrp);
    IoFreeWorkItem(context->WorkItem);
    ExFreePool(context);
}

VOID QUIDOR_HoldIoRequests(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PQUIDOR_DEVICE_EXTENSION deviceExtension = QUIDOR_Extension(DeviceObject);
    QUIDOR_SetQueueState(deviceExtension, HoldRequests);
    PWORKER_THREAD_CONTEXT context = static_cast<PWORKER_THREAD_CONTEXT>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(WORKER_THREAD_CONTEXT), QUIDOR_POOL_TAG));
    PIO_WORKITEM item = context != NULL ? IoAllocateWorkItem(DeviceObject) : NULL;
    if (item == NULL) {
        if (context != NULL) {
            ExFreePool(context);
        }
        /* The device stays in D0: what was held may run. */
        QUIDOR_SetQueueState(deviceExtension, AllowRequests);
        QUIDOR_ProcessQueuedRequests(deviceExtension);
        QUIDOR_FailPowerIrp(deviceExtension, Irp, STATUS_INSUFFICIENT_RESOURCES);
        return;
    }
    context->DeviceObject = DeviceObject;
    context->Irp = Irp;
    context->WorkItem = item;
    IoQueueWorkItem(item, QUIDOR_HoldIoRequestsWorkerRoutine, DelayedWorkQueue, context);
}

VOID NTAPI QUIDOR_DevPoCompletionRoutine(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                         POWER_STATE PowerState, PVOID Context, PIO_STATUS_BLOCK IoStatus) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    PPOWER_COMPLETION_CONTEXT context = static_cast<PPOWER_COMPLETION_CONTEXT>(Context);
    PIRP sIrp = context->SIrp;
    PQUIDOR_DEVICE_EXTENSION deviceExtension = QUIDOR_Extension(context->DeviceObject);
    InterlockedExchange(&deviceExtension->PowerIoHeld, 0);
    sIrp->IoStatus.Status = IoStatus->Status;
    PoStartNextPowerIrp(sIrp);
    sIrp->IoStatus.Information = 0;
    IoCompleteRequest(sIrp, IO_NO_INCREMENT);
    QUIDOR_IoDecrement(deviceExtension);
    ExFreePool(context);
}

VOID QUIDOR_SendDeviceIrp(PDEVICE_OBJECT DeviceObject, PIRP SIrp) {
    PQUIDOR_DEVICE_EXTENSION deviceExtension = QUIDOR_Extension(DeviceObject);
    PIO_STACK_LOCATION irpStack = IoGetCurrentIrpStackLocation(SIrp);
    SYSTEM_POWER_STATE systemState = irpStack->Parameters.Power.State.SystemState;
    POWER_STATE devState;
    if (systemState > PowerSystemUnspecified && systemState < PowerSystemMaximum) {
        devState.DeviceState = deviceExtension->DeviceCapabilities.DeviceState[systemState];
    } else {
        devState.DeviceState = PowerDeviceUnspecified;
    }
    if (devState.DeviceState <= PowerDeviceUnspecified || devState.DeviceState >= PowerDeviceMaximum) {
        /* The bus gave no mapping: working means D0, any sleep D3. */
        devState.DeviceState = systemState == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
    }

    NTSTATUS ntStatus = STATUS_INSUFFICIENT_RESOURCES;
    PPOWER_COMPLETION_CONTEXT context = static_cast<PPOWER_COMPLETION_CONTEXT>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(POWER_COMPLETION_CONTEXT), QUIDOR_POOL_TAG));
    if (context != NULL) {
        context->DeviceObject = DeviceObject;
        context->SIrp = SIrp;
        InterlockedExchange(&deviceExtension->PowerIoHeld, 1);
        ntStatus = PoRequestPowerIrp(deviceExtension->PhysicalDeviceObject, irpStack->MinorFunction, devState,
                                     QUIDOR_DevPoCompletionRoutine, context, NULL);
        if (!NT_SUCCESS(ntStatus)) {
            InterlockedExchange(&deviceExtension->PowerIoHeld, 0);
            ExFreePool(context);
        }
    }
    if (!NT_SUCCESS(ntStatus)) {
        PoStartNextPowerIrp(SIrp);
        SIrp->IoStatus.Status = ntStatus;
        SIrp->IoStatus.Information = 0;
        IoCompleteRequest(SIrp, IO_NO_INCREMENT);
        QUIDOR_IoDecrement(deviceExtension);
    }
}

NTSTATUS NTAPI QUIDOR_SysPoCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    PQUIDOR_DEVICE_EXTENSION deviceExtension = static_cast<PQUIDOR_DEVICE_EXTENSION>(Context);
    if (!NT_SUCCESS(Irp->IoStatus.Status)) {
        PoStartNextPowerIrp(Irp);
        QUIDOR_IoDecrement(deviceExtension);
        return STATUS_SUCCESS;
    }
    PIO_STACK_LOCATION irpStack = IoGetCurrentIrpStackLocation(Irp);
    if (irpStack->MinorFunction == IRP_MN_SET_POWER) {
        deviceExtension->SysPower = irpStack->Parameters.Power.State.SystemState;
    }
    QUIDOR_SendDeviceIrp(DeviceObject, Irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID QUIDOR_HandleSystemQueryPower(PQUIDOR_DEVICE_EXTENSION DeviceExtension, PIRP Irp) {
    SYSTEM_POWER_STATE systemState = IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.SystemState;
    if (DeviceExtension->WaitWakeEnable && systemState > DeviceExtension->DeviceCapabilities.SystemWake) {
        QUIDOR_FailPowerIrp(DeviceExtension, Irp, STATUS_INVALID_DEVICE_STATE);
        return;
    }
    if (DeviceExtension->WaitWakeEnable && systemState > DeviceExtension->SysPower) {
        QUIDOR_IssueWaitWake(DeviceExtension);
    }
    QUIDOR_PassDownPower(DeviceExtension, Irp, QUIDOR_SysPoCompletionRoutine);
}

VOID QUIDOR_HandleDeviceSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PQUIDOR_DEVICE_EXTENSION deviceExtension = QUIDOR_Extension(DeviceObject);
    DEVICE_POWER_STATE newDevState = IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.DeviceState;
    DEVICE_POWER_STATE oldDevState = deviceExtension->DevPower;
    if (newDevState < oldDevState) {
        QUIDOR_PassDownPower(deviceExtension, Irp, QUIDOR_FinishDevPoUpIrp);
    } else if (oldDevState == PowerDeviceD0 && newDevState > oldDevState) {
        QUIDOR_HoldIoRequests(DeviceObject, Irp);
    } else if (oldDevState == PowerDeviceD0 && newDevState == PowerDeviceD0) {
        QUIDOR_SetQueueState(deviceExtension, AllowRequests);
        QUIDOR_ProcessQueuedRequests(deviceExtension);
        QUIDOR_PassDownPower(deviceExtension, Irp, QUIDOR_FinishDevPoDnIrp);
    } else {
        QUIDOR_PassDownPower(deviceExtension, Irp, QUIDOR_FinishDevPoDnIrp);
    }
}

VOID QUIDOR_HandleDeviceQueryPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PQUIDOR_DEVICE_EXTENSION deviceExtension = QUIDOR_Extension(DeviceObject);
    DEVICE_POWER_STATE devState = IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.DeviceState;
    if (deviceExtension->WaitWakeEnable && devState > deviceExtension->DeviceCapabilities.DeviceWake) {
        QUIDOR_FailPowerIrp(deviceExtension, Irp, STATUS_INVALID_DEVICE_STATE);
        return;
    }
    if (devState >= deviceExtension->DevPower && devState != PowerDeviceD0) {
        QUIDOR_HoldIoRequests(DeviceObject, Irp);
        return;
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    QUIDOR_PassDownPower(deviceExtension, Irp, QUIDOR_FinishDevPoDnIrp);
}

NTSTATUS NTAPI QUIDOR_WaitWakeCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    PQUIDOR_DEVICE_EXTENSION deviceExtension = static_cast<PQUIDOR_DEVICE_EXTENSION>(Context);
    if (InterlockedExchangePointer(reinterpret_cast<PVOID volatile *>(&deviceExtension->WaitWakeIrp), NULL) !=
        NULL) {
        PoStartNextPowerIrp(Irp);
        return STATUS_SUCCESS;
    }
    /* A canceller holds the request: the first of the two to get here
       leaves the completion to the other. */
    if (InterlockedExchange(&deviceExtension->FlagWWCancel, 1) == 0) {
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    PoStartNextPowerIrp(Irp);
    return STATUS_SUCCESS;
}

VOID NTAPI QUIDOR_WWIrpCompletionFunc(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                      POWER_STATE PowerState, PVOID Context, PIO_STATUS_BLOCK IoStatus) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    UNREFERENCED_PARAMETER(IoStatus);
    QUIDOR_IoDecrement(static_cast<PQUIDOR_DEVICE_EXTENSION>(Context));
}

VOID NTAPI QUIDOR_WaitWakeCallback(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                   PVOID Context, PIO_STATUS_BLOCK IoStatus) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    PQUIDOR_DEVICE_EXTENSION deviceExtension = static_cast<PQUIDOR_DEVICE_EXTENSION>(Context);
    InterlockedExchange(&deviceExtension->FlagWWOutstanding, 0);
    if (!NT_SUCCESS(IoStatus->Status) || deviceExtension->DevPower == PowerDeviceD0) {
        return;
    }
    QUIDOR_IoIncrement(deviceExtension);
    POWER_STATE powerState;
    powerState.DeviceState = PowerDeviceD0;
    NTSTATUS ntStatus = PoRequestPowerIrp(deviceExtension->PhysicalDeviceObject, IRP_MN_SET_POWER, powerState,
                                          QUIDOR_WWIrpCompletionFunc, deviceExtension, NULL);
    if (!NT_SUCCESS(ntStatus)) {
        QUIDOR_IoDecrement(deviceExtension);
    }
    if (deviceExtension->WaitWakeEnable) {
        QUIDOR_IssueWaitWake(deviceExtension);
    }
}

} // namespace

NTSTATUS QUIDOR_IssueWaitWake(PQUIDOR_DEVICE_EXTENSION DeviceExtension) {
    if (InterlockedExchange(&DeviceExtension->FlagWWOutstanding, 1) != 0) {
        return STATUS_DEVICE_BUSY;
    }
    InterlockedExchange(&DeviceExtension->FlagWWCancel, 0);
    POWER_STATE powerState;
    powerState.SystemState = DeviceExtension->DeviceCapabilities.SystemWake;
    NTSTATUS ntStatus =
        PoRequestPowerIrp(DeviceExtension->PhysicalDeviceObject, IRP_MN_WAIT_WAKE, powerState,
                          QUIDOR_WaitWakeCallback, DeviceExtension, &DeviceExtension->WaitWakeIrp);
    if (!NT_SUCCESS(ntStatus)) {
        InterlockedExchange(&DeviceExtension->FlagWWOutstanding, 0);
    }
    return ntStatus;
}

VOID QUIDOR_CancelWaitWake(PQUIDOR_DEVICE_EXTENSION DeviceExtension) {
    PIRP irp = static_cast<PIRP>(
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile *>(&DeviceExtension->WaitWakeIrp), NULL));
    if (irp == NULL) {
        return;
    }
    IoCancelIrp(irp);
    if (InterlockedExchange(&DeviceExtension->FlagWWCancel, 1) != 0) {
        PoStartNextPowerIrp(irp);
        QUIDOR_CompleteRequest(irp, STATUS_CANCELLED, 0);
    }
}

NTSTATUS QUIDOR_HandleQueryCapabilities(PQUIDOR_DEVICE_EXTENSION DeviceExtension, PIRP Irp) {
    PDEVICE_CAPABILITIES pdc = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
    if (pdc == NULL || pdc->Version < 1 || pdc->Size < sizeof(DEVICE_CAPABILITIES)) {
        return QUIDOR_CompleteRequest(Irp, STATUS_UNSUCCESSFUL, 0);
    }
    pdc->SurpriseRemovalOK = TRUE;
    NTSTATUS ntStatus = QUIDOR_ForwardAndWait(DeviceExtension, Irp);
    if (NT_SUCCESS(ntStatus)) {
        DeviceExtension->DeviceCapabilities = *pdc;
        pdc->SurpriseRemovalOK = TRUE;
    }
    return QUIDOR_CompleteRequest(Irp, ntStatus, Irp->IoStatus.Information);
}

NTSTATUS NTAPI QUIDOR_DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PQUIDOR_DEVICE_EXTENSION deviceExtension = QUIDOR_Extension(DeviceObject);
    PIO_STACK_LOCATION irpStack = IoGetCurrentIrpStackLocation(Irp);
    DEVSTATE state = QUIDOR_GetDeviceState(deviceExtension);
    if (state == Removed) {
        PoStartNextPowerIrp(Irp);
        return QUIDOR_CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
    }
    if (state == NotStarted) {
        PoStartNextPowerIrp(Irp);
        IoSkipCurrentIrpStackLocation(Irp);
        return PoCallDriver(deviceExtension->TopOfStackDeviceObject, Irp);
    }
    QUIDOR_IoIncrement(deviceExtension);
    NTSTATUS ntStatus;
    switch (irpStack->MinorFunction) {
    case IRP_MN_WAIT_WAKE:
        IoMarkIrpPending(Irp);
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, QUIDOR_WaitWakeCompletionRoutine, deviceExtension, TRUE, TRUE, TRUE);
        PoStartNextPowerIrp(Irp);
        PoCallDriver(deviceExtension->TopOfStackDeviceObject, Irp);
        QUIDOR_IoDecrement(deviceExtension);
        return STATUS_PENDING;

    case IRP_MN_SET_POWER:
    case IRP_MN_QUERY_POWER:
        IoMarkIrpPending(Irp);
        if (irpStack->Parameters.Power.Type == SystemPowerState) {
            if (irpStack->MinorFunction == IRP_MN_SET_POWER) {
                QUIDOR_PassDownPower(deviceExtension, Irp, QUIDOR_SysPoCompletionRoutine);
            } else {
                QUIDOR_HandleSystemQueryPower(deviceExtension, Irp);
            }
        } else if (irpStack->MinorFunction == IRP_MN_SET_POWER) {
            QUIDOR_HandleDeviceSetPower(DeviceObject, Irp);
        } else {
            QUIDOR_HandleDeviceQueryPower(DeviceObject, Irp);
        }
        return STATUS_PENDING;

    default:
        PoStartNextPowerIrp(Irp);
        IoSkipCurrentIrpStackLocation(Irp);
        ntStatus = PoCallDriver(deviceExtension->TopOfStackDeviceObject, Irp);
        QUIDOR_IoDecrement(deviceExtension);
        return ntStatus;
    }
}
