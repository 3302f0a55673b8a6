// The platform simulator's logic, fed with a scripted station and a clock of our own.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "ReferenceCrc.h"
#include "Sm4Example.h"
#include "hj212/CpCipher.h"
#include "hj212/Envelope.h"
#include "tools/common/Calendar.h"
#include "tools/common/Hj212Text.h"
#include "tools/platform/Platform.h"

namespace {

using sim::Platform;
using sim::Step;

std::vector<Step> steps_of(const std::string& text) {
  std::vector<Step> steps;
  std::string error;
  EXPECT_TRUE(sim::parse_scenario(text, steps, error)) << error;
  return steps;
}

// What the web view is handed: each frame with its direction and verdict.
struct Observed : sim::PlatformObserver {
  struct Frame {
    bool incoming;
    std::string bytes;
    sim::Verdict verdict;
  };
  std::vector<Frame> frames;
  void link_up(const std::string&) override {}
  void link_down() override {}
  void frame(bool incoming, std::string_view bytes, sim::Verdict verdict) override { frames.push_back({incoming, std::string(bytes), verdict}); }
};

// A platform under test with its sent frames cut out and parsed.
struct Harness {
  std::vector<std::string> log;
  Platform p;
  int64_t now = 1000;
  std::vector<std::string> wire; // what the platform wrote, piece by piece
  bool dropped = false;
  Observed observed;
  std::string key; // the platform's: its requests are read with it

  explicit Harness(const std::string& scenario, sim::PlatformOptions opt = {})
      : p(steps_of(scenario), opt, [this](const std::string& s) { log.push_back(s); }), key(opt.key) {
    p.set_observer(&observed);
  }

  // Ticks as the program's loop does; the next event it is given must lie ahead, or it spins.
  void run_until(int64_t t) {
    while (now <= t) {
      p.tick(now);
      for (Platform::Out& o : p.take_due(now)) {
        if (o.drop) dropped = true;
        else wire.push_back(o.bytes);
      }
      int64_t next = p.next_event(now);
      EXPECT_TRUE(next < 0 || next > now) << "next event at " << next << " ms, now " << now << " ms";
      now += 10;
    }
  }
  // The requests sent so far, as data segments.
  std::vector<sim::Segment> requests() const {
    std::string all;
    for (const std::string& w : wire) all += w;
    std::vector<sim::Segment> out;
    HJ::FrameScanner sc;
    if (key.size() == 16) sc.set_key(reinterpret_cast<const unsigned char*>(key.data()));
    sc.feed(all.data(), all.size(), [&](std::string&& f) { out.push_back(sim::parse_segment(sim::check_frame(f).segment)); });
    return out;
  }
  void station_sends(const std::string& segment) {
    std::string f = HJ::wrap_frame(segment);
    p.received(f.data(), f.size(), now);
  }
  void answer(const std::string& qn, const std::string& cn, const std::string& cp) {
    station_sends("QN=" + qn + ";ST=91;CN=" + cn + ";PW=123456;MN=M1;Flag=4;CP=&&" + cp + "&&");
  }
};

TEST(SimScenario, ParsesStepsAndRejectsNonsense) {
  auto steps = steps_of("# comment\nrequest CN=1062 CP=RtdInterval=2 split junk delay=50 timeout=900\n"
                        "pause 200\ndrop\nuploads CN=2011 count=3 timeout=8000\nrequest CN=1011 bad-crc\n");
  ASSERT_EQ(steps.size(), 5u);
  EXPECT_EQ(steps[0].cp, "RtdInterval=2");
  EXPECT_TRUE(steps[0].bad.split && steps[0].bad.junk);
  EXPECT_EQ(steps[0].bad.delay_ms, 50);
  EXPECT_EQ(steps[0].timeout_ms, 900);
  EXPECT_EQ(steps[1].pause_ms, 200);
  EXPECT_EQ(steps[2].kind, Step::Drop);
  EXPECT_EQ(steps[3].count, 3);
  EXPECT_EQ(steps[4].reply, Step::None); // a corrupt request must go unanswered

  EXPECT_EQ(steps_of("request CN=1011 PW=1 expect=refused\n")[0].expect, Step::Refused);
  const char* bad[] = {"teleport CN=1",
                       "request",
                       "request CN=1 reply=maybe",
                       "pause soon",
                       "uploads count=2",
                       "request CN=1 delay=x",
                       "request CN=1 expect=maybe",
                       "request CN=2061 CP=BeginTime={yesterday}",
                       "request CN=2061 CP=BeginTime={now-1y}",
                       "request CN=2061 CP=BeginTime={now-h}",
                       "request CN=2061 CP=EndTime={now+}"};
  for (const char* b : bad) {
    std::vector<Step> s;
    std::string error;
    EXPECT_FALSE(sim::parse_scenario(std::string("pause 1\n") + b, s, error)) << b;
    EXPECT_NE(error.find("line 2"), std::string::npos) << error;
    if (std::string(b).find('{') != std::string::npos) {
      EXPECT_NE(error.find("unknown placeholder {"), std::string::npos) << error;
    }
  }
}

// Time placeholders read the platform's local clock as their step starts (the second request
// after a pause of 5 s), as yyyyMMddhhmmss.
TEST(SimScenario, TimePlaceholdersReadTheClockAsTheStepStarts) {
  struct Row {
    const char* cp;
    const char* first;  // the CP of the first request, at 2024-03-01 00:34:56
    const char* second; // of the second, 5 s later
  } rows[] = {
      {"T={now}", "T=20240301003456", "T=20240301003501"},
      {"T={today}", "T=20240301000000", "T=20240301000000"},
      {"From={now-1h};To={now+10m}", "From=20240229233456;To=20240301004456", "From=20240229233501;To=20240301004501"},
      {"T={today-1d}", "T=20240229000000", "T=20240229000000"},
      {"T={now+30s}{now-2m}", "T=2024030100352620240301003256", "T=2024030100353120240301003301"},
      {"T={now-1d}", "T=20240229003456", "T=20240229003501"},
      {"T={today+365d}", "T=20250301000000", "T=20250301000000"},
      {"T=text{", "T=text{", "T=text{"},
  };
  for (const Row& row : rows) {
    sim::PlatformOptions opt;
    Harness* self = nullptr;
    opt.local_clock = [&self] { return 1709253296 + self->now / 1000 - 1; }; // 2024-03-01 00:34:56 at 1 s
    Harness h(std::string("request CN=1011 CP=") + row.cp + " reply=ack\npause 5000\nrequest CN=1011 CP=" + row.cp + " reply=ack\n", opt);
    self = &h;
    h.p.connected(h.now, "peer");
    h.run_until(1000);
    h.answer(h.requests().at(0).value("QN"), "9011", "QnRtn=1");
    h.run_until(7000);
    auto reqs = h.requests();
    ASSERT_EQ(reqs.size(), 2u) << row.cp << "\n" << h.p.summary();
    EXPECT_EQ(reqs[0].cp, row.first) << row.cp;
    EXPECT_EQ(reqs[1].cp, row.second) << row.cp;
  }
}

TEST(SimScenario, MisbehaviourOnCue) {
  auto steps = steps_of(sim::default_scenario());
  sim::PlatformOptions opt;
  std::string error;
  ASSERT_TRUE(sim::apply_misbehaviour("split,bad-crc,drop,delay=300", steps, opt, error)) << error;
  ASSERT_EQ(steps.size(), 6u);
  EXPECT_TRUE(steps[0].bad.bad_crc); // the corrupt copy goes first
  EXPECT_EQ(steps[0].cn, "1062");
  EXPECT_EQ(steps[1].kind, Step::Request);
  EXPECT_EQ(steps[2].kind, Step::Drop); // after the first real request
  for (const Step& s : steps) {
    if (s.kind == Step::Request) {
      EXPECT_TRUE(s.bad.split && s.bad.delay_ms == 300);
    }
  }
  EXPECT_EQ(opt.answer_delay_ms, 300);
  EXPECT_FALSE(sim::apply_misbehaviour("sneeze", steps, opt, error));
}

TEST(SimPlatform, PairsRepliesWithRequestsAndMeasures) {
  Harness h("request CN=1062 CP=RtdInterval=2\nrequest CN=1011\n");
  h.p.connected(h.now, "peer");
  h.run_until(1000);
  auto reqs = h.requests();
  ASSERT_EQ(reqs.size(), 1u);
  std::string qn = reqs[0].value("QN");
  EXPECT_EQ(reqs[0].value("CN"), "1062");
  EXPECT_EQ(*reqs[0].cp_get("RtdInterval"), "2");
  h.run_until(1050);
  h.answer(qn, "9011", "QnRtn=1");
  h.answer(qn, "9012", "ExeRtn=1");
  h.run_until(1100);
  reqs = h.requests();
  ASSERT_EQ(reqs.size(), 2u); // the next request goes out once the first is complete
  std::string qn2 = reqs[1].value("QN");
  EXPECT_NE(qn2, qn);
  h.answer(qn2, "9011", "QnRtn=1");
  h.station_sends("QN=" + qn2 + ";ST=32;CN=1011;PW=123456;MN=M1;Flag=4;CP=&&SystemTime=20240101120000&&");
  h.answer(qn2, "9012", "ExeRtn=1"); // a value read ends with the 9012 after it
  h.run_until(1200);
  EXPECT_TRUE(h.p.finished());
  EXPECT_FALSE(h.p.broken()) << h.p.summary();
  std::string s = h.p.summary();
  EXPECT_NE(s.find("answered:           2"), std::string::npos) << s;
  EXPECT_NE(s.find("latency 9011:       min 50 ms, avg 55 ms, max 60 ms"), std::string::npos) << s;
}

TEST(SimPlatform, FindsWhatTheStationDoesWrong) {
  struct {
    const char* name;
    std::function<void(Harness&, const std::string& qn)> station;
    const char* problem;
  } cases[] = {
      {"silence", [](Harness&, const std::string&) {}, "no 9011 for request CN=1062"},
      {"no 9012", [](Harness& h, const std::string& qn) { h.answer(qn, "9011", "QnRtn=1"); }, "no 9012 or data after the 9011"},
      {"9012 first",
       [](Harness& h, const std::string& qn) {
         h.answer(qn, "9012", "ExeRtn=1");
         h.answer(qn, "9011", "QnRtn=1");
       },
       "9012 before 9011"},
      {"wrong QN", [](Harness& h, const std::string&) { h.answer("1", "9011", "QnRtn=1"); }, "9011 for QN 1, which no request"},
      {"bad CRC",
       [](Harness& h, const std::string&) {
         std::string f = HJ::wrap_frame("ST=32;CN=2011");
         f[f.size() - 3] = f[f.size() - 3] == '0' ? '1' : '0';
         h.p.received(f.data(), f.size(), h.now);
       },
       "bad frame from the station (BAD: crc)"},
      {"junk", [](Harness& h, const std::string&) { h.p.received("xyz", 3, h.now); }, "bytes outside any frame"},
      {"closed", [](Harness& h, const std::string&) { h.p.disconnected(h.now); }, "the station closed the connection"},
  };
  for (const auto& c : cases) {
    sim::PlatformOptions opt;
    opt.reply_timeout_ms = 500;
    Harness h("request CN=1062 CP=RtdInterval=2\n", opt);
    h.p.connected(h.now, "peer");
    h.run_until(1000);
    c.station(h, h.requests().at(0).value("QN"));
    h.run_until(2000);
    EXPECT_TRUE(h.p.broken()) << c.name;
    EXPECT_NE(h.p.summary().find(c.problem), std::string::npos) << c.name << "\n" << h.p.summary();
  }
}

// A station's uploads that break the protocol, under 2017 and under 2025 with a key: a problem under
// both (a frame the plug-in drops never passes), the sound station OK. A change of ST is blamed on
// the frames the others outnumber, whichever came first.
TEST(SimPlatform, UploadsThatBreakTheProtocolUnderEveryEdition) {
  struct Upload {
    std::string qn, st = "32", mn = "POLMON000000000000000001", cp = "DataTime=@;w01018-Rtd=1.5"; // @: the QN's time
  };
  auto uploads = [](const std::function<void(int, Upload&)>& change) {
    std::vector<Upload> out(5);
    for (int i = 0; i < 5; ++i) {
      out[i].qn = std::to_string(20240101000000000 + 1000 * i);
      change(i, out[i]);
    }
    return out;
  };
  struct Row {
    const char* name;
    std::vector<Upload> uploads;
    const char* problem; // nullptr: OK
  } rows[] = {
      {"sound", uploads([](int, Upload&) {}), nullptr},
      {"ESC and BEL in a value", uploads([](int i, Upload& u) {
         if (i == 2) u.cp = "DataTime=@;w01018-Rtd=\x1B]0;x\x07";
       }),
       "the plug-in drops it"},
      {"no DataTime", uploads([](int, Upload& u) { u.cp = "w01018-Rtd=1.5"; }), "upload QN 20240101000000000 has no readable DataTime (none)"},
      {"a QN that is no time", uploads([](int i, Upload& u) { u.qn = "NOTAQN-" + std::to_string(i); }), "carries QN=NOTAQN-0, not a time"},
      {"the same QN and DataTime five times", uploads([](int, Upload& u) { u.qn = "20240101000000000"; }),
       "QN 20240101000000000 (CN=2011) uploaded again"},
      {"a new MN every upload", uploads([](int i, Upload& u) { u.mn = "POLMON00000000000000000" + std::to_string(i + 1); }),
       "CN=2011 carries MN=POLMON000000000000000002, the station's MN is POLMON000000000000000001"},
      {"ST=91 first, 32 after", uploads([](int i, Upload& u) {
         if (i == 0) u.st = "91";
       }),
       "data frame QN 20240101000000000 CN=2011 carries ST=91, the station's system code is 32"},
      {"ST=31 after 32", uploads([](int i, Upload& u) {
         if (i == 3) u.st = "31";
       }),
       "data frame QN 20240101000003000 CN=2011 carries ST=31, the station's system code is 32"},
  };
  for (const Row& row : rows) {
    for (int edition : {2017, 2025}) {
      SCOPED_TRACE(std::string(row.name) + ", " + std::to_string(edition));
      sim::PlatformOptions opt;
      opt.standard = edition;
      if (edition == 2025) opt.key = "0123456789ABCDEF";
      Harness h("pause 500\n", opt);
      h.p.connected(h.now, "peer");
      for (const Upload& u : row.uploads) {
        std::string cp = u.cp;
        if (cp.find('@') != std::string::npos) cp.replace(cp.find('@'), 1, u.qn.substr(0, 14));
        const std::string seg =
            "QN=" + u.qn + ";ST=" + u.st + ";CN=2011;PW=123456;MN=" + u.mn + ";Flag=" + (edition == 2025 ? "8" : "4") + ";CP=&&" + cp + "&&";
        const std::string f = sim::encrypted_wire_data(seg, opt.key, sim::CipherWire::Raw).frame(); // plain without a key
        h.p.received(f.data(), f.size(), h.now);
        h.run_until(h.now + 50);
      }
      h.run_until(h.now + 1000);
      h.p.stopped();
      const std::string summary = h.p.summary();
      EXPECT_TRUE(h.p.finished());
      if (!row.problem) EXPECT_FALSE(h.p.broken()) << summary;
      else EXPECT_NE(summary.find(row.problem), std::string::npos) << summary;
    }
  }
}

// A refusal (QnRtn or ExeRtn not 1, ExeRtn=100 "no data" aside) against what the step expects.
TEST(SimPlatform, RefusalsWeighedAgainstTheStep) {
  const char* const kDay2020 = "request CN=2061 CP=BeginTime=20200101000000;EndTime=20200101235959";
  struct Row {
    const char* name;
    const char* step;
    std::vector<std::string> answers; // CN, CP after the request's QN
    const char* problem;              // nullptr: OK
  } rows[] = {
      {"wrong PW", "request CN=1011", {"9011", "QnRtn=3"}, "request CN=1011 QN=* refused: QnRtn=3 (PW (password) wrong)"},
      {"execution failed",
       "request CN=1012 CP=SystemTime=20240101000000",
       {"9011", "QnRtn=1", "9012", "ExeRtn=2"},
       "refused: ExeRtn=2 (execution failed, reason unknown)"},
      {"no data", "request CN=2061", {"9011", "QnRtn=1", "9012", "ExeRtn=100"}, nullptr},
      {"refused as expected", "request CN=1011 PW=1 expect=refused", {"9011", "QnRtn=3"}, nullptr},
      {"accepted, refusal expected",
       "request CN=1011 PW=1 expect=refused",
       {"9011", "QnRtn=1", "1011", "SystemTime=20240101000000", "9012", "ExeRtn=1"},
       "accepted (answered with data), a refusal was expected"},
      {"either way", "request CN=2061 reply=ack expect=any", {"9011", "QnRtn=8"}, nullptr},
      {"an interval of 0 taken",
       "request CN=1062 CP=RtdInterval=0",
       {"9011", "QnRtn=1", "9012", "ExeRtn=1"},
       "request CN=1062 QN=* accepted an invalid RtdInterval=0 (ExeRtn=1)"},
      {"a negative one taken",
       "request CN=1062 CP=MinInterval=-5",
       {"9011", "QnRtn=1", "9012", "ExeRtn=1"},
       "accepted an invalid MinInterval=-5 (ExeRtn=1)"},
      {"an interval of 0 refused", "request CN=1062 CP=RtdInterval=0", {"9011", "QnRtn=1", "9012", "ExeRtn=3"}, nullptr},
      // each answer by the command's type: a request 9011, its data, then 9012; a notice 9013
      {"a value read in order", "request CN=1061", {"9011", "QnRtn=1", "1061", "RtdInterval=30", "9012", "ExeRtn=1"}, nullptr},
      {"a value read after the 9012",
       "request CN=1061",
       {"9011", "QnRtn=1", "9012", "ExeRtn=1", "1061", "RtdInterval=30"},
       "data for request CN=1061 QN=* came after its 9012"},
      {"a second 9012", "request CN=1062 CP=RtdInterval=2", {"9011", "QnRtn=1", "9012", "ExeRtn=1", "9012", "ExeRtn=1"}, "a second 9012 for QN *"},
      {"a notice answered 9013", "request CN=2012", {"9013", ""}, nullptr},
      {"a request answered 9013",
       "request CN=1062 CP=RtdInterval=2",
       {"9013", ""},
       "9013 for request CN=1062 QN=*: a request is answered 9011, then 9012"},
      {"history taken on, a 9011 wanted",
       "request CN=2051 CP=BeginTime=20240101000000;EndTime=20240101010000 reply=ack",
       {"9011", "QnRtn=1"},
       "no 9012 for request CN=2051 QN=*: the execution result is missing"},
      {"history records, no 9012",
       "request CN=2051 CP=BeginTime=20240101000000;EndTime=20240101010000",
       {"9011", "QnRtn=1", "2051", "DataTime=20240101000000;w01018-Avg=1.5"},
       "no 9012 for request CN=2051 QN=*: the execution result is missing"},
      // a history answer: records of the CN asked for, inside BeginTime..EndTime, each once; "own:" a
      // frame with the station's own QN (2017, 2005), between the 9011 and the 9012
      {"history of the day asked",
       kDay2020,
       {"9011", "QnRtn=1", "2061", "DataTime=20200101000000", "2061", "DataTime=20200101235959", "9012", "ExeRtn=1"},
       nullptr},
      {"history of another day",
       kDay2020,
       {"9011", "QnRtn=1", "2061", "DataTime=20241209100000", "9012", "ExeRtn=1"},
       "history answer to CN=2061 QN=*: record DataTime=20241209100000 outside the asked range 20200101000000..20200101235959"},
      {"history a second early",
       kDay2020,
       {"9011", "QnRtn=1", "2061", "DataTime=20191231235959", "9012", "ExeRtn=1"},
       "history answer to CN=2061 QN=*: record DataTime=20191231235959 outside the asked range 20200101000000..20200101235959"},
      {"history of another CN",
       kDay2020,
       {"9011", "QnRtn=1", "2051", "DataTime=20200101000000", "9012", "ExeRtn=1"},
       "history answer to CN=2061 QN=*: answered with CN=2051"},
      {"history record twice",
       kDay2020,
       {"9011", "QnRtn=1", "2061", "DataTime=20200101010000", "2061", "DataTime=20200101010000", "9012", "ExeRtn=1"},
       "history answer to CN=2061 QN=*: record DataTime=20200101010000 sent twice"},
      {"history without DataTime",
       kDay2020,
       {"9011", "QnRtn=1", "2061", "w01018-Avg=1.5", "9012", "ExeRtn=1"},
       "a record without a readable DataTime (none)"},
      {"own QNs, the day asked", kDay2020, {"9011", "QnRtn=1", "own:2061", "DataTime=20200101050000", "9012", "ExeRtn=1"}, nullptr},
      {"own QNs, another day",
       kDay2020,
       {"9011", "QnRtn=1", "own:2061", "DataTime=20231231000000", "9012", "ExeRtn=1"},
       "history answer to CN=2061 QN=*: record DataTime=20231231000000 outside the asked range 20200101000000..20200101235959"},
      // "@hour": the last hour ended when the request was made; its upload's QN met the request's by chance
      {"the newest upload of another CN, the request's QN on it",
       "request CN=2051 CP=BeginTime=20200101000000;EndTime=20200101235959",
       {"9011", "QnRtn=1", "2061", "DataTime=@hour", "9012", "ExeRtn=1"},
       nullptr},
      {"the newest upload before the 9011, the request's QN on it",
       kDay2020,
       {"2061", "DataTime=@hour", "9011", "QnRtn=1", "9012", "ExeRtn=1"},
       nullptr},
      {"own QNs, the newest hour's upload meanwhile",
       kDay2020,
       {"9011", "QnRtn=1", "own:2061", "DataTime=20240101230000", "9012", "ExeRtn=1"},
       nullptr},
      {"own QNs, real-time data meanwhile",
       "request CN=2011 CP=BeginTime=20200101000000;EndTime=20200101235959",
       {"9011", "QnRtn=1", "own:2011", "DataTime=20240101235900", "9012", "ExeRtn=1"},
       nullptr},
      {"own QNs, real-time data of another day",
       "request CN=2011 CP=BeginTime=20200101000000;EndTime=20200101235959",
       {"9011", "QnRtn=1", "own:2011", "DataTime=20231231235900", "9012", "ExeRtn=1"},
       "history answer to CN=2011 QN=*: record DataTime=20231231235900 outside the asked range 20200101000000..20200101235959"},
  };
  for (const Row& row : rows) {
    sim::PlatformOptions opt;
    opt.reply_timeout_ms = 500;
    Harness h(std::string(row.step) + "\n", opt);
    h.p.connected(h.now, "peer");
    h.run_until(1000);
    const std::string qn = h.requests().at(0).value("QN");
    for (size_t i = 0; i + 1 < row.answers.size(); i += 2) {
      const std::string& cn = row.answers[i];
      std::string cp = row.answers[i + 1];
      int64_t made = 0;
      if (cp.find("@hour") != std::string::npos && sim::civil_seconds(qn.substr(0, 14), made))
        cp.replace(cp.find("@hour"), 5, sim::civil_text(made / 3600 * 3600 - 3600));
      if (cn.rfind("own:", 0) == 0) h.answer("20240102000000001", cn.substr(4), cp); // the station's clock
      else h.answer(qn, cn, cp);
    }
    h.run_until(2000);
    const std::string summary = h.p.summary();
    EXPECT_TRUE(h.p.finished()) << row.name;
    if (!row.problem) {
      EXPECT_FALSE(h.p.broken()) << row.name << "\n" << summary;
      continue;
    }
    std::string problem = row.problem;
    if (problem.find('*') != std::string::npos) problem.replace(problem.find('*'), 1, qn);
    EXPECT_NE(summary.find("BROKEN (1 problems)\n"), std::string::npos) << row.name << "\n" << summary;
    EXPECT_NE(summary.find(problem + "\n"), std::string::npos) << row.name << "\n" << summary;
  }
}

// Problems of one cause are one line, counted, under the first; causes in the order they came.
TEST(SimPlatform, AFloodOfJunkKeepsTheReportBounded) {
  Harness h("pause 10\n");
  h.p.connected(h.now, "peer");
  h.answer("20240101000000001", "9011", "QnRtn=1");
  for (int k = 0; k < 1000; ++k) {
    const std::string junk = k % 2 ? "noise" : "sound!";
    h.p.received(junk.data(), junk.size(), h.now);
  }
  h.answer("20240101000000002", "9011", "QnRtn=1");
  size_t logged = 0;
  for (const std::string& line : h.log) logged += line.rfind("PROBLEM: ", 0) == 0;
  EXPECT_EQ(logged, 100u); // the first hundred problems
  const std::string s = h.p.summary();
  EXPECT_NE(s.find("BROKEN (1002 problems)\n"
                   "    - 2 times, first: 9011 for QN 20240101000000001, which no request carried\n"
                   "    - 1000 times, first: station sent 6 bytes outside any frame\n"),
            std::string::npos)
      << s;
  // causes beyond the hundred kept are counted together
  Harness many("pause 10\n");
  many.p.connected(many.now, "peer");
  for (int k = 0; k < 150; ++k) many.answer(std::to_string(k), "9011", "QnRtn=1");
  const std::string m = many.p.summary();
  // (the first cause: those QNs are no times)
  EXPECT_NE(m.find("    - 9011 for QN 98, which no request carried\n    - and 51 more\n"), std::string::npos) << m;
}

TEST(SimPlatform, CorruptRequestsMustGoUnanswered) {
  for (const char* how : {"bad-crc", "bad-length"}) {
    sim::PlatformOptions opt;
    opt.silence_ms = 300;
    Harness quiet(std::string("request CN=1062 ") + how + "\n", opt);
    quiet.p.connected(quiet.now, "peer");
    quiet.run_until(1500);
    EXPECT_TRUE(quiet.p.finished()) << how;
    EXPECT_FALSE(quiet.p.broken()) << quiet.p.summary();
    ASSERT_EQ(quiet.wire.size(), 1u);
    EXPECT_FALSE(sim::verdict_ok(sim::check_frame(quiet.wire[0]).verdict)) << how;

    Harness talkative(std::string("request CN=1062 ") + how + "\n", opt);
    talkative.p.connected(talkative.now, "peer");
    talkative.run_until(1000);
    std::string qn = sim::parse_segment(talkative.wire[0].substr(6)).value("QN");
    talkative.answer(qn, "9011", "QnRtn=1");
    talkative.run_until(1500);
    EXPECT_NE(talkative.p.summary().find("answered the corrupt request"), std::string::npos) << how;
  }
}

TEST(SimPlatform, SplitJunkAndDelayShapeTheBytes) {
  Harness h("request CN=2011 split junk delay=100\n");
  h.p.connected(h.now, "peer");
  h.run_until(1000);
  ASSERT_EQ(h.wire.size(), 1u); // the first piece now, the rest later
  h.run_until(1300);
  ASSERT_EQ(h.wire.size(), 3u);
  std::string all = h.wire[0] + h.wire[1] + h.wire[2];
  EXPECT_EQ(all.rfind("AT+NOISE\r\n", 0), 0u);
  EXPECT_EQ(sim::check_frame(all.substr(10)).verdict, sim::Verdict::Ok);
  EXPECT_NE(h.wire[0].back(), '#'); // never cut between the two start characters
}

TEST(SimPlatform, AnswersUploadsThatAskForItAndCountsThem) {
  sim::PlatformOptions opt;
  opt.answer_delay_ms = 200;
  Harness h("uploads CN=2011 count=2 timeout=5000\n", opt);
  h.p.connected(h.now, "peer");
  h.run_until(1000);
  h.station_sends("QN=20240101000000001;ST=32;CN=2011;PW=1;MN=M1;Flag=5;CP=&&DataTime=20240101000000;w01018-Rtd=1.55&&");
  h.run_until(1100);
  EXPECT_TRUE(h.wire.empty()); // the answer waits its delay
  h.run_until(1300);
  ASSERT_EQ(h.wire.size(), 1u);
  sim::Segment a = sim::parse_segment(sim::check_frame(h.wire[0]).segment);
  EXPECT_EQ(a.value("CN"), "9014");
  EXPECT_EQ(a.value("QN"), "20240101000000001");
  h.station_sends("QN=20240101000000002;ST=32;CN=2011;PW=1;MN=M1;Flag=4;CP=&&DataTime=20240101000002;w01018-Rtd=7,w01018-Flag=X;"
                  "a21026-Rtd=3.1,a21026-Flag=N&&");
  h.run_until(1400);
  EXPECT_EQ(h.wire.size(), 1u);                                                    // Flag 4: no answer wanted
  h.station_sends("QN=20240101000000003;ST=32;CN=1013;PW=1;MN=M1;Flag=5;CP=&&&&"); // a notice: its answer 9013
  h.run_until(1700);
  ASSERT_EQ(h.wire.size(), 2u);
  EXPECT_EQ(sim::parse_segment(sim::check_frame(h.wire[1]).segment).value("CN"), "9013");
  EXPECT_EQ(h.p.uploads("2011"), 2u);
  EXPECT_TRUE(h.p.finished());
  EXPECT_FALSE(h.p.broken()) << h.p.summary(); // the values' notes never break the verdict
  const std::string s = h.p.summary();
  for (const char* part :
       {"values:             2 factors, 3 values, 3 notes",
        "w01018 COD (chemical oxygen demand) (化学需氧量), mg/L: 2 values; 1 beyond the default format (first: "
        "w01018-Rtd=1.55: 2 decimals; the default format N5.1 has 1); 1 flag the version does not define (first: w01018-Flag=X",
        "a21026 sulphur dioxide (二氧化硫), mg/m³: 1 value; 1 factor of another medium than ST (first: a21026-Rtd=3.1: a21026 is an air factor"})
    EXPECT_NE(s.find(part), std::string::npos) << part << "\n" << s;
}

// Frames answering a history request (its QN) and resends (RF=1) are counted apart from the
// uploads, whose rate they would distort; with the 2025 key the records sharing the request's QN
// are no uploads repeated without RF=1.
TEST(SimPlatform, HistoryAnswersAndResendsAreNoUploads) {
  struct Row {
    const char* name;
    int standard;
    const char* key;
    const char* resends; // the summary's row of resends
  } rows[] = {{"plain", 0, "", "  resends:            CN=2061 x1 (RF=1)\n"},
              {"2025 with a key", 2025, "0123456789ABCDEF", "  resends:            1 (RF=1), 1 of uploads not received before\n"}};
  for (const Row& row : rows) {
    sim::PlatformOptions opt;
    opt.standard = row.standard;
    opt.key = row.key;
    Harness h("request CN=2061 CP=BeginTime=20240101000000;EndTime=20240101020000\n", opt);
    h.p.connected(h.now, "peer");
    h.run_until(1000);
    const std::string qn = h.requests().at(0).value("QN");
    // encrypted as a station with the key sends it
    auto send = [&](const std::string& q, const std::string& cn, const char* rf, const std::string& cp) {
      const std::string seg =
          "QN=" + q + ";ST=" + (cn[0] == '9' ? "91" : "32") + ";CN=" + cn + ";PW=123456;MN=" + opt.mn + ";Flag=8;" + rf + "CP=&&" + cp + "&&";
      const std::string f = sim::encrypted_wire_data(seg, opt.key, sim::CipherWire::Raw).frame();
      h.p.received(f.data(), f.size(), h.now);
    };
    auto hour = [&](const std::string& q, const char* rf, const char* time) {
      send(q, "2061", rf, std::string("DataTime=") + time + ";w01018-Avg=1.5");
    };
    send(qn, "9011", "", "QnRtn=1");
    hour(qn, "", "20240101000000");
    hour(qn, "", "20240101010000");
    send(qn, "9012", "", "ExeRtn=1");
    hour("20240101030000001", "RF=1;", "20240101030000");
    h.run_until(3000); // each hour sent once it is over
    hour("20240101050000001", "", "20240101040000");
    h.run_until(5000);
    hour("20240101060000001", "", "20240101050000");
    EXPECT_EQ(h.p.uploads("2061"), 2u) << row.name;
    const std::string s = h.p.summary();
    EXPECT_FALSE(h.p.broken()) << row.name << "\n" << s;
    for (const char* line : {"  data frames:        CN=2061 x2 (every 2.0 s)\n", "  history answers:    CN=2061 x2\n", row.resends})
      EXPECT_NE(s.find(line), std::string::npos) << row.name << ": " << line << s;
  }
}

// What a request carried out changes must show in the uploads that follow (at the ms after its
// answers listed): 2012 stops them one interval on (here the reply timeout), 1062 sets their interval.
TEST(SimPlatform, AcceptedRequestsTakeEffect) {
  const char* const rtd = "request CN=1062 CP=RtdInterval=2\nuploads CN=2011 count=3 timeout=8000\n";
  struct Row {
    const char* name;
    const char* steps;
    std::vector<int64_t> uploads;  // ms after the first request's answer; -T: the link down at T, up 10 ms on
    const char* problem;           // nullptr: OK
    bool second_by_upload = false; // the steps' second request is acknowledged, then answered by the first upload with its QN
  } rows[] = {
      {"stopped, one in flight", "request CN=2012\npause 2000\n", {400}, nullptr},
      {"kept on after 2012",
       "request CN=2012\npause 2000\n",
       {400, 800},
       "kept uploading CN=2011 after 2012 stopped it: QN 20240101000000800 was made 800 ms after the acknowledgement arrived"},
      {"new interval taken", rtd, {1000, 3000, 5000}, nullptr},
      {"old interval kept", rtd, {1000, 6000}, "RtdInterval set to 2 s, uploads came every 5.0 s"}, // not "only 2 uploads"
      // the station's own close is the one problem: no interval of 3.3 s across the link's gap
      {"new interval, the link down between", rtd, {1000, 3000, -3100, 7500}, "the station closed the connection"},
      {"started again by its first upload", "request CN=2012\nrequest CN=2011\npause 3000\n", {400, 1400, 2400}, nullptr, true},
      // an uploads step counts from its own start, not the run's
      {"uploads before the step",
       "request CN=2011\npause 2000\nuploads CN=2011 count=2 timeout=1000\n",
       {400, 800, 2500},
       "only 1 uploads of CN=2011 since the step began, 2 wanted"},
      {"uploads within the step", "request CN=2011\npause 2000\nuploads CN=2011 count=2 timeout=1000\n", {400, 2500, 2800}, nullptr},
  };
  for (const Row& row : rows) {
    sim::PlatformOptions opt;
    opt.reply_timeout_ms = 500;
    Harness h(row.steps, opt);
    h.p.connected(h.now, "peer");
    h.run_until(1000);
    const std::string qn = h.requests().at(0).value("QN");
    h.answer(qn, "9011", "QnRtn=1");
    h.answer(qn, "9012", "ExeRtn=1");
    const int64_t acknowledged = h.now;
    std::string answering;
    if (row.second_by_upload) {
      h.run_until(acknowledged + 100);
      answering = h.requests().at(1).value("QN");
      h.answer(answering, "9011", "QnRtn=1");
    }
    for (int64_t after : row.uploads) {
      h.run_until(acknowledged + std::abs(after) - 10);
      if (after < 0) {
        h.p.disconnected(h.now);
        h.run_until(h.now + 10);
        h.p.connected(h.now, "peer");
        continue;
      }
      const std::string upload_qn = answering.empty() ? std::to_string(20240101000000000 + after) : answering;
      answering.clear();
      h.station_sends("QN=" + upload_qn + ";ST=32;CN=2011;PW=123456;MN=M1;Flag=4;CP=&&DataTime=" + upload_qn.substr(0, 14) + ";w01018-Rtd=1.5&&");
    }
    h.run_until(acknowledged + 10000);
    const std::string summary = h.p.summary();
    EXPECT_TRUE(h.p.finished()) << row.name;
    if (row.problem)
      EXPECT_NE(summary.find("BROKEN (1 problems)\n    - " + std::string(row.problem) + "\n"), std::string::npos) << row.name << "\n" << summary;
    else EXPECT_FALSE(h.p.broken()) << row.name << "\n" << summary;
  }
}

// Uploads stopped by 2012 and started again by 2011: the time they were stopped is no interval,
// with the uploads every 2 s as set (each QN the time it was made).
// Parameters a request sets that a later one shows: the PW a 1072 gives is the one the next
// request carries; the minute interval a 1063 reads is the one a 1064 set.
TEST(SimPlatform, ParametersSetShowInLaterRequests) {
  struct Row {
    const char* name;
    const char* first;     // the step setting it, answered 9011, 9012 ExeRtn=1
    const char* exe_rtn;   // the station's ExeRtn to it
    const char* second_cp; // the data answering the second request (a 1063), or "" for none
    const char* second_pw; // the PW the second request carries
    const char* problem;   // nullptr: OK
  } rows[] = {
      {"new PW taken", "request CN=1072 CP=NewPW=654321", "1", "", "654321", nullptr},
      {"new PW refused", "request CN=1072 CP=NewPW=654321", "3", "", "123456", nullptr},
      {"interval read as set", "request CN=1064 CP=MinInterval=5", "1", "MinInterval=5", "123456", nullptr},
      {"interval read not as set", "request CN=1064 CP=MinInterval=5", "1", "MinInterval=10", "123456",
       "the minute interval read (1063) is MinInterval=10, the one set (1064) MinInterval=5"},
  };
  for (const Row& row : rows) {
    sim::PlatformOptions opt;
    opt.reply_timeout_ms = 500;
    const bool reads = *row.second_cp != '\0';
    Harness h(std::string(row.first) + (row.exe_rtn[0] == '1' ? "" : " expect=any") + "\nrequest CN=" + (reads ? "1063" : "1011") + "\n", opt);
    h.p.connected(h.now, "peer");
    h.run_until(1000);
    const std::string qn = h.requests().at(0).value("QN");
    h.answer(qn, "9011", "QnRtn=1");
    h.answer(qn, "9012", std::string("ExeRtn=") + row.exe_rtn);
    h.run_until(1100);
    ASSERT_EQ(h.requests().size(), 2u) << row.name;
    const sim::Segment second = h.requests().at(1);
    EXPECT_EQ(second.value("PW"), row.second_pw) << row.name;
    h.answer(second.value("QN"), "9011", "QnRtn=1");
    if (reads) h.answer(second.value("QN"), "1063", row.second_cp);
    else h.answer(second.value("QN"), "1011", "SystemTime=20240101000000");
    h.answer(second.value("QN"), "9012", "ExeRtn=1");
    h.run_until(2000);
    const std::string summary = h.p.summary();
    EXPECT_EQ(h.p.broken(), row.problem != nullptr) << row.name << "\n" << summary;
    if (row.problem) {
      EXPECT_NE(summary.find(row.problem), std::string::npos) << row.name << "\n" << summary;
    }
  }
}

TEST(SimPlatform, TheTimeStoppedIsNoInterval) {
  Harness h("request CN=1062 CP=RtdInterval=2\nrequest CN=2012\npause 10000\nrequest CN=2011\nuploads CN=2011 count=3 timeout=9000\n");
  h.p.connected(h.now, "peer");
  auto upload = [&](const std::string& qn) {
    h.station_sends("QN=" + qn + ";ST=32;CN=2011;PW=123456;MN=M1;Flag=4;CP=&&DataTime=" + qn.substr(0, 14) + ";w01018-Rtd=1.5&&");
  };
  auto made_now = [&] { return std::to_string(20240101000000000 + h.now); };
  auto answer_request = [&](size_t i) {
    for (int64_t t = h.now; t < 20000 && h.requests().size() <= i; t += 10) h.run_until(t);
    const std::string qn = h.requests().at(i).value("QN");
    h.answer(qn, "9011", "QnRtn=1");
    if (h.requests().at(i).value("CN") != "2011") h.answer(qn, "9012", "ExeRtn=1");
    return qn;
  };
  answer_request(0); // RtdInterval=2
  for (int i = 0; i < 2; ++i) {
    h.run_until(h.now + 2000);
    upload(made_now());
  }
  answer_request(1);                           // 2012: none from here
  const std::string start = answer_request(2); // 2011, answered by its first upload
  upload(start);
  for (int i = 0; i < 3; ++i) {
    h.run_until(h.now + 2000);
    upload(made_now());
  }
  h.run_until(h.now + 3000);
  EXPECT_TRUE(h.p.finished());
  EXPECT_FALSE(h.p.broken()) << h.p.summary();
}

// Period data carry their period's start: on a boundary of the period, sent once it is over (by
// the QN, a second's slack; by the platform's clock when the QN does not read), one record per
// period, none left out (a resend fills its gap). Each upload: CN, QN, DataTime, RF=1 or not.
TEST(SimPlatform, PeriodDataStampedWithTheirStart) {
  struct Upload {
    const char *cn, *qn, *datatime;
    bool resend;
  };
  struct Row {
    const char* name;
    std::vector<Upload> uploads;
    const char* problem; // nullptr: OK
    const char* row;     // the summary's row of period data, or nullptr
    unsigned problems = 1;
  } rows[] = {
      {"minutes on their starts",
       {{"2051", "20240101000100123", "20240101000000", false}, {"2051", "20240101000200050", "20240101000100", false}},
       nullptr,
       "  period data:        CN=2051 x2 (60 s), 0 missing\n"},
      {"a second's slack", {{"2051", "20240101000059500", "20240101000000", false}}, nullptr, nullptr},
      {"minute stamped with its end",
       {{"2051", "20240101000100123", "20240101000100", false}},
       "CN=2051 upload QN 20240101000100123: DataTime=20240101000100 stamped with its period's end: the 60 s period from it ends at "
       "20240101000200, after the frame was sent",
       nullptr},
      {"hour stamped with its end",
       {{"2061", "20240101010000500", "20240101010000", false}},
       "DataTime=20240101010000 stamped with its period's end",
       nullptr},
      {"hour of the last hour",
       {{"2061", "20240101010000500", "20240101000000", false}},
       nullptr,
       "  period data:        CN=2061 x1 (3600 s), 0 missing\n"},
      {"off its boundary",
       {{"2051", "20240101000100123", "20240101000030", false}},
       "CN=2051 upload QN 20240101000100123: DataTime=20240101000030 is not on a boundary of its 60 s period",
       nullptr},
      {"day at noon", {{"2031", "20240102000000001", "20240101120000", false}}, "is not on a boundary of its 86400 s period", nullptr},
      {"day at midnight", {{"2031", "20240102000000001", "20240101000000", false}}, nullptr, nullptr},
      {"a minute twice",
       {{"2051", "20240101000100123", "20240101000000", false}, {"2051", "20240101000100456", "20240101000000", false}},
       "CN=2051 upload QN 20240101000100456: DataTime=20240101000000 came before: one record per period",
       nullptr},
      {"two minutes left out",
       {{"2051", "20240101000100123", "20240101000000", false}, {"2051", "20240101000400123", "20240101000300", false}},
       "CN=2051: 2 periods of 60 s missing between its records (the first after DataTime=20240101000000)",
       "  period data:        CN=2051 x2 (60 s), 2 missing\n"},
      {"a gap the resend fills",
       {{"2051", "20240101000100123", "20240101000000", false},
        {"2051", "20240101000300123", "20240101000200", false},
        {"2051", "20240101000200123", "20240101000100", true}},
       nullptr,
       "  period data:        CN=2051 x2 (60 s), 0 missing\n"},
      {"a resend of another minute is no repeat",
       {{"2051", "20240101000100123", "20240101000000", false}, {"2051", "20240101000100123", "20240101000000", true}},
       nullptr,
       nullptr},
      // (a QN that is no time is a fault of its own)
      {"a QN that does not read: the platform's clock, past the period",
       {{"2051", "1", "20240301003300", false}},
       "carries QN=1, not a time",
       nullptr},
      {"a QN that does not read: the platform's clock, in the period",
       {{"2051", "1", "20240301003400", false}},
       "stamped with its period's end",
       nullptr,
       2},
      {"no DataTime", {{"2061", "20240101010000500", "", false}}, "CN=2061 upload QN 20240101010000500 has no readable DataTime (none)", nullptr},
      {"a month 13", {{"2061", "20240101010000500", "20241301000000", false}}, "has no readable DataTime (20241301000000)", nullptr},
      {"a leap day's last hour", {{"2061", "20240301000000500", "20240229230000", false}}, nullptr, nullptr},
      {"real-time data are no period data", {{"2011", "20240101000000500", "20240101000000", false}}, nullptr, nullptr},
  };
  for (const Row& row : rows) {
    sim::PlatformOptions opt;
    opt.local_clock = [] { return int64_t{1709253296}; }; // 2024-03-01 00:34:56
    Harness h("pause 100\n", opt);
    h.p.connected(h.now, "peer");
    for (const Upload& u : row.uploads)
      h.station_sends(std::string("QN=") + u.qn + ";ST=32;CN=" + u.cn + ";PW=123456;MN=M1;Flag=4;" + (u.resend ? "RF=1;" : "") + "CP=&&" +
                      (*u.datatime ? std::string("DataTime=") + u.datatime + ";" : std::string()) + "w01018-Avg=1.5&&");
    h.run_until(1500);
    h.p.stopped();
    const std::string summary = h.p.summary();
    EXPECT_TRUE(h.p.finished()) << row.name;
    if (row.problem) {
      EXPECT_NE(summary.find("BROKEN (" + std::to_string(row.problems) + " problems)\n"), std::string::npos) << row.name << "\n" << summary;
      EXPECT_NE(summary.find(row.problem), std::string::npos) << row.name << "\n" << summary;
    } else {
      EXPECT_FALSE(h.p.broken()) << row.name << "\n" << summary;
    }
    if (row.row) {
      EXPECT_NE(summary.find(row.row), std::string::npos) << row.name << "\n" << summary;
    }
  }
  // shortened periods (--periods): their boundaries and their ends
  std::map<std::string, int> periods = sim::PlatformOptions().periods;
  std::string error;
  ASSERT_TRUE(sim::parse_periods("2051=2,2061=3", periods, error)) << error;
  EXPECT_EQ(periods, (std::map<std::string, int>{{"2031", 86400}, {"2051", 2}, {"2061", 3}}));
  for (const char* bad : {"", "2011=5", "2051=0", "2051=x", "2051", "2051=2,", "2061=2678401"}) {
    std::map<std::string, int> p = periods;
    EXPECT_FALSE(sim::parse_periods(bad, p, error)) << bad;
    EXPECT_EQ(p, periods) << bad;
  }
  sim::PlatformOptions opt;
  opt.periods = periods;
  Harness h("pause 100\n", opt);
  h.p.connected(h.now, "peer");
  for (const char* qn_time : {"20240101000002001", "20240101000004001", "20240101000006001"}) {
    std::string dt = std::string(qn_time).substr(0, 14);
    dt[13] = static_cast<char>(dt[13] - 2);
    h.station_sends(std::string("QN=") + qn_time + ";ST=32;CN=2051;PW=123456;MN=M1;Flag=4;CP=&&DataTime=" + dt + "&&");
  }
  h.station_sends("QN=20240101000006001;ST=32;CN=2061;PW=123456;MN=M1;Flag=4;CP=&&DataTime=20240101000003&&");
  h.run_until(1500);
  EXPECT_NE(h.p.summary().find("  period data:        CN=2051 x3 (2 s), 0 missing; CN=2061 x1 (3 s), 0 missing\n"), std::string::npos)
      << h.p.summary();
  EXPECT_FALSE(h.p.broken()) << h.p.summary();
}

// A request still waiting for its answers when the link goes down is unanswered, counted once
// among the missing replies, whichever end closed the link.
TEST(SimPlatform, RequestsCutByTheLinkAreUnanswered) {
  struct Row {
    const char* name;
    const char* step;
    std::vector<std::string> answers; // CN, CP after the request's QN, before the link goes down
    const char* problem;              // nullptr: none but the closed connection
  } rows[] = {
      {"history cut inside its answer",
       "request CN=2061 CP=BeginTime=20200101000000;EndTime=20200101235959",
       {"9011", "QnRtn=1", "2061", "DataTime=20200101000000", "2061", "DataTime=20200101010000"},
       "request CN=2061 QN=* unanswered: the link went down inside its answer, after the 9011 and before the 9012"},
      {"before its 9011", "request CN=1011", {}, "request CN=1011 QN=* unanswered: the link went down before its 9011"},
      {"after its 9011",
       "request CN=1012 CP=SystemTime=20240101000000",
       {"9011", "QnRtn=1"},
       "request CN=1012 QN=* unanswered: the link went down after its 9011, before its 9012"},
      {"wanting no answer", "request CN=1011 reply=none", {}, nullptr},
  };
  for (const Row& row : rows) {
    sim::PlatformOptions opt;
    opt.reply_timeout_ms = 500;
    Harness h(std::string(row.step) + "\n", opt);
    h.p.connected(h.now, "peer");
    h.run_until(1000);
    const std::string qn = h.requests().at(0).value("QN");
    for (size_t i = 0; i + 1 < row.answers.size(); i += 2) h.answer(qn, row.answers[i], row.answers[i + 1]);
    h.p.disconnected(h.now);
    h.run_until(2000); // its deadline passes: no second problem
    const std::string summary = h.p.summary();
    EXPECT_TRUE(h.p.finished()) << row.name;
    EXPECT_NE(summary.find("the station closed the connection\n"), std::string::npos) << row.name << "\n" << summary;
    EXPECT_NE(summary.find(std::string("missing replies:    ") + (row.problem ? "1" : "0") + "\n"), std::string::npos) << row.name << "\n" << summary;
    EXPECT_NE(summary.find(std::string("BROKEN (") + (row.problem ? "2" : "1") + " problems)"), std::string::npos) << row.name << "\n" << summary;
    if (!row.problem) continue;
    std::string problem = row.problem;
    problem.replace(problem.find('*'), 1, qn);
    EXPECT_NE(summary.find(problem + "\n"), std::string::npos) << row.name << "\n" << summary;
  }
}

TEST(SimPlatform, DropWaitsForTheStationToComeBack) {
  Harness h("drop\nrequest CN=1011 reply=ack\n");
  h.p.connected(h.now, "peer");
  h.run_until(1000);
  EXPECT_TRUE(h.dropped);
  h.p.disconnected(h.now);
  h.run_until(1500);
  EXPECT_TRUE(h.requests().empty());
  h.p.connected(h.now, "peer");
  h.run_until(1600);
  ASSERT_EQ(h.requests().size(), 1u);
  h.answer(h.requests()[0].value("QN"), "9011", "QnRtn=1");
  h.run_until(1700);
  EXPECT_TRUE(h.p.finished());
  EXPECT_FALSE(h.p.broken()) << h.p.summary();
}

// Deadlines that pass while the scenario still runs (a request waits for its answers, then a
// pause): each is no next event once passed, or the program's loop polls without waiting.
TEST(SimPlatform, PassedDeadlinesAreNotWaitedFor) {
  struct Row {
    const char* name;
    int duration_ms, drop_at_ms;
    int64_t until;
  } rows[] = {{"the run's length", 100, -1, 1500},
              {"the link's drop, held by the request", 0, 100, 1500},
              {"the dropped link's refusal, the station away", 0, 100, 2500}};
  for (const Row& row : rows) {
    sim::PlatformOptions opt;
    opt.reply_timeout_ms = 1000;
    opt.duration_ms = row.duration_ms;
    opt.drop_at_ms = row.drop_at_ms;
    opt.drop_for_ms = 100;
    Harness h("request CN=1062\npause 1000\n", opt);
    h.p.connected(h.now, "peer");
    h.run_until(row.until);
    EXPECT_FALSE(h.p.finished()) << row.name;
    EXPECT_GT(h.p.next_event(h.now), h.now) << row.name;
  }
}

// With the key: uploads decrypted in either form (the worked example, and raw ciphertext holding
// CR LF and "##" fed in pieces), and a station that leaves them plain, takes the CRC over the
// ciphertext or uses another key is BROKEN.
TEST(SimPlatform, EncryptedUploadsWithTheKey) {
  const tooltest::Sm4Example e = tooltest::LoadSm4Example(POLMON_TOOLS_DATA "/sm4_example.txt");
  const std::string head = "QN=20240101000000001;ST=32;CN=2051;PW=123456;MN=M1;Flag=8;CP=&&";
  // two blocks of text whose ciphertext holds CR LF, then "##"; the DataTime after them, which ECB leaves them as they are
  const std::string region = "a00010-Rtd=4849;a00000-Rtd=6426;DataTime=20240101000000";
  std::string cipher = region;
  HJ::Sm4(reinterpret_cast<const unsigned char*>(e.key.data())).encrypt_ecb(reinterpret_cast<unsigned char*>(&cipher[0]), 48);
  ASSERT_NE(cipher.find("\r\n"), std::string::npos);
  ASSERT_NE(cipher.find("##"), std::string::npos);
  const std::string crafted = HJ::wrap_frame(head + cipher + "&&").substr(0, 6) + head + cipher + "&&" + reference_crc(head + region + "&&") + "\r\n";
  const std::string example_seg = e.raw.substr(6, e.raw.size() - 12);
  const std::string crc_over_cipher = "##0295" + example_seg + reference_crc(example_seg) + "\r\n";
  // one encrypted frame in 256 has a CRC that fits its ciphertext too (this value, this key)
  const std::string coincident =
      sim::encrypted_wire_data("QN=20240101000000001;ST=32;CN=2051;PW=123456;MN=M1;Flag=8;CP=&&w01018-Rtd=0000473;DataTime=20240101000000&&",
                               "polmon-e2e-key16", sim::CipherWire::Raw)
          .frame();
  ASSERT_EQ(sim::check_frame(coincident).verdict, sim::Verdict::Ok) << "the CRC fits the bytes as sent";
  struct Case {
    const char* name;
    std::string bytes, key;
    const char* finding; // the problem, or the summary's encryption row
  } cases[] = {
      {"raw", e.raw, e.key, "encrypted in:       1 (1 raw, 0 {0x..} text), 0 not encrypted"},
      {"text", e.text, e.key, "encrypted in:       1 (0 raw, 1 {0x..} text), 0 not encrypted"},
      {"raw holding CR LF and ##", crafted, e.key, "encrypted in:       1 (1 raw, 0 {0x..} text), 0 not encrypted"},
      {"plain", e.plain, e.key, "- frame QN 20240520210700000 CN=2051 is not encrypted"},
      {"CRC over the ciphertext", crc_over_cipher, e.key, "CN=2051 has its CRC over the encrypted bytes"},
      {"another key", e.raw, "1111111111111111", "bad frame from the station (BAD: crc; it looks encrypted, but the key does not decrypt it)"},
      {"CRC fitting the ciphertext too", coincident, "polmon-e2e-key16", "encrypted in:       1 (1 raw, 0 {0x..} text), 0 not encrypted"},
  };
  for (const Case& c : cases) {
    sim::PlatformOptions opt;
    opt.key = c.key;
    opt.periods.clear(); // these frames are made for their ciphertext, not stamped as minute data
    Harness h("uploads CN=2051 count=1 timeout=1000\n", opt);
    h.p.connected(h.now, "peer");
    h.run_until(1000);
    for (size_t i = 0; i < c.bytes.size(); i += 7) h.p.received(c.bytes.data() + i, std::min<size_t>(7, c.bytes.size() - i), h.now);
    h.run_until(2100);
    std::string summary = h.p.summary();
    EXPECT_NE(summary.find(c.finding), std::string::npos) << c.name << "\n" << summary;
    EXPECT_EQ(h.p.frames_in(), 1u) << c.name;
    EXPECT_EQ(h.p.broken(), std::string(c.finding).rfind("encrypted in:", 0) != 0) << c.name << "\n" << summary;
    // the web view: a frame the key decrypted is handed over plain, and the link shows encryption on
    bool decrypted = std::string(c.finding).rfind("encrypted in:       1", 0) == 0;
    EXPECT_EQ(h.p.counters().encrypted, decrypted) << c.name;
    ASSERT_GE(h.observed.frames.size(), 1u) << c.name;
    ASSERT_TRUE(h.observed.frames[0].incoming) << c.name;
    const std::string& shown = h.observed.frames[0].bytes;
    EXPECT_EQ(shown == c.bytes, !decrypted) << c.name;
    if (decrypted) {
      EXPECT_EQ(sim::check_frame(shown).verdict, sim::Verdict::Ok) << c.name << ": " << shown;
    }
  }

  // Its own requests of CN 2000-2999: encrypted in the chosen form, length over what is sent,
  // CRC over the plain data segment.
  for (sim::CipherWire form : {sim::CipherWire::Raw, sim::CipherWire::Text}) {
    sim::PlatformOptions opt;
    opt.key = e.key;
    opt.cipher_form = form;
    Harness h("request CN=2011 CP=DataTime=20240101000000;w01018-Rtd=1.5 reply=ack\n", opt);
    h.p.connected(h.now, "peer");
    h.run_until(1000);
    ASSERT_EQ(h.wire.size(), 1u);
    const std::string& sent = h.wire[0];
    std::string segment = sent.substr(6, sent.size() - 12), plain;
    EXPECT_EQ(std::stoul(sent.substr(2, 4)), segment.size());
    ASSERT_TRUE(HJ::decrypt_cp(segment.data(), segment.size(), HJ::Sm4(reinterpret_cast<const unsigned char*>(e.key.data())), plain));
    EXPECT_EQ(sent.substr(sent.size() - 6, 4), reference_crc(plain));
    EXPECT_NE(plain, segment);
    EXPECT_EQ(plain.size() == segment.size(), form == sim::CipherWire::Raw);
    EXPECT_EQ(sim::parse_segment(plain).cp, "DataTime=20240101000000;w01018-Rtd=1.5");
    ASSERT_EQ(h.observed.frames.size(), 1u); // the web view shows the request as the station reads it
    EXPECT_EQ(h.observed.frames[0].verdict, sim::Verdict::Ok);
    EXPECT_EQ(sim::parse_segment(sim::check_frame(h.observed.frames[0].bytes).segment).cp, "DataTime=20240101000000;w01018-Rtd=1.5");
  }
}

// A 2025 platform with a key: what it finds in a station's packets and resends. Each row is what
// the station sends ("drop": the platform drops the link, --drop-link, and the station comes back)
// and the problem it must raise.
TEST(SimFlows2025, PacketsAndResends) {
  auto frame = [](const char* qn, const std::string& header, const char* datatime = "20231231230000", // the hour before the QNs
                  const std::string& cp = ";w01018-Avg=1.5") {
    return std::string("QN=") + qn + ";ST=32;CN=2061;PW=123456;MN=POLMON000000000000000001;Flag=" + header + ";CP=&&DataTime=" + datatime + cp + "&&";
  };
  const char* q1 = "20240101000000001";
  const char* q2 = "20240101000000002";
  const char* q3 = "20240101000000003";
  struct Row {
    const char* name;
    std::vector<std::string> events;
    const char* problem;       // nullptr: none
    unsigned uploads, resends; // uploads: resends are none
    size_t problems = 1;       // with `problem`: each fault told once
  } rows[] = {
      {"whole", {frame(q1, "11;PNUM=2;PNO=1"), frame(q1, "11;PNUM=2;PNO=2")}, nullptr, 1, 0},
      {"a packet missing", {frame(q1, "11;PNUM=2;PNO=1"), frame(q2, "9")}, "packet 2 of 2 never came", 1, 0},
      {"PNO beyond PNUM", {frame(q1, "11;PNUM=2;PNO=3")}, "PNO=3 is beyond PNUM=2", 0, 0},
      {"PNO 0", {frame(q1, "11;PNUM=2;PNO=0")}, "PNO=0 is 0; packets count from 1", 0, 0},
      {"leading zeros", {frame(q1, "11;PNUM=00002;PNO=00001"), frame(q1, "11;PNUM=00002;PNO=00002")}, nullptr, 1, 0},
      {"PNUM not digits", {frame(q1, "11;PNUM=+2;PNO=1")}, "PNUM=+2 is not a number (digits only)", 0, 0},
      {"PNUM 0", {frame(q1, "11;PNUM=000;PNO=1")}, "PNUM=000 is 0; an upload has at least one packet", 0, 0},
      {"PNO of 20 digits", {frame(q1, "11;PNUM=2;PNO=18446744073709551617")}, "PNO=18446744073709551617 has more than 6 significant", 0, 0},
      {"no packet bit", {frame(q1, "9;PNUM=2;PNO=1")}, "lacks the packet bit", 0, 0},
      {"no PNUM", {frame(q1, "11;PNO=1")}, "no PNUM or no PNO", 0, 0, 2},                                            // and so out of the 2025 order
      {"second packet first", {frame(q1, "11;PNUM=2;PNO=2"), frame(q1, "11;PNUM=2;PNO=1")}, "PNO=2 of QN", 0, 0, 2}, // and never completed
      {"RF before PNUM", {frame(q1, "11;RF=1;PNUM=1;PNO=1")}, "the 2025 order is Flag;PNUM;PNO;[RF=1;]CP=", 0, 1},
      {"cut by the link, resent",
       {frame(q1, "11;PNUM=2;PNO=1"), "drop", frame(q1, "11;PNUM=2;PNO=1;RF=1"), frame(q1, "11;PNUM=2;PNO=2;RF=1")},
       nullptr,
       0,
       1},
      {"cut by the link, never resent", {frame(q1, "11;PNUM=2;PNO=1"), "drop"}, "never completed, nor resent", 0, 0},
      {"resends newest first", {frame(q3, "9"), "drop", frame(q2, "9;RF=1"), frame(q1, "9;RF=1")}, nullptr, 1, 2},
      {"resends oldest first", {frame(q3, "9"), "drop", frame(q1, "9;RF=1"), frame(q2, "9;RF=1")}, "not newest first", 1, 2},
      {"a received one again, its answer late", {frame(q3, "9"), "drop", frame(q2, "9;RF=1"), frame(q3, "9;RF=1")}, nullptr, 1, 2},
      {"again without RF=1", {frame(q1, "9"), frame(q1, "9")}, "uploaded again without RF=1", 2, 0},
      {"resend with another DataTime", {frame(q1, "9"), "drop", frame(q1, "9;RF=1", "20240101000000")}, "the upload had 20231231230000", 1, 1},
      {"above 1024 bytes", {frame(q1, "9", "20231231230000", ";x=" + std::string(1000, '1'))}, "above 1024 (not split", 1, 0},
  };
  for (const Row& row : rows) {
    sim::PlatformOptions opt;
    opt.standard = 2025;
    opt.flag = "9";
    opt.key = "0123456789ABCDEF";
    bool drops = false;
    for (const std::string& e : row.events) drops = drops || e == "drop";
    if (drops) {
      opt.drop_at_ms = 100;
      opt.drop_for_ms = 200;
    }
    Harness h("pause 500\n", opt);
    h.p.connected(h.now, "peer");
    for (const std::string& e : row.events) {
      if (e == "drop") {
        h.run_until(h.now + 100);
        ASSERT_TRUE(h.dropped) << row.name;
        h.p.disconnected(h.now);
        EXPECT_TRUE(h.p.refusing(h.now));
        h.run_until(h.now + 200);
        EXPECT_FALSE(h.p.refusing(h.now));
        h.p.connected(h.now, "peer");
      } else { // encrypted as a station with the key sends it
        std::string f = sim::encrypted_wire_data(e, opt.key, sim::CipherWire::Raw).frame();
        h.p.received(f.data(), f.size(), h.now);
      }
    }
    h.run_until(h.now + 3000);
    std::string summary = h.p.summary();
    EXPECT_TRUE(h.p.finished()) << row.name;
    if (row.problem) EXPECT_NE(summary.find(row.problem), std::string::npos) << row.name << "\n" << summary;
    else EXPECT_FALSE(h.p.broken()) << row.name << "\n" << summary;
    if (row.problem) {
      EXPECT_NE(summary.find("BROKEN (" + std::to_string(row.problems) + " problems)"), std::string::npos) << row.name << "\n" << summary;
    }
    EXPECT_EQ(h.p.uploads("2061"), row.uploads) << row.name;
    EXPECT_EQ(h.p.resends(), row.resends) << row.name;
    EXPECT_EQ(h.p.counters().resends, row.resends) << row.name;
    // every frame that asks for an answer gets its 9014, packets one by one
    size_t wanted = 0;
    for (const std::string& e : row.events) wanted += e != "drop";
    EXPECT_EQ(h.requests().size(), wanted) << row.name;
  }
}

// The MN a 1002 gives is the station's from the 9012 on; a key of a wrong length must be refused;
// heartbeats get 9013 and a key request a new key.
TEST(SimFlows2025, NewMnKeysAndHeartbeats) {
  sim::PlatformOptions opt;
  opt.standard = 2025;
  opt.flag = "9";
  opt.key = "0123456789ABCDEF";
  opt.reply_timeout_ms = 500;
  Harness h("request CN=1002\nrequest CN=1014 CP=NewSK=short\n", opt);
  h.p.connected(h.now, "peer");
  h.run_until(1000);
  sim::Segment req = h.requests().at(0);
  std::string mn = *req.cp_get("MN"), qn = req.value("QN");
  EXPECT_EQ(mn.size(), 24u);
  EXPECT_EQ(mn.find_first_not_of("0123456789ABCDEF"), std::string::npos) << mn;
  auto answer = [&](const std::string& q, const std::string& m, const std::string& cn, const std::string& cp) {
    h.station_sends("QN=" + q + ";ST=91;CN=" + cn + ";PW=123456;MN=" + m + ";Flag=8;CP=&&" + cp + "&&");
  };
  answer(qn, "POLMON000000000000000001", "9011", "QnRtn=1");
  answer(qn, "POLMON000000000000000001", "9012", "ExeRtn=1");
  h.run_until(1100);
  ASSERT_EQ(h.requests().size(), 2u);
  sim::Segment push = h.requests()[1];
  EXPECT_EQ(push.value("MN"), mn); // the platform's requests carry the new MN
  EXPECT_FALSE(h.p.broken()) << h.p.summary();

  h.station_sends("QN=20240101000000009;ST=91;CN=9015;PW=123456;MN=" + mn + ";Flag=9;CP=&&&&");
  h.station_sends("QN=20240101000000010;ST=32;CN=1014;PW=123456;MN=" + mn + ";Flag=9;CP=&&SKCreateTime=20240101000000010&&");
  h.run_until(1200);
  auto sent = h.requests();
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[2].value("CN"), "9013");
  EXPECT_EQ(sent[2].value("QN"), "20240101000000009");
  EXPECT_EQ(sent[3].value("CN"), "1014");
  EXPECT_EQ(*sent[3].cp_get("SKCreateTime"), "20240101000000010");
  EXPECT_EQ(sent[3].cp_get("NewSK")->size(), 16u);
  EXPECT_FALSE(h.p.broken()) << h.p.summary();
  EXPECT_EQ(h.p.counters().heartbeats, 1u);
  unsigned answers_shown = 0; // the 9013 and the key reach the web view as frames out
  for (const Observed::Frame& f : h.observed.frames)
    answers_shown += !f.incoming && (f.bytes.find("CN=9013") != std::string::npos || f.bytes.find("CN=1014") != std::string::npos);
  EXPECT_EQ(answers_shown, 3u) << "the pushed 1014, the 9013, the key answer";

  answer(push.value("QN"), "POLMON000000000000000001", "9011", "QnRtn=1"); // the old MN, after the new one was taken
  answer(push.value("QN"), mn, "9012", "ExeRtn=1");                        // and a key of 5 characters taken
  h.run_until(2000);
  std::string summary = h.p.summary();
  EXPECT_NE(summary.find("carries MN=POLMON000000000000000001, the station's MN is " + mn), std::string::npos) << summary;
  EXPECT_NE(summary.find("the station took a key of 5 characters"), std::string::npos) << summary;
  EXPECT_NE(summary.find("BROKEN (2 problems)"), std::string::npos) << summary;
}

// Where implementations differ (the key request's answer, the heartbeat's) or the form is not
// the standard's (an MN not of 24 characters), the platform notes it and the verdict stays OK;
// with key-ack or quiet-heartbeat it answers as such platforms do.
TEST(SimFlows2025, OpenFlowsAreNotesNotFaults) {
  const std::string mn24 = "POLMON000000000000000001";
  auto frame = [](const std::string& mn, const char* qn, const char* st, const char* cn, const char* flag, const std::string& cp) {
    return std::string("QN=") + qn + ";ST=" + st + ";CN=" + cn + ";PW=123456;MN=" + mn + ";Flag=" + flag + ";CP=&&" + cp + "&&";
  };
  const char* q1 = "20240101000000001";
  auto key_request = [&](const std::string& mn) { return frame(mn, q1, "32", "1014", "9", std::string("SKCreateTime=") + q1); };
  auto beat = [&](const std::string& mn) { return frame(mn, q1, "91", "9015", "9", ""); };
  struct Row {
    const char* name;
    const char* misbehave;
    std::string mn;
    std::vector<std::string> station;
    std::vector<std::string> replies; // the CNs the platform answers with
    const char* note;                 // nullptr: none
  } rows[] = {
      {"key answer answered as a pushed key",
       "",
       mn24,
       {key_request(mn24), frame(mn24, q1, "91", "9011", "8", "QnRtn=1"), frame(mn24, q1, "91", "9012", "8", "ExeRtn=1")},
       {"1014"},
       "9012 for QN 20240101000000001: the station answered the key its 1014 got as if the key were pushed"},
      {"key request acknowledged, the key pushed with its QN",
       "key-ack",
       mn24,
       {key_request(mn24), frame(mn24, q1, "91", "9011", "8", "QnRtn=1"), frame(mn24, q1, "91", "9012", "8", "ExeRtn=1")},
       {"9013", "1014"},
       nullptr},
      {"heartbeat unanswered", "quiet-heartbeat", mn24, {beat(mn24)}, {}, nullptr},
      {"heartbeat answered", "", mn24, {beat(mn24)}, {"9013"}, nullptr},
      {"MN of 16 characters",
       "",
       "POLMON0000000001",
       {beat("POLMON0000000001")},
       {"9013"},
       "the station's MN POLMON0000000001 has 16 characters, not 24"},
  };
  for (const Row& row : rows) {
    sim::PlatformOptions opt;
    opt.standard = 2025;
    opt.flag = "9";
    opt.key = "0123456789ABCDEF";
    opt.mn = row.mn;
    std::vector<Step> steps = steps_of("pause 500\n");
    std::string error;
    ASSERT_TRUE(sim::apply_misbehaviour(row.misbehave, steps, opt, error)) << error; // sets the options
    Harness h("pause 500\n", opt);
    h.p.connected(h.now, "peer");
    for (const std::string& f : row.station) h.station_sends(f);
    h.run_until(h.now + 1000);
    std::string summary = h.p.summary();
    EXPECT_FALSE(h.p.broken()) << row.name << "\n" << summary;
    std::vector<std::string> replies;
    for (const sim::Segment& r : h.requests()) replies.push_back(r.value("CN"));
    EXPECT_EQ(replies, row.replies) << row.name;
    if (row.note) EXPECT_NE(summary.find(row.note), std::string::npos) << row.name << "\n" << summary;
    else EXPECT_EQ(summary.find("notes:"), std::string::npos) << row.name << "\n" << summary;
  }
}

} // namespace

// The acceptance report: its verdict is the summary's, a failed check carries the problem and
// the frames that show it, and a passed one the exchange in order.
namespace {

// The text between `before` and the next `after` in `s`, or "(none)".
std::string between(const std::string& s, const std::string& before, const std::string& after) {
  size_t at = s.find(before);
  if (at == std::string::npos) return "(none)";
  at += before.size();
  return s.substr(at, s.find(after, at) - at);
}

const sim::Report::Check* failed_check(const Platform& p) {
  for (const sim::Report::Check& c : p.report().checks())
    if (c.state == sim::Report::State::Failed) return &c;
  return nullptr;
}

TEST(SimReport, VerdictAndEvidenceAsTheSummarySaysThem) {
  struct Row {
    const char* name;
    const char* step;
    std::vector<std::string> answers;  // CN, CP after the request's QN
    const char* rule;                  // of the failed check; nullptr: none fails
    const char* problem;               // OK rows: a rule that passed besides the exchange
    std::vector<std::string> evidence; // in each failed check's frames, in this order
  } rows[] = {
      {"carried out", "request CN=1062 CP=RtdInterval=2", {"9011", "QnRtn=1", "9012", "ExeRtn=1"}, nullptr, nullptr, {}},
      {"uploads started",
       "request CN=2011",
       {"9011", "QnRtn=1", "2011", "DataTime=20240101000000;w01018-Rtd=1.5"},
       nullptr,
       "a 2011 carried out starts real-time uploads",
       {}},
      {"wrong PW",
       "request CN=1011",
       {"9011", "QnRtn=3"},
       "carried out: 9011 QnRtn=1",
       "refused: QnRtn=3 (PW (password) wrong)",
       {"CN=1011;PW=123456", "CN=9011", "QnRtn=3"}},
      {"an invalid value taken",
       "request CN=1062 CP=RtdInterval=0",
       {"9011", "QnRtn=1", "9012", "ExeRtn=1"},
       "an invalid value",
       "accepted an invalid RtdInterval=0 (ExeRtn=1)",
       {"RtdInterval=0", "ExeRtn=1"}},
      {"silence", "request CN=2012", {}, "carried out: a notice, answered 9013", "no 9013 for notice CN=2012", {"CN=2012"}},
      {"9012 first", "request CN=1011", {"9012", "ExeRtn=1", "9011", "QnRtn=1"}, "carried out: 9011", "9012 before 9011", {"ExeRtn=1", "QnRtn=1"}},
      {"history records in range",
       "request CN=2051 CP=BeginTime=20200101000000;EndTime=20200101010000",
       {"9011", "QnRtn=1", "2051", "DataTime=20200101000000;w01018-Avg=1.5", "9012", "ExeRtn=1"},
       nullptr,
       "history records: the CN asked for",
       {}},
      {"history, no data",
       "request CN=2061 CP=BeginTime=20200101000000;EndTime=20200102000000",
       {"9011", "QnRtn=1", "9012", "ExeRtn=100"},
       nullptr,
       "history records: the CN asked for",
       {}},
      {"a history record out of range",
       "request CN=2051 CP=BeginTime=20200101000000;EndTime=20200101010000",
       {"9011", "QnRtn=1", "2051", "DataTime=20240101000000;w01018-Avg=1.5", "9012", "ExeRtn=1"},
       "history records: the CN asked for",
       "record DataTime=20240101000000 outside the asked range",
       {"BeginTime=20200101000000", "DataTime=20240101000000"}},
  };
  for (const Row& row : rows) {
    sim::PlatformOptions opt;
    opt.reply_timeout_ms = 500;
    Harness h(std::string(row.step) + "\n", opt);
    h.p.connected(h.now, "peer");
    h.run_until(1000);
    const std::string qn = h.requests().at(0).value("QN");
    for (size_t i = 0; i + 1 < row.answers.size(); i += 2) h.answer(qn, row.answers[i], row.answers[i + 1]);
    h.run_until(2000);
    const std::string verdict = between(h.p.summary(), "  verdict:            ", "\n");
    EXPECT_EQ(verdict, row.rule ? "BROKEN (1 problems)" : "OK") << row.name;
    const std::string html = h.p.report_html("");
    EXPECT_EQ(between(html, "<span id=\"verdict\" class=\"badge " + std::string(row.rule ? "bad" : "ok") + "\">", "</span>"), verdict) << row.name;
    EXPECT_EQ(between(h.p.report_junit(), "<property name=\"verdict\" value=\"", "\""), verdict) << row.name;
    const sim::Report::Check* failed = failed_check(h.p);
    if (!row.rule) {
      EXPECT_EQ(failed, nullptr) << row.name << ": " << failed->problem;
      ASSERT_FALSE(h.p.report().checks().empty());
      const sim::Report::Check& exchange = h.p.report().checks()[0];
      ASSERT_EQ(exchange.evidence.size(), row.answers.size() / 2 + 1) << row.name; // the request and its answers
      EXPECT_FALSE(exchange.evidence[0].incoming);
      EXPECT_NE(exchange.evidence.back().bytes.find(row.answers.back()), std::string::npos) << row.name;
      EXPECT_LE(exchange.evidence[1].at, exchange.evidence.back().at);
      bool passed = !row.problem;
      for (const sim::Report::Check& c : h.p.report().checks())
        passed = passed || (c.rule.rfind(row.problem, 0) == 0 && c.state == sim::Report::State::Passed);
      EXPECT_TRUE(passed) << row.name << ": " << row.problem;
      continue;
    }
    ASSERT_NE(failed, nullptr) << row.name;
    EXPECT_NE(failed->rule.find(row.rule), std::string::npos) << row.name << ": " << failed->rule;
    EXPECT_EQ(failed->subject, "request CN=" + h.requests().at(0).value("CN") + " QN=" + qn) << row.name;
    EXPECT_NE(failed->problem.find(row.problem), std::string::npos) << row.name << ": " << failed->problem;
    size_t frame = 0;
    for (const std::string& want : row.evidence) {
      while (frame < failed->evidence.size() && failed->evidence[frame].bytes.find(want) == std::string::npos) ++frame;
      EXPECT_LT(frame, failed->evidence.size()) << row.name << ": no frame with " << want << " in its place";
    }
    EXPECT_NE(html.find("<tr class=\"check failed\""), std::string::npos) << row.name;
    EXPECT_NE(html.find(sim::Report::markup_text(failed->problem)), std::string::npos) << row.name;
  }

  // two causes on one request: both shown, in the order they came; a repeat of one is only counted
  {
    Harness twice("request CN=1011\n");
    twice.p.connected(twice.now, "peer");
    twice.run_until(1000);
    const std::string qn = twice.requests().at(0).value("QN");
    for (const char* rtn : {"QnRtn=3", "QnRtn=1", "QnRtn=1"}) twice.answer(qn, "9011", rtn);
    const sim::Report::Check* failed = failed_check(twice.p);
    ASSERT_NE(failed, nullptr);
    EXPECT_EQ(failed->failures, 3u);
    ASSERT_EQ(failed->problems.size(), 2u);
    EXPECT_NE(failed->problems[0].find("refused: QnRtn=3"), std::string::npos) << failed->problems[0];
    EXPECT_NE(failed->problems[1].find("a second 9011 for QN " + qn), std::string::npos) << failed->problems[1];
  }

  // period data: a rule of their own, per CN, passed by records on their period's start
  Harness h("pause 10\n");
  h.p.connected(h.now, "peer");
  h.station_sends("QN=20240101000200000;ST=32;CN=2051;PW=123456;MN=M1;Flag=4;CP=&&DataTime=20240101000100;w01018-Avg=1&&");
  h.station_sends("QN=20240101000300000;ST=32;CN=2051;PW=123456;MN=M1;Flag=4;CP=&&DataTime=20240101000230;w01018-Avg=1&&");
  const sim::Report::Check* periods = failed_check(h.p);
  ASSERT_NE(periods, nullptr);
  EXPECT_EQ(periods->subject, "uploads CN=2051");
  EXPECT_EQ(periods->passes, 2u);
  EXPECT_NE(periods->problem.find("DataTime=20240101000230 is not on a boundary of its 60 s period"), std::string::npos) << periods->problem;
  ASSERT_EQ(periods->evidence.size(), 2u);
  EXPECT_NE(periods->evidence[1].bytes.find("DataTime=20240101000230"), std::string::npos);
}

// A long history answer keeps its first frames and its latest (the 9012), a flood of one cause
// is one check, and the number of checks has a ceiling the JUnit still tells of.
TEST(SimReport, StaysSmallForADayLongRun) {
  Harness h("request CN=2051 CP=BeginTime=20240101000000;EndTime=20240102000000\n");
  h.p.connected(h.now, "peer");
  h.run_until(1000);
  const std::string qn = h.requests().at(0).value("QN");
  h.answer(qn, "9011", "QnRtn=1");
  for (int minute = 0; minute < 20; ++minute)
    h.answer(qn, "2051", "DataTime=202401010" + std::to_string(100 + minute).substr(1) + "00;w01018-Avg=" + std::string(300, '1'));
  h.answer(qn, "9012", "ExeRtn=1");
  for (int k = 0; k < 1000; ++k) h.p.received("noise", 5, h.now);
  h.run_until(2000);
  const auto& checks = h.p.report().checks();
  ASSERT_FALSE(checks.empty());
  const sim::Report::Check& exchange = checks[0];
  EXPECT_EQ(exchange.frames_seen, 23u);
  ASSERT_EQ(exchange.evidence.size(), sim::Report::kFirstFrames + 1);
  EXPECT_NE(exchange.evidence.back().bytes.find("ExeRtn=1"), std::string::npos);
  EXPECT_LE(exchange.evidence[3].bytes.size(), sim::Report::kShownBytes);
  EXPECT_GT(exchange.evidence[3].size, sim::Report::kShownBytes);
  size_t noise = 0;
  for (const auto& c : checks) noise += c.failures == 1000;
  EXPECT_EQ(noise, 1u);
  EXPECT_LE(checks.size(), 4u);

  sim::Report many;
  for (int k = 0; k < 600; ++k) many.problem("fault " + std::to_string(k), "fault " + std::to_string(k));
  EXPECT_EQ(many.checks().size(), sim::Report::kMaxChecks);
  EXPECT_EQ(many.dropped_failures(), 100u);
  sim::Report::Header header;
  header.broken = true;
  EXPECT_NE(many.junit(header).find("100 further checks, beyond the 500 kept\"><failure message=\"100 problems among them\""), std::string::npos);
  // no station came: the suite fails, though no check did
  const sim::Report nothing;
  EXPECT_NE(nothing.junit(sim::Report::Header()).find("failures=\"1\""), std::string::npos);
  header = sim::Report::Header();
  header.peer = "127.0.0.1:9000";
  EXPECT_NE(nothing.junit(header).find("failures=\"0\""), std::string::npos);
}

// Station text as the page and the XML show it: any byte, and still text.
TEST(SimReport, HostileBytesBecomeText) {
  struct Row {
    const char* in;
    const char* out;
  } rows[] = {
      {"a<b>&\"'", "a&lt;b&gt;&amp;&quot;&#39;"},
      {"\xff\xfe", "\\xFF\\xFE"},
      {"\x01\x1b[0m\x7f", "\\x01\\x1B[0m\\x7F"},
      {"\t\n", "\t\n"},
      {"\\x41", "\\\\x41"},                                                                       // a backslash of the station's is no escape of ours
      {"\xE5\x9C\xA8\xE7\xBA\xBF \xF0\x9F\x98\x80", "\xE5\x9C\xA8\xE7\xBA\xBF \xF0\x9F\x98\x80"}, // UTF-8 stays as it is
      {"\xC0\xAF", "\\xC0\\xAF"},                                                                 // overlong '/'
      {"\xE0\x80\xAF", "\\xE0\\x80\\xAF"},                                                        // overlong in three bytes
      {"\xED\xA0\x80", "\\xED\\xA0\\x80"},                                                        // a surrogate
      {"\xEF\xBF\xBE", "\\xEF\\xBF\\xBE"},                                                        // U+FFFE, which XML forbids
      {"\xC2\x85", "\\xC2\\x85"},                                                                 // a C1 control
      {"\xF4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},                                               // beyond U+10FFFF
      {"\xE5\x9C", "\\xE5\\x9C"},                                                                 // cut short
      {"\xE5\x9C<", "\\xE5\\x9C&lt;"},
      {"\xE2\x80\xAEtxt.exe", "\\xE2\\x80\\xAEtxt.exe"},              // right-to-left override
      {"\xE2\x80\xAA\xE2\x81\xA9", "\\xE2\\x80\\xAA\\xE2\\x81\\xA9"}, // an embedding, an isolate's end
      {"\xE2\x80\x94", "\xE2\x80\x94"},                               // a dash beside them stays
  };
  for (const Row& row : rows) EXPECT_EQ(sim::Report::markup_text(row.in), row.out) << row.in;

  // in frames: a 2017 station's GB18030 text shown decoded, bytes of neither charset as bytes
  Harness h("pause 10\n");
  h.p.connected(h.now, "peer");
  h.station_sends("QN=1;ST=32;CN=2011;PW=123456;MN=M1;Flag=4;CP=&&SiteName=\xD4\xDA\xCF\xDF&&");
  h.station_sends("QN=2;ST=32;CN=2011;PW=123456;MN=M1;Flag=4;CP=&&SiteName=\xFF\x80\xFF&&");
  std::map<std::string, const sim::Report::Frame*> shown;
  for (const sim::Report::Check& c : h.p.report().checks())
    for (const sim::Report::Frame& f : c.evidence) shown[f.bytes.substr(6, 4)] = &f;
  ASSERT_TRUE(shown.count("QN=1") && shown.count("QN=2"));
  EXPECT_TRUE(shown["QN=1"]->gb18030);
  EXPECT_NE(shown["QN=1"]->bytes.find("SiteName=\xE5\x9C\xA8\xE7\xBA\xBF&&"), std::string::npos);
  EXPECT_FALSE(shown["QN=2"]->gb18030);
  EXPECT_NE(sim::Report::markup_text(shown["QN=2"]->bytes).find("SiteName=\\xFF\\x80\\xFF&amp;&amp;"), std::string::npos);

  // the log's lines and the summary: a bidirectional control in the MN, a C1 control in a value, and
  // a frame with ESC and BEL, which the plug-in drops
  Harness bad("pause 10\n");
  bad.p.connected(bad.now, "peer");
  bad.station_sends("QN=20240101000000001;ST=32;CN=2011;PW=123456;MN=M\xE2\x80\xAE"
                    "1;Flag=4;CP=&&DataTime=20240101000000;"
                    "SiteName=\xC2\x9B"
                    "2J&&");
  bad.station_sends("QN=20240101000001001;ST=32;CN=2011;PW=123456;MN=M\x1B]0;x\x07;Flag=4;CP=&&DataTime=20240101000001&&");
  bad.run_until(1200);
  std::vector<std::string> outs = bad.log;
  outs.push_back(bad.p.summary());
  for (const std::string& out : outs)
    for (const char* hostile : {"\x1B", "\x07", "\xE2\x80\xAE", "\xC2\x9B"}) EXPECT_EQ(out.find(hostile), std::string::npos) << out;
}

} // namespace
