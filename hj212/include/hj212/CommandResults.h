// Results of one script command line (HJ212_system::execute_device_cmd). The device object's
// I/O-control path and collection cycle report their magnitude (CmdFailure) to the panel.
#pragma once

// The command ran (its own outcome, if any, went to its status variable).
constexpr int kCmdRan = 0;
// A queue or counter command could not store its result in the named variable, or GetData's frame
// variable is no text variable; also any command during which the panel's database or port threw.
constexpr int kCmdStoreFailed = -4;
// Malformed: unknown name, wrong argument count, or no "(" and ")" in that order.
constexpr int kCmdMalformed = -5;
// The failure magnitude DevIOCtrl and the collection cycle report for a command's result: 0 only
// for kCmdRan; any other result is a failure, a positive one too.
constexpr unsigned CmdFailure(int result) { return result < 0 ? 0u - static_cast<unsigned>(result) : static_cast<unsigned>(result); }
