// What the platform writes to the station, each write with its time, and who watches the frames
// going either way (the web view).
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sim {

enum class Verdict;

// Told what the platform sees, on the platform's thread as it happens (the web view). It must
// return at once: the platform never waits for a browser.
class PlatformObserver {
public:
  virtual ~PlatformObserver() = default;
  virtual void link_up(const std::string& peer) = 0;
  virtual void link_down() = 0;
  // A whole frame: received from the station, or made to be sent (with its verdict either way).
  virtual void frame(bool incoming, std::string_view bytes, Verdict verdict) = 0;
};

class Outbox {
public:
  struct Out {
    int64_t at; // when to write it
    std::string bytes;
    bool drop = false; // close the connection instead of writing
  };
  // Writes go out in the order queued.
  void queue(const std::string& bytes, int64_t at, bool drop = false) { m_out.push_back(Out{at, bytes, drop}); }
  // Writes whose time has come, in order.
  std::vector<Out> take_due(int64_t now) {
    std::vector<Out> due;
    while (!m_out.empty() && m_out.front().at <= now) {
      due.push_back(std::move(m_out.front()));
      m_out.pop_front();
    }
    return due;
  }
  bool empty() const { return m_out.empty(); }
  // When the next write is due; only when not empty().
  int64_t next_at() const { return m_out.front().at; }

private:
  std::deque<Out> m_out;
};

} // namespace sim
