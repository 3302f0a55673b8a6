#include "System.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

namespace sys {

bool local_time(std::time_t t, std::tm& out) { return ::localtime_r(&t, &out) != nullptr; }
bool utc_time(std::time_t t, std::tm& out) { return ::gmtime_r(&t, &out) != nullptr; }

int64_t wall_us() {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

size_t last_separator(const std::string& path) { return path.rfind('/'); }

std::string program_path() {
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

namespace {

bool write_fd(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

} // namespace

bool replace_file(const std::string& path, const void* data, size_t n, std::string& error) {
  std::string temp = path + ".XXXXXX";
  std::vector<char> name(temp.begin(), temp.end());
  name.push_back('\0');
  const int fd = ::mkstemp(name.data());
  if (fd < 0) {
    error = path + ": cannot create a file beside it: " + std::strerror(errno);
    return false;
  }
  temp = name.data();
  // a new file's usual mode (umask applied), not the temporary's private 0600
  const mode_t mask = ::umask(0);
  ::umask(mask);
  bool ok = ::fchmod(fd, 0666 & ~mask) == 0 && write_fd(fd, static_cast<const char*>(data), n) && ::fsync(fd) == 0;
  const int saved = errno;
  ok = (::close(fd) == 0) && ok;
  if (ok && ::rename(temp.c_str(), path.c_str()) != 0) ok = false;
  if (!ok) {
    error = path + ": " + std::strerror(saved ? saved : errno);
    ::unlink(temp.c_str());
  }
  return ok;
}

std::FILE* open_file(const std::string& path, const char* mode) { return std::fopen(path.c_str(), mode); }

void binary_stream(std::FILE*) {}

sim::Handle create_file(const std::string& path, bool owner_only) {
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, owner_only ? 0600 : 0644);
}

void close_file(sim::Handle h) {
  if (h >= 0) ::close(h);
}

FileReader::~FileReader() {
  if (m_h >= 0) ::close(m_h);
}

bool FileReader::open(const std::string& path) {
  m_h = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  m_size = m_h < 0 ? -1 : ::lseek(m_h, 0, SEEK_END);
  return m_size >= 0;
}

long FileReader::read_at(int64_t offset, void* buf, size_t n) const { return static_cast<long>(::pread(m_h, buf, n, static_cast<off_t>(offset))); }

Arguments::Arguments(int argc, char** argv) {
  m_ptrs.assign(argv, argv + argc);
  m_ptrs.push_back(nullptr);
}

namespace {

int g_wake[2] = {-1, -1};         // the handlers write one byte: 'Q' stop, 'T' toggle the trace
volatile sig_atomic_t g_stop = 0; // SIGINT or SIGTERM

void on_signal(int sig) {
  int saved = errno;
  if (sig != SIGUSR1) g_stop = sig;
  char c = sig == SIGUSR1 ? 'T' : 'Q';
  ssize_t ignored = ::write(g_wake[1], &c, 1);
  (void)ignored;
  errno = saved;
}

} // namespace

bool catch_requests(bool trace_toggle) {
  if (::pipe2(g_wake, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  if (trace_toggle) sigaction(SIGUSR1, &sa, nullptr);
  ignore_broken_pipe();
  return true;
}

void ignore_broken_pipe() { signal(SIGPIPE, SIG_IGN); }

Stop stop_requested() {
  int sig = g_stop;
  return sig == 0 ? Stop::None : sig == SIGTERM ? Stop::Terminate : Stop::Interrupt;
}

bool wait_requests(int timeout_ms, bool with_input, Wakeup& out) {
  pollfd fds[2] = {{g_wake[0], POLLIN, 0}, {with_input ? 0 : -1, POLLIN, 0}};
  if (::poll(fds, 2, timeout_ms) <= 0) return false;
  if (fds[0].revents & POLLIN) {
    char buf[16];
    ssize_t n = ::read(g_wake[0], buf, sizeof buf);
    for (ssize_t k = 0; k < n; ++k) {
      if (buf[k] == 'Q') out.stop = true;
      else ++out.trace_toggles;
    }
  }
  if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
    char buf[256];
    ssize_t n = ::read(0, buf, sizeof buf);
    if (n <= 0) out.input_ended = true; // end of input: commands stop, the run goes on
    else out.input.assign(buf, static_cast<size_t>(n));
  }
  return true;
}

} // namespace sys
