// The BSD socket calls as this system spells them (Sockets.cpp serves both systems through them).
#pragma once

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "SysHandle.h"

namespace sim {
using SockLen = socklen_t;
inline int native_socket(Handle h) { return h; }
inline void start_sockets() {}
} // namespace sim
