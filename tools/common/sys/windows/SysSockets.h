// The BSD socket calls as Winsock spells them (Sockets.cpp serves both systems through them).
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>

#include "SysHandle.h"

namespace sim {
using SockLen = int;
inline SOCKET native_socket(Handle h) { return static_cast<SOCKET>(h); }
// Winsock once per process, before the first socket.
void start_sockets();
} // namespace sim
