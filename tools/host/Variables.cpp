#include "Variables.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace sim {

DATATYPE type_of(const Value& v) {
  switch (v.index()) {
  case 0: return DT_INTEGER;
  case 1: return DT_DOUBLE;
  default: return DT_STRING;
  }
}

std::string value_text(const Value& v) {
  if (const int* i = std::get_if<int>(&v)) return std::to_string(*i);
  if (const double* d = std::get_if<double>(&v)) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.15g", *d);
    return buf;
  }
  return std::get<std::string>(v);
}

namespace {

// A whole text as a number: blanks around it allowed, nothing else.
bool parse_number(const std::string& text, double& out) {
  const char* s = text.c_str();
  char* end = nullptr;
  double d = std::strtod(s, &end);
  if (end == s) return false;
  while (*end == ' ' || *end == '\t') ++end;
  if (*end != '\0' || !std::isfinite(d)) return false;
  out = d;
  return true;
}

bool to_int(double d, int& out) {
  if (!std::isfinite(d)) return false;
  double t = std::trunc(d);
  if (t < static_cast<double>(std::numeric_limits<int>::min()) || t > static_cast<double>(std::numeric_limits<int>::max())) return false;
  out = static_cast<int>(t);
  return true;
}

// `v` converted to the type of `like`; false when it does not convert.
bool convert(const Value& v, DATATYPE to, Value& out) {
  DATATYPE from = type_of(v);
  if (from == to) {
    out = v;
    return true;
  }
  if (to == DT_STRING) {
    out = value_text(v);
    return true;
  }
  double d = 0;
  if (from == DT_INTEGER) d = std::get<int>(v);
  else if (from == DT_DOUBLE) d = std::get<double>(v);
  else if (!parse_number(std::get<std::string>(v), d)) return false;
  if (to == DT_DOUBLE) {
    out = d;
    return true;
  }
  int i = 0;
  if (!to_int(d, i)) return false;
  out = i;
  return true;
}

} // namespace

bool VariableStore::declare(const std::string& name, Value initial) {
  if (name.empty()) return false;
  std::lock_guard<std::mutex> lock(m_mu);
  if (m_vars.count(name)) return false;
  m_vars.emplace(name, Var{std::move(initial), static_cast<int>(m_order.size())});
  m_order.push_back(name);
  return true;
}

bool VariableStore::has(const std::string& name) const {
  std::lock_guard<std::mutex> lock(m_mu);
  return m_vars.count(name) != 0;
}

int VariableStore::type(const std::string& name, DATATYPE& t) const {
  std::lock_guard<std::mutex> lock(m_mu);
  auto it = m_vars.find(name);
  if (it == m_vars.end()) return kUnknown;
  t = type_of(it->second.value);
  return 0;
}

int VariableStore::get(const std::string& name, Value& v) const {
  std::lock_guard<std::mutex> lock(m_mu);
  auto it = m_vars.find(name);
  if (it == m_vars.end()) return kUnknown;
  v = it->second.value;
  return 0;
}

int VariableStore::get(const std::string& name, int& v) const {
  Value raw, out;
  if (int rc = get(name, raw)) return rc;
  if (!convert(raw, DT_INTEGER, out)) return kRefused;
  v = std::get<int>(out);
  return 0;
}

int VariableStore::get(const std::string& name, double& v) const {
  Value raw, out;
  if (int rc = get(name, raw)) return rc;
  if (!convert(raw, DT_DOUBLE, out)) return kRefused;
  v = std::get<double>(out);
  return 0;
}

int VariableStore::get(const std::string& name, std::string& v) const {
  Value raw;
  if (int rc = get(name, raw)) return rc;
  v = value_text(raw);
  return 0;
}

int VariableStore::store(const std::string& name, const Value& v) {
  std::lock_guard<std::mutex> lock(m_mu);
  auto it = m_vars.find(name);
  if (it == m_vars.end()) return kUnknown;
  Value out;
  if (!convert(v, type_of(it->second.value), out)) return kRefused;
  it->second.value = std::move(out);
  return 0;
}

int VariableStore::set(const std::string& name, int v) { return store(name, Value(v)); }
int VariableStore::set(const std::string& name, double v) { return store(name, Value(v)); }
int VariableStore::set(const std::string& name, const std::string& v) { return store(name, Value(v)); }

int VariableStore::id(const std::string& name) const {
  std::lock_guard<std::mutex> lock(m_mu);
  auto it = m_vars.find(name);
  return it == m_vars.end() ? -1 : it->second.id;
}

std::vector<std::pair<std::string, Value>> VariableStore::snapshot() const {
  std::lock_guard<std::mutex> lock(m_mu);
  std::vector<std::pair<std::string, Value>> out;
  out.reserve(m_order.size());
  for (const std::string& n : m_order) out.emplace_back(n, m_vars.at(n).value);
  return out;
}

// ---- the per-device view ----

const std::string* DeviceRtdb::channel(int ch) const {
  auto it = m_channels.find(ch);
  return it == m_channels.end() ? nullptr : &it->second;
}

int DeviceRtdb::GetValueTypeByName(const char* name, DATATYPE& type) { return name ? m_store.type(name, type) : VariableStore::kUnknown; }
int DeviceRtdb::GetValueByName(const char* name, int& value) { return name ? m_store.get(name, value) : VariableStore::kUnknown; }
int DeviceRtdb::GetValueByName(const char* name, double& value) { return name ? m_store.get(name, value) : VariableStore::kUnknown; }
int DeviceRtdb::GetValueByName(const char* name, std::string& value) { return name ? m_store.get(name, value) : VariableStore::kUnknown; }
int DeviceRtdb::SetValueByName(const char* name, int value) { return name ? m_store.set(name, value) : VariableStore::kUnknown; }
int DeviceRtdb::SetValueByName(const char* name, double value) { return name ? m_store.set(name, value) : VariableStore::kUnknown; }
int DeviceRtdb::SetValueByName(const char* name, std::string& value) { return name ? m_store.set(name, value) : VariableStore::kUnknown; }

int DeviceRtdb::GetValueTypeByChannel(int ch, DATATYPE& type) {
  const std::string* n = channel(ch);
  return n ? m_store.type(*n, type) : VariableStore::kUnknown;
}
int DeviceRtdb::GetValueByChannel(int ch, int& value) {
  const std::string* n = channel(ch);
  return n ? m_store.get(*n, value) : VariableStore::kUnknown;
}
int DeviceRtdb::GetValueByChannel(int ch, double& value) {
  const std::string* n = channel(ch);
  return n ? m_store.get(*n, value) : VariableStore::kUnknown;
}
int DeviceRtdb::GetValueByChannel(int ch, std::string& value) {
  const std::string* n = channel(ch);
  return n ? m_store.get(*n, value) : VariableStore::kUnknown;
}
int DeviceRtdb::SetValueByChannel(int ch, int value) {
  const std::string* n = channel(ch);
  return n ? m_store.set(*n, value) : VariableStore::kUnknown;
}
int DeviceRtdb::SetValueByChannel(int ch, double value) {
  const std::string* n = channel(ch);
  return n ? m_store.set(*n, value) : VariableStore::kUnknown;
}
int DeviceRtdb::SetValueByChannel(int ch, std::string& value) {
  const std::string* n = channel(ch);
  return n ? m_store.set(*n, value) : VariableStore::kUnknown;
}
int DeviceRtdb::GetValueIDByChannel(int ch, int& id) {
  const std::string* n = channel(ch);
  if (!n) return VariableStore::kUnknown;
  int i = m_store.id(*n);
  if (i < 0) return VariableStore::kUnknown;
  id = i;
  return 0;
}

} // namespace sim
