// kshim: the USBD library calls and request-building macros.
#pragma once

#include "usb.h"

PUSB_INTERFACE_DESCRIPTOR
USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                    PVOID StartPosition, LONG InterfaceNumber, LONG AlternateSetting,
                                    LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol);
PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList);

#define UsbBuildInterruptOrBulkTransferRequest(urb, length, pipeHandle, transferBuffer, transferBufferMDL,   \
                                               transferBufferLength, transferFlags, link)                    \
    do {                                                                                                     \
        (urb)->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;                                 \
        (urb)->UrbHeader.Length = (length);                                                                  \
        (urb)->UrbBulkOrInterruptTransfer.PipeHandle = (pipeHandle);                                         \
        (urb)->UrbBulkOrInterruptTransfer.TransferBufferLength = (transferBufferLength);                     \
        (urb)->UrbBulkOrInterruptTransfer.TransferBufferMDL = (transferBufferMDL);                           \
        (urb)->UrbBulkOrInterruptTransfer.TransferBuffer = (transferBuffer);                                 \
        (urb)->UrbBulkOrInterruptTransfer.TransferFlags = (transferFlags);                                   \
        (urb)->UrbBulkOrInterruptTransfer.UrbLink = (link);                                                  \
    } while (0)

#define UsbBuildGetDescriptorRequest(urb, length, descriptorType, descriptorIndex, languageId,               \
                                     transferBuffer, transferBufferMDL, transferBufferLength, link)          \
    do {                                                                                                     \
        (urb)->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;                                 \
        (urb)->UrbHeader.Length = (length);                                                                  \
        (urb)->UrbControlDescriptorRequest.TransferBufferLength = (transferBufferLength);                    \
        (urb)->UrbControlDescriptorRequest.TransferBufferMDL = (transferBufferMDL);                          \
        (urb)->UrbControlDescriptorRequest.TransferBuffer = (transferBuffer);                                \
        (urb)->UrbControlDescriptorRequest.DescriptorType = (descriptorType);                                \
        (urb)->UrbControlDescriptorRequest.Index = (descriptorIndex);                                        \
        (urb)->UrbControlDescriptorRequest.LanguageId = (languageId);                                        \
        (urb)->UrbControlDescriptorRequest.UrbLink = (link);                                                 \
    } while (0)

#define UsbBuildSelectConfigurationRequest(urb, length, configurationDescriptor)                             \
    do {                                                                                                     \
        (urb)->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;                                       \
        (urb)->UrbHeader.Length = (length);                                                                  \
        (urb)->UrbSelectConfiguration.ConfigurationDescriptor = (configurationDescriptor);                   \
    } while (0)
