#include "ScenarioRun.h"

#include "Outbox.h"
#include "Periods.h"
#include "RealTime.h"
#include "Requests.h"
#include "Uploads.h"

namespace sim {

void ScenarioRun::start_step(int64_t now, bool link_down) {
  while (m_step < m_steps.size()) {
    Step& s = m_steps[m_step];
    m_active = true;
    switch (s.kind) {
    case Step::Request:
      if (link_down) { // sent once the station is back
        m_waits_link = true;
        return;
      }
      { // its time placeholders read the clock as the step starts
        Step at = s;
        std::string why;
        for (std::string* field : {&at.cn, &at.cp, &at.st, &at.pw, &at.mn, &at.flag}) expand_times(*field, local_now_s(m_parts.opt), *field, why);
        m_parts.sender.send(at, now);
      }
      return;
    case Step::Pause: m_deadline = now + s.pause_ms; return;
    case Step::Leave: // a directive, taken out before the run; a step of nothing if it reached here
      m_deadline = now;
      return;
    case Step::Drop:
      m_parts.out.queue(std::string(), now, true);
      m_waiting_reconnect = true;
      m_deadline = now + 4 * m_parts.opt.reply_timeout_ms;
      m_parts.log("-> dropping the connection");
      return;
    case Step::Uploads:
      m_uploads_goal = static_cast<int>(m_parts.tally.count(s.cn)) + s.count;
      m_deadline = now + (s.timeout_ms ? s.timeout_ms : m_parts.periods.uploads_timeout_ms(s.cn, s.count));
      return;
    }
  }
  m_active = false;
}

void ScenarioRun::finish_step(int64_t now, bool link_down) {
  m_active = false;
  ++m_step;
  start_step(now, link_down);
}

void ScenarioRun::reconnected(int64_t now) {
  if (!m_waiting_reconnect) return;
  m_waiting_reconnect = false;
  m_parts.log("station reconnected after the drop");
  finish_step(now, false);
}

void ScenarioRun::link_back(int64_t now) {
  if (!m_waits_link) return;
  m_waits_link = false;
  start_step(now, false);
}

void ScenarioRun::tick(int64_t now, bool link_down) {
  for (int guard = 0; m_active && !m_waits_link && guard < 1000; ++guard) {
    if (!step_done(m_steps[m_step], now)) break;
    finish_step(now, link_down);
  }
}

bool ScenarioRun::step_done(const Step& s, int64_t now) {
  switch (s.kind) {
  case Step::Request: return m_parts.ledger.all().back().done;
  case Step::Pause:
  case Step::Leave: return now >= m_deadline;
  case Step::Drop:
    if (!m_waiting_reconnect) return true;
    if (now < m_deadline) return false;
    m_parts.problems.problem("the station did not come back after the dropped connection");
    m_waiting_reconnect = false;
    return true;
  case Step::Uploads: return uploads_done(s, now);
  }
  return false;
}

bool ScenarioRun::uploads_done(const Step& s, int64_t now) {
  const int uploads = static_cast<int>(m_parts.tally.count(s.cn));
  if (uploads >= m_uploads_goal) {
    if (s.cn == "2011") m_parts.real_time.judge(false);
    return true;
  }
  if (now < m_deadline) return false;
  ++m_parts.ledger.counts().missing;
  if (s.cn != "2011" || !m_parts.real_time.judge(true)) // the interval set, when it is what went wrong
    m_parts.problems.problem("only " + std::to_string(uploads - (m_uploads_goal - s.count)) + " uploads of CN=" + s.cn + " since the step began, " +
                             std::to_string(s.count) + " wanted");
  return true;
}

int64_t ScenarioRun::deadline() const { return m_active && m_step < m_steps.size() && m_steps[m_step].kind != Step::Request ? m_deadline : -1; }

} // namespace sim
