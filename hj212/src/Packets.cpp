#include "Packets.h"

#include "hj212/CpCipher.h"
#include "hj212/Envelope.h"

namespace HJ {
namespace {

constexpr std::size_t kCpCloseBytes = 2;      // "&&"
constexpr std::size_t kPacketFieldBytes = 11; // "PNUM=" ";" "PNO=" ";" without their numbers
constexpr long kLargestNumber = 99999999;     // any PNUM or PNO a header may already hold

std::size_t digits(std::size_t n) {
  std::size_t count = 1;
  for (; n >= 10; n /= 10) ++count;
  return count;
}

// One CP item: its plain text [begin, end) and its byte count on the wire.
struct Item {
  std::size_t begin;
  std::size_t end;
  std::size_t wire;
};

// What the packets are made of, measured on the wire.
struct Parts {
  std::size_t head_wire = 0;   // before "CP=&&"
  std::size_t region_wire = 0; // the whole region
  std::size_t tail_wire = 0;   // after the closing "&&"
  std::vector<Item> items;     // the region's items in order, the empty ones left out
};

// The first ";" or "&" at or after `from`, or npos. A plain loop: find_first_of asks memchr of
// the two-character set once per byte.
std::size_t next_separator(const std::string& text, std::size_t from) {
  for (; from < text.size(); ++from)
    if (text[from] == ';' || text[from] == '&') return from;
  return std::string::npos;
}

// Cuts the region [begin, end) of `data` into items and measures everything on `wire`. Where the
// wire differs from the text, the two are matched separator by separator; false when they do
// not match one for one.
bool measure(const std::string& data, const std::string& wire, std::size_t begin, std::size_t end, Parts& parts) {
  for (std::size_t at = begin; at <= end;) {
    std::size_t stop = data.find(';', at);
    if (stop > end) stop = end;
    if (stop > at) parts.items.push_back(Item{at, stop, stop - at});
    at = stop + 1;
  }
  parts.head_wire = begin - kCpOpenBytes;
  parts.region_wire = end - begin;
  parts.tail_wire = data.size() - end - kCpCloseBytes;
  if (wire == data) return true; // UTF-8 on the wire

  std::size_t w = 0, item = 0, item_wire = 0;
  for (std::size_t q = next_separator(data, 0); q != std::string::npos; q = next_separator(data, q + 1)) {
    w = next_separator(wire, w);
    if (w == std::string::npos || wire[w] != data[q]) return false;
    if (q == begin - 1) { // the second "&" of "CP=&&"
      if (w < kCpOpenBytes - 1) return false;
      parts.head_wire = w + 1 - kCpOpenBytes;
      item_wire = w + 1;
    } else if (q >= begin && q <= end && (q == end || data[q] == ';')) {
      if (item < parts.items.size() && parts.items[item].end == q) parts.items[item++].wire = w - item_wire;
      if (q == end) {
        if (w + kCpCloseBytes > wire.size()) return false;
        parts.region_wire = w - (parts.head_wire + kCpOpenBytes);
        parts.tail_wire = wire.size() - w - kCpCloseBytes;
      }
      item_wire = w + 1;
    }
    ++w;
  }
  return next_separator(wire, w) == std::string::npos;
}

// An item named DataTime (blanks around the name allowed).
bool is_data_time(const std::string& data, const Item& item) {
  static const char kName[] = "DataTime";
  std::size_t at = item.begin;
  while (at < item.end && header_blank(data[at])) ++at;
  if (item.end - at < sizeof kName || data.compare(at, sizeof kName - 1, kName) != 0) return false;
  at += sizeof kName - 1;
  while (at < item.end && header_blank(data[at])) ++at;
  return at < item.end && data[at] == '=';
}

} // namespace

std::size_t packet_limit(PacketLimit limit, const std::string& data) {
  if (!limit.by_flag) return limit.bytes;
  return flag_names_2025(header_flag(data)) ? kPacketDataBytes : 0;
}

namespace {

// The greedy deal of items[first..] into packets, PNUM's width guessed (a packet count that needs
// more digits deals again): where each packet's items start. false when one item alone overflows.
bool deal_items(const Parts& parts, std::size_t first, std::size_t fixed, std::size_t lead, std::size_t limit, CipherForm cipher_form,
                std::vector<std::size_t>& starts) {
  for (std::size_t width = 1;;) {
    starts.clear();
    for (std::size_t i = first; i < parts.items.size();) {
      const std::size_t header = fixed + width + digits(starts.size() + 1);
      std::size_t region = lead + parts.items[i].wire;
      if (header + encrypted_region_bytes(region, cipher_form) > limit) return false;
      starts.push_back(i);
      for (++i; i < parts.items.size(); ++i) {
        std::size_t grown = region + 1 + parts.items[i].wire;
        if (header + encrypted_region_bytes(grown, cipher_form) > limit) break;
        region = grown;
      }
    }
    if (digits(starts.size()) <= width) return true;
    width = digits(starts.size());
  }
}

// Before PNO's number: the header up to Flag's value, the new value, the rest of the Flag item
// and PNUM. After it: the rest of the header, "CP=&&" and DataTime. Then each packet's items and
// the closing "&&" with whatever follows it.
std::vector<std::string> write_packets(const std::string& data, const Parts& parts, const HeaderItem& flag_at, const std::string& flag_text,
                                       const Item* data_time, std::size_t begin, std::size_t end, const std::vector<std::size_t>& starts) {
  std::string before = data.substr(0, flag_at.value_begin) + flag_text;
  before.append(data, flag_at.value_end, flag_at.item_end + 1 - flag_at.value_end);
  before += "PNUM=" + std::to_string(starts.size()) + ";PNO=";
  std::string after = ";";
  after.append(data, flag_at.item_end + 1, begin - flag_at.item_end - 1);
  if (data_time) after.append(data, data_time->begin, data_time->end - data_time->begin).append(";");
  std::vector<std::string> packets(starts.size());
  for (std::size_t k = 0; k < starts.size(); ++k) {
    std::size_t stop = k + 1 < starts.size() ? starts[k + 1] : parts.items.size();
    std::string& packet = packets[k];
    packet = before + std::to_string(k + 1) + after;
    for (std::size_t i = starts[k]; i < stop; ++i) {
      if (i > starts[k]) packet += ';';
      packet.append(data, parts.items[i].begin, parts.items[i].end - parts.items[i].begin);
    }
    packet.append(data, end, std::string::npos);
  }
  return packets;
}

} // namespace

std::vector<std::string> split_packets(const std::string& data, const std::string& wire, std::size_t limit, CipherForm cipher_form) {
  std::size_t begin = 0, end = 0;
  if (limit == 0 || !cp_region(data.data(), data.size(), begin, end)) return {};
  HeaderItem flag_at;
  long flag = header_number(data, "Flag", 255, &flag_at);
  // PNUM and PNO go after the ";" that ends the Flag item.
  if (flag < 0 || flag_at.item_end >= begin - kCpOpenBytes) return {};
  if (header_number(data, "PNUM", kLargestNumber) >= 0 || header_number(data, "PNO", kLargestNumber) >= 0) return {};
  Parts parts;
  if (!measure(data, wire, begin, end, parts)) return {};
  if (wire.size() - parts.region_wire + encrypted_region_bytes(parts.region_wire, cipher_form) <= limit) return {};

  // A leading DataTime opens every packet's region; the other items are dealt out.
  const Item* data_time = nullptr;
  std::size_t first = 0;
  if (!parts.items.empty() && is_data_time(data, parts.items[0])) data_time = &parts.items[first++];
  if (first == parts.items.size()) return {};
  const std::string flag_text = std::to_string(flag | 2);
  const std::size_t fixed = parts.head_wire - (flag_at.value_end - flag_at.value_begin) + flag_text.size() + kPacketFieldBytes + kCpOpenBytes +
                            kCpCloseBytes + parts.tail_wire;
  const std::size_t lead = data_time ? data_time->wire + 1 : 0;
  std::vector<std::size_t> starts;
  if (!deal_items(parts, first, fixed, lead, limit, cipher_form, starts)) return {};
  return write_packets(data, parts, flag_at, flag_text, data_time, begin, end, starts);
}

} // namespace HJ
