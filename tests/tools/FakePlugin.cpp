// A stand-in device plug-in for testing the panel simulator without the real one: the same three
// exports and the same commands in plain form (no template quirks, no GB18030). It logs the
// panel's calls, one line each, to the file named by POLMON_FAKE_LOG.
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hj212/Envelope.h"
#include "hj212/FrameScanner.h"
#include "panel/DeviceExports.h"
#include "panel/ICommunication.h"
#include "tools/common/Hj212Text.h"

namespace {

std::mutex g_log_mu;

void log_call(const std::string& line) {
  const char* path = std::getenv("POLMON_FAKE_LOG");
  if (!path) return;
  std::lock_guard<std::mutex> lock(g_log_mu);
  if (FILE* f = std::fopen(path, "a")) {
    std::fprintf(f, "%s\n", line.c_str());
    std::fclose(f);
  }
}

std::string trim(const std::string& s) {
  size_t a = s.find_first_not_of(' ');
  if (a == std::string::npos) return std::string();
  size_t b = s.find_last_not_of(' ');
  return s.substr(a, b - a + 1);
}

class FakeDevice : public IDeviceCtrl {
public:
  FakeDevice(const char* name, IDevRtdbCtrl* rtdb) : m_name(name ? name : ""), m_rtdb(rtdb) {}
  ~FakeDevice() override { stop(); }

  int InitDevice(const unsigned char* data, int length) override {
    if (!data || length <= 0) return static_cast<int>(0x80000001u);
    log_call("init " + m_name + " " + std::to_string(length));
    if (m_thread.joinable()) return 0;
    m_thread = std::thread([this] { run(); });
    return 0;
  }
  int CleanupDevice() override {
    log_call("cleanup " + m_name);
    stop();
    return 0;
  }
  int CollectDevData(const int* codes, int count) override {
    if (!codes || count == 0) return 0;
    if (!m_port) return -2;
    if (!m_collected) log_call("collect " + m_name + " " + std::to_string(count));
    m_collected = true;
    {
      std::lock_guard<std::mutex> lock(m_mu);
      m_started = true;
    }
    m_cond.notify_one();
    return 2147483647;
  }
  int DevIOCtrl(const char* command) override { return command ? run_command(command) : static_cast<int>(0x80000001u); }
  int WriteChannel(int, DATATYPE, void*) override { return 5; }
  int UpdataCommunication(ICommunication* port) override {
    if (!port) return static_cast<int>(0x80000001u);
    m_port = port;
    log_call("port " + m_name + " " + std::to_string(port->GetCommMode()));
    return 0;
  }
  int ChannelRefChange(const int*, int count) override {
    log_call("refs " + m_name + " " + std::to_string(count));
    return 0;
  }
  int SetChannelAddress(int, int) override { return 0; }

private:
  void stop() {
    m_stop = true;
    {
      std::lock_guard<std::mutex> lock(m_mu);
      m_started = true;
    }
    m_cond.notify_one();
    if (m_thread.joinable()) m_thread.join();
  }

  void run() {
    {
      std::unique_lock<std::mutex> lock(m_mu);
      m_cond.wait(lock, [this] { return m_started; });
    }
    HJ::FrameScanner scanner;
    unsigned char buf[512];
    int accepted = 0;
    while (!m_stop) {
      int len = sizeof buf;
      int n = m_port->ReadData(buf, &len, 40);
      if (n <= 0) continue;
      scanner.feed(buf, static_cast<size_t>(n), [&](std::string&& f) {
        {
          std::lock_guard<std::mutex> lock(m_mu);
          if (m_queue.size() >= 64) m_queue.pop_front();
          m_queue.emplace_back(f);
        }
        DATATYPE t = DT_UNSET;
        if (m_rtdb->GetValueTypeByChannel(0, t) == 0) m_rtdb->SetValueByChannel(0, ++accepted);
      });
    }
  }

  std::string read(const std::string& name) {
    DATATYPE t = DT_UNSET;
    std::string v;
    if (m_rtdb->GetValueTypeByName(name.c_str(), t) != 0) return name; // a literal
    m_rtdb->GetValueByName(name.c_str(), v);
    return v;
  }
  bool write(const std::string& name, std::string v) { return m_rtdb->SetValueByName(name.c_str(), v) == 0; }
  bool write(const std::string& name, int v) { return m_rtdb->SetValueByName(name.c_str(), v) == 0; }

  static bool field(const std::string& text, const std::string& key, std::string& out) {
    size_t skip = text.rfind("##", 0) == 0 ? 6 : 0; // past the envelope's length field
    size_t at = text.find(key + "=", skip);
    while (at != std::string::npos && at > skip && text[at - 1] != ';' && text[at - 1] != ',' && text[at - 1] != '&')
      at = text.find(key + "=", at + 1);
    if (at == std::string::npos) return false;
    size_t from = at + key.size() + 1;
    size_t end = text.find_first_of(";,&", from);
    out = text.substr(from, end == std::string::npos ? std::string::npos : end - from);
    return true;
  }

  int run_command(const std::string& command) {
    size_t open = command.find('('), close = command.find(')');
    if (open == std::string::npos || close == std::string::npos || close < open) return 5;
    std::string name = trim(command.substr(0, open));
    std::vector<std::string> a;
    std::string list = command.substr(open + 1, close - open - 1);
    size_t pos = 0;
    while (pos <= list.size()) {
      size_t comma = list.find(',', pos);
      std::string piece = trim(list.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos));
      if (!piece.empty()) a.push_back(piece);
      if (comma == std::string::npos) break;
      pos = comma + 1;
    }
    if (name == "GetQueueSize" && a.size() == 1) {
      std::lock_guard<std::mutex> lock(m_mu);
      int n = static_cast<int>(m_queue.size());
      return write(a[0], n) ? 0 : 4;
    }
    if (name == "GetData" && a.size() == 2) {
      std::string frame;
      int left = -1;
      {
        std::lock_guard<std::mutex> lock(m_mu);
        if (!m_queue.empty()) {
          frame = m_queue.front();
          m_queue.pop_front();
          left = static_cast<int>(m_queue.size());
        }
      }
      return write(a[0], frame) && write(a[1], left) ? 0 : 4;
    }
    if ((name == "GetValue" || name == "GetCpValue") && a.size() == 4) {
      std::string text = read(a[0]), value;
      if (name == "GetCpValue") {
        size_t cp = text.find("&&");
        size_t end = cp == std::string::npos ? cp : text.find("&&", cp + 2);
        text = cp == std::string::npos ? std::string() : text.substr(cp + 2, end == std::string::npos ? end : end - cp - 2);
      }
      bool found = field(text, read(a[1]), value);
      write(a[2], found ? value : std::string());
      write(a[3], found ? 0 : -1);
      return 0;
    }
    if (name == "MakeProtocol" && a.size() == 2) {
      std::string tpl = read(a[0]), out;
      size_t at = 0;
      while (at <= tpl.size()) { // each key=name item: the name replaced by its variable's value
        size_t end = tpl.find_first_of(",;", at);
        std::string item = tpl.substr(at, end == std::string::npos ? std::string::npos : end - at);
        size_t eq = item.find('=');
        out += eq == std::string::npos ? item : item.substr(0, eq + 1) + read(item.substr(eq + 1));
        if (end == std::string::npos) break;
        out += tpl[end];
        at = end + 1;
      }
      write(a[1], out);
      return 0;
    }
    if (name == "Send" && (a.size() == 2 || a.size() == 3)) {
      std::string frame = HJ::wrap_frame(read(a[0]));
      if (a.size() == 3) write(a[2], frame);
      int len = static_cast<int>(frame.size());
      bool sent = m_port && m_port->WriteData(reinterpret_cast<const unsigned char*>(frame.data()), &len, 0) != 0;
      write(a[1], sent ? 0 : -1);
      return 0;
    }
    return 5;
  }

  std::string m_name;
  IDevRtdbCtrl* m_rtdb;
  ICommunication* m_port = nullptr;
  bool m_collected = false;
  std::thread m_thread;
  std::mutex m_mu;
  std::condition_variable m_cond;
  bool m_started = false;
  std::atomic<bool> m_stop{false};
  std::deque<std::string> m_queue;
};

} // namespace

extern "C" {
POLMON_EXPORT IDeviceCtrl* CreateDeviceCtrl(const char* name, IDevRtdbCtrl* rtdb) {
  log_call(std::string("create ") + (name ? name : ""));
  return new FakeDevice(name, rtdb);
}
POLMON_EXPORT int GetInterfaceVersion(int hostVersion, IDeviceCtrl* device) {
  log_call("version " + std::to_string(hostVersion));
  return device ? 3 : 1;
}
POLMON_EXPORT int DestroyDeviceCtrl(IDeviceCtrl* device) {
  if (!device) return 1;
  log_call("destroy");
  delete device;
  return 0;
}
}
