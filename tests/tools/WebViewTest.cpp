// The web view's server, in-process: its paths and status codes, its bound on connections and
// page streams, a page that stops reading, and hostile frame text on every way out.
#include <gtest/gtest.h>

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "hj212/Envelope.h"
#include "tools/common/Hj212Text.h"
#include "tools/common/sys/Io.h"
#include "tools/platform/WebModel.h"
#include "tools/platform/WebView.h"

namespace {

using namespace std::chrono_literals;

int port_of(const std::string& url) { return std::atoi(url.substr(url.rfind(':') + 1).c_str()); }

// A raw connection that sends one request and reads what comes, as much as it likes.
struct Raw {
  sim::Fd fd;
  explicit Raw(int port, int rcvbuf = 0) {
    bool in_progress = false;
    std::string error;
    fd = sim::tcp_connect_start("127.0.0.1", port, in_progress, error, rcvbuf);
    EXPECT_TRUE(fd.valid()) << error;
    if (in_progress) {
      EXPECT_TRUE(sim::wait_writable(fd.get(), 2000) && sim::tcp_connect_result(fd.get()) == 0);
    }
  }
  void get(const std::string& path) {
    std::string req = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    EXPECT_TRUE(sim::write_all(fd.get(), req.data(), req.size(), 2000));
  }
  // Reads until `want` shows up or the time is over (or the peer closed); all it read.
  std::string read_until(const std::string& want, int timeout_ms) {
    std::string got;
    char buf[4096];
    int64_t end = sim::now_ms() + timeout_ms;
    while (got.find(want) == std::string::npos && sim::now_ms() < end && sim::wait_readable(fd.get(), static_cast<int>(end - sim::now_ms()))) {
      long n = sim::read_some(fd.get(), buf, sizeof buf);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
    return got;
  }
  bool closed_by_peer(int timeout_ms) {
    char buf[65536];
    int64_t end = sim::now_ms() + timeout_ms;
    while (sim::now_ms() < end && sim::wait_readable(fd.get(), static_cast<int>(end - sim::now_ms()))) {
      long n = sim::read_some(fd.get(), buf, sizeof buf);
      if (n == 0 || (n < 0 && errno == ECONNRESET)) return true;
    }
    return false;
  }
};

std::unique_ptr<sim::WebView> start(sim::WebOptions opt, const std::string& csv) {
  opt.csv_path = csv;
  std::string error;
  auto web = sim::WebView::start(opt, error);
  EXPECT_TRUE(web) << error;
  return web;
}

std::string frame_of(const std::string& cp) { return HJ::wrap_frame("QN=20240101120000000;ST=32;CN=2011;PW=123456;MN=M1;Flag=5;CP=&&" + cp + "&&"); }

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class WebViewTest : public ::testing::Test {
protected:
  std::string csv = ::testing::TempDir() + "webview-" + std::to_string(getpid()) + ".csv";
  void TearDown() override { std::remove(csv.c_str()); }
};

TEST_F(WebViewTest, AnswersItsOwnPathsOnly) {
  auto web = start({}, csv);
  ASSERT_TRUE(web);
  std::string good = frame_of("DataTime=20240101120000;w01018-Rtd=25.3,w01018-Flag=N");
  web->frame(true, good, sim::Verdict::Ok);
  httplib::Client c("127.0.0.1", port_of(web->url()));
  std::string big(70 * 1024, 'x');
  struct {
    const char* method;
    std::string path, body;
    int status;
    const char* type; // content type prefix, or a piece of the body
  } cases[] = {
      {"GET", "/", "", 200, "text/html"},
      {"GET", "/app.js", "", 200, "text/javascript"},
      {"GET", "/chart.min.js", "", 200, "text/javascript"},
      {"GET", "/licences.txt", "", 200, "Permission is hereby granted"},
      {"GET", "/api/state", "", 200, "\"unit\":\"mg/L\""},
      {"GET", "/api/frame/1", "", 200, "\"accept\""},
      {"GET", "/api/frame/2", "", 404, "text/plain"},
      {"GET", "/values.csv", "", 200, "w01018,Rtd,25.3,N,mg/L"},
      {"GET", "/nothing", "", 404, "text/plain"},
      {"GET", "/../CMakeLists.txt", "", 404, "text/plain"},
      {"GET", "/app.js/../../etc/passwd", "", 404, "text/plain"},
      {"POST", "/api/inspect", good + "\n##0010junkFFFF", 200, "\"count\":2"},
      {"POST", "/api/inspect", big, 413, ""},
      {"POST", "/", "x", 404, ""},
      {"GET", "/api/state", "Host: attacker.example", 403, "text/plain"},
      {"GET", "/api/state", "Host: 127.0.0.1.evil.example:8080", 403, "text/plain"},
      {"GET", "/api/state", "Host: 127.attacker.example", 403, "text/plain"},
      {"GET", "/values.csv", "Host: 127.0.0.256", 403, "text/plain"},
      {"GET", "/api/state", "Host: localhost.evil.example", 403, "text/plain"},
      {"GET", "/api/state", "Host: [::1].evil.example", 403, "text/plain"},
      {"GET", "/api/state", "Host: 127.0.0.1:", 403, "text/plain"},
      {"GET", "/api/state", "Host: 127.9.8.7:65535", 200, "\"unit\":\"mg/L\""},
      {"GET", "/api/state", "Host: localhost:80", 200, "\"unit\":\"mg/L\""},
      {"GET", "/api/state", "Host: [::1]:8080", 200, "\"unit\":\"mg/L\""},
  };
  for (const auto& k : cases) {
    httplib::Result r = std::string(k.method) == "POST" ? c.Post(k.path.c_str(), k.body, "text/plain")
                        : k.body.rfind("Host:", 0) == 0 ? c.Get(k.path.c_str(), {{"Host", k.body.substr(6)}})
                                                        : c.Get(k.path.c_str());
    ASSERT_TRUE(r) << k.method << " " << k.path;
    EXPECT_EQ(r->status, k.status) << k.method << " " << k.path;
    std::string type = r->get_header_value("Content-Type");
    EXPECT_TRUE(type.rfind(k.type, 0) == 0 || r->body.find(k.type) != std::string::npos) << k.path << ": " << type;
    EXPECT_EQ(r->get_header_value("X-Content-Type-Options"), "nosniff") << k.path;
  }
}

// Bound to loopback in either family, the view names itself by a URL and serves no other Host.
TEST_F(WebViewTest, LoopbackInEitherFamilyGuardsItsHost) {
  struct Row {
    const char* listen; // WebOptions::host, as --web gives it
    const char* connect;
    const char* url; // the URL's start
  } rows[] = {
      {"127.0.0.1", "127.0.0.1", "http://127.0.0.1:"},
      {"127.0.0.2", "127.0.0.2", "http://127.0.0.2:"},
      {"::1", "::1", "http://[::1]:"},
      {"[::1]", "::1", "http://[::1]:"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.listen);
    sim::WebOptions opt;
    opt.host = row.listen;
    auto web = start(opt, csv);
    ASSERT_TRUE(web);
    EXPECT_EQ(web->url().rfind(row.url, 0), 0u) << web->url();
    EXPECT_EQ(web->url().back(), '/');
    httplib::Client c(row.connect, port_of(web->url()));
    for (const char* host : {"attacker.example", "[::1].attacker.example"}) {
      auto r = c.Get("/", {{"Host", host}});
      ASSERT_TRUE(r) << host;
      EXPECT_EQ(r->status, 403) << host;
    }
    auto own = c.Get("/", {{"Host", std::string(row.url + 7) + "8080"}});
    ASSERT_TRUE(own);
    EXPECT_EQ(own->status, 200);
  }
}

TEST_F(WebViewTest, HostileFrameTextStaysText) {
  auto web = start({}, csv);
  ASSERT_TRUE(web);
  Raw stream(port_of(web->url()));
  stream.get("/events");
  ASSERT_NE(stream.read_until("event: snapshot", 5000).find("200 OK"), std::string::npos);
  // Markup, a quote that would end an attribute, a line end, a byte that is not UTF-8, a key,
  // a formula: all in a frame whose length and CRC are right.
  std::string hostile = frame_of("DataTime=20240101120000;SiteName=<script>window.__x=1</script>\"onload=alert(1);"
                                 "Note=a\rb\xFF;NewSK=SECRET1234567890;w01018-Rtd==HYPERLINK(\"x\"),w01018-Flag=N;"
                                 "w21003-Rtd=<img src=x onerror=alert(2)>");
  web->frame(true, hostile, sim::Verdict::Ok);
  // UTF-8 text a terminal obeys: a C1 control (CSI), the bidirectional controls
  web->frame(true,
             frame_of("DataTime=20240101120000;w01001-Rtd=\xC2\x9B"
                      "2J\xE2\x80\xAE"
                      "7\xE2\x81\xA6"),
             sim::Verdict::Ok);
  std::string events = stream.read_until("event: values", 5000);
  httplib::Client c("127.0.0.1", port_of(web->url()));
  auto state = c.Get("/api/state");
  auto decode = c.Get("/api/frame/1");
  auto pasted = c.Post("/api/inspect", hostile, "text/plain");
  ASSERT_TRUE(state && decode && pasted);
  auto csv_file = c.Get("/values.csv");
  ASSERT_TRUE(csv_file);
  struct {
    const char* what;
    std::string text;
  } outs[] = {{"events", events}, {"state", state->body}, {"decode", decode->body}, {"inspector", pasted->body}};
  for (const auto& o : outs) {
    SCOPED_TRACE(o.what);
    EXPECT_EQ(o.text.find('<'), std::string::npos);
    EXPECT_EQ(o.text.find("SECRET"), std::string::npos);
    EXPECT_EQ(o.text.find('\xFF'), std::string::npos);
    EXPECT_NE(o.text.find("\\u003cscript\\u003e"), std::string::npos);
  }
  for (const auto& o : outs) EXPECT_NE(o.text.find("****"), std::string::npos) << o.what;
  // Each event's data is one line: a line end inside would cut the JSON short.
  for (size_t at = events.find("data: "); at != std::string::npos; at = events.find("data: ", at + 1)) {
    size_t end = events.find('\n', at);
    ASSERT_NE(end, std::string::npos);
    EXPECT_EQ(events[end - 1], '}') << events.substr(at, end - at);
  }
  EXPECT_NE(csv_file->body.find(",w01018,Rtd,\"'=HYPERLINK(\"\"x\"\")\",N"), std::string::npos) << csv_file->body;
  EXPECT_NE(csv_file->body.find(",w01001,Rtd,\\xC2\\x9B2J\\xE2\\x80\\xAE7\\xE2\\x81\\xA6,"), std::string::npos) << csv_file->body;
}

TEST_F(WebViewTest, ConnectionsAndStreamsAreBounded) {
  sim::WebOptions opt;
  opt.workers = 1;
  opt.queued = 1;
  auto web = start(opt, csv);
  ASSERT_TRUE(web);
  int port = port_of(web->url());
  auto stream = std::make_unique<Raw>(port);
  stream->get("/events"); // holds the one worker
  ASSERT_NE(stream->read_until("event: snapshot", 5000).find("200 OK"), std::string::npos);
  Raw waiting(port);
  waiting.get("/api/state"); // waits for the worker
  std::this_thread::sleep_for(100ms);
  Raw refused(port);
  refused.get("/api/state");
  EXPECT_NE(refused.read_until("\r\n", 5000).find("503"), std::string::npos);
  EXPECT_EQ(waiting.read_until("\r\n", 200), "");
  stream.reset(); // the page goes; its stream ends when a write fails
  std::string answer;
  for (int i = 0; i < 50 && answer.empty(); ++i) {
    web->frame(true, frame_of("w01018-Rtd=1"), sim::Verdict::Ok);
    answer = waiting.read_until("\r\n", 100);
  }
  EXPECT_NE(answer.find("200 OK"), std::string::npos);

  opt = {};
  opt.max_streams = 2;
  web = start(opt, csv);
  port = port_of(web->url());
  Raw a(port), b(port), c(port);
  a.get("/events");
  EXPECT_NE(a.read_until("event: snapshot", 5000).find("200 OK"), std::string::npos);
  b.get("/events");
  EXPECT_NE(b.read_until("event: snapshot", 5000).find("200 OK"), std::string::npos);
  c.get("/events");
  EXPECT_NE(c.read_until("\r\n", 5000).find("503"), std::string::npos);
}

TEST_F(WebViewTest, APageThatStopsReadingIsDroppedNotWaitedFor) {
  sim::WebOptions opt;
  opt.write_timeout_s = 2; // a wait for the page costs 2 s; a busy machine's stall stays far below
  auto web = start(opt, csv);
  ASSERT_TRUE(web);
  Raw slow(port_of(web->url()), 4096);
  slow.get("/events");
  ASSERT_NE(slow.read_until("event: snapshot", 5000).find("200 OK"), std::string::npos);
  // Far more than the socket buffers and the event ring hold; the page reads none of it.
  std::string cp = "DataTime=20240101120000";
  for (int f = 0; f < 20; ++f) cp += ";w" + std::to_string(10000 + f) + "-Rtd=" + std::to_string(f) + ".5,w" + std::to_string(10000 + f) + "-Flag=N";
  std::string frame = frame_of(cp);
  int64_t slowest = 0;
  for (int i = 0; i < 2000; ++i) {
    int64_t t0 = sim::now_ms();
    web->frame(true, frame, sim::Verdict::Ok);
    slowest = std::max(slowest, sim::now_ms() - t0);
  }
  EXPECT_LT(slowest, 1000) << "the platform's thread waited for a page";
  EXPECT_TRUE(slow.closed_by_peer(10000));
  sim::WebView::Figures f = web->figures();
  EXPECT_EQ(f.streams, 0u);
  EXPECT_LE(f.ring_bytes, sim::WebModel::kFrameBytes + sim::WebModel::kEventBytes);
  web.reset(); // the last rows go to the file as it stops
  EXPECT_EQ(f.csv_rows, 2000u * 20);
  std::string rows = slurp(csv);
  EXPECT_EQ(std::count(rows.begin(), rows.end(), '\n'), 2000 * 20 + 1);
}

// The periods a CN's data times cover: gaps, resends filling them, duplicates, a shortened period,
// and a day's worth of gaps in bounded memory (their count kept when their times are folded).
TEST(Completeness, PeriodsReceivedAndMissing) {
  using K = sim::DataKind;
  struct Arrival {
    int64_t s; // the data time, seconds
    K kind;
  };
  struct {
    const char* what;
    std::vector<Arrival> arrivals;
    int64_t period_s;
    uint64_t received, missing, duplicates, gaps, resends;
  } cases[] = {
      {"in order", {{0, K::Upload}, {60, K::Upload}, {120, K::Upload}, {180, K::Upload}}, 60, 4, 0, 0, 0, 0},
      {"two missing", {{0, K::Upload}, {60, K::Upload}, {120, K::Upload}, {300, K::Upload}, {360, K::Upload}}, 60, 5, 2, 0, 1, 0},
      {"resent newest first into the gap",
       {{0, K::Upload}, {60, K::Upload}, {120, K::Upload}, {300, K::Upload}, {360, K::Upload}, {240, K::Resend}, {180, K::Resend}},
       60,
       7,
       0,
       0,
       0,
       2},
      {"one resent of two", {{0, K::Upload}, {60, K::Upload}, {240, K::Upload}, {180, K::Resend}}, 60, 4, 1, 0, 1, 1},
      {"a period twice", {{0, K::Upload}, {60, K::Upload}, {60, K::History}, {0, K::Resend}}, 60, 4, 0, 2, 0, 1},
      {"a trial's 2 s with a late tick",
       {{0, K::Upload}, {2, K::Upload}, {4, K::Upload}, {7, K::Upload}, {9, K::Upload}, {11, K::Upload}},
       2,
       6,
       0,
       0,
       0,
       0},
      {"a history answer of a year before",
       {{0, K::Upload}, {60, K::Upload}, {-31'536'000, K::History}, {-31'535'940, K::History}},
       60,
       4,
       0,
       0,
       0,
       0},
      {"history filling a gap", {{0, K::Upload}, {60, K::Upload}, {300, K::Upload}, {180, K::History}}, 60, 4, 2, 0, 2, 0},
      {"hours, one missing", {{0, K::Upload}, {3600, K::Upload}, {10800, K::Upload}, {14400, K::Upload}}, 3600, 4, 1, 0, 1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    sim::Completeness done;
    for (const Arrival& a : c.arrivals) done.add(1'700'000'000'000 + a.s * 1000, a.kind);
    EXPECT_EQ(done.period(), c.period_s * 1000);
    EXPECT_EQ(done.received(), c.received);
    EXPECT_EQ(done.missing(), c.missing);
    EXPECT_EQ(done.duplicates(), c.duplicates);
    EXPECT_EQ(done.gap_count(), c.gaps);
    EXPECT_EQ(done.received(K::Resend), c.resends);
  }
  // A day of minute data with every third minute lost: memory stays bounded, the count exact.
  sim::Completeness day;
  for (int64_t m = 0; m <= 1440 * 3; ++m)
    if (m % 3 != 2) day.add(m * 60'000, K::Upload);
  EXPECT_EQ(day.missing(), 1440u);
  EXPECT_LE(day.gap_count(), sim::Completeness::kRuns);
  std::vector<sim::Completeness::Gap> newest = day.gaps(3);
  ASSERT_EQ(newest.size(), 3u);
  EXPECT_EQ(newest.back().before, 1440 * 3 * 60'000);
  EXPECT_EQ(newest.back().missing, 1u);
}

// Plotted by data time: resends newest first go in at their times, marked; a long run stays
// bounded and in order.
TEST(Series, ByDataTimeWithResendsMarked) {
  sim::Series s;
  for (int t : {0, 10, 20, 60, 70}) s.add(t, t);
  s.add(50, 50, sim::DataKind::Resend);
  s.add(40, 40, sim::DataKind::Resend);
  s.add(30, 30, sim::DataKind::History);
  std::vector<sim::Series::Point> p = s.points();
  ASSERT_EQ(p.size(), 8u);
  for (size_t i = 0; i < p.size(); ++i) {
    EXPECT_EQ(p[i].t, 10.0 * static_cast<double>(i));
    EXPECT_EQ(p[i].mark, p[i].t == 30 ? 2 : p[i].t == 40 || p[i].t == 50 ? 1 : 0) << p[i].t;
  }
  for (int t = 100; t < 20000; ++t) s.add(t % 7 ? t : t - 50, t, t % 7 ? sim::DataKind::Upload : sim::DataKind::Resend);
  p = s.points();
  EXPECT_LE(p.size(), 2 * sim::Series::kKeep + 1);
  EXPECT_TRUE(std::is_sorted(p.begin(), p.end(), [](const auto& a, const auto& b) { return a.t < b.t; }));
}

// The model's view of a 2025 session: a new MN keeps one station row, history answers and
// resends are told from uploads in the CSV, the latest values keep Min/Max/Cou with their data
// time, and an older resend does not replace them.
TEST(WebModel, KindsLatestAndNewMn) {
  sim::WebModel m("city");
  auto in = [&](const std::string& seg) { m.frame(1000, true, HJ::wrap_frame(seg), sim::Verdict::Ok); };
  auto out = [&](const std::string& seg) { m.frame(1000, false, HJ::wrap_frame(seg), sim::Verdict::Ok); };
  const std::string head = "ST=32;PW=123456;Flag=9;";
  in("QN=1;" + head + "CN=2051;MN=OLD;CP=&&DataTime=20250101100000;w01018-Avg=20.5,w01018-Min=19,w01018-Max=22,w01018-Cou=3.5,w01018-Flag=N&&");
  out("QN=2;ST=32;CN=1002;PW=123456;MN=OLD;Flag=9;CP=&&MN=NEW0000000000000000000001&&");
  in("QN=2;ST=91;CN=9012;PW=123456;MN=OLD;Flag=8;CP=&&ExeRtn=1&&");
  out("QN=3;ST=32;CN=2061;PW=123456;MN=NEW0000000000000000000001;Flag=9;CP=&&BeginTime=20240101000000;EndTime=20240101010000&&");
  in("QN=3;" + head + "CN=2061;MN=NEW0000000000000000000001;CP=&&DataTime=20240101000000;w01018-Avg=9&&");
  in("QN=4;" + head + "CN=2051;MN=NEW0000000000000000000001;CP=&&DataTime=20250101100200;w01018-Avg=21,w01018-Min=20,w01018-Max=23,w01018-Cou=4&&");
  in("QN=6;" + head + "CN=2051;MN=OLD;CP=&&DataTime=20250101100300;w01018-Avg=22&&"); // a late frame with the old MN
  in("QN=5;" + head + "RF=1;CN=2051;MN=NEW0000000000000000000001;CP=&&DataTime=20250101100100;w01018-Avg=1,w01018-Min=1&&");

  std::string json = sim::WebModel::snapshot_json(m.snapshot());
  EXPECT_NE(json.find("\"mn\":\"NEW0000000000000000000001\""), std::string::npos);
  EXPECT_NE(json.find("\"previous\":\"OLD\""), std::string::npos);
  EXPECT_EQ(json.find("\"mn\":\"OLD\",\"version\""), std::string::npos) << "the old MN kept a row of its own";
  EXPECT_NE(json.find("\"min\":{\"Rtd\":\"\",\"Min\":\"\",\"Avg\":\"22\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"en\":\"COD (chemical oxygen demand)\",\"zh\":\"化学需氧量\""), std::string::npos);
  EXPECT_NE(json.find("\"cnZh\":\"取污染物分钟数据 / 上传污染物分钟数据\""), std::string::npos) << "a command's Chinese meaning";
  EXPECT_NE(json.find("\"cn\":\"2051\",\"period\":60000,\"received\":4,\"upload\":3,\"resend\":1"), std::string::npos) << json;
  EXPECT_NE(json.find("\"missing\":0"), std::string::npos);

  std::string csv = m.take_csv();
  struct {
    const char* row;
  } rows[] = {
      {"2025-01-01 10:00:00,OLD,2051,w01018,Cou,3.5,N,kg,1,,upload\r\n"},
      {"2024-01-01 00:00:00,NEW0000000000000000000001,2061,w01018,Avg,9,,mg/L,3,,history\r\n"},
      {"2025-01-01 10:01:00,NEW0000000000000000000001,2051,w01018,Min,1,,mg/L,5,1,resend\r\n"},
      {"2025-01-01 10:02:00,NEW0000000000000000000001,2051,w01018,Max,23,,mg/L,4,,upload\r\n"},
  };
  for (const auto& r : rows) EXPECT_NE(csv.find(r.row), std::string::npos) << r.row << "\n" << csv;
}

} // namespace
