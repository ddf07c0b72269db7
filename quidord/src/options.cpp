#include "options.h"

#include "sim/frames.h"

namespace quidord {

bool parseCommandLine(const std::vector<std::string> &args, Options &options, std::string &error) {
    Options o;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        if (a == "--help" || a == "-h") {
            o.help = true;
            continue;
        }
        if (a == "--version") {
            o.version = true;
            continue;
        }
        if (a != "--listen" && a != "--probe") {
            error = "unknown option " + a;
            return false;
        }
        if (i + 1 == args.size()) {
            error = a + " needs a value";
            return false;
        }
        const std::string &value = args[++i];
        if (a == "--listen" && !sim::parseHostPort(value, o.host, o.port)) {
            error = "--listen takes HOST:PORT with an IPv4 address, not " + value;
            return false;
        }
        if (a == "--probe") {
            if (value.size() != 1 || value[0] < '0' || value[0] > '3') {
                error = "--probe takes 0, 1, 2 or 3, not " + value;
                return false;
            }
            o.probe = value[0] - '0';
        }
    }
    options = o;
    return true;
}

std::string usageText() {
    return "Usage: quidord [--listen HOST:PORT] [--probe N]\n"
           "Serves a Quidor probe attached to this machine to the network, as a\n"
           "Quidor TCP/IP server: programs on the Ferrox library reach it with\n"
           "QUIDOR_SERVER=HOST:PORT. One client at a time; the next one waits.\n"
           "\n"
           "  --listen HOST:PORT  IPv4 address and port to serve (default 127.0.0.1:5151;\n"
           "                      port 0 picks a free one). The protocol has no\n"
           "                      authentication: serve another address than the\n"
           "                      loopback only on a network you trust.\n"
           "  --probe N           the probe to serve: 0 for \\\\.\\halvornquidor (default),\n"
           "                      1 to 3 for \\\\.\\halvornquidor1 to 3 (the probe's USB address)\n"
           "  --version           the library's version and the date it was compiled\n"
           "  --help              this text\n"
           "\n"
           "Clients are told in the greeting when no probe is attached. A probe that is\n"
           "unplugged ends the connection of its client; the server goes on. SIGINT and\n"
           "SIGTERM end it.\n";
}

bool isLoopback(const std::string &host) {
    return host.rfind("127.", 0) == 0;
}

} // namespace quidord
