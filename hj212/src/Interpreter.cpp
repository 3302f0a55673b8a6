// The script command interpreter: one-line commands such as GetData(RxFrame,RxLeft), run on the
// panel's calling thread. Every argument names a panel variable; results come back through the
// variables and the result code (kCmdRan, kCmdStoreFailed, kCmdMalformed in CommandResults.h).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "FieldExtract.h"
#include "Packets.h"
#include "Split.h"
#include "hj212/Charset.h"
#include "hj212/CommandResults.h"
#include "hj212/CpCipher.h"
#include "hj212/Device.h"
#include "hj212/Envelope.h"
#include "hj212/HJ212System.h"
#include "hj212/stdprintf.h"

namespace HJ {
namespace {

constexpr int kStatusDone = 0;
constexpr int kStatusNotDone = -1;

using Args = std::vector<std::string>;

// Helpers in the engine's snake_case; the command handlers below bear the script commands' names.

// An engine never bound to a device (no configuration) has no variables: reads give the empty
// text and stores fail.
std::string read_var(HJ212_system& engine, const std::string& name) {
  return engine.device() ? value_text(name, engine.device()->read(name)) : std::string();
}

bool store_var(HJ212_system& engine, const std::string& name, std::string value) { return engine.device() && engine.device()->store(name, value); }

bool store_var(HJ212_system& engine, const std::string& name, int value) { return engine.device() && engine.device()->store(name, value); }

int MakeProtocol(HJ212_system& engine, const Args& args) {
  store_var(engine, args[1], engine._write_make_frame(read_var(engine, args[0])));
  return kCmdRan;
}

// The device's key expanded for one command, or null when none is set.
std::unique_ptr<Sm4> device_cipher(HJ212_system& engine) {
  unsigned char key[Sm4::kKeyBytes];
  if (!engine.cipher_key()->get(key)) return nullptr;
  std::unique_ptr<Sm4> cipher(new Sm4(key));
  wipe(key, sizeof key);
  return cipher;
}

// Writes the frame's bytes to the port; true when the port took them.
bool write_frame(HJ212_system& engine, const std::string& bytes) {
  return engine.device() && !bytes.empty() && engine.device()->write(bytes, engine.params().port_timeout);
}

// One frame of "Send": its bytes for the port, and the copy with the runtime's text.
struct SendFrame {
  std::string wire;
  std::string copy;
  bool fits;    // a data segment the four-digit length field cannot announce would only be rejected
  bool allowed; // a frame that must be encrypted but cannot be (no key yet, no closed CP) does not leave plain
};

// Length and CRC cover the plain bytes on the wire; the copy, when asked for, shows the runtime's
// text between them, never ciphertext.
SendFrame build_frame(const DeviceParams& params, const std::string& data, bool copy, const Sm4* cipher) {
  WireData wire = wire_data(data, params.charset, cipher, params.cipher_form);
  bool allowed = !(wire.cipher_due && !wire.encrypted && params.encryption_required);
  return SendFrame{wire.frame(), copy ? wire.frame_around(data) : std::string(), wire.fits(), allowed};
}

// A data segment longer than the third device parameter allows goes out as packets; one that
// fits, or cannot be split, as one frame. Status -k: frame k was not written, nor any after it.
int Send(HJ212_system& engine, const Args& args) {
  // Scripts read only Status: a command that ends early must not leave an earlier Send's 0.
  store_var(engine, args[1], kStatusNotDone);
  std::string data = read_var(engine, args[0]);
  std::unique_ptr<Sm4> cipher = device_cipher(engine);
  const DeviceParams& params = engine.params();
  std::vector<std::string> segments;
  if (std::size_t limit = packet_limit(params.packet_limit, data)) {
    // measured as transmitted: the text form makes an encrypted region longer
    CipherForm measured_form = cipher && encrypted_cn(header_cn(data)) ? params.cipher_form : kCipherRaw;
    segments = split_packets(data, wire_bytes(data, params.charset), limit, measured_form);
  }
  if (segments.empty()) segments.push_back(std::move(data));
  std::vector<SendFrame> frames;
  frames.reserve(segments.size());
  std::string copy;
  for (const std::string& segment : segments) {
    frames.push_back(build_frame(params, segment, args.size() == 3, cipher.get()));
    copy += frames.back().copy;
  }
  if (args.size() == 3) store_var(engine, args[2], std::move(copy));
  int status = kStatusDone;
  std::size_t k = 0;
  try {
    for (; k < frames.size() && status == kStatusDone; ++k)
      if (!frames[k].allowed || !frames[k].fits || !write_frame(engine, frames[k].wire)) status = -static_cast<int>(k + 1);
  } catch (...) {
    store_var(engine, args[1], -static_cast<int>(k + 1)); // a port that threw: the packets before k left
    throw;
  }
  store_var(engine, args[1], status);
  return kCmdRan;
}

// The key comes only from a text variable (a misspelt name must not become the key): 16 bytes set
// it, the empty text removes it, anything else leaves it as it was. The Status is stored before
// the key changes, so a command that cannot report leaves the key alone.
int SetKey(HJ212_system& engine, const Args& args) {
  std::string key;
  bool named = engine.device() && engine.device()->read_text(args[0], key);
  bool valid = named && (key.empty() || key.size() == Sm4::kKeyBytes);
  int result = kCmdStoreFailed;
  if (store_var(engine, args[1], valid ? kStatusDone : kStatusNotDone)) {
    if (valid) engine.cipher_key()->set(key);
    result = kCmdRan;
  }
  if (!key.empty()) wipe(&key[0], key.size());
  return result;
}

void store_field(HJ212_system& engine, const Args& args, bool found, const std::string& value) {
  store_var(engine, args[2], found ? value : std::string());
  store_var(engine, args[3], found ? kStatusDone : kStatusNotDone);
}

int GetValue(HJ212_system& engine, const Args& args) {
  std::string frame = read_var(engine, args[0]);
  std::string key = read_var(engine, args[1]);
  std::string value;
  bool found = get_value(frame, key, value) != 0;
  store_field(engine, args, found, value);
  return kCmdRan;
}

int GetCpValue(HJ212_system& engine, const Args& args) {
  std::string frame = read_var(engine, args[0]);
  std::string key = read_var(engine, args[1]);
  std::string cp;
  std::string value;
  bool found = get_value_cp(frame, cp) != 0 && get_value(cp, key, value) != 0;
  store_field(engine, args, found, value);
  return kCmdRan;
}

int GetQueueSize(HJ212_system& engine, const Args& args) {
  int waiting = static_cast<int>(engine.queue_size());
  return store_var(engine, args[0], waiting) ? kCmdRan : kCmdStoreFailed;
}

int GetData(HJ212_system& engine, const Args& args) {
  // A variable that cannot hold the frame would lose it: the queue is left as it is.
  if (!engine.device() || !engine.device()->is_text(args[0])) return kCmdStoreFailed;
  std::string frame;
  int left = engine.take_frame(frame);
  // The queue holds the bytes as received; scripts get the runtime's UTF-8, read in the charset
  // Send writes on this line.
  if (!store_var(engine, args[0], received_text(frame, engine.params().charset)))
    return kCmdStoreFailed; // the frame is gone from the queue all the same
  return store_var(engine, args[1], left) ? kCmdRan : kCmdStoreFailed;
}

// Each counter into its variable, in the command's order, as its decimal text: an integer
// variable saturates at 2147483647, a double or text one holds the exact value.
int GetStats(HJ212_system& engine, const Args& args) {
  const RecvStats counts = engine.stats();
  bool stored = true;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::uint64_t value = counts.*kRecvCounters[i].member;
    stored = store_var(engine, args[i], stdprintf<32>("%llu", static_cast<unsigned long long>(value))) && stored;
  }
  return stored ? kCmdRan : kCmdStoreFailed;
}

struct Command {
  const char* name;
  std::size_t minArgs;
  std::size_t maxArgs;
  int (*run)(HJ212_system&, const Args&);
};

// Matched in this order, without regard to ASCII letter case.
const Command kCommands[] = {
    {"MakeProtocol", 2, 2, &MakeProtocol},
    {"Send", 2, 3, &Send},
    {"GetValue", 4, 4, &GetValue},
    {"GetCpValue", 4, 4, &GetCpValue},
    {"GetQueueSize", 1, 1, &GetQueueSize},
    {"GetData", 2, 2, &GetData},
    {"GetStats", 1, kRecvCounterCount, &GetStats},
    {"SetKey", 2, 2, &SetKey},
};

bool same_name_ignoring_case(const std::string& name, const char* command) {
  std::size_t i = 0;
  for (; i < name.size() && command[i] != '\0'; ++i) {
    unsigned char a = static_cast<unsigned char>(name[i]);
    unsigned char b = static_cast<unsigned char>(command[i]);
    if (a >= 'A' && a <= 'Z') a = static_cast<unsigned char>(a - 'A' + 'a');
    if (b >= 'A' && b <= 'Z') b = static_cast<unsigned char>(b - 'A' + 'a');
    if (a != b) return false;
  }
  return i == name.size() && command[i] == '\0';
}

const Command* find_command(const std::string& name) {
  for (const Command& command : kCommands)
    if (same_name_ignoring_case(name, command.name)) return &command;
  return nullptr;
}

// `keeps_status` is set when the command leaves the status value as it was: counters that were
// viewed and stored change nothing.
int run_command(HJ212_system& engine, const std::string& text, std::size_t open, std::size_t close, bool& keeps_status) {
  const Command* command = find_command(trim_blanks(text.substr(0, open)));
  if (!command || close < open) return kCmdMalformed; // a ")" before the "(" belongs to the name
  Args args = split(trim_blanks(text.substr(open + 1, close - open - 1)), ",");
  if (args.size() < command->minArgs || args.size() > command->maxArgs) return kCmdMalformed;
  int result = command->run(engine, args);
  keeps_status = command->run == &GetStats && result == kCmdRan;
  return result;
}

} // namespace

int HJ212_system::execute_device_cmd(const std::string& command) {
  std::size_t open = command.find('(');
  std::size_t close = command.find(')');
  if (open == std::string::npos || close == std::string::npos) return kCmdMalformed;
  bool keeps_status = false;
  int result = kCmdStoreFailed;
  try {
    result = run_command(*this, command, open, close, keeps_status);
  } catch (...) {
    // The panel's database (or port) threw: answered as a failed store, and a frame GetData had
    // taken is gone as after any failed store. A panel that does not catch would abort.
    keeps_status = false;
  }
  if (!keeps_status) last_error.store(CmdFailure(result));
  return result;
}

} // namespace HJ
