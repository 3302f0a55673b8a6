// The panel simulator's parts: variable database, configuration bytes, ports, Lua binding.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <thread>

#include "PortCase.h"
#include "hj212/Envelope.h"
#include "tools/common/ConfigWriter.h"
#include "tools/common/sys/Io.h"
#include "tools/host/Ports.h"
#include "tools/host/Station.h"
#include "tools/host/Variables.h"

namespace {

using sim::Value;
using sim::VariableStore;

// ---- variables ----

TEST(SimVariables, TypedReadsAndWritesConvert) {
  VariableStore db;
  ASSERT_TRUE(db.declare("I", 5));
  ASSERT_TRUE(db.declare("D", 2.5));
  ASSERT_TRUE(db.declare("T", std::string("12abc")));
  EXPECT_FALSE(db.declare("I", 1));
  EXPECT_FALSE(db.declare("", 1));

  DATATYPE t = DT_UNSET;
  EXPECT_EQ(db.type("D", t), 0);
  EXPECT_EQ(t, DT_DOUBLE);
  t = DT_UNSET;
  EXPECT_EQ(db.type("nope", t), VariableStore::kUnknown);
  EXPECT_EQ(t, DT_UNSET);

  struct {
    const char* name;
    Value in;
    int rc;
    std::string after;
  } writes[] = {
      {"I", Value(7.9), 0, "7"},                    // double into int: truncated
      {"I", Value(std::string(" -12 ")), 0, "-12"}, // text that is a number
      {"I", Value(std::string("12abc")), VariableStore::kRefused, "-12"},
      {"I", Value(1e12), VariableStore::kRefused, "-12"}, // out of the int range
      {"D", Value(3), 0, "3"},
      {"D", Value(std::string("x")), VariableStore::kRefused, "3"},
      {"T", Value(5), 0, "5"},
      {"T", Value(0.25), 0, "0.25"},
      {"nope", Value(1), VariableStore::kUnknown, ""},
  };
  for (const auto& w : writes) {
    int rc = std::visit([&](auto&& x) { return db.set(w.name, x); }, w.in);
    EXPECT_EQ(rc, w.rc) << w.name << " <- " << sim::value_text(w.in);
    std::string now;
    db.get(w.name, now);
    EXPECT_EQ(now, w.after) << w.name;
  }
  int i = 0;
  EXPECT_EQ(db.get("D", i), 0);
  EXPECT_EQ(i, 3);
  double d = 0;
  EXPECT_EQ(db.get("T", d), 0);
  EXPECT_DOUBLE_EQ(d, 0.25);
}

TEST(SimVariables, ChannelsOfOneDeviceMapToSharedVariables) {
  VariableStore db;
  db.declare("CityFrames", 0);
  db.declare("ProvinceFrames", std::string());
  sim::DeviceRtdb city(db, {{0, "CityFrames"}});
  sim::DeviceRtdb province(db, {{0, "ProvinceFrames"}});
  DATATYPE t = DT_UNSET;
  ASSERT_EQ(city.GetValueTypeByChannel(0, t), 0);
  EXPECT_EQ(t, DT_INTEGER);
  EXPECT_EQ(city.SetValueByChannel(0, 7), 0);
  std::string seven = "7";
  EXPECT_EQ(province.SetValueByChannel(0, seven), 0);
  EXPECT_EQ(city.SetValueByChannel(1, 1), VariableStore::kUnknown); // unbound channel
  int id = -1;
  EXPECT_EQ(province.GetValueIDByChannel(0, id), 0);
  EXPECT_EQ(id, 1);
  int frames = 0;
  std::string text;
  EXPECT_EQ(city.GetValueByName("CityFrames", frames), 0);
  EXPECT_EQ(frames, 7);
  EXPECT_EQ(city.GetValueByChannel(0, text), 0);
  EXPECT_EQ(text, "7");
  EXPECT_EQ(city.GetValueByName(nullptr, frames), VariableStore::kUnknown);
}

TEST(SimVariables, ConcurrentWritersAndReaders) {
  VariableStore db;
  db.declare("N", 0);
  db.declare("T", std::string());
  std::thread writer([&] {
    for (int k = 1; k <= 2000; ++k) db.set("N", k);
  });
  std::thread texter([&] {
    for (int k = 0; k < 2000; ++k) db.set("T", std::string(static_cast<size_t>(k % 50), 'x'));
  });
  int last = 0;
  for (int k = 0; k < 2000; ++k) {
    int v = 0;
    db.get("N", v);
    EXPECT_GE(v, last); // never a torn or older value
    last = v;
  }
  writer.join();
  texter.join();
  int v = 0;
  db.get("N", v);
  EXPECT_EQ(v, 2000);
}

// ---- configuration bytes ----

TEST(SimConfig, LayoutOfParametersAndRows) {
  sim::ChannelRow row;
  row.group = 2;
  row.st = 32;
  row.factor = "w01018";
  row.name = "";
  row.data_type = 2;
  row.factor_type = 1;
  row.rw = -1;
  std::vector<uint8_t> b = sim::build_config({5, 300}, {row});
  std::vector<uint8_t> want = {0x20, 0x4E, 2, 0, 0,   0,   5,   0,   0,   0,   0x2C, 1, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 32,   0,    0,    0,
                               6,    0,    0, 0, 'w', '0', '1', '0', '1', '8', 0,    0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(b, want);
}

// ---- ports ----

TEST(SimPorts, SpecTexts) {
  struct {
    const char* text;
    bool ok;
    sim::PortSpec::Kind kind;
  } cases[] = {
      {"tcp-client:127.0.0.1:9000", true, sim::PortSpec::TcpClient},
      {"tcp-server:0", true, sim::PortSpec::TcpServer},
      {"tcp-server:127.0.0.1:9100", true, sim::PortSpec::TcpServer},
      {"serial:/dev/ttyS0:9600:7E1", true, sim::PortSpec::Serial},
      {"pty", true, sim::PortSpec::Pty},
      {"tcp-client:9000", false, sim::PortSpec::TcpClient},
      {"tcp-client:h:99999", false, sim::PortSpec::TcpClient},
      {"serial:", false, sim::PortSpec::Serial},
      {"serial:/dev/x:1234", false, sim::PortSpec::Serial},
      {"udp:1", false, sim::PortSpec::Serial},
  };
  for (const auto& c : cases) {
    sim::PortSpec s;
    std::string err;
    EXPECT_EQ(sim::parse_port_spec(c.text, s, err), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(s.kind, c.kind) << c.text;
    } else {
      EXPECT_FALSE(err.empty());
    }
  }
}

TEST_F(PortCase, ServerAndClientOverLoopbackHonourTheWaitAndWriteEverything) {
  auto server = open_port("tcp-server:127.0.0.1:0", &trace);
  ASSERT_GT(server->listen_port(), 0);
  auto client = open_port("tcp-client:127.0.0.1:" + std::to_string(server->listen_port()), nullptr);
  ASSERT_TRUE(client->link_up());

  // the server side accepts within its read, and an idle read waits about the given time
  unsigned char buf[512];
  int len = sizeof buf;
  int64_t t0 = sim::now_ms();
  EXPECT_EQ(server->ReadData(buf, &len, 100), 0);
  len = sizeof buf;
  EXPECT_EQ(server->ReadData(buf, &len, 100), 0);
  int64_t took = sim::now_ms() - t0;
  EXPECT_GE(took, 90);
  EXPECT_LT(took, 1000);
  ASSERT_TRUE(server->link_up());

  std::string big(100000, 'x');
  int n = static_cast<int>(big.size());
  EXPECT_NE(client->WriteData(reinterpret_cast<const unsigned char*>(big.data()), &n, 5), 0);
  std::string got;
  for (int k = 0; k < 400 && got.size() < big.size(); ++k) {
    len = sizeof buf;
    int r = server->ReadData(buf, &len, 40);
    if (r > 0) got.append(reinterpret_cast<char*>(buf), static_cast<size_t>(r));
    EXPECT_LE(r, 512);
  }
  EXPECT_EQ(got, big);
  int zero = 0;
  EXPECT_EQ(client->WriteData(reinterpret_cast<const unsigned char*>("x"), &zero, 0), 0);
}

TEST_F(PortCase, ClientReconnectsAfterThePlatformWentAway) {
  std::string error;
  sim::Fd listener = sim::tcp_listen("127.0.0.1", 0, error);
  ASSERT_TRUE(listener.valid()) << error;
  int port_no = sim::local_port(listener.get());
  auto client = open_port("tcp-client:127.0.0.1:" + std::to_string(port_no), &trace);
  ASSERT_TRUE(sim::wait_readable(listener.get(), 2000));
  sim::Fd first = sim::tcp_accept(listener.get());
  ASSERT_TRUE(first.valid());
  first.reset(); // the platform goes away altogether
  listener.reset();
  std::string ignored = read_for(*client, 150);
  EXPECT_FALSE(client->link_up());
  unsigned char one = 'a';
  int n = 1;
  EXPECT_EQ(client->WriteData(&one, &n, 0), 0); // refused while down, not silently dropped

  listener = sim::tcp_listen("127.0.0.1", port_no, error);
  ASSERT_TRUE(listener.valid()) << error;
  // it comes back: the reading side connects again within the back-off
  sim::Fd second;
  for (int k = 0; k < 100 && !second.valid(); ++k) {
    read_for(*client, 50);
    if (sim::wait_readable(listener.get(), 0)) second = sim::tcp_accept(listener.get());
  }
  ASSERT_TRUE(second.valid());
  read_for(*client, 100);
  ASSERT_TRUE(client->link_up());
  std::string frame = HJ::wrap_frame("ST=32;CN=2011");
  n = static_cast<int>(frame.size());
  EXPECT_NE(client->WriteData(reinterpret_cast<const unsigned char*>(frame.data()), &n, 0), 0);
  char buf[256];
  ASSERT_TRUE(sim::wait_readable(second.get(), 2000));
  EXPECT_EQ(sim::read_some(second.get(), buf, sizeof buf), static_cast<long>(frame.size()));
  EXPECT_EQ(trace.frames_sent(), 1u);
}

// ---- Lua binding ----

struct StationCase : ::testing::Test {
  VariableStore db;
  std::vector<std::string> logged;
  sim::Station station{db, [this](const std::string& s) { logged.push_back(s); }};
  std::string path = ::testing::TempDir() + "station_test.lua";

  bool load(const std::string& script, std::string& error, std::map<std::string, std::string> args = {}) {
    std::ofstream(path) << script;
    return station.load(path, args, error);
  }
};

TEST_F(StationCase, DeclaresTypedVariablesDevicesAndConfiguration) {
  std::string error;
  ASSERT_TRUE(load("var('I', 3) var('D', 1.5) var('T', 'x') var('F', 2, 'double') var('B', true)\n"
                   "device{ name='a', port='tcp-client:127.0.0.1:' .. args.p, channels={[0]='I'},\n"
                   "  config={ params={4, 300}, channels={{group=2, st=32, factor='w01018', name='', type=2, factor_type=1, rw=-1}} } }\n"
                   "device{ name='b', port='pty' }\n",
                   error, {{"p", "9000"}}))
      << error;
  DATATYPE t = DT_UNSET;
  db.type("F", t);
  EXPECT_EQ(t, DT_DOUBLE);
  db.type("B", t);
  EXPECT_EQ(t, DT_INTEGER);
  db.type("T", t);
  EXPECT_EQ(t, DT_STRING);
  auto& devs = station.devices();
  ASSERT_EQ(devs.size(), 2u);
  EXPECT_EQ(devs[0].port, "tcp-client:127.0.0.1:9000");
  EXPECT_EQ(devs[0].channels.at(0), "I");
  sim::ChannelRow row;
  row.group = 2;
  row.factor = "w01018";
  row.factor_type = 1;
  row.rw = -1;
  EXPECT_EQ(devs[0].config, sim::build_config({4, 300}, {row}));
  EXPECT_EQ(devs[0].channel_rows, 1);
  EXPECT_EQ(devs[1].config, sim::build_config({5}, {})); // default: a 5 s timeout, no rows
}

TEST_F(StationCase, ErrorsNameFileAndLine) {
  struct {
    const char* script;
    const char* want;
  } cases[] = {
      {"var('A', 1)\nvar('A', 2)\n", ":2: var A: declared twice"},
      {"var('A', {})\n", ":1: var A: initial value must be"},
      {"var('A', 'x', 'int')\n", ":1: var A: initial value does not fit type int"},
      {"device{ name='d', port='udp:1' }\n", ":1: device d: unknown port"},
      {"device{ name='d', port='pty', channels={[0]='Nope'} }\n", ":1: device d: channel 0 names Nope"},
      // a key in the wrong table, or one no table takes, is named instead of ignored
      {"var('A', 1)\ndevice{ name='d', port='pty',\n  params={5, 2} }\n",
       ":2: device d: \"params\" is no key of device{ ... }; it belongs in config = { ... }"},
      {"device{ name='d', port='pty', config={ timeout=5, prams={5, 2} } }\n", ":1: device d: config: \"prams\" is no key of config = { ... }"},
      {"device{ name='d', port='pty', config={ channels={{ factor='w01018', timeout=3 }} } }\n",
       ":1: device d: config: channels[1]: \"timeout\" is no key of a row"},
      {"device{ name='d', port='pty', config={ channels={[0]='A'} } }\n", ":1: device d: config: channels holds rows"},
      {"device{ name='d', port='pty', config={ params={5, 2}, timeout=3 } }\n", ":1: device d: config: params and timeout: give one of them"},
      {"device{ name='d', port='pty', config={ timeout='5s' } }\n", ":1: device d: config: timeout must be an integer"},
      {"device{ name='d', port='pty', config={}, config_file='d.cfg' }\n", ":1: device d: config and config_file: give one of them"},
      {"var('A', 1)\n\n", "declares no device"},
      {"this is not lua\n", ":1:"},
  };
  for (const auto& c : cases) {
    VariableStore fresh;
    sim::Station s(fresh, nullptr);
    std::ofstream(path) << c.script;
    std::string error;
    EXPECT_FALSE(s.load(path, {}, error)) << c.script;
    EXPECT_NE(error.find(c.want), std::string::npos) << error;
    if (std::string(c.want).rfind(":", 0) == 0) {
      EXPECT_NE(error.find(path + c.want), std::string::npos) << error;
    }
  }
}

TEST_F(StationCase, CyclesRouteCommandsToTheirDeviceAndReadWriteVariables) {
  std::string error;
  ASSERT_TRUE(load("var('N', 0) var('T', '')\n"
                   "local a = device{ name='a', port='pty', cycle=function(d) V.N = ioctl('A(' .. d.name .. ')') end }\n"
                   "local b = device{ name='b', port='pty' }\n"
                   "cycle(function() set('T', get('T') .. b:ioctl('B(x)') .. ',' .. V.N .. ';') log('st', a:status()) end)\n"
                   "cycle(function() if get('N') == 10 then stop() end end)\n",
                   error))
      << error;
  std::vector<std::pair<size_t, std::string>> calls;
  station.set_ioctl([&](size_t dev, const std::string& cmd) {
    calls.emplace_back(dev, cmd);
    return static_cast<int>(10 * dev + 10);
  });
  station.set_status([](size_t dev) { return static_cast<int>(dev) + 40; });
  ASSERT_TRUE(station.run_cycle(error)) << error;
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0], std::make_pair(size_t(0), std::string("A(a)")));
  EXPECT_EQ(calls[1], std::make_pair(size_t(1), std::string("B(x)")));
  std::string t;
  db.get("T", t);
  EXPECT_EQ(t, "20,10;");
  EXPECT_EQ(logged, std::vector<std::string>{"st 40"});
  EXPECT_TRUE(station.stop_requested());
}

TEST_F(StationCase, RuntimeErrorsAreReportedWithLine) {
  std::string error;
  ASSERT_TRUE(load("var('N', 0)\ndevice{ name='a', port='pty' }\ndevice{ name='b', port='pty' }\n"
                   "cycle(function()\n  ioctl('GetQueueSize(N)')\nend)\n",
                   error))
      << error;
  EXPECT_FALSE(station.run_cycle(error));
  EXPECT_NE(error.find(path + ":5: ioctl: which device?"), std::string::npos) << error;
}

TEST_F(StationCase, SetRefusesWhatDoesNotConvert) {
  std::string error;
  ASSERT_TRUE(load("var('N', 0)\ndevice{ name='a', port='pty' }\ncycle(function() set('N', 'abc') end)\n", error)) << error;
  EXPECT_FALSE(station.run_cycle(error));
  EXPECT_NE(error.find(":3: set N: value does not convert"), std::string::npos) << error;
}

} // namespace
