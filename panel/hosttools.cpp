#include "hosttools.h"

#include <errno.h>
#include <time.h>

extern "C" unsigned int Orva_GetTickCount() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<unsigned int>(static_cast<unsigned long long>(now.tv_sec) * 1000u + static_cast<unsigned long long>(now.tv_nsec) / 1000000u);
}

extern "C" void Orva_Sleep(unsigned int milliseconds, int /*reserved*/) {
  struct timespec wait;
  wait.tv_sec = static_cast<time_t>(milliseconds / 1000u);
  wait.tv_nsec = static_cast<long>(milliseconds % 1000u) * 1000000L;
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}
