#include "ConfigBytes.h"

namespace sim {

namespace {

void put32(std::vector<uint8_t>& out, int32_t v) {
  uint32_t u = static_cast<uint32_t>(v);
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(u >> (8 * i)));
}

void put_text(std::vector<uint8_t>& out, const std::string& s) {
  put32(out, static_cast<int32_t>(s.size()));
  out.insert(out.end(), s.begin(), s.end());
}

} // namespace

std::vector<uint8_t> build_config(const std::vector<int32_t>& params, const std::vector<ChannelRow>& rows) {
  std::vector<uint8_t> out{0x20, 0x4E}; // version 20000
  put32(out, static_cast<int32_t>(params.size()));
  for (int32_t p : params) put32(out, p);
  put32(out, static_cast<int32_t>(rows.size()));
  for (const ChannelRow& r : rows) {
    put32(out, r.group);
    put32(out, r.st);
    put_text(out, r.factor);
    put_text(out, r.name);
    put32(out, r.data_type);
    put32(out, r.factor_type);
    put32(out, r.rw);
  }
  return out;
}

} // namespace sim
