// The HJ 212 protocol engine of one device: receive thread, frame queue, and the members the
// script commands use. It reaches its device only through Device.h.
//
// Which thread runs what:
// - the panel's calling thread: start, release, stop (the device's lifecycle), queue_size,
//   take_frame, stats, execute_device_cmd and _write_make_frame;
// - the receive thread: hj212_thread and what it calls (_receive_pass, _store_frame, the
//   publishing). recv_buffer, recv_frame, frame_count and recv_counts are its alone;
// - queue_mutex guards recv_queue and started, and is held for one queue operation only: the
//   device's port and variables are never called while it is held.
//
// Pacing: a pass that read nothing lasts kReadWaitMs at least; once no byte came for kQuietMs,
// the thread idles kQuietIdleMs after each empty pass instead, and the first byte brings back the
// kReadWaitMs rhythm; stop wakes it from either idle at once.
//
// With a key: the device's key (CipherKey, set by SetKey on the panel's thread) is copied by the
// receive thread under the key's own lock when the scanner judges a span and the key's version
// moved: a span is read with one key, old or new, and a pass that completes no span pays nothing.
//
// Counters: they reach the panel's thread through a sequence lock over 32-bit halves, published
// after a pass that stored a frame, after every kStatsPasses-th pass that read bytes and after the
// first that read none (a trickle of one byte a pass does not pay a publish each byte): 64-bit
// values never tear, no 64-bit atomics (ARMv5 would need libatomic), and no lock costs a pass.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "CpCipher.h"
#include "Device.h"
#include "FrameScanner.h"
#include "RecvStats.h"

namespace HJ {

class HJ212_system {
public:
  // Wait handed to each port read, and the shortest length of a pass that read nothing.
  static constexpr unsigned kReadWaitMs = 40;
  // Silence after which an idle device costs fewer wake-ups, and the idle after each empty pass
  // then: the first frame after silence waits this long at most, under one collection cycle.
  static constexpr unsigned kQuietMs = 1000;
  static constexpr unsigned kQuietIdleMs = 150;

  HJ212_system() { recv_buffer.use_key_source(&m_own_key); }
  HJ212_system(const HJ212_system&) = delete;
  HJ212_system& operator=(const HJ212_system&) = delete;
  // Stops and joins the receive thread, so destroying a running engine is safe.
  ~HJ212_system();

  // ---- device lifecycle (panel's thread)
  // Points the engine at its device and starts the receive thread, which waits until released.
  // Once per engine; a second call does nothing. Throws when no thread can be started.
  void start(Device& device);
  // Null in the plug-in. A test sets it to make start fail as the system can, by throwing what
  // std::thread throws when no thread can be created.
  static void (*s_beforeThreadStart)();
  // First collection cycle: lets the receive thread begin reading. true when this call did it.
  bool release();
  bool is_started();
  // Asks the receive thread to stop, releases it if it never started, and joins it: it returns
  // within one pass. Safe to call twice and when no thread was started.
  void stop();
  // Frames waiting in the queue.
  std::size_t queue_size();
  // The counters as the receive thread last published them.
  RecvStats stats();

  // Removes the oldest frame into `out`, under queue_mutex; returns the frames left, or -1 (out
  // untouched) when the queue is empty.
  int take_frame(std::string& out);
  // Magnitude of the last script command's result (0 before any).
  std::uint32_t last_result() const { return last_error.load(); }

  // The device: set by start, or by attach for an engine whose passes the caller runs itself (no
  // thread). Not owned; it outlives the engine. Null until then: reads give the empty text and
  // stores fail.
  void attach(Device* device);
  Device* device() const { return dev_data; }
  // The device's parameters, read once from its configuration. Set before start or attach, which
  // hand the charset to the scanner (the receive thread's from then on).
  void use_device_params(const DeviceParams& params) { device_params = params; }
  const DeviceParams& params() const { return device_params; }
  // The device's key, which outlives the engine (the device object holds it). Not owned; set
  // before start. Until then the engine has a key of its own, gone with it. The receive thread
  // copies the key when it changed, as it judges a span.
  void use_cipher_key(CipherKey* key) {
    m_cipher_key = key;
    recv_buffer.use_key_source(key);
  }
  CipherKey* cipher_key() const { return m_cipher_key; }

  // The receive thread, for the device's own-thread checks and for measuring it; none before
  // start and after stop.
  std::thread::id receive_thread_id() const { return recv_thread.get_id(); }
  std::thread::native_handle_type receive_thread_handle() { return recv_thread.native_handle(); }
  bool stop_was_requested() const { return stop_requested.load(); }

  // ---- receive thread's state, read or set only while no receive thread runs
  // Frames accepted since creation (wraps around), as published on channel 0.
  std::int32_t frames_accepted() const { return frame_count; }
  // The count the next accepted frame continues from.
  void set_frames_accepted(std::int32_t count) { frame_count = count; }
  // The received bytes not yet cut into frames.
  const FrameScanner& scanner() const { return recv_buffer; }

  // ---- receive thread
  // For an attached engine (no thread): one pass of the receive thread's loop on the caller's
  // thread, ending as the thread's idle does, with the port let go (a replacement need not wait).
  // The bytes read, or -1 (no port, or the pass threw).
  int run_pass_on_caller();
  // One drain of the port and the framing of what it returned; the drain's time is counted from
  // `began` (the thread's own look at the clock), or from its first look when not given. Returns
  // the bytes read, or -1 when no port is attached.
  int _receive_pass(std::chrono::steady_clock::time_point began = {});
  // Queues an accepted frame (a full queue gives up its oldest frame), counts and publishes it.
  void _store_frame(std::string&& frame);

  // ---- script commands (panel's thread), defined with the command interpreter
  // Builds a data segment from a template over the device's variables (FrameBuilder.h).
  std::string _write_make_frame(const std::string& text);
  // Runs one script command line; its result code (CommandResults.h).
  int execute_device_cmd(const std::string& command);

  static constexpr std::uint32_t queue_limit = 64; // frames the queue holds

private:
  class ScannerSink;

  void hj212_thread();
  // One pass of the thread's loop: _receive_pass, with a throwing port or a failed allocation
  // costing the buffered bytes only (-1 then).
  int run_pass(std::chrono::steady_clock::time_point began);
  // Writes frame_count to channel 0 by the channel's type; a refused write is tried once more.
  void _publish_frame_count();
  // Copies the receive thread's counters to where stats() reads them.
  void _publish_stats();
  // Passes with bytes between publishes, when none stored a frame.
  static constexpr unsigned kStatsPasses = 16;
  unsigned m_passes_unpublished = 0; // the receive thread's alone
  // Removes the oldest frame into `out`; returns the frames left, or -1 (out untouched) when the
  // queue is empty. The caller holds queue_mutex.
  int _pop_recv_string(std::string& out);

  bool started = false;                     // guarded by queue_mutex
  std::atomic<bool> stop_requested{false};  // set by stop (panel's thread), read by the receive thread
  std::atomic<std::uint32_t> last_error{0}; // magnitude of the last script command's result
  std::thread recv_thread;
  std::mutex queue_mutex; // guards recv_queue and started; one queue operation at a time
  // Releases the receive thread at start, and wakes it from an idle wait at stop.
  std::condition_variable queue_cond;
  std::deque<std::string> recv_queue;   // guarded by queue_mutex; oldest first
  FrameScanner recv_buffer;             // the frame scanner, holding received bytes not yet cut into frames
  std::string recv_frame;               // the receive thread's alone: the frame being cut
  Device* dev_data = nullptr;           // the device; not owned; set by start or attach
  DeviceParams device_params;           // set by use_device_params
  CipherKey m_own_key;                  // the engine's until use_cipher_key
  CipherKey* m_cipher_key = &m_own_key; // not owned; set by use_cipher_key
  std::int32_t frame_count = 0;         // frames accepted since creation; wraps around
  RecvStats recv_counts;                // the receive thread's alone; scanner counts not merged

  static constexpr int kStatWords = 2 * kRecvCounterCount; // the counters in halves
  // The counters as they stand on the receive thread, the scanner's merged in.
  RecvStats current_stats() const;
  std::atomic<std::uint32_t> m_stats_seq{0}; // odd while the receive thread writes
  std::atomic<std::uint32_t> m_stats_words[kStatWords] = {};

  // Sleeps until kReadWaitMs after `since` (kQuietIdleMs from now when `quiet`), or until stop is
  // requested.
  void idle_until(std::chrono::steady_clock::time_point since, bool quiet);
};

} // namespace HJ
