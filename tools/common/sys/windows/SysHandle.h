// What the tools hold an open socket, serial line or file by: a SOCKET or a HANDLE, both pointer-wide;
// INVALID_SOCKET and INVALID_HANDLE_VALUE are both all ones.
#pragma once

#include <cstdint>

namespace sim {
using Handle = std::intptr_t;
constexpr Handle kNoHandle = -1;
} // namespace sim
