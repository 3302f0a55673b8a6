// printf-style formatting of short texts (CRC digits, length fields, counters) into a fixed
// buffer. The plug-in's own helper, kept with the engine, the lowest layer that formats, so that
// every layer above it may use it.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <string>

// Formats into an N-byte buffer; output longer than N-1 characters is cut there, silently.
template <std::size_t N = 128>
__attribute__((format(printf, 1, 2))) std::string stdprintf(const char* format, ...) {
  char buffer[N] = {};
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, N, format, args);
  va_end(args);
  return std::string(buffer);
}
