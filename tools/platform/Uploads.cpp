#include "Uploads.h"

#include <cstdio>

namespace sim {

bool UploadTally::again(const std::string& cn, const std::string& qn, const std::string& pno) {
  std::string key = cn + " " + qn + " " + pno;
  if (m_seen.count(key)) return true;
  m_seen.insert(key);
  m_order.push_back(std::move(key));
  if (m_order.size() > kRemembered) {
    m_seen.erase(m_order.front());
    m_order.pop_front();
  }
  return false;
}

void UploadTally::upload(const std::string& cn, int64_t now) {
  Arrivals& a = m_uploads[cn];
  if (a.count++ == 0) a.first = now;
  a.last = now;
}

unsigned UploadTally::count(const std::string& cn) const {
  const Arrivals* a = arrivals(cn);
  return a ? a->count : 0u;
}

const Arrivals* UploadTally::arrivals(const std::string& cn) const {
  auto it = m_uploads.find(cn);
  return it == m_uploads.end() ? nullptr : &it->second;
}

std::string UploadTally::uploads_text() const {
  std::string ups;
  for (const auto& u : m_uploads) {
    if (!ups.empty()) ups += "; ";
    ups += "CN=" + u.first + " x" + std::to_string(u.second.count);
    if (u.second.count >= 2) {
      char every[48];
      std::snprintf(every, sizeof every, " (every %.1f s)",
                    static_cast<double>(u.second.last - u.second.first) / 1000.0 / static_cast<double>(u.second.count - 1));
      ups += every;
    }
  }
  return ups.empty() ? std::string("none") : ups;
}

std::string UploadTally::counts_text(const std::map<std::string, unsigned>& counts) {
  std::string text;
  for (const auto& c : counts) text += (text.empty() ? "CN=" : "; CN=") + c.first + " x" + std::to_string(c.second);
  return text;
}

} // namespace sim
