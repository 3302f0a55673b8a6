// Splitting a long data segment into packets: every packet keeps the header with Flag's packet
// bit set and "PNUM=<n>;PNO=<i>;" right after "Flag=...;", shares the QN, repeats a leading
// DataTime item and carries as many of the CP items, in order, as fit within the limit. The
// limit is on the data segment as transmitted; the packets' bytes are still wire_data's affair.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "hj212/WireChoices.h"

namespace HJ {

// The standard's largest data segment of one frame, the default limit of 2025 frames.
constexpr std::size_t kPacketDataBytes = 1024;

// The largest data segment "Send" writes of `data` as one frame under `limit`: by Flag,
// kPacketDataBytes for version 2025 or later and no limit otherwise. 0 stands for no limit.
std::size_t packet_limit(PacketLimit limit, const std::string& data);

// The plain data segments of the packets `data` goes out as, in order; empty when it goes as one
// frame: no limit, it fits, or it cannot be split within the limit (no Flag in its header, PNUM
// or PNO already there, no CP region or no item to deal, an item or the header alone too long).
// `wire` is `data` in its wire charset (wire_bytes): the charsets keep every ";" and "&" and
// change only the bytes between them, so each item's transmitted size is measured there once.
// `cipher_form` is the form the packets' regions will be encrypted in kCipherRaw
// when they are not encrypted: the text form makes a region's whole blocks longer.
std::vector<std::string> split_packets(const std::string& data, const std::string& wire, std::size_t limit, CipherForm cipher_form);

} // namespace HJ
