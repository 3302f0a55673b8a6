// The scenario a platform runs: its steps (requests, pauses, link drops, uploads awaited), the
// text they are written in, and the runner that takes the steps one after another over a run
// (ScenarioRun).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "Options.h"

namespace sim {

// What a request step may do wrong on purpose, and what it expects back.
struct Misbehaviour {
  bool split = false;      // the frame goes out in three pieces
  bool junk = false;       // noise before "##"
  bool bad_crc = false;    // a wrong CRC: the station must ignore the frame
  bool bad_length = false; // a wrong length field: likewise
  int delay_ms = 0;        // pause between the pieces (splits the frame in two if not split)
};

struct Step {
  enum Kind { Request, Pause, Drop, Uploads, Leave } kind = Request; // Leave: a 2025 duty the scenario leaves out
  // Request
  std::string cn, cp, st, pw, mn, flag;
  Misbehaviour bad;
  enum Reply { Full, Ack, None } reply = Full; // 9011 then 9012 or data / 9011 only / silence
  // What the station must make of it: carry it out, refuse it (QnRtn or ExeRtn not 1), either.
  enum Expect { Accepted, Refused, Either } expect = Accepted;
  int timeout_ms = 0;                          // 0: the platform's default
  // Pause
  int pause_ms = 0;
  // Uploads: wait for `count` more uploads of `cn`
  int count = 1;
  std::string text; // the line it came from
};

// Time placeholders in a scenario's text, as yyyyMMddhhmmss at `local_s` (seconds as
// PlatformOptions::local_clock counts them): {now}, {today} (its 00:00:00), either with +N or -N
// of s, m, h or d ({now-1h}, {today-1d}). False with the placeholder named when one is unknown.
bool expand_times(const std::string& text, int64_t local_s, std::string& out, std::string& error);

// The scenario of --standard: every duty a platform's acceptance asks of a station (the interval
// set and read, the clock read and set, uploads started, stopped and started again, history of
// minute, hourly and daily data with records and without), Chinese text in a request's CP.
std::string standard_scenario(bool keyed = false);
// The scenario of --standard 2025 --key: the above and duties_2025().
std::string station_2025_scenario();

// The 2025 duties a platform asks of a station with a key: a new MN (1002), a pushed key and one of
// a wrong length (1014). The station's own it must do unasked (is_duty_2025, Duties.h).
std::string duties_2025();
// With --standard 2025 and a key, whatever the scenario: the duties it lacks appended, those it
// leaves out taken from it into options.left_out; the station's own duties judged at the end.
void with_duties(std::vector<Step>& steps, PlatformOptions& options);

// Parses a scenario: one step a line ("request CN=1062 CP=RtdInterval=2 split", "request CN=1011
// PW=999999 expect=refused", "pause 500", "drop", "uploads CN=2011 count=3 timeout=8000"), '#'
// comments; a request's time placeholders are checked here and expanded when its step starts.
// False with a message naming the line.
bool parse_scenario(const std::string& text, std::vector<Step>& out, std::string& error);
// The scenario used when none is given: set the upload interval, read the time, start uploads.
std::string default_scenario();
// Applies --misbehave items (split, junk, bad-crc, bad-length, delay=MS, drop; key-ack and
// quiet-heartbeat set options) to a scenario.
bool apply_misbehaviour(const std::string& list, std::vector<Step>& steps, PlatformOptions& options, std::string& error);

class Outbox;
class Periods;
class Problems;
class RealTime;
class RequestDesk;
class Requests;
class UploadTally;

// Runs the steps in order: a request step waits for its answers (the desk sends it, the ledger
// tells when it is done), a pause for its time, a drop for the station to come back, an uploads
// step for its count or its timeout. `link_down`: --drop-link has the link down, so a request
// step waits for it to come back.
class ScenarioRun {
public:
  // The rooms the steps act through.
  struct Rooms {
    const PlatformOptions& opt;
    RequestDesk& desk;
    Requests& ledger;
    Outbox& out;
    Periods& periods;
    RealTime& real_time;
    const UploadTally& tally;
    Problems& problems;
    const std::function<void(const std::string&)>& log;
  };
  ScenarioRun(std::vector<Step> steps, const Rooms& rooms) : m_steps(std::move(steps)), m(rooms) {}
  // The station came for the first time: the first step starts.
  void begin(int64_t now) { start_step(now, false); }
  // The station came back: after a drop step, the step is done; after --drop-link, a request
  // step that waited goes out.
  void reconnected(int64_t now);
  void link_back(int64_t now);
  // Steps complete one after another within one tick when nothing holds them.
  void tick(int64_t now, bool link_down);
  // A step is under way (the last one done: the scenario ended).
  bool active() const { return m_active; }
  // A drop step waits for the station to come back.
  bool waiting_reconnect() const { return m_waiting_reconnect; }
  // When a step other than a request ends by the clock, or -1.
  int64_t deadline() const;

private:
  void start_step(int64_t now, bool link_down);
  void finish_step(int64_t now, bool link_down);
  // Whether the current step is done by now.
  bool step_done(const Step& s, int64_t now);
  // An uploads step: its count reached, or its time run out (a problem).
  bool uploads_done(const Step& s, int64_t now);
  std::vector<Step> m_steps;
  Rooms m;
  size_t m_step = 0;
  bool m_active = false;
  int64_t m_deadline = 0;
  int m_uploads_goal = 0;
  bool m_waiting_reconnect = false;
  bool m_waits_link = false; // a request step waits for the dropped link to come back
};

} // namespace sim
