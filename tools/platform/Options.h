// What every room of the platform shares: the options a run takes (with the platform's local
// clock), the log its lines go to, and the numbers their texts carry.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tools/common/FrameCipher.h"

namespace sim {

// Where a room's lines go: the platform's log, each line made safe there (Platform.h).
using LogLine = std::function<void(const std::string&)>;

struct PlatformOptions {
  std::string name = "platform";
  // st empty: the station's first data frame gives it (32 until then)
  std::string st, pw = "123456", mn = "POLMON000000000000000001", flag = "5";
  int reply_timeout_ms = 5000;
  int silence_ms = 1500;   // how long a corrupt request must stay unanswered
  int answer_delay_ms = 0; // hold back 9014 answers to uploads
  int duration_ms = 0;     // keep running at least this long after the station came
  // 0: no check of charset or version; 2017 or 2025: the station's frames must carry that
  // version in Flag and their text in its charset (GB18030 or UTF-8), length and CRC over it.
  int standard = 0;
  // With --standard 2025 only: the 16-byte key. The station's CN 2000-2999 frames must come
  // encrypted (either form) with the CRC over the plain data; requests of those CNs go out
  // encrypted in `cipher_form`. Empty: no encryption either way. With a key the platform also
  // checks the station's 2025 duties (Flows2025) and hands out new keys: this one changes as the
  // station takes them.
  std::string key;
  CipherWire cipher_form = CipherWire::Raw;
  // --drop-link: the link goes down this long after the station first came (or once the request
  // then in flight is answered), and the platform refuses the station for drop_for_ms.
  int drop_at_ms = -1;
  int drop_for_ms = 0;
  // --misbehave key-ack, quiet-heartbeat: other platforms' ways in the 2025 flows the sources
  // leave open. The station's key request gets a 9013, then the key as a 1014 request with the
  // key request's QN; heartbeats go unanswered.
  bool key_request_ack_only = false;
  bool heartbeat_unanswered = false;
  // Period data: CN -> its period in seconds (minute, hourly, daily data); --periods shortens them.
  std::map<std::string, int> periods = {{"2051", 60}, {"2061", 3600}, {"2031", 86400}};
  // 2025 duties the scenario left out ("leave CN=..."), named in the summary; judge_duties: the
  // station's own duties (heartbeat, key request, hardware ids) must show in the run (with_duties()).
  std::vector<std::string> left_out;
  bool judge_duties = false;
  // The platform's local time in seconds on the calendar from 1970-01-01 00:00:00, no zone: what
  // scenario time placeholders read, and a frame's send time when its QN does not read. Null: the system's.
  std::function<int64_t()> local_clock;
};

// --periods CN=S[,CN=S...]: each CN one of the period data's, S seconds from 1 to 31 days.
bool parse_periods(const std::string& list, std::map<std::string, int>& periods, std::string& error);

// The platform's local clock, in seconds on the calendar (PlatformOptions::local_clock in tests).
int64_t local_now_s(const PlatformOptions& options);

// A whole decimal number (a scenario's or a CP's), `dflt` when the text is not one.
int to_int(const std::string& s, int dflt);

} // namespace sim
