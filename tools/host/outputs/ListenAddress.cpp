// ListenAddress: reading the [ADDR:]PORT of the OpenIGTLink server and the web view.
#include "outputs/ListenAddress.h"

namespace fastrakhost {

namespace {

bool split(const std::string& where, int defaultPort, std::string& host, std::string& port, std::string& problem) {
    host = "127.0.0.1";
    port = where;
    const bool hasDefault = defaultPort >= 0;
    if (!where.empty() && where[0] == '[') {
        const size_t close = where.find(']');
        const bool alone = close + 1 == where.size();
        if (close == std::string::npos || close == 1 || (alone ? !hasDefault : where[close + 1] != ':')) {
            problem = "an IPv6 address is written [ADDR]:PORT";
            return false;
        }
        host = where.substr(1, close - 1);
        port = alone ? std::to_string(defaultPort) : where.substr(close + 2);
    } else if (where.find(':') == std::string::npos) {
        // A name or an IPv4 address alone; without a default port the word is the port.
        if (hasDefault && where.find_first_not_of("0123456789") != std::string::npos) {
            host = where;
            port = std::to_string(defaultPort);
        }
    } else {
        const size_t colon = where.rfind(':');
        host = where.substr(0, colon);
        port = where.substr(colon + 1);
        if (host.empty() || host.find(':') != std::string::npos) {
            problem =
                host.empty() ? "an address before the colon, or only a port" : "an IPv6 address is written [ADDR]:PORT";
            return false;
        }
    }
    const bool digits = !port.empty() && port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos;
    if (!digits || std::stol(port) > 65535) {
        problem = "the port is a number from 0 to 65535 (0: a free one)";
        return false;
    }
    return true;
}

}  // namespace

bool splitListenAddress(const std::string& where, int defaultPort, std::string& host, std::string& port,
                        std::string& message) {
    std::string problem;
    if (split(where, defaultPort, host, port, problem)) return true;
    message = where + ": " + problem;
    return false;
}

}  // namespace fastrakhost
