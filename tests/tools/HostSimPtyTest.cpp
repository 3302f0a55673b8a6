// The simulator's pseudo-terminal and a serial line opened on its peer, through termios: Linux's
// alone (Windows has no pseudo-terminals; a COM port there needs a device).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>

#include "PortCase.h"
#include "hj212/Envelope.h"

namespace {

TEST_F(PortCase, PtyPeerAndSerialLineThroughTermios) {
  auto pty = open_port("pty:19200:7E2", &trace);
  ASSERT_FALSE(pty->peer_path().empty());
  // the station's other end opens the peer path as a serial line, as a platform or modem would
  auto line = open_port("serial:" + pty->peer_path() + ":9600:8N1", &trace);
  sim::Fd probe(::open(pty->peer_path().c_str(), O_RDWR | O_NOCTTY));
  termios t{};
  ASSERT_EQ(tcgetattr(probe.get(), &t), 0);
  EXPECT_EQ(cfgetospeed(&t), B9600);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & PARENB, 0u);
  EXPECT_EQ(t.c_lflag & ICANON, 0u); // raw: CR LF passes unchanged

  std::string frame = HJ::wrap_frame("ST=32;CN=1011");
  int n = static_cast<int>(frame.size());
  ASSERT_NE(line->WriteData(reinterpret_cast<const unsigned char*>(frame.data()), &n, 0), 0);
  EXPECT_EQ(read_for(*pty, 200), frame);
  n = static_cast<int>(frame.size());
  ASSERT_NE(pty->WriteData(reinterpret_cast<const unsigned char*>(frame.data()), &n, 0), 0);
  EXPECT_EQ(read_for(*line, 200), frame);
  EXPECT_EQ(trace.frames_received(), 2u);
  EXPECT_EQ(trace.frames_sent(), 2u);

  sim::PortSpec missing;
  std::string err;
  ASSERT_TRUE(sim::parse_port_spec("serial:/nonexistent/tty", missing, err));
  auto none = sim::SimPort::create(missing, nullptr);
  EXPECT_EQ(none->Open(), 0);
  EXPECT_NE(none->error().find("/nonexistent/tty"), std::string::npos);
}

} // namespace
