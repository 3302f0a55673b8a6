// InitDevice, CleanupDevice, the collection cycle and channel references on the device object.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <dirent.h>
#include <mutex>
#include <random>
#include <system_error>
#include <thread>

#include "config/DevTable.h"
#include "driver/DevCtrl.h"
#include "hj212/CommandResults.h"
#include "hj212/HJ212System.h"
#include "panel/DeviceExports.h"
#include "panel/ResultCodes.h"
#include "tests/support/ConfigBytes.h"
#include "tests/support/FakePanel.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string kConfig = fake::ConfigBytes({3, 11, 12}, {fake::Row(), fake::Row()});
const std::string kFrame = "##0005ST=3260C0\r\n";

struct Device {
  fake::Rtdb rtdb;
  fake::Port port;
  CDevCtrl* ctrl;
  Device() : ctrl(static_cast<CDevCtrl*>(CreateDeviceCtrl("dev", &rtdb))) { ctrl->UpdataCommunication(&port); }
  ~Device() { DestroyDeviceCtrl(ctrl); }
  int Init(const std::string& bytes) { return ctrl->InitDevice(fake::Bytes(bytes), static_cast<int>(bytes.size())); }
  // One lifecycle call by name, as a panel callback makes it.
  int Lifecycle(const std::string& call, ICommunication* other) {
    if (call == "CleanupDevice") return ctrl->CleanupDevice();
    if (call == "InitDevice") return Init(kConfig);
    if (call == "UpdataCommunication") return ctrl->UpdataCommunication(other);
    return DestroyDeviceCtrl(ctrl);
  }
  DEVBAS_DATA* context() { return ctrl->m_devData.pDevice; }
  HJ::HJ212_system* engine() { return context() ? context()->pSystem : nullptr; }
  int Collect(int count = 1) {
    std::vector<int> codes(static_cast<size_t>(count > 0 ? count : 1), 0);
    return ctrl->CollectDevData(codes.data(), count);
  }
};

// Polls `done` for up to ten seconds: a loaded machine under qemu can hold a thread that long.
template <class F>
bool WaitFor(F done) {
  for (int i = 0; i < 2000 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return done();
}

TEST(Lifecycle, BadArgumentsBuildNothing) {
  Device d;
  EXPECT_EQ(d.ctrl->InitDevice(nullptr, 10), kErrBadArgument);
  EXPECT_EQ(d.ctrl->InitDevice(fake::Bytes(kConfig), 0), kErrBadArgument);
  EXPECT_EQ(d.context(), nullptr);
  EXPECT_EQ(d.ctrl->CleanupDevice(), 0); // never initialised: nothing to do
}

TEST(Lifecycle, ConfigurationVersionDecidesWhatIsRead) {
  struct Case {
    unsigned version;
    int param0;
    int rows;
  } cases[] = {{20000, 3, 2}, {0, 3, 2}, {20001, 0, 0}};
  for (const Case& c : cases) {
    Device d;
    EXPECT_EQ(d.Init(fake::ConfigBytes({3, 11, 12}, {fake::Row(), fake::Row()}, c.version)), 0);
    ASSERT_NE(d.context(), nullptr);
    ASSERT_EQ(d.context()->arDevParam.GetSize(), 7);
    EXPECT_EQ(d.context()->arDevParam[0], c.param0) << "version " << c.version;
    EXPECT_EQ(d.context()->pDevTable->m_arRows.GetSize(), c.rows) << "version " << c.version;
    EXPECT_NE(d.engine()->device(), nullptr) << "the receive thread starts whatever the version";
    EXPECT_EQ(d.ctrl->m_devData.pArchive, nullptr) << "the archive never outlives InitDevice";
  }
}

TEST(Lifecycle, SecondInitKeepsTheFirstContext) {
  Device d;
  d.Init(kConfig);
  DEVBAS_DATA* first = d.context();
  HJ::HJ212_system* engine = d.engine();
  EXPECT_EQ(d.Init(fake::ConfigBytes({9}, {})), 0);
  EXPECT_EQ(d.context(), first);
  EXPECT_EQ(d.engine(), engine);
  EXPECT_EQ(d.context()->arDevParam[0], 3);
}

TEST(Lifecycle, CleanupRightAfterInitReturnsPromptly) {
  Device d;
  d.Init(kConfig);
  auto before = Clock::now();
  EXPECT_EQ(d.ctrl->CleanupDevice(), 0);
  EXPECT_LT(Clock::now() - before, std::chrono::seconds(1));
  EXPECT_EQ(d.context(), nullptr);
  EXPECT_EQ(d.port.Reads(), 0) << "a parked thread must not read the port";
}

TEST(Lifecycle, InitAgainAfterCleanupGivesAFreshEngine) {
  Device d;
  d.Init(kConfig);
  d.Collect();
  d.port.Feed("##0005ST=3260C0\r\n");
  for (int i = 0; i < 200 && d.engine()->queue_size() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_EQ(d.engine()->queue_size(), 1u);
  d.ctrl->CleanupDevice();
  d.Init(kConfig);
  EXPECT_EQ(d.engine()->queue_size(), 0u);
  EXPECT_EQ(d.engine()->frames_accepted(), 0);
}

// A panel callback on the receive thread (here the frame count's channel-0 write) that calls back
// into the device's lifecycle is refused and changes nothing: the device keeps receiving.
TEST(Lifecycle, ReentryFromTheReceiveThreadIsRefused) {
  struct Case {
    const char* call;
    int refused;
  } cases[] = {
      {"CleanupDevice", kErrBadArgument}, {"InitDevice", kErrBadArgument}, {"UpdataCommunication", kErrBadArgument}, {"DestroyDeviceCtrl", 1}};
  for (const Case& c : cases) {
    Device d;
    d.rtdb.SetInt("Count", 0);
    d.rtdb.BindChannel(0, "Count");
    d.Init(kConfig);
    DEVBAS_DATA* context = d.context();
    std::atomic<int> result{0}, calls{0};
    const std::string call = c.call;
    fake::Port other;
    d.rtdb.OnChannelSet([&](int channel) {
      if (channel != 0) return;
      result = d.Lifecycle(call, &other);
      ++calls;
    });
    d.Collect();
    d.port.Feed(kFrame);
    ASSERT_TRUE(WaitFor([&] { return calls == 1; })) << call;
    d.port.Feed(kFrame);
    EXPECT_TRUE(WaitFor([&] { return calls == 2; })) << call << ": the device stopped receiving";
    EXPECT_EQ(result, c.refused) << call;
    EXPECT_EQ(d.context(), context) << call;
    EXPECT_EQ(d.engine()->queue_size(), 2u) << call;
    EXPECT_EQ(LoadPort(d.ctrl->m_devData), &d.port) << call;
    d.rtdb.OnChannelSet(nullptr);
  }
}

// The same from a panel callback on the panel's own thread, inside a script command (a database
// store during GetData, Send or MakeProtocol): refused, and the command ends on the engine it
// began with.
TEST(Lifecycle, ReentryFromInsideACommandIsRefused) {
  struct Case {
    const char* call;
    int refused;
  } cases[] = {
      {"CleanupDevice", kErrBadArgument}, {"InitDevice", kErrBadArgument}, {"UpdataCommunication", kErrBadArgument}, {"DestroyDeviceCtrl", 1}};
  for (const Case& c : cases) {
    for (const char* command : {"GetData(F,N)", "Send(D,N,F)", "MakeProtocol(D,F)"}) {
      SCOPED_TRACE(std::string(c.call) + " inside " + command);
      Device d;
      d.rtdb.SetText("F", "");
      d.rtdb.SetText("D", "ST=32");
      d.rtdb.SetInt("N", 99);
      d.Init(kConfig);
      d.engine()->_store_frame(std::string(kFrame)); // the thread is parked: the test may queue
      DEVBAS_DATA* context = d.context();
      fake::Port other;
      std::atomic<int> result{0}, calls{0};
      d.rtdb.OnNameSet([&](const std::string& name) {
        if (name != "F" || calls++ > 0) return;
        result = d.Lifecycle(c.call, &other);
      });
      EXPECT_EQ(d.ctrl->DevIOCtrl(command), 0);
      d.rtdb.OnNameSet(nullptr);
      EXPECT_EQ(calls, 1);
      EXPECT_EQ(result, c.refused);
      EXPECT_EQ(d.context(), context);
      EXPECT_EQ(LoadPort(d.ctrl->m_devData), &d.port);
      bool built = std::string(command).compare(0, 12, "MakeProtocol") == 0;
      EXPECT_EQ(built ? d.rtdb.Get("F").s : std::to_string(d.rtdb.Get("N").i), built ? "ST=32" : "0") << "the command ran to its end";
    }
  }
}

// A one-shot event between threads (std::future needs futex support the armel runtime lacks).
class Signal {
public:
  void notify() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      set_ = true;
    }
    cond_.notify_all();
  }
  bool wait_for(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cond_.wait_for(lock, limit, [this] { return set_; });
  }

private:
  std::mutex mutex_;
  std::condition_variable cond_;
  bool set_ = false;
};

// A receive-thread callback that writes a channel while the panel is stopping the device must not
// wait for the device mutex the stopping thread holds: it is refused and the stop completes.
TEST(Lifecycle, ChannelWriteFromTheReceiveThreadDuringStopIsRefused) {
  Device d;
  d.rtdb.SetInt("Count", 0);
  d.rtdb.BindChannel(0, "Count");
  d.Init(kConfig);
  Signal entered;
  std::atomic<int> result{0};
  std::atomic<bool> first{true};
  d.rtdb.OnChannelSet([&](int channel) {
    if (channel != 0 || !first.exchange(false)) return;
    entered.notify();
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // the panel is in CleanupDevice by now
    int value = 1;
    result = d.ctrl->WriteChannel(0, DT_INTEGER, &value);
  });
  d.Collect();
  d.port.Feed(kFrame);
  ASSERT_TRUE(entered.wait_for(std::chrono::seconds(5))) << "no frame published";
  std::atomic<int> cleanup{-1};
  Signal stopped;
  std::thread panel([&] {
    cleanup = d.ctrl->CleanupDevice();
    stopped.notify();
  });
  if (!stopped.wait_for(std::chrono::seconds(5))) {
    ADD_FAILURE() << "stop deadlocked";
    std::_Exit(1); // the stopping thread still uses the device: no orderly way out
  }
  panel.join();
  EXPECT_EQ(cleanup, 0);
  EXPECT_EQ(result, kErrBusy);
  d.rtdb.OnChannelSet(nullptr);
}

// The same while a panel thread is inside the device: busy (nothing ran), not "no command".
TEST(Lifecycle, CommandFromTheReceiveThreadWhileThePanelIsInsideAnswersBusy) {
  Signal inside, answered; // outlive the device, whose receive thread notifies them
  Device d;
  d.rtdb.SetInt("Count", 0);
  d.rtdb.BindChannel(0, "Count");
  d.rtdb.SetInt("N", 0);
  d.Init(kConfig);
  d.Collect();
  std::atomic<int> result{0};
  d.rtdb.OnChannelSet([&](int channel) {
    if (channel != 0) return;
    result = d.ctrl->DevIOCtrl("GetQueueSize(N)");
    answered.notify();
  });
  d.rtdb.OnNameSet([&](const std::string&) {
    inside.notify();
    answered.wait_for(std::chrono::seconds(5)); // the panel's call stays inside meanwhile
  });
  std::thread panel([&] { d.ctrl->DevIOCtrl("GetQueueSize(N)"); });
  ASSERT_TRUE(inside.wait_for(std::chrono::seconds(5)));
  d.port.Feed(kFrame);
  EXPECT_TRUE(answered.wait_for(std::chrono::seconds(5)));
  panel.join();
  EXPECT_EQ(result, kErrBusy);
  d.rtdb.OnNameSet(nullptr);
  d.rtdb.OnChannelSet(nullptr);
}

// The receive thread waits for the panel's database lock while a panel thread holding that lock
// calls the device (a change handler): stop must not hold the device meanwhile. The call answers
// busy and the stop completes within a pass.
TEST(Lifecycle, StopDoesNotWaitForAPanelThreadThatWaitsForTheDevice) {
  std::mutex panelDatabase; // the panel's own database lock
  Signal locked, published, go;
  Device d;
  d.rtdb.SetInt("Count", 0);
  d.rtdb.BindChannel(0, "Count");
  d.rtdb.SetInt("N", 0);
  d.Init(kConfig);
  d.rtdb.OnChannelSet([&](int channel) {
    if (channel != 0) return;
    published.notify();
    std::lock_guard<std::mutex> wait(panelDatabase);
  });
  std::atomic<int> handled{0};
  std::thread handler([&] {
    std::lock_guard<std::mutex> hold(panelDatabase);
    locked.notify();
    go.wait_for(std::chrono::seconds(5));
    handled = d.ctrl->DevIOCtrl("GetQueueSize(N)");
  });
  ASSERT_TRUE(locked.wait_for(std::chrono::seconds(5)));
  d.Collect();
  d.port.Feed(kFrame);
  ASSERT_TRUE(published.wait_for(std::chrono::seconds(5))) << "no frame published";
  HJ::HJ212_system* engine = d.engine(); // freed only once the handler let go of the lock
  std::atomic<int> cleanup{-1};
  Signal stopped;
  std::thread panel([&] {
    cleanup = d.ctrl->CleanupDevice();
    stopped.notify();
  });
  ASSERT_TRUE(WaitFor([&] { return engine->stop_was_requested(); }));
  auto asked = Clock::now();
  go.notify();
  if (!stopped.wait_for(std::chrono::seconds(5))) {
    ADD_FAILURE() << "stop deadlocked";
    std::_Exit(1); // the stopping thread still uses the device: no orderly way out
  }
  EXPECT_LT(Clock::now() - asked, std::chrono::seconds(2));
  panel.join();
  handler.join();
  EXPECT_EQ(cleanup, 0);
  EXPECT_EQ(handled, kErrBusy);
  EXPECT_EQ(d.context(), nullptr);
  d.rtdb.OnChannelSet(nullptr);
}

// A port whose first read blocks, noting while it is inside ReadData.
class SlowPort final : public ICommunication {
public:
  int Open() override { return 1; }
  int Close() override { return 1; }
  int WriteData(const unsigned char*, int*, int) override { return 1; }
  int ClearBuffer() override { return 1; }
  int SetDeviceName(const char*) override { return 1; }
  int GetCommMode() override { return 1; }
  int SetTimeout(int) override { return 1; }
  int GetTimeout() override { return 0; }
  int ReadData(unsigned char* buffer, int* length, int) override {
    if (first_.exchange(false)) {
      reading_ = true;
      entered_.notify();
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      buffer[0] = '#';
      *length = 1; // claims more: a drain without a hold would read this port again
      reading_ = false;
      return 1;
    }
    *length = 0;
    return 0;
  }
  bool Reading() const { return reading_; }
  bool WaitEntered() { return entered_.wait_for(std::chrono::seconds(5)); }

private:
  std::atomic<bool> first_{true}, reading_{false};
  Signal entered_;
};

// The panel may free the old port once UpdataCommunication returns: by then the receive thread has
// let go of it (ASan reports a read of freed memory otherwise).
TEST(Lifecycle, UpdataCommunicationReturnsOnceTheReceiveThreadLetGoOfTheOldPort) {
  Device d;
  auto* old = new SlowPort();
  d.ctrl->UpdataCommunication(old);
  d.Init(kConfig);
  d.Collect();
  ASSERT_TRUE(old->WaitEntered());
  EXPECT_EQ(d.ctrl->UpdataCommunication(&d.port), 0);
  EXPECT_FALSE(old->Reading()) << "returned while the receive thread was inside the old port";
  delete old;
  d.port.Feed(kFrame);
  EXPECT_TRUE(WaitFor([&] { return d.engine()->queue_size() == 1; })) << "the new port is read";
}

// Two panel threads may call one device at once: its entry points take turns on the channel arrays.
TEST(Lifecycle, TwoPanelThreadsTakeTurns) {
  Device d;
  d.Init(kConfig);
  std::thread other([&] {
    for (int i = 0; i < 60; ++i) {
      d.ctrl->WriteChannel(i % 5, DT_INTEGER, &i);
      d.ctrl->DevIOCtrl("GetQueueSize(N)");
    }
  });
  for (int i = 0; i < 600; ++i) d.Collect(1 + i % 7);
  other.join();
  int size = d.ctrl->ChannelNum() + 1;
  EXPECT_EQ(d.ctrl->Values().GetSize(), size);
  EXPECT_EQ(d.ctrl->TextValues().GetSize(), size);
  EXPECT_EQ(d.ctrl->ChannelStates().GetSize(), size);
  EXPECT_EQ(d.ctrl->ChannelRefs().GetSize(), size);
}

// The system will not start the receive thread: InitDevice answers, throws nothing, leaves the
// device stopped, and the next InitDevice starts it normally.
TEST(Lifecycle, ThreadStartFailureLeavesTheDeviceStoppedForTheNextInit) {
  Device d;
  HJ::HJ212_system::s_beforeThreadStart = [] { throw std::system_error(EAGAIN, std::generic_category()); };
  int failed = 0;
  EXPECT_NO_THROW(failed = d.Init(kConfig));
  HJ::HJ212_system::s_beforeThreadStart = nullptr;
  EXPECT_EQ(failed, kErrNoResources);
  EXPECT_EQ(d.context(), nullptr);
  EXPECT_EQ(d.Init(kConfig), 0);
  ASSERT_NE(d.engine(), nullptr);
  d.Collect();
  d.port.Feed(kFrame);
  EXPECT_TRUE(WaitFor([&] { return d.engine()->queue_size() == 1; })) << "the second InitDevice started the thread";
}

// Two devices created and started at once on two panel threads share the channel table's
// class-wide description: neither writes it while the other reads it (ThreadSanitizer's check).
TEST(Lifecycle, TwoDevicesStartOnTwoThreadsAtOnce) {
  auto run = [] {
    for (int i = 0; i < 20; ++i) {
      Device d;
      ASSERT_EQ(d.Init(kConfig), 0);
      EXPECT_EQ(d.context()->pDevTable->m_arRows.GetSize(), 2);
    }
  };
  std::thread other(run);
  run();
  other.join();
}

TEST(Lifecycle, NegativeLengthBuildsAContextWithoutThread) {
  Device d;
  EXPECT_EQ(d.ctrl->InitDevice(fake::Bytes(kConfig), -5), 0);
  ASSERT_NE(d.context(), nullptr);
  EXPECT_EQ(d.engine()->device(), nullptr);
  EXPECT_EQ(d.context()->arDevParam[0], 0);
  EXPECT_EQ(d.Collect(), kStatusNoFailure);
  EXPECT_TRUE(d.port.Timeouts().empty()) << "no engine to release, no timeout to set";
  EXPECT_EQ(d.ctrl->CleanupDevice(), 0);
}

TEST(Collect, FirstCycleSetsTheTimeoutOnceAndReleasesTheThread) {
  struct Case {
    int param0;
    int timeout;
  } cases[] = {{-1, 5000}, {3, 3000}, {0, 0}, {3000000, INT_MAX}};
  for (const Case& c : cases) {
    Device d;
    d.Init(fake::ConfigBytes({c.param0}, {}));
    int codes[4] = {0, 0, 0, 0};
    EXPECT_EQ(d.ctrl->CollectDevData(nullptr, 4), 0);
    EXPECT_FALSE(d.engine()->is_started());
    EXPECT_EQ(d.ctrl->CollectDevData(codes, 4), kStatusNoFailure);
    EXPECT_TRUE(d.engine()->is_started());
    d.ctrl->CollectDevData(codes, 4);
    ASSERT_EQ(d.port.Timeouts().size(), 1u);
    EXPECT_EQ(d.port.Timeouts()[0], c.timeout) << "parameter " << c.param0;
  }
}

TEST(Collect, ReportsTheLastCommandsFailure) {
  Device d;
  d.Init(kConfig);
  EXPECT_EQ(d.Collect(), kStatusNoFailure);
  d.rtdb.SetInt("N", 0);
  d.ctrl->DevIOCtrl("GetQueueSize(NoSuchVariable)");
  EXPECT_EQ(d.Collect(), 4);
  d.ctrl->DevIOCtrl("Foo(X)");
  EXPECT_EQ(d.Collect(), 5);
  d.ctrl->DevIOCtrl("GetStats(N)");
  EXPECT_EQ(d.Collect(), 5) << "a view of the counters changes nothing";
  d.ctrl->DevIOCtrl("GetStats(N,NoSuchCount)");
  EXPECT_EQ(d.Collect(), 4);
  d.ctrl->DevIOCtrl("GetQueueSize(N)");
  EXPECT_EQ(d.Collect(), kStatusNoFailure);
}

TEST(Collect, WithoutEngineItReachesForNone) {
  Device d; // never initialised
  EXPECT_EQ(d.Collect(3), kStatusNoFailure);
  EXPECT_EQ(d.ctrl->ChannelStates()[0], 1);
  EXPECT_TRUE(d.port.Timeouts().empty());
  Device noPort;
  noPort.ctrl->m_devData.pCommunication = nullptr;
  EXPECT_EQ(noPort.Collect(), kErrNoPort);
}

TEST(Collect, ChannelsWithCodeThreeArePublishedByType) {
  Device d;
  d.rtdb.SetInt("I", 77);
  d.rtdb.SetText("T", "old");
  d.rtdb.SetDouble("D", 1.5);
  d.rtdb.BindChannel(0, "I");
  d.rtdb.BindChannel(1, "T");
  d.rtdb.BindChannel(2, "D");
  int codes[4] = {3, 3, 0, 3}; // channel 3 has no variable: its type query fails, nothing happens
  EXPECT_EQ(d.ctrl->CollectDevData(codes, 4), kStatusNoFailure);
  EXPECT_EQ(d.rtdb.Get("I").i, 0);
  EXPECT_EQ(d.rtdb.Get("T").s, "");
  EXPECT_EQ(d.rtdb.Get("D").d, 1.5) << "code 0: not published";
}

TEST(Channels, ReferencesAreNormalised) {
  Device d;
  int refs[3] = {5, 0, -3};
  EXPECT_EQ(d.ctrl->ChannelRefChange(refs, 3), 0);
  ASSERT_EQ(d.ctrl->ChannelRefs().GetSize(), 4);
  int expected[4] = {0, 1, 0, -3};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(d.ctrl->ChannelRefs()[i], expected[i]) << i;
  EXPECT_EQ(d.ctrl->ChannelRefChange(nullptr, 3), kErrBadArgument);
  EXPECT_EQ(d.ctrl->ChannelRefChange(refs, 0), kErrBadArgument);
}

TEST(Channels, NegativeCountsBeforeSizingStayInsideTheArrays) {
  Device d;
  int refs[1] = {1};
  EXPECT_EQ(d.ctrl->ChannelRefChange(refs, -1), 0);
  EXPECT_EQ(d.ctrl->ChannelRefs().GetSize(), 1);
  Device e;
  EXPECT_EQ(e.ctrl->CollectDevData(refs, -1), kStatusNoFailure);
  EXPECT_EQ(e.ctrl->Values().GetSize(), 1);
}

// Threads of this process, as the kernel lists them.
int TaskCount() {
  int count = 0;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (dirent* entry = readdir(dir))
      if (entry->d_name[0] != '.') ++count;
    closedir(dir);
  }
  return count;
}

// Every order of the panel's calls, repeated or left out, is safe: no crash, leak, hang or double
// free, every cleanup ends its thread, and no frame is taken that was not sent or taken twice.
TEST(Lifecycle, RandomCallSequencesAreSafe) {
  std::mt19937 random(20241208);
  const std::string config = fake::ConfigBytes({1}, {fake::Row()});
  // Under qemu a joined thread's task can linger a moment after the join: count once it settles.
  int base = TaskCount();
  for (int i = 0; i < 100; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    int now = TaskCount();
    if (now >= base) break;
    base = now;
  }
  for (int round = 0; round < 40; ++round) {
    fake::Rtdb rtdb;
    rtdb.SetInt("N", 0);
    rtdb.SetText("F", "");
    fake::Port port;
    IDeviceCtrl* device = nullptr;
    int fed = 0, taken = 0;
    auto engine = [&]() -> HJ::HJ212_system* {
      DEVBAS_DATA* context = device ? static_cast<CDevCtrl*>(device)->m_devData.pDevice : nullptr;
      return context ? context->pSystem : nullptr;
    };
    auto threadsEnded = [&] { EXPECT_TRUE(WaitFor([&] { return TaskCount() <= base; })) << "round " << round << ": a thread outlived its cleanup"; };
    for (int step = 0; step < 60; ++step) {
      if (HasFailure()) return; // one report is enough: every later wait would fail the same way
      int codes[2] = {3, 0};
      switch (random() % 10) {
      case 0:
        if (!device) device = CreateDeviceCtrl("dev", &rtdb);
        break;
      case 1: GetInterfaceVersion(static_cast<int>(random() % 4), device); break;
      case 2:
        if (device) device->UpdataCommunication(random() % 4 ? &port : nullptr);
        break;
      case 3:
        if (device) device->InitDevice(fake::Bytes(config), random() % 5 ? static_cast<int>(config.size()) : -1);
        break;
      case 4:
        if (device) device->CollectDevData(codes, static_cast<int>(random() % 4) - 1);
        break;
      case 5:
        if (device) {
          device->CleanupDevice();
          EXPECT_EQ(engine(), nullptr);
          threadsEnded();
        }
        break;
      case 6:
        if (!device) break;
        rtdb.SetText("F", "");
        rtdb.SetInt("N", 1000); // untouched when no engine runs or the version gate is shut
        if (random() % 2) {
          device->DevIOCtrl("GetData(F,N)");
          std::string frame = rtdb.Get("F").s;
          int left = rtdb.Get("N").i;
          if (!frame.empty()) ++taken;
          EXPECT_TRUE(frame.empty() || frame == kFrame) << "taken but never sent: " << frame;
          EXPECT_TRUE(frame.empty() ? left == -1 || left == 1000 : left >= 0 && left < 64) << "frames left: " << left;
        } else if (HJ::HJ212_system* e = engine()) {
          device->DevIOCtrl("GetQueueSize(N)");
          int waiting = rtdb.Get("N").i;
          EXPECT_TRUE(waiting == 1000 || static_cast<size_t>(waiting) <= e->queue_size()) << "the queue only grows between the two";
        }
        break;
      case 7: {
        HJ::HJ212_system* e = engine();
        size_t before = e ? e->queue_size() : 0;
        port.Feed("noise" + kFrame);
        ++fed;
        // A running thread takes it in: later steps then meet a frame in the queue.
        if (e && e->device() && e->is_started()) {
          EXPECT_TRUE(WaitFor([&] { return e->queue_size() > before; }));
        }
        break;
      }
      case 8:
        if (device) device->ChannelRefChange(codes, static_cast<int>(random() % 4) - 1);
        break;
      default:
        if (device && random() % 4 == 0) { // rarer, so that devices live long enough to take frames
          DestroyDeviceCtrl(device);       // also without CleanupDevice first
          device = nullptr;
          threadsEnded();
        }
      }
      HJ::HJ212_system* e = engine();
      EXPECT_LE(taken + static_cast<int>(e ? e->queue_size() : 0), fed) << "round " << round << " step " << step;
    }
    DestroyDeviceCtrl(device);
    threadsEnded();
  }
}

} // namespace
