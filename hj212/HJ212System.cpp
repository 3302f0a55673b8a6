#include "HJ212System.h"

#include <chrono>
#include <utility>

#include "DevServer.h"
#include "IDevRtdbCtrl.h"
#include "hostshim.h"
#include "stdprintf.h"

namespace HJ {

HJ212_system::~HJ212_system() { stop(); }

void HJ212_system::start(ORVA_DATA& data) {
  if (recv_thread.joinable()) return;
  dev_data = &data;
  recv_thread = std::thread(&HJ212_system::hj212_thread, this);
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
  std::lock_guard<std::mutex> lock(stats_mutex);
  return published_stats;
}

void HJ212_system::_publish_stats() {
  RecvStats now = recv_counts;
  const FrameScanner::Counts& scan = recv_buffer.counts();
  now.bad_length = scan.bad_length;
  now.bad_crc = scan.bad_crc;
  now.overlong = scan.overlong;
  now.noise_bytes = scan.noise_bytes;
  std::lock_guard<std::mutex> lock(stats_mutex);
  published_stats = now;
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
  while (!stop_requested.load()) {
    auto began = std::chrono::steady_clock::now();
    int got = -1;
    try {
      got = _receive_pass();
    } catch (...) {
      // Out of memory or a throwing port: give up the buffered bytes, not the thread.
      recv_buffer.clear();
      _publish_stats();
    }
    // A port that returns at once with nothing (or no port at all) must not make this a spin.
    if (got <= 0) idle_until(began);
  }
}

void HJ212_system::idle_until(std::chrono::steady_clock::time_point since) {
  std::unique_lock<std::mutex> lock(queue_mutex);
  queue_cond.wait_until(lock, since + std::chrono::milliseconds(kReadWaitMs),
                        [this] { return stop_requested.load(); });
}

int HJ212_system::_receive_pass() {
  if (dev_data == nullptr) return -1;
  CByteArray chunk;
  chunk.SetSize(0, 4096); // grow in large steps: one drain may take up to 64 KiB
  int got = CDevServer::mfReadCommUseSleep(*dev_data, chunk, kReadWaitMs);
  if (got > 0) {
    recv_counts.received_bytes += static_cast<std::uint64_t>(got);
    recv_buffer.feed(chunk.GetData(), static_cast<std::size_t>(got),
                     [this](std::string&& frame) { _store_frame(std::move(frame)); });
    _publish_stats();
  }
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
  frame_count = static_cast<std::int32_t>(static_cast<std::uint32_t>(frame_count) + 1u);
  try {
    _publish_frame_count();
  } catch (...) {
    // A throwing database costs this publish only: the frames behind this one are still cut.
  }
}

void HJ212_system::_publish_frame_count() {
  IDevRtdbCtrl* db = dev_data ? dev_data->pRtdbCtrl : nullptr;
  if (db == nullptr) return;
  DATATYPE type = DT_UNSET;
  if (db->GetValueTypeByChannel(0, type) != 0) return;
  switch (type) {
  case DT_INTEGER:
    if (db->SetValueByChannel(0, static_cast<int>(frame_count)) != 0) db->SetValueByChannel(0, static_cast<int>(frame_count));
    break;
  case DT_DOUBLE:
    if (db->SetValueByChannel(0, static_cast<double>(frame_count)) != 0)
      db->SetValueByChannel(0, static_cast<double>(frame_count));
    break;
  case DT_STRING: {
    std::string text = stdprintf<128>("%d", static_cast<int>(frame_count));
    if (db->SetValueByChannel(0, text) != 0) {
      text = stdprintf<128>("%d", static_cast<int>(frame_count)); // the first call may have changed it
      db->SetValueByChannel(0, text);
    }
    break;
  }
  default:
    break;
  }
}

} // namespace HJ
