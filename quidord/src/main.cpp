// quidord: serves a Quidor probe attached to this machine over the probe
// server's TCP/IP frames, through the library's own USB transport.
#include "Ferrox.h"
#include "options.h"
#include "service.h"

#include "plat/usb.h"
#include "sim/frames.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

void logLine(const char *text) {
    std::fprintf(stderr, "quidord: %s\n", text);
    std::fflush(stderr);
}

void onUsbNotice(plat::UsbNotice, const char *text) {
    quidord::noteUsbProblem(text);
}

// One client, from its greeting to its last frame.
void serveClient(const sim::TcpListener &listener, int fd, const std::string &peer, int probe) {
    quidord::log("client " + peer + " connected");
    quidord::FrameService service(probe);
    const std::vector<std::uint8_t> hello = service.greet();
    if (!sim::sendAll(fd, hello.data(), hello.size())) {
        quidord::log("client " + peer + " disconnected");
        return;
    }
    if (!service.ready()) {
        quidord::log("client " + peer + " disconnected: no probe at " + service.deviceName());
        return;
    }
    std::vector<std::uint8_t> buffer(65536 + 8);
    std::vector<std::uint8_t> out;
    for (std::size_t n = 0; (n = listener.receive(fd, buffer.data(), buffer.size())) != 0;) {
        out.clear();
        const bool goOn = service.feed(buffer.data(), n, out);
        if ((!out.empty() && !sim::sendAll(fd, out.data(), out.size())) || !goOn) {
            break;
        }
    }
    const std::string &why = service.endReason();
    quidord::log("client " + peer + " disconnected" + (why.empty() ? "" : ": " + why));
}

} // namespace

int main(int argc, char **argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    quidord::Options options;
    std::string error;
    if (!quidord::parseCommandLine(args, options, error)) {
        std::fprintf(stderr, "quidord: %s\n\n%s", error.c_str(), quidord::usageText().c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(quidord::usageText().c_str(), stdout);
        return 0;
    }
    if (options.version) {
        // The library this server reaches the probe through.
        const int v = FERROX_GetDLLVersion();
        std::printf("quidord: DLL %d.%d, compiled %s\n", v / 1000, v % 1000, FERROX_GetCompileDateTime());
        return 0;
    }
    quidord::setLog(logLine);
    plat::setUsbNoticeSink(onUsbNotice);

    sim::TcpListener listener;
    if (!listener.listen(options.host, options.port, error)) {
        logLine(error.c_str());
        return 1;
    }
    if (!quidord::isLoopback(options.host)) {
        quidord::log("warning: serving " + options.host + ":" + std::to_string(listener.port()) +
                     ": the probe server protocol has no authentication, anyone who reaches this address "
                     "can use the probe");
    }

    listener.stopOnSignals();

    std::printf("quidord listening on %s:%u\n", listener.host().c_str(),
                static_cast<unsigned>(listener.port()));
    std::fflush(stdout);
    listener.serve([&](int fd, const std::string &peer) { serveClient(listener, fd, peer, options.probe); });
    quidord::log("stopped");
    return 0;
}
