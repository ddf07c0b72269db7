// USB transport: the probe's bulk pipes through the driver's device names.
#pragma once

#include "Ferrox.h"

enum : int { USB_TIMEOUT_MS = 5000, USB_READ_CHUNK = 2048 };

int USB_Write(const U8 *p, int n);
int USB_Read(U8 *p, int n);
int USB_WriteRead(const U8 *pOut, int NumOut, U8 *pIn, int NumIn);
// As USB_WriteRead, but an answer that ends early with at least MinIn bytes
// is not a failure.
int USB_WriteReadUpTo(const U8 *pOut, int NumOut, U8 *pIn, int NumIn, int MinIn);
// The presence test: opens the device and both pipes and closes them again.
bool USB_Probe();
void USB_ReportError(const char *sFormat, ...) __attribute__((format(printf, 1, 2)));

void USB_SetPort(int Port);
int USB_GetPort();
U8 USB_HasCommError();
void USB_ClearCommError();
void USB_SetErrorSink(FERROX_OUTPUT_FUNC pfErrorSink);
// The device name for a port ("\\.\halvornquidor" then the number unless 0).
void USB_BuildDeviceName(int Port, char *pName, int NameSize);
// Back to the state at load: port 0, no error, no transfer running.
void USB_ResetState();
