/* quidor: USB bulk function driver of the Quidor probe (WDM). One source for
   x86 and x64; on a host it builds against kshim, the kernel stand-in. */
#ifndef QUIDOR_H
#define QUIDOR_H

#ifdef _WIN32
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#endif

#ifdef _WIN32
/* The USB library header of the DDK declares C functions without saying so. */
extern "C" {
#endif
#include <ntddk.h>
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>
#ifdef _WIN32
}
#endif

#include "quidor_ids.h"
#include "quidor_ioctl.h"

/* "Bulk" in memory order. */
#define QUIDOR_POOL_TAG                                                                                      \
    (static_cast<ULONG>('B') | static_cast<ULONG>('u') << 8 | static_cast<ULONG>('l') << 16 |                \
     static_cast<ULONG>('k') << 24)

#define QUIDOR_DEVICE_NAMES 128
#define QUIDOR_NAME_CHARS 64
#define QUIDOR_MAX_PIPES 6
#define QUIDOR_PIPE_TRANSFER 4096
#define QUIDOR_STAGE_SIZE 2048
#define QUIDOR_READ_AHEAD_SIZE 131072
#define QUIDOR_SERIAL_DESCRIPTOR_SIZE 255
/* Interface numbers searched for the configuration's interfaces. */
#define QUIDOR_INTERFACE_SEARCH 256

typedef enum _DEVSTATE {
    NotStarted = 0,
    Stopped = 1,
    Working = 2,
    StopPending = 3,
    RemovePending = 4,
    SurpriseRemoved = 5,
    Removed = 6
} DEVSTATE;

typedef enum _QUEUE_STATE { HoldRequests = 0, AllowRequests = 1, FailRequests = 2 } QUEUE_STATE;

typedef struct _QUIDOR_DEVICE_EXTENSION {
    PDEVICE_OBJECT FunctionalDeviceObject;
    PDEVICE_OBJECT TopOfStackDeviceObject;
    PDEVICE_OBJECT PhysicalDeviceObject;
    UNICODE_STRING InterfaceName;
    DEVICE_CAPABILITIES DeviceCapabilities;
    PUSB_CONFIGURATION_DESCRIPTOR UsbConfigurationDescriptor;
    PUSBD_INTERFACE_INFORMATION UsbInterface;
    /* Per pipe: the number of handles open on it (not 0 while one is). */
    PLONG PipeOpen;
    DEVSTATE DeviceState;
    DEVSTATE PrevDevState;
    KSPIN_LOCK DevStateLock;
    SYSTEM_POWER_STATE SysPower;
    DEVICE_POWER_STATE DevPower;
    QUEUE_STATE QueueState;
    LIST_ENTRY NewRequestsQueue;
    KSPIN_LOCK QueueLock;
    KEVENT RemoveEvent;
    KEVENT StopEvent;
    LONG OutStandingIO;
    KSPIN_LOCK IOCountLock;
    LONG OpenHandleCount;
    USHORT VendorId;
    USHORT ProductId;
    UCHAR SerialIndex;
    UCHAR SerialDescriptor[QUIDOR_SERIAL_DESCRIPTOR_SIZE];
    UCHAR SerialRead;
    ULONG ConfiguredTick;
    WCHAR DeviceName[QUIDOR_NAME_CHARS];
    WCHAR LinkName[QUIDOR_NAME_CHARS];
    PIRP WaitWakeIrp;
    LONG FlagWWCancel;
    LONG FlagWWOutstanding;
    LONG WaitWakeEnable;
    KSPIN_LOCK ReadAheadLock;
    UCHAR ReadAhead[QUIDOR_READ_AHEAD_SIZE];
    ULONG ReadAheadCount;
    /* 1 while a read stage is at the bus: one stage per device at a time. */
    LONG ReadStageBusy;
    /* I/O counts that power requests hold while the device power request
       waits in the work item for the device's other I/O to finish. */
    LONG PowerIoHeld;
} QUIDOR_DEVICE_EXTENSION, *PQUIDOR_DEVICE_EXTENSION;

/* One read or write request on its way through its bulk stages. */
typedef struct _QUIDOR_RW_CONTEXT {
    struct _URB_BULK_OR_INTERRUPT_TRANSFER Urb;
    ULONG Remaining;
    ULONG Total;
    ULONG StageLength;
    PQUIDOR_DEVICE_EXTENSION DeviceExtension;
    USBD_PIPE_HANDLE PipeHandle;
    PUCHAR Buffer;
    ULONG PacketSize;
    /* Reads: the stage lands here first and joins ReadAhead at the count
       it finds when it completes. */
    UCHAR Stage[QUIDOR_STAGE_SIZE];
} QUIDOR_RW_CONTEXT, *PQUIDOR_RW_CONTEXT;

/* quidor_pnp.cpp */
extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_ADD_DEVICE QUIDOR_AddDevice;
DRIVER_UNLOAD QUIDOR_Unload;
DRIVER_DISPATCH QUIDOR_DispatchPnP;
DRIVER_DISPATCH QUIDOR_DispatchSysCtrl;
VOID QUIDOR_IoIncrement(PQUIDOR_DEVICE_EXTENSION DeviceExtension);
VOID QUIDOR_IoDecrement(PQUIDOR_DEVICE_EXTENSION DeviceExtension);
NTSTATUS QUIDOR_CallUSBD(PQUIDOR_DEVICE_EXTENSION DeviceExtension, PURB Urb);
NTSTATUS QUIDOR_CallUSBStack(PQUIDOR_DEVICE_EXTENSION DeviceExtension, ULONG IoControlCode, PVOID Argument1);
NTSTATUS QUIDOR_ForwardAndWait(PQUIDOR_DEVICE_EXTENSION DeviceExtension, PIRP Irp);
NTSTATUS QUIDOR_QueueOrFail(PQUIDOR_DEVICE_EXTENSION DeviceExtension, PIRP Irp, BOOLEAN *Handled);
VOID QUIDOR_ProcessQueuedRequests(PQUIDOR_DEVICE_EXTENSION DeviceExtension);
VOID QUIDOR_SetQueueState(PQUIDOR_DEVICE_EXTENSION DeviceExtension, QUEUE_STATE QueueState);
DEVSTATE QUIDOR_GetDeviceState(PQUIDOR_DEVICE_EXTENSION DeviceExtension);
NTSTATUS QUIDOR_CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);

/* quidor_io.cpp */
DRIVER_DISPATCH QUIDOR_DispatchCreate;
DRIVER_DISPATCH QUIDOR_DispatchClose;
DRIVER_DISPATCH QUIDOR_DispatchClean;
DRIVER_DISPATCH QUIDOR_DispatchRead;
DRIVER_DISPATCH QUIDOR_DispatchWrite;
DRIVER_DISPATCH QUIDOR_DispatchDevCtrl;
extern LONG QUIDOR_ReadMode;
/* Pipe number of a name: the run of decimal digits that ends at the name's
   last digit; -1 for no digit or a number of QUIDOR_MAX_PIPES or more. */
LONG QUIDOR_ParsePipeNumber(PCUNICODE_STRING FileName);
NTSTATUS QUIDOR_AbortPipes(PQUIDOR_DEVICE_EXTENSION DeviceExtension);
NTSTATUS QUIDOR_ResetPipe(PQUIDOR_DEVICE_EXTENSION DeviceExtension, USBD_PIPE_HANDLE PipeHandle);
NTSTATUS QUIDOR_ResetPort(PQUIDOR_DEVICE_EXTENSION DeviceExtension);
/* Delivers buffered read-ahead data for a request of Length bytes under the
   read mode (Any: whatever is there, up to Length). */
ULONG QUIDOR_ServeReadAhead(PQUIDOR_DEVICE_EXTENSION DeviceExtension, PUCHAR Buffer, ULONG Length,
                            BOOLEAN Any);

/* quidor_power.cpp */
DRIVER_DISPATCH QUIDOR_DispatchPower;
NTSTATUS QUIDOR_IssueWaitWake(PQUIDOR_DEVICE_EXTENSION DeviceExtension);
VOID QUIDOR_CancelWaitWake(PQUIDOR_DEVICE_EXTENSION DeviceExtension);
NTSTATUS QUIDOR_HandleQueryCapabilities(PQUIDOR_DEVICE_EXTENSION DeviceExtension, PIRP Irp);

#endif
