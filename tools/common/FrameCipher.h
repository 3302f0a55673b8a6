// Encrypted frames as the tools read and write them, with the plug-in's own SM4 and CP region
// rule (hj212/CpCipher.h): decrypting a received frame, encrypting a request, telling how a
// region stands on the wire.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "hj212/Envelope.h"
#include "hj212/FrameScanner.h"

namespace sim {

// How a CP region stood on the wire.
enum class CipherWire { Plain, Raw, Text };
// "raw" or "{0x..} text" ("plain" for Plain).
const char* cipher_wire_text(CipherWire form);

// A key as the tools take it (--key TEXT, a script's SetKey): exactly 16 bytes. false with a
// reason otherwise.
bool check_key(const std::string& key, std::string& error);

// Bytes that are not text: a control byte other than TAB, or neither UTF-8 nor GB18030.
bool binary_bytes(std::string_view bytes);

// How the CP region of a data segment looks: Text when it opens with "{0x", Raw when it holds a
// whole block whose bytes are not text (control bytes, or neither UTF-8 nor GB18030), Plain
// otherwise (also when it is shorter than a block or there is no region).
CipherWire looks_encrypted(std::string_view segment);

// The data segment `segment` with its region decrypted with `key` (16 bytes) into `plain`, and
// the form it stood in. false when there is no region or no whole block in it.
bool decrypt_segment(std::string_view segment, const std::string& key, std::string& plain, CipherWire& form);

// A received frame ("##" ... "\r\n") read with `key` (16 bytes) as the plug-in reads it (charset
// by Flag, HJ::keyed_read): AsReceived when its own verdict stands (taken as received, or refused
// by its length field or CRC); Decrypted (`form` Raw or Text, `plain` the frame it stands for:
// "##", the plain length, the plain segment, the CRC field, "\r\n") when it reads so with the key
// (HJ::read_encrypted); Rejected when its fields fit but the plug-in drops it all the same (its
// segment is not text, or it is a data command that does not decrypt): counted BadCrc there.
enum class KeyedRead { AsReceived, Decrypted, Rejected };
KeyedRead read_with_key(std::string_view frame, const std::string& key, std::string& plain, CipherWire& form);
// read_with_key's `form` when Decrypted, Plain otherwise (`plain` then untouched).
CipherWire decrypt_frame(std::string_view frame, const std::string& key, std::string& plain);

// The wire data of `data` as "Send" makes it with `key` set and the ciphertext in `form`: charset
// by Flag, and a CN 2000-2999 frame's region encrypted (frame() is what goes out). Without a
// key, or for Plain, as without encryption.
HJ::WireData encrypted_wire_data(const std::string& data, const std::string& key, CipherWire form);

// The plug-in's scanner run over a stream for a tool: every span it settles (HJ::SpanKind), with
// its bytes as they stood, in stream order, each byte once. Only what may still change is kept:
// memory is bounded by the largest frame (and the candidates followed), not by the stream.
class StreamSpans : HJ::SpanObserver {
public:
  // offset: from the stream's first byte; bytes: valid during the call.
  using Sink = std::function<void(HJ::SpanKind kind, std::uint64_t offset, std::string_view bytes)>;
  explicit StreamSpans(const std::string& key = std::string());
  StreamSpans(const StreamSpans&) = delete;
  StreamSpans& operator=(const StreamSpans&) = delete;
  // 16 bytes, or anything else for none. An unchanged key keeps the candidates followed.
  void set_key(const std::string& key);
  // Bytes in; each span settled meanwhile goes to `sink` (which must not feed or reset this).
  void feed(const char* data, std::size_t n, const Sink& sink);
  // The stream ended: what the scanner still holds goes to `sink`, given up as it would give it
  // up (Unended: a start still waiting for its line end).
  void finish(const Sink& sink);
  // Forgets what is kept without telling it (a connection closed); offsets go on.
  void reset();
  const HJ::FrameScanner& scanner() const { return m_scanner; }
  // Bytes held in memory: the scanner's and those not yet told.
  std::size_t held() const { return m_scanner.held() + m_window.size(); }

private:
  struct Told {
    HJ::SpanKind kind;
    std::uint64_t offset, length;
  };
  void span(HJ::SpanKind kind, std::uint64_t offset, std::uint64_t length) override;
  void deliver(const Sink& sink);
  HJ::FrameScanner m_scanner;
  std::string m_key;
  std::string m_window; // the stream from m_window_at on
  std::uint64_t m_window_at = 0;
  std::size_t m_window_head = 0; // bytes of m_window already delivered
  std::vector<Told> m_told;      // reused
  std::string m_frame;
};

} // namespace sim
