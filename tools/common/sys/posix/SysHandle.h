// What the tools hold an open socket, serial line or file by: a descriptor.
#pragma once

namespace sim {
using Handle = int;
constexpr Handle kNoHandle = -1;
} // namespace sim
