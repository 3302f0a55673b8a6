// CreateDeviceCtrl and InitDevice under memory exhaustion: whichever allocation fails, nothing is
// thrown, the call answers its failure (null, kErrNoResources), everything built before it is
// released, and an InitDevice with memory to spare starts the device. The panel's strings
// allocate with malloc, so this program replaces glibc's malloc family (not under a sanitizer,
// which owns those).
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <new>
#include <string>

#include "ConfigBytes.h"
#include "DevCtrl.h"
#include "DeviceExports.h"
#include "FakePanel.h"
#include "HJ212System.h"
#include "ResultCodes.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || !defined(__GLIBC__)
#define POLMON_INJECT_MALLOC 0
#else
#define POLMON_INJECT_MALLOC 1
#endif

namespace {
// Armed: the allocation that brings g_failIn to 0 fails. The blocks allocated while armed and not
// yet freed are listed (the test is single-threaded while armed); a block from before may be freed.
long g_failIn = 0;
bool g_armed = false;
long g_live = 0;
} // namespace

#if POLMON_INJECT_MALLOC
namespace {
void* g_blocks[4096];

void Forget(void* p) {
  for (long i = 0; i < g_live; ++i)
    if (g_blocks[i] == p) {
      g_blocks[i] = g_blocks[--g_live];
      return;
    }
}
void Note(void* p) {
  if (p && g_live < 4096) g_blocks[g_live++] = p;
}
} // namespace

extern "C" {
void* __libc_malloc(std::size_t size);
void __libc_free(void* p);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* p, std::size_t size);

void* malloc(std::size_t size) {
  if (!g_armed) return __libc_malloc(size);
  if (--g_failIn == 0) return nullptr;
  void* p = __libc_malloc(size);
  Note(p);
  return p;
}
void free(void* p) {
  if (p && g_armed) Forget(p);
  __libc_free(p);
}
void* calloc(std::size_t count, std::size_t size) {
  if (!g_armed) return __libc_calloc(count, size);
  if (--g_failIn == 0) return nullptr;
  void* p = __libc_calloc(count, size);
  Note(p);
  return p;
}
void* realloc(void* p, std::size_t size) {
  if (!g_armed || size == 0) return __libc_realloc(p, size);
  if (--g_failIn == 0) return nullptr;
  void* moved = __libc_realloc(p, size);
  if (moved) {
    Forget(p);
    Note(moved);
  }
  return moved;
}
}
#endif

namespace {

// The receive thread InitDevice starts waits for the first collection cycle: it allocates nothing
// while the test is armed.
TEST(OutOfMemory, AFailedAllocationAnswersAndReleasesEverythingBuiltSoFar) {
  if (!POLMON_INJECT_MALLOC) GTEST_SKIP() << "allocation failures are injected only without a sanitizer";
  fake::Rtdb rtdb;
  fake::Port port;
  const char* name = "a device name";
  const std::string config = fake::ConfigBytes({3}, {fake::Row(), fake::Row()});
  DestroyDeviceCtrl(CreateDeviceCtrl(name, &rtdb)); // the class-wide property tables exist from here on
  auto init = [&](IDeviceCtrl* device) { return device->InitDevice(fake::Bytes(config), static_cast<int>(config.size())); };
  struct Case {
    const char* call;
    std::function<IDeviceCtrl*()> before; // made unarmed
    // The armed call: true when it did its work, false when it answered its failure.
    std::function<bool(IDeviceCtrl*& device)> armed;
  } cases[] = {
      {"CreateDeviceCtrl", [] { return nullptr; },
       [&](IDeviceCtrl*& device) {
         device = CreateDeviceCtrl(name, &rtdb);
         return device != nullptr;
       }},
      {"InitDevice",
       [&] {
         IDeviceCtrl* device = CreateDeviceCtrl(name, &rtdb);
         device->UpdataCommunication(&port);
         return device;
       },
       [&](IDeviceCtrl*& device) {
         int result = init(device);
         EXPECT_TRUE(result == kOk || result == kErrNoResources) << result;
         return result == kOk;
       }},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.call);
    bool done = false;
    for (long failAt = 1; !done && failAt < 200; ++failAt) {
      IDeviceCtrl* device = c.before();
      g_live = 0;
      g_failIn = failAt;
      g_armed = true;
      try {
        done = c.armed(device);
      } catch (...) {
        g_armed = false;
        ADD_FAILURE() << "allocation " << failAt << ": an exception left the plug-in";
      }
      g_armed = false;
      if (done) {
        EXPECT_GT(g_live, 2) << "what the call built is allocated";
      } else {
        EXPECT_EQ(g_live, 0) << "allocation " << failAt << " failed and left memory behind";
        if (device) { // memory back: the device starts as if nothing had happened
          EXPECT_EQ(init(device), kOk) << "allocation " << failAt;
          DEVBAS_DATA* context = static_cast<CDevCtrl*>(device)->m_devData.pDevice;
          EXPECT_TRUE(context && context->pSystem->device_data()) << "allocation " << failAt << ": no receive thread";
        }
      }
      DestroyDeviceCtrl(device);
    }
    EXPECT_TRUE(done);
  }
}

} // namespace
