#include "WebView.h"

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "WebAssets.h"
#include "WebModel.h"
#include "tools/common/Explain.h"
#include "tools/common/sys/Io.h"
#include "tools/common/sys/System.h"

namespace sim {

namespace {

constexpr size_t kInspectBytes = 64 * 1024; // a pasted log excerpt; more is refused (413)
constexpr size_t kInspectSpans = 50;
constexpr size_t kStreamChunk = 256 * 1024;          // events copied out of the ring per write
constexpr size_t kSpoolAt = 1024 * 1024;             // pending CSV bytes that wake the spool thread early
constexpr auto kKeepAlive = std::chrono::seconds(5); // also how soon a closed page frees its stream

// Set while the accepting thread itself answers a connection no worker could take.
thread_local bool t_overloaded = false;

int64_t wall_ms() { return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count(); }

// A fixed set of workers and a bounded wait list. httplib hands over only a closure that serves
// the connection, so a connection beyond the list is served by the accepting thread in the
// overloaded mode: the request is read (within the read timeout) and answered 503.
class BoundedPool : public httplib::TaskQueue {
public:
  BoundedPool(unsigned workers, unsigned queued, std::atomic<unsigned>& refused) : m_queued(queued), m_refused(refused) {
    for (unsigned i = 0; i < workers; ++i) m_threads.emplace_back([this] { work(); });
  }
  void enqueue(std::function<void()> fn) override {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (m_jobs.size() < m_queued) {
        m_jobs.push_back(std::move(fn));
        m_cond.notify_one();
        return;
      }
    }
    ++m_refused;
    t_overloaded = true;
    fn();
    t_overloaded = false;
  }
  void shutdown() override {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_shutdown = true;
    }
    m_cond.notify_all();
    for (std::thread& t : m_threads) t.join();
  }

private:
  void work() {
    for (;;) {
      std::function<void()> fn;
      {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cond.wait(lock, [&] { return m_shutdown || !m_jobs.empty(); });
        if (m_jobs.empty()) return;
        fn = std::move(m_jobs.front());
        m_jobs.pop_front();
      }
      fn();
    }
  }
  size_t m_queued;
  std::atomic<unsigned>& m_refused;
  std::mutex m_mutex;
  std::condition_variable m_cond;
  std::list<std::function<void()>> m_jobs;
  bool m_shutdown = false;
  std::vector<std::thread> m_threads;
};

// A dotted quad 127.a.b.c, each part 0-255 in decimal: a name merely starting with "127." may be
// any site's.
bool is_loopback_quad(const std::string& name) {
  if (name.rfind("127.", 0) != 0) return false;
  int parts = 0;
  for (std::size_t at = 0; at <= name.size(); ++parts) {
    std::size_t dot = std::min(name.find('.', at), name.size());
    if (dot == at || dot - at > 3 || parts == 4) return false;
    for (std::size_t i = at; i < dot; ++i)
      if (name[i] < '0' || name[i] > '9') return false;
    if (std::atoi(name.substr(at, dot - at).c_str()) > 255) return false;
    at = dot + 1;
  }
  return parts == 4;
}

// The Host header names this machine: 127.0.0.0/8 as a dotted quad, [::1] or localhost, each
// with an optional decimal port.
bool is_loopback(const std::string& header) {
  std::string name = header;
  std::size_t colon = header.rfind(':');
  if (colon != std::string::npos && header.find(']', colon) == std::string::npos) {
    std::string port = header.substr(colon + 1);
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return false;
    name = header.substr(0, colon);
  }
  return name == "localhost" || name == "[::1]" || is_loopback_quad(name);
}

// An address as a URL and a Host header name it: an IPv6 one in brackets, given with them or not.
std::string url_host(const std::string& host) {
  const bool bracketed = host.size() > 2 && host.front() == '[' && host.back() == ']';
  return !bracketed && host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

std::string file_safe(const std::string& text) {
  std::string out;
  for (char c : text) out += (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.') ? c : '_';
  return out.empty() ? "platform" : out;
}

std::string default_csv_path(const std::string& name) {
  const char* dir = std::getenv("TMPDIR");
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  sys::local_time(t, tm);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
  return std::string(dir && *dir ? dir : "/tmp") + "/polmon-" + file_safe(name) + "-" + stamp + "-" + std::to_string(getpid()) + ".csv";
}

void mask_report(frametool::Report& r) {
  r.data = mask_keys(r.data);
  auto mask = [](std::vector<std::pair<std::string, std::string>>& items) {
    for (auto& item : items) {
      std::string masked = mask_keys(item.first + "=" + item.second);
      item.second = masked.substr(masked.find('=') + 1);
    }
  };
  mask(r.fields);
  mask(r.cp);
}

// The inspector's verdict and decode of one span, keys masked, safe for a page.
std::string inspect_json(const frametool::Span& span, size_t number) {
  frametool::Report r = frametool::explain(span);
  mask_report(r);
  return "{\"report\":" + harden_json(frametool::json_report(number, span, r)) + ",\"text\":" + json_text(frametool::text_report(number, span, r)) +
         ",\"data\":" + json_text(r.data) + "}";
}

} // namespace

struct WebView::Site {
  WebOptions opt;
  std::string url, csv_path;
  bool loopback = true;

  // The model and everything that waits on it.
  mutable std::mutex mutex;
  WebModel model;
  std::condition_variable events; // a new event, or stopping
  std::condition_variable spool;  // CSV rows to write, or stopping
  bool stopping = false;

  std::mutex file_mutex; // the CSV file; never taken with `mutex` held
  FILE* csv = nullptr;

  httplib::Server server;
  std::thread listener, spooler;
  std::atomic<unsigned> streams{0}, dropped_streams{0}, refused{0};
  int64_t last_poll = 0;

  explicit Site(const WebOptions& o) : opt(o), model(o.name) {}

  void write_rows(const std::string& rows) {
    if (rows.empty()) return;
    std::lock_guard<std::mutex> lock(file_mutex);
    std::fwrite(rows.data(), 1, rows.size(), csv);
    std::fflush(csv);
  }
  void flush_csv() {
    std::string rows;
    {
      std::lock_guard<std::mutex> lock(mutex);
      rows = model.take_csv();
    }
    write_rows(rows);
  }
  void spool_loop() {
    std::unique_lock<std::mutex> lock(mutex);
    while (!stopping) {
      spool.wait_for(lock, std::chrono::seconds(1), [&] { return stopping || model.csv_pending() >= kSpoolAt; });
      std::string rows = model.take_csv();
      lock.unlock();
      write_rows(rows);
      lock.lock();
    }
  }
  // After a change: wake the streams, and the spool thread when rows pile up.
  void changed(bool spool_now) {
    events.notify_all();
    if (spool_now) spool.notify_one();
  }

  struct Stream {
    bool started = false;
    uint64_t cursor = 0;
  };
  bool stream(Stream& st, httplib::DataSink& sink) {
    std::string out;
    if (!st.started) {
      WebModel::Snapshot snap;
      {
        std::lock_guard<std::mutex> lock(mutex);
        snap = model.snapshot();
      }
      st.started = true;
      st.cursor = snap.seq;
      out = "retry: 2000\nevent: snapshot\ndata: " + WebModel::snapshot_json(snap) + "\n\n";
      return sink.write(out.data(), out.size());
    }
    {
      std::unique_lock<std::mutex> lock(mutex);
      events.wait_for(lock, kKeepAlive, [&] { return stopping || model.last_seq() > st.cursor; });
      if (stopping) return false;
      uint64_t last = st.cursor;
      if (!model.events_after(st.cursor, kStreamChunk, out, last)) {
        ++dropped_streams; // it fell behind the ring: closed, and the page starts over with a snapshot
        return false;
      }
      st.cursor = last;
    }
    if (out.empty()) out = ": keep-alive\n\n";
    return sink.write(out.data(), out.size());
  }

  void routes();
  // The pieces of routes(): the guards every request passes, and the handlers too long for a line.
  void guards();
  void serve_frame(const httplib::Request& req, httplib::Response& res);
  void serve_events(httplib::Response& res);
  void serve_csv(httplib::Response& res);
};

void WebView::Site::routes() {
  using httplib::Request;
  using httplib::Response;
  guards();
  for (const WebAsset* a = web_assets(); a->path; ++a) {
    server.Get(a->path, [a](const Request&, Response& res) {
      res.set_content(a->body.data(), a->body.size(), a->type);
      res.set_header("Cache-Control", "no-cache");
    });
  }
  server.Get("/api/state", [this](const Request&, Response& res) {
    WebModel::Snapshot snap;
    {
      std::lock_guard<std::mutex> lock(mutex);
      snap = model.snapshot();
    }
    res.set_content(WebModel::snapshot_json(snap), "application/json");
  });
  server.Get(R"(/api/frame/(\d{1,18}))", [this](const Request& req, Response& res) { serve_frame(req, res); });
  server.Post("/api/inspect", [](const Request& req, Response& res) {
    std::string input = req.has_param("hex") ? frametool::hex_to_bytes(req.body) : req.body;
    std::vector<frametool::Span> spans = frametool::find_spans(input);
    std::string out = "{\"count\":" + std::to_string(spans.size()) + ",\"spans\":[";
    for (size_t i = 0; i < spans.size() && i < kInspectSpans; ++i) out += (i ? "," : "") + inspect_json(spans[i], i + 1);
    res.set_content(out + "]}", "application/json");
  });
  server.Get("/events", [this](const Request&, Response& res) { serve_events(res); });
  server.Get("/values.csv", [this](const Request&, Response& res) { serve_csv(res); });
}

// Headers on every answer, what every request passes first, and the body of an error.
void WebView::Site::guards() {
  using httplib::Request;
  using httplib::Response;
  server.set_default_headers({
      {"Content-Security-Policy", "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
                                  "connect-src 'self'; object-src 'none'; base-uri 'none'; frame-ancestors 'none'"},
      {"X-Content-Type-Options", "nosniff"},
      {"Referrer-Policy", "no-referrer"},
      {"Cache-Control", "no-store"},
  });
  server.set_pre_routing_handler([this](const Request& req, Response& res) {
    if (t_overloaded) {
      res.status = 503;
      res.set_header("Connection", "close");
      res.set_content("busy: too many connections\n", "text/plain");
      return httplib::Server::HandlerResponse::Handled;
    }
    // Bound to loopback, only names of this machine: a web site's name that resolves here
    // must not read the page.
    if (loopback && req.has_header("Host")) {
      if (!is_loopback(req.get_header_value("Host"))) {
        res.status = 403;
        res.set_content("this page answers to 127.0.0.1 or localhost\n", "text/plain");
        return httplib::Server::HandlerResponse::Handled;
      }
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });
  server.set_error_handler([](const Request&, Response& res) {
    if (res.body.empty()) res.set_content(std::to_string(res.status) + "\n", "text/plain");
  });
}

void WebView::Site::serve_frame(const httplib::Request& req, httplib::Response& res) {
  std::string bytes;
  bool found;
  {
    std::lock_guard<std::mutex> lock(mutex);
    found = model.frame_bytes(std::strtoull(req.matches[1].str().c_str(), nullptr, 10), bytes);
  }
  if (!found) {
    res.status = 404;
    res.set_content("that frame left the log\n", "text/plain");
    return;
  }
  res.set_content(inspect_json(frametool::link_span(bytes), 1), "application/json");
}

void WebView::Site::serve_events(httplib::Response& res) {
  if (streams.fetch_add(1) >= opt.max_streams) {
    --streams;
    res.status = 503;
    res.set_content("too many pages open on this platform\n", "text/plain");
    return;
  }
  auto st = std::make_shared<Stream>();
  res.set_chunked_content_provider(
      "text/event-stream", [this, st](size_t, httplib::DataSink& sink) { return stream(*st, sink); }, [this](bool) { --streams; });
}

void WebView::Site::serve_csv(httplib::Response& res) {
  flush_csv();
  auto file = std::make_shared<sys::FileReader>();
  if (!file->open(csv_path)) {
    res.status = 500;
    res.set_content("cannot read " + csv_path + "\n", "text/plain");
    return;
  }
  res.set_header("Content-Disposition", "attachment; filename=\"" + file_safe(opt.name) + "-values.csv\"");
  // Read in pieces as it goes out: the file is the whole session, memory is not.
  res.set_content_provider(static_cast<size_t>(file->size()), "text/csv; charset=utf-8",
                           [file](size_t offset, size_t length, httplib::DataSink& sink) {
                             char buf[64 * 1024];
                             long got = file->read_at(static_cast<int64_t>(offset), buf, length < sizeof buf ? length : sizeof buf);
                             return got > 0 && sink.write(buf, static_cast<size_t>(got));
                           });
}

std::unique_ptr<WebView> WebView::start(const WebOptions& options, std::string& error) {
  auto made = std::make_unique<Site>(options);
  Site& site = *made;
  // the address bound is the address bare; the guard and the URL name it as a Host header does
  const std::string named = url_host(options.host);
  const std::string bound = !named.empty() && named.front() == '[' ? named.substr(1, named.size() - 2) : named;
  site.loopback = is_loopback(named);
  site.csv_path = options.csv_path.empty() ? default_csv_path(options.name) : options.csv_path;
  site.csv = sys::open_file(site.csv_path, "we");
  if (!site.csv) {
    error = "cannot write the values file " + site.csv_path;
    return nullptr;
  }
  std::fputs(WebModel::csv_header(), site.csv);
  std::fflush(site.csv);

  sys::ignore_broken_pipe(); // a page closed mid-write is an error return, not the end of the program
  site.server.new_task_queue = [&site] { return new BoundedPool(site.opt.workers, site.opt.queued, site.refused); };
  site.server.set_read_timeout(2, 0);
  site.server.set_write_timeout(options.write_timeout_s, 0);
  site.server.set_keep_alive_timeout(2);
  site.server.set_payload_max_length(kInspectBytes);
  site.routes();
  int port = options.port;
  if (port == 0) port = site.server.bind_to_any_port(bound);
  else if (!site.server.bind_to_port(bound, port)) port = -1;
  if (port <= 0) {
    error = "web view: cannot listen on " + named + ":" + std::to_string(options.port);
    std::fclose(site.csv);
    return nullptr;
  }
  site.url = "http://" + named + ":" + std::to_string(port) + "/";
  site.listener = std::thread([&site] { site.server.listen_after_bind(); });
  // stop() is a no-op until the server runs: a view ended at once must not leave it running
  for (int i = 0; i < 2000 && !site.server.is_running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  site.spooler = std::thread([&site] { site.spool_loop(); });
  return std::unique_ptr<WebView>(new WebView(std::move(made)));
}

WebView::WebView(std::unique_ptr<Site> site) : m_site(std::move(site)) {}

WebView::~WebView() {
  {
    std::lock_guard<std::mutex> lock(m_site->mutex);
    m_site->stopping = true;
  }
  m_site->events.notify_all();
  m_site->spool.notify_all();
  m_site->server.stop();
  m_site->listener.join();
  m_site->spooler.join();
  m_site->flush_csv();
  std::fclose(m_site->csv);
}

std::string WebView::url() const { return m_site->url; }
std::string WebView::csv_path() const { return m_site->csv_path; }

void WebView::poll(const Platform& platform, bool force) {
  int64_t now = now_ms();
  if (!force && now - m_site->last_poll < 500) return;
  m_site->last_poll = now;
  std::string summary = platform.summary();
  bool broken = platform.broken();
  Platform::Counters counters = platform.counters();
  {
    std::lock_guard<std::mutex> lock(m_site->mutex);
    m_site->model.checks(summary, broken, counters);
    m_site->model.web_figures(m_site->streams, m_site->dropped_streams, m_site->model.csv_rows(), m_site->model.csv_dropped(), m_site->csv_path);
  }
  m_site->changed(false);
}

void WebView::link_up(const std::string& peer) {
  {
    std::lock_guard<std::mutex> lock(m_site->mutex);
    m_site->model.link_up(wall_ms(), peer);
  }
  m_site->changed(false);
}

void WebView::link_down() {
  {
    std::lock_guard<std::mutex> lock(m_site->mutex);
    m_site->model.link_down(wall_ms());
  }
  m_site->changed(false);
}

void WebView::frame(bool incoming, std::string_view bytes, Verdict verdict) {
  bool spool_now;
  {
    std::lock_guard<std::mutex> lock(m_site->mutex);
    m_site->model.frame(wall_ms(), incoming, bytes, verdict);
    spool_now = m_site->model.csv_pending() >= kSpoolAt;
  }
  m_site->changed(spool_now);
}

WebView::Figures WebView::figures() const {
  Figures f;
  f.streams = m_site->streams;
  f.dropped_streams = m_site->dropped_streams;
  f.refused = m_site->refused;
  std::lock_guard<std::mutex> lock(m_site->mutex);
  f.ring_bytes = m_site->model.ring_bytes();
  f.csv_rows = m_site->model.csv_rows();
  f.csv_dropped = m_site->model.csv_dropped();
  return f;
}

} // namespace sim
