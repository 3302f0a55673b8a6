// The scenario a platform runs: its steps (requests, pauses, link drops, uploads awaited) and the
// text they are written in. The runner that takes them over a run: ScenarioRun.h.
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
  int timeout_ms = 0; // 0: the platform's default
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
// minute, hourly and daily data with records and without), the site's Chinese name read (3020).
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

} // namespace sim
