// CreateDeviceCtrl under memory exhaustion: whichever allocation fails, the exception reaches the
// caller and everything built before it is released. The panel's strings allocate with malloc, so
// this program replaces glibc's malloc family (not under a sanitizer, which owns those).
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "DeviceExports.h"
#include "FakePanel.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || !defined(__GLIBC__)
#define POLMON_INJECT_MALLOC 0
#else
#define POLMON_INJECT_MALLOC 1
#endif

namespace {
// Armed: the allocation that brings g_failIn to 0 fails. g_live counts allocations made while
// armed and not yet freed (the test is single-threaded while armed).
long g_failIn = 0;
long g_live = 0;
bool g_armed = false;
} // namespace

#if POLMON_INJECT_MALLOC
extern "C" {
void* __libc_malloc(std::size_t size);
void __libc_free(void* p);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* p, std::size_t size);

void* malloc(std::size_t size) {
  if (g_armed && --g_failIn == 0) return nullptr;
  void* p = __libc_malloc(size);
  if (p && g_armed) ++g_live;
  return p;
}
void free(void* p) {
  if (p && g_armed) --g_live;
  __libc_free(p);
}
void* calloc(std::size_t count, std::size_t size) { return __libc_calloc(count, size); }
void* realloc(void* p, std::size_t size) { return __libc_realloc(p, size); }
}
#endif

namespace {

TEST(CreateDeviceCtrl, AFailedAllocationReleasesEverythingBuiltSoFar) {
  if (!POLMON_INJECT_MALLOC) GTEST_SKIP() << "allocation failures are injected only without a sanitizer";
  fake::Rtdb rtdb;
  const char* name = "a device name";
  DestroyDeviceCtrl(CreateDeviceCtrl(name, &rtdb)); // the class-wide property tables exist from here on
  bool created = false;
  for (long failAt = 1; !created && failAt < 100; ++failAt) {
    g_live = 0;
    g_failIn = failAt;
    g_armed = true;
    IDeviceCtrl* device = nullptr;
    try {
      device = CreateDeviceCtrl(name, &rtdb);
      created = true;
    } catch (const std::bad_alloc&) {
    }
    long live = g_live;
    g_armed = false;
    if (created) {
      EXPECT_GT(live, 2) << "the device, its adapter and its name were allocated";
      DestroyDeviceCtrl(device);
    } else {
      EXPECT_EQ(live, 0) << "allocation " << failAt << " failed and left memory behind";
    }
  }
  EXPECT_TRUE(created);
}

} // namespace
