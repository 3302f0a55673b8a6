// What both systems' socket code shares: name lookup for IPv4.
#pragma once

#include <string>

#include "SysSockets.h"

namespace sim {
// host:port as an IPv4 address ("" or "*": any); error text on failure.
bool resolve_ipv4(const std::string& host, int port, sockaddr_in& addr, std::string& error);
} // namespace sim
