#include "hj212/HJ212System.h"

#include <chrono>
#include <utility>

#include "hj212/CpCipher.h"
#include "hj212/Envelope.h"

namespace HJ {

void (*HJ212_system::s_beforeThreadStart)() = nullptr;

HJ212_system::~HJ212_system() { stop(); }

void HJ212_system::start(Device& device) {
  if (recv_thread.joinable()) return;
  dev_data = &device;
  recv_buffer.set_charset(device_params.charset); // before the thread: its alone from then on
  if (s_beforeThreadStart) s_beforeThreadStart();
  recv_thread = std::thread(&HJ212_system::hj212_thread, this);
}

void HJ212_system::attach(Device* device) {
  dev_data = device;
  recv_buffer.set_charset(device_params.charset);
}

bool HJ212_system::release() {
  bool set = false;
  {
    std::lock_guard<std::mutex> lock(queue_mutex);
    if (!started) started = set = true;
  }
  if (set) queue_cond.notify_all();
  return set;
}

bool HJ212_system::is_started() {
  std::lock_guard<std::mutex> lock(queue_mutex);
  return started;
}

void HJ212_system::stop() {
  stop_requested.store(true);
  {
    // Taken after the flag is set, so a thread about to wait sees the flag or gets the notification.
    std::lock_guard<std::mutex> lock(queue_mutex);
    started = true;
  }
  queue_cond.notify_all();
  if (recv_thread.joinable() && recv_thread.get_id() != std::this_thread::get_id()) recv_thread.join();
}

std::size_t HJ212_system::queue_size() {
  std::lock_guard<std::mutex> lock(queue_mutex);
  return recv_queue.size();
}

RecvStats HJ212_system::stats() {
  std::uint64_t v[kStatWords / 2];
  for (;;) {
    std::uint32_t before = m_stats_seq.load(std::memory_order_acquire);
    // Acquire loads: a word from a later write makes the second look at the sequence see it moved.
    for (int i = 0; i < kStatWords / 2; ++i)
      v[i] = std::uint64_t{m_stats_words[2 * i].load(std::memory_order_acquire)} << 32 | m_stats_words[2 * i + 1].load(std::memory_order_acquire);
    if ((before & 1u) == 0 && m_stats_seq.load(std::memory_order_relaxed) == before) break;
    std::this_thread::yield(); // the writer is within a few stores of done
  }
  RecvStats s;
  for (int i = 0; i < kRecvCounterCount; ++i) s.*kRecvCounters[i].member = v[i];
  return s;
}

RecvStats HJ212_system::current_stats() const {
  const FrameScanner::Counts& scan = recv_buffer.counts();
  RecvStats s = recv_counts;
  s.bad_length = scan.bad_length;
  s.bad_crc = scan.bad_crc;
  s.overlong = scan.overlong;
  s.noise_bytes = scan.noise_bytes;
  s.decrypted = scan.decrypted;
  s.cut_short = scan.cut_short;
  return s;
}

void HJ212_system::_publish_stats() {
  m_passes_unpublished = 0;
  const RecvStats now = current_stats();
  // Release stores: the odd sequence is visible before any word of this write (no fences, which
  // ThreadSanitizer cannot follow).
  std::uint32_t seq = m_stats_seq.load(std::memory_order_relaxed);
  m_stats_seq.store(seq + 1, std::memory_order_relaxed);
  for (int i = 0; i < kRecvCounterCount; ++i) {
    const std::uint64_t value = now.*kRecvCounters[i].member;
    m_stats_words[2 * i].store(static_cast<std::uint32_t>(value >> 32), std::memory_order_release);
    m_stats_words[2 * i + 1].store(static_cast<std::uint32_t>(value), std::memory_order_release);
  }
  m_stats_seq.store(seq + 2, std::memory_order_release);
}

int HJ212_system::take_frame(std::string& out) {
  std::lock_guard<std::mutex> lock(queue_mutex);
  return _pop_recv_string(out);
}

int HJ212_system::_pop_recv_string(std::string& out) {
  if (recv_queue.empty()) return -1;
  out = std::move(recv_queue.front());
  recv_queue.pop_front();
  return static_cast<int>(recv_queue.size());
}

void HJ212_system::hj212_thread() {
  {
    std::unique_lock<std::mutex> lock(queue_mutex);
    queue_cond.wait(lock, [this] { return started; });
  }
  auto last_byte = std::chrono::steady_clock::now(); // the pass that last read a byte
  while (!stop_requested.load()) {
    auto began = std::chrono::steady_clock::now();
    int got = run_pass(began);
    if (got > 0) {
      last_byte = began;
      continue;
    }
    // A port that returns at once with nothing (or no port at all) must not make this a spin.
    dev_data->let_go_port(); // a port replacement need not wait for the idle
    idle_until(began, began - last_byte >= std::chrono::milliseconds(kQuietMs));
  }
  dev_data->let_go_port();
}

int HJ212_system::run_pass(std::chrono::steady_clock::time_point began) {
  try {
    return _receive_pass(began);
  } catch (...) {
    // Out of memory or a throwing port: give up the buffered bytes, not the thread.
    recv_buffer.clear();
    _publish_stats();
  }
  return -1;
}

int HJ212_system::run_pass_on_caller() {
  int got = run_pass(std::chrono::steady_clock::now());
  if (dev_data) dev_data->let_go_port();
  return got;
}

void HJ212_system::idle_until(std::chrono::steady_clock::time_point since, bool quiet) {
  auto now = std::chrono::steady_clock::now();
  auto until = quiet ? now + std::chrono::milliseconds(kQuietIdleMs) : since + std::chrono::milliseconds(kReadWaitMs);
  if (now >= until) return; // a read that waited its wait out: no lock, no futex call
  std::unique_lock<std::mutex> lock(queue_mutex);
  queue_cond.wait_until(lock, until, [this] { return stop_requested.load(); });
}

// The port's bytes go straight into the scanner's buffer, and frames are cut after each block of
// reads, so the buffer holds a block and one unfinished frame, not a whole drain.
class HJ212_system::ScannerSink final : public ByteSink {
public:
  explicit ScannerSink(HJ212_system& engine) : m_engine(engine) {}
  unsigned char* room(int n) override { return reinterpret_cast<unsigned char*>(m_engine.recv_buffer.room(static_cast<std::size_t>(n))); }
  void commit(int n) override {
    m_engine.recv_buffer.commit(static_cast<std::size_t>(n));
    std::string& frame = m_engine.recv_frame;
    while (m_engine.recv_buffer.next(frame)) {
      m_engine.dev_data->let_go_port();        // the database may wait for a panel thread that replaces the port
      m_engine._store_frame(std::move(frame)); // each frame allocated once
    }
  }
  // A frame followed past its span never ends on another line: a pause, however long, does not
  // end it, the port handed over does.
  void port_changed() override { m_engine.recv_buffer.give_up_followed(); }

private:
  HJ212_system& m_engine;
};

int HJ212_system::_receive_pass(std::chrono::steady_clock::time_point began) {
  if (dev_data == nullptr) return -1;
  ScannerSink sink(*this);
  int got = dev_data->drain(sink, kReadWaitMs, stop_requested, began);
  if (got > 0) {
    recv_counts.received_bytes += static_cast<std::uint64_t>(got);
    if (++m_passes_unpublished >= kStatsPasses) _publish_stats();
    return got;
  }
  if (m_passes_unpublished != 0) _publish_stats(); // bytes stopped coming: the counts stand as they are
  return got;
}

void HJ212_system::_store_frame(std::string&& frame) {
  std::string dropped; // freed after the lock is released
  bool full = false;
  {
    std::lock_guard<std::mutex> lock(queue_mutex);
    full = recv_queue.size() >= queue_limit;
    if (full) _pop_recv_string(dropped);
    recv_queue.push_back(std::move(frame));
  }
  ++recv_counts.accepted;
  if (full) ++recv_counts.dropped;
  m_passes_unpublished = kStatsPasses; // published at the end of this pass
  frame_count = static_cast<std::int32_t>(static_cast<std::uint32_t>(frame_count) + 1u);
  try {
    _publish_frame_count();
  } catch (...) {
    // A throwing database costs this publish only: the frames behind this one are still cut.
  }
}

void HJ212_system::_publish_frame_count() {
  if (dev_data) dev_data->publish_frame_count(frame_count);
}

} // namespace HJ
