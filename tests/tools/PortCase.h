// The simulator's ports under test: a fixture with a quiet frame trace, opening a port from its
// text, and reading what a port has as the plug-in's receive thread would.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tools/common/sys/Io.h"
#include "tools/host/Ports.h"
#include "tools/host/Trace.h"

struct PortCase : ::testing::Test {
  sim::Console console{stdout};
  sim::FrameTrace trace{console, "t"};
  void SetUp() override { console.set_tracing(false); }
};

inline std::unique_ptr<sim::SimPort> open_port(const std::string& spec_text, sim::FrameTrace* trace) {
  sim::PortSpec setup;
  std::string error;
  EXPECT_TRUE(sim::parse_port_spec(spec_text, setup, error)) << error;
  auto port = sim::SimPort::create(setup, trace);
  EXPECT_TRUE(port->Open()) << port->error();
  return port;
}

// Reads what the port has within `ms`, as the plug-in's receive thread would.
inline std::string read_for(sim::SimPort& port, int ms) {
  std::string got;
  int64_t end = sim::now_ms() + ms;
  unsigned char buf[512];
  while (sim::now_ms() < end) {
    int len = sizeof buf;
    int n = port.ReadData(buf, &len, 40);
    if (n > 0) got.append(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
  }
  return got;
}
