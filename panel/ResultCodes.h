// Result codes of the entry points and device operations, one scheme for the whole boundary.
#pragma once

// 0: success.
constexpr int kOk = 0;
// Bad argument: null pointer, zero count or length, negative channel, or a port whose mode is neither 1 nor 2;
// also a lifecycle call refused on the device's receive thread or from a panel callback inside one of its calls.
constexpr int kErrBadArgument = static_cast<int>(0x80000001u);
// A database call while the panel's declared interface version is below 1.
constexpr int kErrHostVersion = static_cast<int>(0x80000002u);
// Busy: the device is being stopped, or (on its receive thread) another call is inside it. Nothing
// ran and the status value is unchanged; the call may be made again in the next cycle.
constexpr int kErrBusy = static_cast<int>(0x80000003u);
// The system refused what a lifecycle call needed (memory, the receive thread, a lock): InitDevice
// leaves the device stopped, as before the call, and may be called again.
constexpr int kErrNoResources = static_cast<int>(0x80000004u);
// A typed-access callback without a database interface.
constexpr int kErrNoDatabase = static_cast<int>(0x80000000u);
// No port object attached.
constexpr int kErrNoPort = -2;
// No database adapter.
constexpr int kErrNoAdapter = -3;
// Status value reported by the collection cycle when the last script command succeeded or none ran.
constexpr int kStatusNoFailure = 2147483647;
