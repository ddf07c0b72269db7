// USB transport. The pipes are open only for the duration of one transfer:
// every transfer opens the device and both pipes and closes them again.
#include "usb.h"

#include "link.h"

#include "plat/device.h"

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <new>

namespace {

constexpr int kNameSize = 256;
const char kBaseName[] = "\\\\.\\halvornquidor";

// One transfer's handles and overlapped records.
struct USB_CONTEXT {
    std::unique_ptr<plat::DeviceFile> hDevice;
    std::unique_ptr<plat::DeviceFile> hPipeIn;  // pipe00, probe to host
    std::unique_ptr<plat::DeviceFile> hPipeOut; // pipe01, host to probe
    plat::IoCompletion OverlappedIn;
    plat::IoCompletion OverlappedOut;
    U32 TimeoutMs = USB_TIMEOUT_MS;
};

// Everything the USB transport keeps, in one place.
struct State {
    int UsbPort = 0;
    U8 CommError = 0;
    FERROX_OUTPUT_FUNC pfErrorSink = nullptr;
    USB_CONTEXT *pContext = nullptr; // only while a transfer runs
};
State g;

USB_CONTEXT *USB_Open() {
    g.CommError = 0;
    char device[kNameSize];
    char pipeIn[kNameSize];
    char pipeOut[kNameSize];
    USB_BuildDeviceName(g.UsbPort, device, kNameSize);
    // The names fit their buffers for every port number; a cut name would
    // open another device, so it counts as no device.
    if (std::snprintf(pipeIn, sizeof pipeIn, "%s\\pipe00", device) >= kNameSize ||
        std::snprintf(pipeOut, sizeof pipeOut, "%s\\pipe01", device) >= kNameSize) {
        return nullptr;
    }

    auto *ctx = new (std::nothrow) USB_CONTEXT;
    if (ctx == nullptr) {
        return nullptr;
    }
    U32 err = 0;
    ctx->hDevice = plat::openDevice(device, err);
    if (ctx->hDevice == nullptr) {
        delete ctx;
        return nullptr;
    }
    ctx->hPipeIn = plat::openDevice(pipeIn, err);
    if (ctx->hPipeIn == nullptr) {
        delete ctx;
        return nullptr;
    }
    ctx->hPipeOut = plat::openDevice(pipeOut, err);
    if (ctx->hPipeOut == nullptr) {
        ctx->hPipeIn.reset();
        delete ctx;
        return nullptr;
    }
    g.pContext = ctx;
    return ctx;
}

void USB_Close() {
    if (g.pContext == nullptr) {
        return;
    }
    // Closing the pipes ends whatever is still pending on them.
    g.pContext->hPipeIn.reset();
    g.pContext->hPipeOut.reset();
    g.pContext->hDevice.reset();
    delete g.pContext;
    g.pContext = nullptr;
}

USB_CONTEXT *openForTransfer() {
    USB_CONTEXT *ctx = USB_Open();
    if (ctx == nullptr) {
        USB_ReportError("USB communication error: No USB connection opened !");
    }
    return ctx;
}

} // namespace

void USB_BuildDeviceName(int Port, char *pName, int NameSize) {
    if (Port == 0) {
        (void)std::snprintf(pName, static_cast<std::size_t>(NameSize), "%s", kBaseName);
    } else {
        (void)std::snprintf(pName, static_cast<std::size_t>(NameSize), "%s%d", kBaseName, Port);
    }
}

void USB_ReportError(const char *sFormat, ...) {
    va_list ap;
    va_start(ap, sFormat);
    LINK_ReportCommError(&g.CommError, g.pfErrorSink, sFormat, ap);
    va_end(ap);
}

bool USB_Probe() {
    USB_CONTEXT *ctx = USB_Open();
    if (ctx == nullptr) {
        return false;
    }
    USB_Close();
    return true;
}

int USB_Write(const U8 *p, int n) {
    USB_CONTEXT *ctx = openForTransfer();
    if (ctx == nullptr) {
        return 0;
    }
    int written = 0;
    if (n > 0) {
        ctx->OverlappedOut.reset();
        if (ctx->hPipeOut->startWrite(p, static_cast<U32>(n), ctx->OverlappedOut)) {
            // A write the probe never takes would hang the caller for good;
            // give it the transfer's time-out and then cancel it.
            if (!ctx->OverlappedOut.wait(ctx->TimeoutMs)) {
                ctx->hPipeOut->cancelIo();
            }
            written = static_cast<int>(ctx->OverlappedOut.transferred());
        }
    }
    USB_Close();
    return written;
}

int USB_Read(U8 *p, int n) {
    if (n <= 0) {
        return 0;
    }
    USB_CONTEXT *ctx = openForTransfer();
    if (ctx == nullptr) {
        return 0;
    }
    int total = 0;
    while (total < n) {
        const int chunk = n - total < USB_READ_CHUNK ? n - total : USB_READ_CHUNK;
        ctx->OverlappedIn.reset();
        int received = 0;
        if (ctx->hPipeIn->startRead(p + total, static_cast<U32>(chunk), ctx->OverlappedIn)) {
            ctx->OverlappedIn.wait(ctx->TimeoutMs);
            received = static_cast<int>(ctx->OverlappedIn.transferred());
        }
        if (received == chunk) {
            total += received;
            continue;
        }
        USB_ReportError("USB communication timed out: Requested %d bytes, received %d bytes !", chunk,
                        received);
        total += received;
        break;
    }
    USB_Close();
    return total;
}

int USB_WriteRead(const U8 *pOut, int NumOut, U8 *pIn, int NumIn) {
    return USB_WriteReadUpTo(pOut, NumOut, pIn, NumIn, NumIn);
}

int USB_WriteReadUpTo(const U8 *pOut, int NumOut, U8 *pIn, int NumIn, int MinIn) {
    if (NumOut < 0 || NumIn <= 0) {
        return 0; // no exchange to make
    }
    USB_CONTEXT *ctx = openForTransfer();
    if (ctx == nullptr) {
        return 0;
    }
    ctx->OverlappedOut.reset();
    ctx->OverlappedIn.reset();
    const bool writing =
        NumOut > 0 && ctx->hPipeOut->startWrite(pOut, static_cast<U32>(NumOut), ctx->OverlappedOut);
    const bool reading = ctx->hPipeIn->startRead(pIn, static_cast<U32>(NumIn), ctx->OverlappedIn);
    // The read waits already while the request goes out: one budget for the
    // answer, then another for the write's completion.
    if (!reading || !ctx->OverlappedIn.wait(ctx->TimeoutMs)) {
        ctx->hPipeIn->cancelIo();
        ctx->hPipeOut->cancelIo();
    } else if (writing && !ctx->OverlappedOut.wait(ctx->TimeoutMs)) {
        ctx->hPipeOut->cancelIo();
    }
    const int received = reading ? static_cast<int>(ctx->OverlappedIn.transferred()) : 0;
    if (received != NumIn && received < MinIn) {
        USB_ReportError(
            "USB communication timed out: Writing %d bytes, requesting %d bytes, received %d bytes !", NumOut,
            NumIn, received);
    }
    USB_Close();
    return received;
}

void USB_SetPort(int Port) {
    g.UsbPort = Port;
}
U8 USB_HasCommError() {
    return g.CommError;
}
void USB_ClearCommError() {
    g.CommError = 0;
}
void USB_SetErrorSink(FERROX_OUTPUT_FUNC pfErrorSink_) {
    g.pfErrorSink = pfErrorSink_;
}

int USB_GetPort() {
    return g.UsbPort;
}

void USB_ResetState() {
    USB_Close();
    g = State{};
}
