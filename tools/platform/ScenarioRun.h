// The runner of a scenario: it takes the steps (Scenario.h) one after another over a run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Options.h"
#include "Scenario.h"

namespace sim {

class Outbox;
class Periods;
class Problems;
class RealTime;
class RequestSender;
class Requests;
class UploadTally;

// Runs the steps in order: a request step waits for its answers (the sender sends it, the ledger
// tells when it is done), a pause for its time, a drop for the station to come back, an uploads
// step for its count or its timeout. `link_down`: --drop-link has the link down, so a request
// step waits for it to come back.
class ScenarioRun {
public:
  // The parts of the platform the steps act through.
  struct Parts {
    const PlatformOptions& opt;
    RequestSender& sender;
    Requests& ledger;
    Outbox& out;
    Periods& periods;
    RealTime& real_time;
    const UploadTally& tally;
    Problems& problems;
    const std::function<void(const std::string&)>& log;
  };
  ScenarioRun(std::vector<Step> steps, const Parts& parts) : m_steps(std::move(steps)), m_parts(parts) {}
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
  Parts m_parts;
  size_t m_step = 0;
  bool m_active = false;
  int64_t m_deadline = 0;
  int m_uploads_goal = 0;
  bool m_waiting_reconnect = false;
  bool m_waits_link = false; // a request step waits for the dropped link to come back
};

} // namespace sim
