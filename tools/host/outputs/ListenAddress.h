// ListenAddress: the [ADDR:]PORT address that a server of fastrak-host listens on.
#pragma once

#include <string>

namespace fastrakhost {

// For a server whose address always names its port: a word without a colon is the port.
constexpr int kNoDefaultPort = -1;

// Splits `where` into host and port. ADDR defaults to 127.0.0.1 and an IPv6 address is written
// [ADDR]; with a defaultPort, ADDR alone (a name or [an IPv6 address]) takes that port. The port is
// a number up to 65535 (0: a free one). On a mistake false, with message "WHERE: what is wrong".
bool splitListenAddress(const std::string& where, int defaultPort, std::string& host, std::string& port,
                        std::string& message);

}  // namespace fastrakhost
