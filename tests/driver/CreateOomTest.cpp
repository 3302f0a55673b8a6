// CreateDeviceCtrl, InitDevice and CollectDevData under memory exhaustion: whichever allocation
// fails, nothing is thrown, the call answers its failure (null, kErrNoResources, 4), InitDevice
// releases everything built before it, and the same call with memory to spare works. The panel's strings
// allocate with malloc, so this program replaces glibc's malloc family (not under a sanitizer,
// which owns those).
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <new>
#include <string>

#include "driver/DevCtrl.h"
#include "hj212/CommandResults.h"
#include "hj212/HJ212System.h"
#include "panel/DeviceExports.h"
#include "panel/ResultCodes.h"
#include "tests/support/ConfigBytes.h"
#include "tests/support/FakePanel.h"

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
// while the test is armed. The collecting device runs its receive passes on the test's thread, so
// its first cycle starts no reading either.
TEST(OutOfMemory, AFailedAllocationAnswersAndTheNextCallWorks) {
  if (!POLMON_INJECT_MALLOC) GTEST_SKIP() << "allocation failures are injected only without a sanitizer";
  fake::Rtdb rtdb;
  fake::Port port;
  rtdb.SetInt("Q", 99);
  rtdb.BindChannel(1, "Q");
  const char* name = "a device name";
  const std::string config = fake::ConfigBytes({3}, {fake::Row(), fake::Row()});
  DestroyDeviceCtrl(CreateDeviceCtrl(name, &rtdb)); // the class-wide property tables exist from here on
  auto init = [&](IDeviceCtrl* device) { return device->InitDevice(fake::Bytes(config), static_cast<int>(config.size())); };
  auto started = [&](IDeviceCtrl* device) {
    EXPECT_EQ(init(device), kOk);
    DEVBAS_DATA* context = static_cast<CDevCtrl*>(device)->m_devData.pDevice;
    EXPECT_TRUE(context && context->pSystem->device()) << "no receive thread";
  };
  const int codes[2] = {0, 3};
  struct Case {
    const char* call;
    std::function<IDeviceCtrl*()> before; // made unarmed
    // The armed call: true when it did its work, false when it answered its failure.
    std::function<bool(IDeviceCtrl*& device)> armed;
    bool releases;                                  // a failed call leaves nothing allocated
    std::function<void(IDeviceCtrl* device)> after; // memory back: the device works as if nothing had happened
  } cases[] = {
      {"CreateDeviceCtrl", [] { return nullptr; },
       [&](IDeviceCtrl*& device) {
         device = CreateDeviceCtrl(name, &rtdb);
         return device != nullptr;
       },
       true, started},
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
       },
       true, started},
      {"CollectDevData",
       [&] {
         auto* device = static_cast<CDevCtrl*>(CreateDeviceCtrl(name, &rtdb));
         device->UpdataCommunication(&port);
         device->m_receiveByCaller = true;
         EXPECT_EQ(init(device), kOk);
         return device;
       },
       [&](IDeviceCtrl*& device) {
         int result = device->CollectDevData(codes, 2);
         EXPECT_TRUE(result == kStatusNoFailure || result == -kCmdStoreFailed) << result;
         return result == kStatusNoFailure;
       },
       false,
       [&](IDeviceCtrl* device) {
         rtdb.SetInt("Q", 99);
         EXPECT_EQ(device->CollectDevData(codes, 2), kStatusNoFailure);
         auto* ctrl = static_cast<CDevCtrl*>(device);
         EXPECT_EQ(ctrl->ChannelNum(), 2);
         EXPECT_EQ(ctrl->ChannelStates().GetSize(), 3);
         EXPECT_EQ(ctrl->TextValues().GetSize(), 3);
         EXPECT_NE(rtdb.Get("Q").i, 99) << "the channel is published";
       }},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.call);
    bool done = false;
    for (long failAt = 1; !done && failAt < 200; ++failAt) {
      SCOPED_TRACE(failAt);
      IDeviceCtrl* device = c.before();
      g_live = 0;
      g_failIn = failAt;
      g_armed = true;
      bool worked = false;
      try {
        worked = c.armed(device);
      } catch (...) {
        g_armed = false;
        ADD_FAILURE() << "an exception left the plug-in";
      }
      g_armed = false;
      done = g_failIn > 0; // every allocation of the call succeeded
      if (done) {
        EXPECT_TRUE(worked);
        EXPECT_GT(g_live, 2) << "what the call built is allocated";
      } else {
        if (!worked && c.releases) {
          EXPECT_EQ(g_live, 0) << "the failed call left memory behind";
        }
        if (device) c.after(device);
      }
      DestroyDeviceCtrl(device);
    }
    EXPECT_TRUE(done);
  }
}

} // namespace
