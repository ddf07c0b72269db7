#include "service.h"

#include "usb.h"

#include <mutex>

namespace quidord {

namespace {

std::mutex logMutex;
LogFunction logOut = nullptr;
std::string usbProblem; // guarded by logMutex

extern "C" void transportError(const char *text) {
    log(text);
}

} // namespace

void setLog(LogFunction f) {
    std::lock_guard<std::mutex> lock(logMutex);
    logOut = f;
}

void log(const std::string &text) {
    std::lock_guard<std::mutex> lock(logMutex);
    if (logOut != nullptr) {
        logOut(text.c_str());
    }
}

void noteUsbProblem(const char *text) {
    log(text);
    std::lock_guard<std::mutex> lock(logMutex);
    usbProblem = text;
}

FrameService::FrameService(int port) : port_(port) {
    char name[256];
    USB_BuildDeviceName(port, name, sizeof name);
    device_ = name;
}

std::vector<std::uint8_t> FrameService::greet() {
    USB_SetPort(port_);
    USB_SetErrorSink(transportError);
    ready_ = USB_Probe();
    std::string problem;
    {
        std::lock_guard<std::mutex> lock(logMutex);
        if (ready_) {
            usbProblem.clear(); // what kept the probe closed is mended
        }
        problem = usbProblem;
    }
    if (ready_) {
        return sim::greeting(kGreetingReady, "quidord: Quidor at " + device_);
    }
    if (!problem.empty()) {
        return sim::greeting(kGreetingNoAccess, problem);
    }
    return sim::greeting(kGreetingNoProbe, "quidord: no Quidor at " + device_);
}

bool FrameService::feed(const std::uint8_t *data, std::size_t size, std::vector<std::uint8_t> &out) {
    if (!ready_ || !endReason_.empty()) {
        return false;
    }
    reader_.feed(data, size);
    for (;;) {
        switch (reader_.next(frame_)) {
        case sim::FrameReader::Next::Incomplete:
            return true;
        case sim::FrameReader::Next::Bad:
            endReason_ = "not a frame of the probe server protocol";
            return false;
        case sim::FrameReader::Next::Frame:
            if (!serve(out)) {
                return false;
            }
            break;
        }
    }
}

// A frame is one transfer, as the library would make it over USB; a
// transfer that comes up short is answered with what came, unless the
// probe has gone, which ends the connection.
bool FrameService::serve(std::vector<std::uint8_t> &out) {
    const auto nOut = static_cast<int>(frame_.payload.size());
    const auto nIn = static_cast<int>(frame_.answerSize);
    answer_.resize(frame_.answerSize);
    int written = nOut;
    int received = 0;
    if (frame_.kind == sim::kFrameRead) {
        received = nIn > 0 ? USB_Read(answer_.data(), nIn) : 0;
    } else if (frame_.kind == sim::kFrameWriteRead && nIn > 0) {
        received = USB_WriteRead(frame_.payload.data(), nOut, answer_.data(), nIn);
    } else if (nOut > 0) {
        written = USB_Write(frame_.payload.data(), nOut);
    }
    if ((written != nOut || received != nIn) && !USB_Probe()) {
        endReason_ = "the probe at " + device_ + " is gone";
        return false;
    }
    if (frame_.kind != sim::kFrameWrite) {
        sim::appendAnswer(out, answer_.data(), static_cast<std::size_t>(received));
    }
    return true;
}

} // namespace quidord
