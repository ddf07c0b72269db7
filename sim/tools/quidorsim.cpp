// quidorsim: serves a virtual Quidor probe, with a Tamsa target behind it,
// over the probe server's TCP/IP frames.
#include "sim/cli.h"
#include "sim/probe.h"
#include "sim/state_store.h"
#include "sim/tcp_server.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

void printHex(bool toProbe, const std::uint8_t *data, std::size_t size) {
    std::string line = toProbe ? "->" : "<-";
    char hex[4];
    for (std::size_t i = 0; i < size; ++i) {
        std::snprintf(hex, sizeof hex, " %02X", data[i]);
        line += hex;
    }
    std::puts(line.c_str());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    sim::CliOptions options;
    std::string error;
    if (!sim::parseCommandLine(args, options, error)) {
        std::fprintf(stderr, "quidorsim: %s\n\n%s", error.c_str(), sim::usageText().c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(sim::usageText().c_str(), stdout);
        return 0;
    }
    if (options.version) {
        // The product version this program was built with, the same the
        // library reports.
        std::printf("quidorsim %s, compiled %s %s\n", FERROX_PRODUCT_VERSION, __DATE__, __TIME__);
        return 0;
    }

    sim::Probe probe(plat::realClock(), options.probe);
    if (!options.stateDir.empty() && !sim::loadState(probe, options.stateDir, error)) {
        std::fprintf(stderr, "quidorsim: %s\n", error.c_str());
        return 1;
    }
    probe.setAnswerFault(options.fault);
    probe.setRefuseFirmwareUpdate(options.refuseUpdate);
    probe.target().injectBrownOuts(options.brownOuts);
    probe.target().injectProgramFailures(options.programFailures);
    if (options.trace) {
        probe.setTrace(printHex);
    }

    sim::TcpServer server(probe);
    if (!server.listen(options.host, options.port, error)) {
        std::fprintf(stderr, "quidorsim: %s\n", error.c_str());
        return 1;
    }
    const auto save = [&] {
        std::string why;
        if (!options.stateDir.empty() && !sim::saveState(probe, options.stateDir, why)) {
            std::fprintf(stderr, "quidorsim: %s\n", why.c_str());
        }
    };
    server.onClientDone(save);

    server.stopOnSignals();

    std::printf("quidorsim listening on %s:%u\n", server.host().c_str(),
                static_cast<unsigned>(server.port()));
    std::fflush(stdout);
    server.serve();
    save();
    return 0;
}
