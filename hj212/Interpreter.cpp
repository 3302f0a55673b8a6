// The script command interpreter: one-line commands such as GetData(RxFrame,RxLeft), run on the
// panel's calling thread. Every argument names a panel variable; results come back through the
// variables and the result code (kCmdRan, kCmdStoreFailed, kCmdMalformed in ResultCodes.h).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Charset.h"
#include "CpCipher.h"
#include "DevServer.h"
#include "Envelope.h"
#include "FieldExtract.h"
#include "HJ212System.h"
#include "ICommunication.h"
#include "ResultCodes.h"
#include "Split.h"
#include "ValueAccess.h"
#include "stdprintf.h"

namespace HJ {
namespace {

constexpr int kStatusDone = 0;
constexpr int kStatusNotDone = -1;

using Args = std::vector<std::string>;

// Helpers in the engine's snake_case; the command handlers below bear the script commands' names.

// An engine that was never bound to a device (no configuration) has no variables: reads give
// the empty text and stores fail.
std::string read_var(HJ212_system& engine, const std::string& name) {
  std::string value;
  if (engine.device_data()) get_value_by_name(*engine.device_data(), name, value);
  return value;
}

bool store_var(HJ212_system& engine, const std::string& name, std::string value) {
  return engine.device_data() && set_value_by_name(*engine.device_data(), name, value) != 0;
}

bool store_var(HJ212_system& engine, const std::string& name, int value) {
  return engine.device_data() && set_value_by_name(*engine.device_data(), name, value) != 0;
}

int MakeProtocol(HJ212_system& engine, const Args& args) {
  store_var(engine, args[1], engine._write_make_frame(read_var(engine, args[0])));
  return kCmdRan;
}

// The device's wire charset: the second device parameter, 0 (by Flag) when there is none.
int wire_charset_of(HJ212_system& engine) { return engine.device_param(1, kCharsetByFlag); }
// How ciphertext stands in the frame: the fourth device parameter, 1 the text form, anything
// else (absent: -1) raw bytes.
int cipher_form_of(HJ212_system& engine) { return engine.device_param(3, kCipherRaw) == kCipherText ? kCipherText : kCipherRaw; }
// The fifth device parameter at 1: frames whose CN asks for encryption never leave plain.
bool encryption_required(HJ212_system& engine) { return engine.device_param(4, 0) == 1; }

// The device's key expanded for one command, or null when none is set.
std::unique_ptr<Sm4> device_cipher(HJ212_system& engine) {
  unsigned char key[Sm4::kKeyBytes];
  if (!engine.cipher_key() || !engine.cipher_key()->get(key)) return nullptr;
  std::unique_ptr<Sm4> cipher(new Sm4(key));
  wipe(key, sizeof key);
  return cipher;
}

// Writes the frame's bytes to the port; true when the port took them.
bool write_frame(HJ212_system& engine, const std::string& bytes) {
  ICommunication* port = engine.device_data() ? LoadPort(*engine.device_data()) : nullptr;
  if (!port || bytes.empty()) return false;
  int length = static_cast<int>(bytes.size());
  return port->WriteData(reinterpret_cast<const unsigned char*>(bytes.data()), &length, engine.device_param(0, 0)) != 0;
}

int Send(HJ212_system& engine, const Args& args) {
  std::string data = read_var(engine, args[0]);
  // Length and CRC cover the plain bytes on the wire; the copy shows the runtime's text between
  // them, never ciphertext.
  WireData wire = wire_data(data, wire_charset_of(engine), device_cipher(engine).get(), cipher_form_of(engine));
  if (args.size() == 3) store_var(engine, args[2], wire.frame_around(data));
  // A frame that must be encrypted but cannot be (no key yet, no closed CP) does not leave plain.
  bool allowed = !(wire.cipher_due && !wire.encrypted && encryption_required(engine));
  // A data segment the four-digit length field cannot announce would only be rejected: not sent.
  bool written = allowed && wire.fits() && write_frame(engine, wire.frame());
  store_var(engine, args[1], written ? kStatusDone : kStatusNotDone);
  return kCmdRan;
}

// The key comes only from a text variable (a misspelt name must not become the key): 16 bytes set
// it, the empty text removes it, anything else leaves it as it was. The Status is stored before
// the key changes, so a command that cannot report leaves the key alone.
int SetKey(HJ212_system& engine, const Args& args) {
  std::string key;
  bool named = engine.device_data() && get_text_by_name(*engine.device_data(), args[0], key) != 0;
  bool valid = named && engine.cipher_key() && (key.empty() || key.size() == Sm4::kKeyBytes);
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
  std::string frame;
  int left = engine.take_frame(frame);
  // The queue holds the bytes as received; scripts get the runtime's UTF-8.
  if (!store_var(engine, args[0], received_text(frame))) return kCmdStoreFailed; // the frame is gone from the queue all the same
  return store_var(engine, args[1], left) ? kCmdRan : kCmdStoreFailed;
}

// Each counter into its variable, in the command's order, as its decimal text: an integer
// variable saturates at 2147483647, a double or text one holds the exact value.
int GetStats(HJ212_system& engine, const Args& args) {
  RecvStats s = engine.stats();
  const std::uint64_t values[] = {s.accepted, s.bad_length, s.bad_crc, s.dropped, s.overlong, s.noise_bytes, s.received_bytes, s.decrypted};
  bool stored = true;
  for (std::size_t i = 0; i < args.size(); ++i)
    stored = store_var(engine, args[i], stdprintf<32>("%llu", static_cast<unsigned long long>(values[i]))) && stored;
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
    {"MakeProtocol", 2, 2, &MakeProtocol}, {"Send", 2, 3, &Send},           {"GetValue", 4, 4, &GetValue},
    {"GetCpValue", 4, 4, &GetCpValue},     {"GetQueueSize", 1, 1, &GetQueueSize}, {"GetData", 2, 2, &GetData},
    {"GetStats", 1, 8, &GetStats},         {"SetKey", 2, 2, &SetKey},
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

int run_command(HJ212_system& engine, const std::string& text, std::size_t open, std::size_t close) {
  const Command* command = find_command(trim_blanks(text.substr(0, open)));
  if (!command || close < open) return kCmdMalformed; // a ")" before the "(" belongs to the name
  Args args = split(trim_blanks(text.substr(open + 1, close - open - 1)), ",");
  if (args.size() < command->minArgs || args.size() > command->maxArgs) return kCmdMalformed;
  return command->run(engine, args);
}

} // namespace

int HJ212_system::execute_device_cmd(const std::string& command) {
  std::size_t open = command.find('(');
  std::size_t close = command.find(')');
  if (open == std::string::npos || close == std::string::npos) return kCmdMalformed;
  int result = run_command(*this, command, open, close);
  last_error.store(static_cast<std::uint32_t>(result < 0 ? -result : result));
  return result;
}

} // namespace HJ
