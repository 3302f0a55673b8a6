#include "hj212/Device.h"

#include <climits>
#include <utility>

#include "hj212/stdprintf.h"

namespace HJ {

std::string value_text(const std::string& name, VarValue value) {
  // Room for any double in "%lf": up to 309 integer digits, sign, point and six decimals; a smaller
  // buffer would silently cut large values into different numbers.
  constexpr std::size_t kDoubleText = 320;
  switch (value.type) {
  case VarType::Unreachable: return std::string();
  case VarType::None: return name;
  case VarType::Integer: return stdprintf<32>("%d", static_cast<int>(value.number));
  case VarType::Double: return stdprintf<kDoubleText>("%lf", value.number);
  case VarType::Text: break;
  }
  return std::move(value.text);
}

DeviceParams DeviceParams::from(const int* values, int count) {
  auto at = [&](int index, int otherwise) { return values != nullptr && count > index ? values[index] : otherwise; };
  DeviceParams params;
  params.port_timeout = at(0, 0);
  params.charset = wire_charset_from(at(1, kCharsetByFlag));
  params.packet_limit = PacketLimit::from(at(2, 0));
  params.cipher_form = cipher_form_from(at(3, kCipherRaw));
  params.encryption_required = at(4, 0) == 1;
  return params;
}

int DeviceParams::port_timeout_ms() const {
  const long long seconds = port_timeout < 0 ? 5 : port_timeout;
  const long long milliseconds = seconds * 1000;
  return milliseconds > INT_MAX ? INT_MAX : static_cast<int>(milliseconds);
}

} // namespace HJ
