// The HJ 212 protocol engine of one device: receive thread, frame queue, and the members the
// script commands use.
//
// Threads:
// - the panel's calling thread runs start/release/stop (device lifecycle), queue_size,
//   take_frame, execute_device_cmd and _write_make_frame;
// - the receive thread runs hj212_thread: it drains the port, frames the bytes (recv_buffer is
//   its alone), stores accepted frames (a full queue loses its oldest through _pop_recv_string),
//   counts them (frame_count is its alone) and publishes the count on channel 0. A pass that read
//   nothing lasts kReadWaitMs at least; once no byte came for kQuietMs, the thread idles kQuietIdleMs
//   after each empty pass instead, and the first byte brings back the kReadWaitMs rhythm; stop
//   wakes it from either idle at once.
// The device's key (CipherKey, set by SetKey on the panel's thread) is copied by the receive
// thread under the key's own lock when the scanner judges a span and the key's version moved: a
// span is read with one key, old or new, and a pass that completes no span pays nothing for it.
// queue_mutex guards recv_queue and started, and is held for one queue operation only: the
// panel's port and database are never called while it is held. The receive counters go to the
// panel's thread through a sequence lock over 32-bit halves, published after a pass that stored a
// frame, after every kStatsPasses-th pass that read bytes and after the first that read none (a
// trickle of one byte a pass does not pay a publish each byte): 64-bit values never tear, no 64-bit
// atomics (ARMv5 would need libatomic), and no lock costs a one-byte pass.
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
#include "DevServer.h"
#include "FrameScanner.h"
#include "OrvaData.h"

namespace HJ {

// Receive counters since the engine was made (so since InitDevice).
struct RecvStats {
  std::uint64_t accepted = 0;       // frames that passed the acceptance test
  std::uint64_t bad_length = 0;     // "\r\n"-terminated spans without a frame, length field wrong
  std::uint64_t bad_crc = 0;        // the same, length field right and CRC wrong
  std::uint64_t dropped = 0;        // frames lost from the full queue
  std::uint64_t overlong = 0;       // spans given up without a "\r\n" within the largest frame
  std::uint64_t noise_bytes = 0;    // bytes read that ended in no accepted frame
  std::uint64_t received_bytes = 0; // every byte read from the port
  std::uint64_t decrypted = 0;      // accepted frames whose CP region was decrypted
};

class HJ212_system {
public:
  // Wait handed to each port read, and the shortest length of a pass that read nothing.
  static constexpr unsigned kReadWaitMs = 40;
  // Silence after which an idle device costs fewer wake-ups, and the idle after each empty pass
  // then: the first frame after silence waits this long at most, under one collection cycle.
  static constexpr unsigned kQuietMs = 1000;
  static constexpr unsigned kQuietIdleMs = 150;

  HJ212_system() { recv_buffer.use_key_source(&own_key_); }
  HJ212_system(const HJ212_system&) = delete;
  HJ212_system& operator=(const HJ212_system&) = delete;
  // Stops and joins the receive thread, so destroying a running engine is safe.
  ~HJ212_system();

  // ---- device lifecycle (panel's thread)
  // Points the engine at the device's record and starts the receive thread, which waits until
  // released. Once per engine; a second call does nothing. Throws when no thread can be started.
  void start(ORVA_DATA& data);
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

  // The device's record: set by start, or by attach for an engine whose passes the caller runs
  // itself (no thread). Not owned.
  void attach(ORVA_DATA* data);
  ORVA_DATA* device_data() const { return dev_data; }
  // The device's parameters, read at each use: [0] goes to the port with each written frame, [1]
  // names the wire charset, [2] limits a frame's data segment. Not owned; they outlive the
  // engine. Set before start.
  void use_device_params(const CArray<int, int>* params) { device_params = params; }
  // The device's key, which outlives the engine (the device object holds it). Not owned; set
  // before start. Until then the engine has a key of its own, gone with it. The receive thread
  // copies the key when it changed, as it judges a span.
  void use_cipher_key(CipherKey* key) {
    cipher_key_ = key;
    recv_buffer.use_key_source(key);
  }
  CipherKey* cipher_key() const { return cipher_key_; }
  // Parameter `index`, or `otherwise` when the engine was given none or fewer; a parameter the
  // configuration did not hold reads as -1.
  int device_param(int index, int otherwise) const {
    return device_params && device_params->GetSize() > index ? (*device_params)[index] : otherwise;
  }

  // The receive thread, for the device's own-thread checks and for measuring it; none before
  // start and after stop.
  std::thread::id receive_thread_id() const { return recv_thread.get_id(); }
  std::thread::native_handle_type receive_thread_handle() { return recv_thread.native_handle(); }
  bool stop_was_requested() const { return stop_requested.load(); }
  // Replaces the device's port; returns once the receive thread reads the old one no more.
  void replace_port(ICommunication* port) { port_hold.replace(*dev_data, port); }

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
  std::string _write_make_frame(const std::string& text);
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
  unsigned passes_unpublished_ = 0;         // the receive thread's alone
  // After a pass without bytes: gives up the followed candidates once a drain deadline passed quietly.
  // Returns `got`, the pass's result.
  int _expire_followed(int got);
  // Removes the oldest frame into `out`; returns the frames left, or -1 (out untouched) when the
  // queue is empty. The caller holds queue_mutex.
  int _pop_recv_string(std::string& out);

  bool started = false;                     // guarded by queue_mutex
  std::atomic<bool> stop_requested{false};
  std::atomic<std::uint32_t> last_error{0}; // magnitude of the last script command's result
  std::thread recv_thread;
  std::mutex queue_mutex;
  // Releases the receive thread at start, and wakes it from an idle wait at stop.
  std::condition_variable queue_cond;
  std::deque<std::string> recv_queue;       // guarded by queue_mutex; oldest first
  FrameScanner recv_buffer;                 // received bytes not yet cut into frames
  std::string recv_frame;                   // the receive thread's alone: the frame being cut
  ORVA_DATA* dev_data = nullptr;            // not owned; set by start or attach
  // The port the receive thread reads, held from its drain until a database call or an idle.
  CDevServer::PortHold port_hold;
  const CArray<int, int>* device_params = nullptr; // not owned; set by use_device_params
  CipherKey own_key_;                       // the engine's until use_cipher_key
  CipherKey* cipher_key_ = &own_key_;       // not owned; set by use_cipher_key
  // The receive thread's, while a span is followed: passes have read nothing since quiet_since_,
  // when the received count was quiet_from_bytes_.
  std::uint64_t quiet_from_bytes_ = ~std::uint64_t{0};
  std::chrono::steady_clock::time_point quiet_since_;
  std::int32_t frame_count = 0;             // frames accepted since creation; wraps around
  RecvStats recv_counts;                    // the receive thread's alone; scanner counts not merged

  static constexpr int kStatWords = 2 * 8;  // RecvStats' eight counters in halves
  std::atomic<std::uint32_t> stats_seq_{0}; // odd while the receive thread writes
  std::atomic<std::uint32_t> stats_words_[kStatWords] = {};

  // Sleeps until kReadWaitMs after `since` (kQuietIdleMs from now when `quiet`), or until stop is
  // requested.
  void idle_until(std::chrono::steady_clock::time_point since, bool quiet);
};

} // namespace HJ
