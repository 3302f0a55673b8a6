// What differs between the systems the tools run on, apart from sockets and serial lines (Io.h):
// the local clock, files, the program's own path, the console and requests from outside.
// One implementation per system: SystemPosix.cpp, SystemWindows.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "SysHandle.h"

namespace sys {

// Local broken-down time of `t`; false when the system cannot tell it.
bool local_time(std::time_t t, std::tm& out);
// The same in UTC.
bool utc_time(std::time_t t, std::tm& out);

// Microseconds since 1970 (UTC).
int64_t wall_us();

// The running program's own file, empty when unknown.
std::string program_path();
// Where the folder part of `path` ends: its last separator ('/', and on Windows '\\' too), or npos.
size_t last_separator(const std::string& path);

// Replaces `path` with the n bytes at `data` as a whole: written beside it, flushed to the disk, then put in its
// place, so a crash leaves the old file or the new one, never half of one. Error text on failure.
bool replace_file(const std::string& path, const void* data, size_t n, std::string& error);

// fopen with a UTF-8 path.
std::FILE* open_file(const std::string& path, const char* mode);
// Bytes through a standard stream unchanged (no line-end translation).
void binary_stream(std::FILE* stream);

// Creates (or truncates) a file for writing; `owner_only` keeps others from reading it.
// kNoHandle on failure, with errno set.
sim::Handle create_file(const std::string& path, bool owner_only);
void close_file(sim::Handle h);

// A file read by offset, from any thread.
class FileReader {
public:
  FileReader() = default;
  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;
  ~FileReader();
  // Opens `path` and takes its size; false when it cannot.
  bool open(const std::string& path);
  int64_t size() const { return m_size; }
  // Up to n bytes from `offset`: the count, 0 at the end, -1 on error.
  long read_at(int64_t offset, void* buf, size_t n) const;

private:
  sim::Handle m_h = sim::kNoHandle;
  int64_t m_size = -1;
};

// Makes the console show UTF-8 and gives the program's arguments in UTF-8 (argv keeps its storage
// valid until the object goes).
class Arguments {
public:
  Arguments(int argc, char** argv);
  int argc() const { return static_cast<int>(m_ptrs.size()) - 1; }
  char** argv() { return m_ptrs.data(); }

private:
  std::vector<std::string> m_args;
  std::vector<char*> m_ptrs;
};

// Requests from outside the program: stop (Ctrl-C, a termination request) and, where the system has
// a way to send it, a toggle of the frame trace. A write to a closed connection is an error return,
// never the end of the program.
// `trace_toggle`: whether the program takes that request (SIGUSR1 on Linux) at all.
enum class Stop { None, Interrupt, Terminate };
bool catch_requests(bool trace_toggle);
Stop stop_requested();

// Only the part about closed connections (programs that take no requests otherwise).
void ignore_broken_pipe();

// What woke wait_requests.
struct Wakeup {
  bool stop = false;
  int trace_toggles = 0;
  std::string input;        // bytes read from standard input
  bool input_ended = false; // standard input is closed
};
// Waits up to timeout_ms for a request (after catch_requests) or, with `with_input`, bytes on
// standard input; true when something came.
bool wait_requests(int timeout_ms, bool with_input, Wakeup& out);

} // namespace sys
