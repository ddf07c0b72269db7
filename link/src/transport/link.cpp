// Transport-neutral primitives and the choice of transport.
#include "link.h"

#include "tcpip.h"
#include "usb.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The transport's choice and connection, in one place (each transport keeps
// its own details).
struct State {
    int TransportKind = LINK_KIND_USB;
    U8 Connected = 0;
};
State g;

bool usbSelected() {
    return g.TransportKind == LINK_KIND_USB;
}

} // namespace

U8 LINK_HasCommError() {
    return usbSelected() ? USB_HasCommError() : IP_HasCommError();
}

void LINK_ClearCommError() {
    if (usbSelected()) {
        USB_ClearCommError();
    } else {
        IP_ClearCommError();
    }
}

// Both transports deliver to the connection's error output, so that
// switching transport on an open connection keeps its texts reaching it.
void LINK_SetErrorSink(FERROX_OUTPUT_FUNC pfErrorSink) {
    USB_SetErrorSink(pfErrorSink);
    IP_SetErrorSink(pfErrorSink);
}

int LINK_Write(const U8 *p, int n) {
    if (LINK_HasCommError() != 0) {
        return 0;
    }
    return usbSelected() ? USB_Write(p, n) : IP_Write(p, n);
}

int LINK_Read(U8 *p, int n) {
    if (LINK_HasCommError() != 0) {
        return 0;
    }
    return usbSelected() ? USB_Read(p, n) : IP_Read(p, n);
}

int LINK_WriteRead(const U8 *pOut, int NumOut, U8 *pIn, int NumIn) {
    if (LINK_HasCommError() != 0) {
        return 0;
    }
    if (NumIn == 0) {
        LINK_Write(pOut, NumOut);
        return 0;
    }
    return usbSelected() ? USB_WriteRead(pOut, NumOut, pIn, NumIn) : IP_WriteRead(pOut, NumOut, pIn, NumIn);
}

int LINK_WriteReadUpTo(const U8 *pOut, int NumOut, U8 *pIn, int NumIn, int MinIn) {
    if (LINK_HasCommError() != 0) {
        return 0;
    }
    if (NumIn == 0) {
        LINK_Write(pOut, NumOut);
        return 0;
    }
    return usbSelected() ? USB_WriteReadUpTo(pOut, NumOut, pIn, NumIn, MinIn)
                         : IP_WriteReadUpTo(pOut, NumOut, pIn, NumIn, MinIn);
}

U8 LINK_Connect() {
    if (g.Connected != 0) {
        return 0;
    }
    const bool ok = usbSelected() ? USB_Probe() : IP_Connect() != 0;
    g.Connected = ok ? 1 : 0;
    return ok ? 0 : 1;
}

void LINK_Disconnect() {
    if (g.Connected != 0 && !usbSelected()) {
        IP_Close();
    }
    g.Connected = 0;
}

U8 LINK_SelectUSB(int Port) {
    const bool wasConnected = g.Connected != 0;
    if (wasConnected) {
        LINK_Disconnect();
    }
    g.TransportKind = LINK_KIND_USB;
    USB_SetPort(Port);
    return wasConnected ? LINK_Connect() : 0;
}

U8 LINK_SelectTCPIP(const char *sHost, int Port) {
    if (sHost == nullptr || sHost[0] == '\0' || Port < 1 || Port > 65535 || std::strlen(sHost) >= 512) {
        return 1;
    }
    const bool wasConnected = g.Connected != 0;
    if (wasConnected) {
        LINK_Disconnect();
    }
    g.TransportKind = LINK_KIND_TCPIP;
    IP_SetServer(sHost, static_cast<U16>(Port));
    return wasConnected ? LINK_Connect() : 0;
}

// Every USB transfer opens and closes its own pipes, and TCP/IP frames carry
// their counts, so no input is ever held over between exchanges.
void LINK_FlushInput() {}

int LINK_GetTransportKind() {
    return g.TransportKind;
}
int LINK_GetUsbPort() {
    return USB_GetPort();
}
U8 LINK_IsConnected() {
    return g.Connected;
}

bool LINK_ParseServerAddress(const char *sText, char *pHost, int HostSize, int *pPort) {
    if (sText == nullptr || pHost == nullptr || pPort == nullptr || HostSize <= 0) {
        return false;
    }
    const char *colon = std::strrchr(sText, ':');
    if (colon == nullptr || colon == sText || colon[1] == '\0') {
        return false;
    }
    const auto hostLen = static_cast<std::size_t>(colon - sText);
    if (hostLen >= static_cast<std::size_t>(HostSize) || hostLen >= 512) {
        return false;
    }
    long port = 0;
    for (const char *p = colon + 1; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9' || port > 65535) {
            return false;
        }
        port = port * 10 + (*p - '0');
    }
    if (port < 1 || port > 65535) {
        return false;
    }
    std::memcpy(pHost, sText, hostLen);
    pHost[hostLen] = '\0';
    *pPort = static_cast<int>(port);
    return true;
}

void LINK_ReportCommError(U8 *pCommError, FERROX_OUTPUT_FUNC pfErrorSink, const char *sFormat, va_list Args) {
    if (*pCommError != 0) {
        return;
    }
    *pCommError = 1;
    if (pfErrorSink == nullptr) {
        return;
    }
    char text[1024];
    (void)std::vsnprintf(text, sizeof text, sFormat, Args);
    pfErrorSink(text);
}

void LINK_ResetState() {
    USB_ResetState();
    IP_ResetState();
    g = State{};
}
