// Transport-neutral primitives: the only way the probe and target layers
// reach a probe. They dispatch to the USB or the TCP/IP transport.
#pragma once

#include "Ferrox.h"

#include <cstdarg>

enum : int { LINK_KIND_USB = 1, LINK_KIND_TCPIP = 2 };

int LINK_WriteRead(const U8 *pOut, int NumOut, U8 *pIn, int NumIn);
// For answers whose length the probe decides (target requests): up to NumIn
// bytes; an answer that ends early with at least MinIn bytes is not a
// transport failure. Returns the number of bytes received.
int LINK_WriteReadUpTo(const U8 *pOut, int NumOut, U8 *pIn, int NumIn, int MinIn);
int LINK_Write(const U8 *p, int n);
int LINK_Read(U8 *p, int n);
U8 LINK_Connect();
void LINK_Disconnect();
U8 LINK_SelectUSB(int Port);
// Selects TCP/IP at sHost:Port; reconnects when a transport was connected.
// 1 for a null or empty host, a host too long to keep, or a port outside
// 1..65535 (nothing changes), or when the reconnection fails.
U8 LINK_SelectTCPIP(const char *sHost, int Port);
U8 LINK_HasCommError();
void LINK_ClearCommError();
void LINK_SetErrorSink(FERROX_OUTPUT_FUNC pfErrorSink);
void LINK_FlushInput();

// A transport's error report: only while its one-shot flag is clear, set
// the flag and hand the text to its error output at once (not to the log
// and not through the pending-error buffer).
void LINK_ReportCommError(U8 *pCommError, FERROX_OUTPUT_FUNC pfErrorSink, const char *sFormat, va_list Args)
    __attribute__((format(printf, 3, 0)));

int LINK_GetTransportKind();
int LINK_GetUsbPort();
U8 LINK_IsConnected();
// "HOST:PORT" as the QUIDOR_SERVER variable holds it; false when malformed.
bool LINK_ParseServerAddress(const char *sText, char *pHost, int HostSize, int *pPort);
// Back to the state at load: USB selected at port 0, nothing connected, no
// errors, no server address.
void LINK_ResetState();
