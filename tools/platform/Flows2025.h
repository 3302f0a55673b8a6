// What a 2025 platform checks of a station beyond each frame's envelope: uploads split into
// packets and put back together, resends marked RF=1, heartbeats, the hardware identifiers, the
// key exchange and a new MN. The Platform hands it the station's frames and the outcome of its own
// requests; it answers what only a 2025 platform answers (9013, the key) and keeps its figures.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tools/common/Hj212Text.h"

namespace sim {

struct PlatformOptions;

class Flows2025 {
public:
  using Log = std::function<void(const std::string&)>;
  // The largest data segment a 2025 frame may carry on the wire.
  static constexpr size_t kMaxSegment = 1024;

  // `options` stays the platform's: a new MN and a new key are written into it once the station
  // has taken them, so later requests and checks use them.
  // `problem`: a fault (BROKEN); `note`: a deviation in a flow the sources leave open.
  Flows2025(PlatformOptions& options, Log log, Log problem, Log note);

  // What the platform still does with a station frame once it went through here.
  struct Seen {
    bool handled = false; // answered and counted here (heartbeat, key request)
    bool whole = true;    // false: a packet of an upload not yet complete; answered, not yet counted
    std::string reply;    // a data segment to send back, empty for none
    std::string push;     // after it, a request of the platform's own with the frame's QN (key-ack: the key)
  };
  // `wire_bytes`: the data segment's size as transmitted. `history`: the frame answers a history
  // request of the platform's (its QN): a record asked for, no upload, so its QN may repeat.
  Seen frame(const Segment& seg, size_t wire_bytes, int64_t now, bool history = false);

  // The CP a request of `cn` gets when its scenario line gives none: a new key for 1014, a new
  // MN for 1002. Empty for other CNs.
  std::string request_cp(const std::string& cn);
  void request_sent(const std::string& qn, const std::string& cn, const std::string& cp);
  // The station's last word on a request: QnRtn of its 9011, ExeRtn of its 9012 ("" when none).
  void request_done(const std::string& qn, const std::string& qn_rtn, const std::string& exe_rtn);
  // A 1002 or 1014 awaiting its outcome here: whether the station may refuse it is decided here.
  bool judges(const std::string& qn) const { return m_requests.count(qn) != 0; }
  // A 9011/9012 (`cn`) with the QN of a station's key request that got its key: the station took
  // the answer for a pushed key. Noted, true; false for any other QN.
  bool answer_to_key_answer(const std::string& qn, const std::string& cn);

  void connected(int64_t now);
  void disconnected(int64_t now);
  // The run is over: uploads cut short and never completed by a resend are lost.
  void finish(int64_t now);
  // The key the platform used before the last change (a frame written under it may still come).
  const std::string& previous_key() const { return m_previous_key; }

  unsigned resends() const { return m_resends; }
  unsigned heartbeats() const { return m_heartbeats; }
  void summary_rows(const std::function<void(const char*, const std::string&)>& row) const;

private:
  struct Group { // the packets of one upload so far
    std::string qn, cn, datatime, rf;
    long pnum = 0, next = 1;
    int64_t first_at = 0;
  };
  struct Received {
    std::string cn, datatime;
  };
  struct Request {
    std::string cn, value; // the new MN or key it carried
  };
  // The pieces of frame(): checks every frame gets, then one per kind of frame.
  void check_envelope(const Segment& seg, size_t wire_bytes);
  Seen heartbeat(const Segment& seg, long flag, int64_t now);
  Seen key_request(const Segment& seg);
  void check_ids(const Segment& seg);
  Seen upload(const Segment& seg, long flag, bool history, int64_t now);
  Seen upload_packet(const Segment& seg, const std::string& datatime, const std::string& resend, bool history, int64_t now);
  bool check_packet(const Segment& seg, long& pnum, long& pno);
  void check_order(const Segment& seg);
  void upload_done(const std::string& qn, const std::string& cn, const std::string& datatime, const std::string& rf, long packets, bool history);
  void cut(const Group& g, const char* why);
  void switch_key(const std::string& key);

  PlatformOptions& m_opt;
  Log m_log, m_problem, m_note;
  bool m_have_group = false;
  Group m_group;
  std::map<std::string, Received> m_received; // QN -> a whole upload
  std::map<std::string, std::string> m_cut;   // QN -> what arrived of an upload cut short
  std::map<std::string, Request> m_requests;  // QN -> 1002/1014 request awaiting its outcome
  std::set<std::string> m_key_answers;        // QNs of the station's key requests answered with a key
  std::string m_last_resend;                  // QN of the last resend of a lost upload on this connection
  std::string m_first_mn, m_previous_key;
  // Uploads remembered for their resends, and uploads cut short: the newest this many (a QN is
  // its time, so the map's first is the oldest), so a day-long session stays bounded.
  static constexpr size_t kRemembered = 4096;
  unsigned m_heartbeats = 0;
  int64_t m_first_beat = 0, m_last_beat = 0;
  unsigned m_packets = 0, m_split_uploads = 0, m_resends = 0, m_resends_known = 0, m_ids = 0;
  unsigned m_key_requests = 0, m_pushes_taken = 0, m_pushes_refused = 0, m_mn_changes = 0;
  size_t m_largest = 0;
};

// Generated texts for requests: a key of 16 letters and digits, an MN of 24 hex digits.
std::string new_key_text();
std::string new_mn_text();

} // namespace sim
