// polmon-platform --web: a live page of what the platform sees, served from threads of its own.
// The platform's thread only updates the model under a short lock (PlatformObserver, poll());
// pages are fed from a bounded ring of events, each with its own cursor, so a slow or vanished
// browser is dropped and never slows the platform or grows its memory.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "Platform.h"

namespace sim {

struct WebOptions {
  std::string host = "127.0.0.1";
  int port = 0; // 0: the system picks one
  std::string name = "platform";
  std::string csv_path;     // empty: a new file in $TMPDIR
  unsigned workers = 8;     // connections served at once
  unsigned queued = 8;      // connections waiting for a worker; more are answered 503
  unsigned max_streams = 4; // pages with a live event stream; more are answered 503
  int write_timeout_s = 5;  // a page that takes no bytes for this long is dropped
};

class WebView : public PlatformObserver {
public:
  // Binds and starts serving; nullptr with a message when it cannot.
  static std::unique_ptr<WebView> start(const WebOptions& options, std::string& error);
  ~WebView() override; // stops serving and writes the last CSV rows

  std::string url() const;
  std::string csv_path() const;
  // On the platform's thread, every loop: the checks and counters, at most twice a second
  // (force: now, as the platform ends).
  void poll(const Platform& platform, bool force = false);

  void link_up(const std::string& peer) override;
  void link_down() override;
  void frame(bool incoming, std::string_view bytes, Verdict verdict) override;

  struct Figures {
    unsigned streams = 0, dropped_streams = 0, refused = 0;
    size_t ring_bytes = 0;
    uint64_t csv_rows = 0, csv_dropped = 0;
  };
  Figures figures() const;

  // The server, the model it shows and the CSV spool, behind the view.
  struct Site;

private:
  explicit WebView(std::unique_ptr<Site> site);
  std::unique_ptr<Site> m_site;
};

} // namespace sim
