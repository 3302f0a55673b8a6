#include "System.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

namespace sys {

namespace {

std::wstring wide(const std::string& s) {
  if (s.empty()) return std::wstring();
  int n = ::MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), &w[0], n);
  return w;
}

std::string narrow(const wchar_t* w) {
  int n = ::WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return std::string();
  std::string s(static_cast<size_t>(n - 1), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, w, -1, &s[0], n, nullptr, nullptr);
  return s;
}

std::string last_error_text() {
  wchar_t* msg = nullptr;
  DWORD code = ::GetLastError();
  ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                   reinterpret_cast<wchar_t*>(&msg), 0, nullptr);
  std::string text = msg ? narrow(msg) : std::string();
  if (msg) ::LocalFree(msg);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.')) text.pop_back();
  return text.empty() ? "error " + std::to_string(code) : text;
}

} // namespace

bool local_time(std::time_t t, std::tm& out) { return ::localtime_s(&out, &t) == 0; }
bool utc_time(std::time_t t, std::tm& out) { return ::gmtime_s(&out, &t) == 0; }

int64_t wall_us() {
  FILETIME ft{};
  ::GetSystemTimePreciseAsFileTime(&ft);
  uint64_t t = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime; // 100 ns since 1601
  return static_cast<int64_t>(t / 10) - 11644473600LL * 1000000;
}

size_t last_separator(const std::string& path) { return path.find_last_of("/\\"); }

std::string program_path() {
  std::wstring buf(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = ::GetModuleFileNameW(nullptr, &buf[0], static_cast<DWORD>(buf.size()));
    if (n == 0) return std::string();
    if (n < buf.size()) {
      buf.resize(n);
      return narrow(buf.c_str());
    }
    buf.resize(buf.size() * 2);
  }
}

bool replace_file(const std::string& path, const void* data, size_t n, std::string& error) {
  const std::wstring target = wide(path);
  const std::wstring temp = target + L".tmp" + std::to_wstring(::GetCurrentProcessId());
  HANDLE h = ::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    error = path + ": cannot create a file beside it: " + last_error_text();
    return false;
  }
  const char* p = static_cast<const char*>(data);
  bool ok = true;
  while (ok && n > 0) {
    DWORD chunk = n > (1u << 30) ? (1u << 30) : static_cast<DWORD>(n), wrote = 0;
    ok = ::WriteFile(h, p, chunk, &wrote, nullptr) && wrote > 0;
    p += wrote;
    n -= wrote;
  }
  ok = ok && ::FlushFileBuffers(h);
  std::string why = ok ? std::string() : last_error_text();
  ok = ::CloseHandle(h) && ok;
  if (ok && !::MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    ok = false;
    why = last_error_text();
  }
  if (!ok) {
    error = path + ": " + (why.empty() ? last_error_text() : why);
    ::DeleteFileW(temp.c_str());
  }
  return ok;
}

std::FILE* open_file(const std::string& path, const char* mode) {
  std::string m = mode;
  for (char& c : m)
    if (c == 'e') c = 'N'; // not inherited by child processes: the C runtime's letter for it
  return ::_wfopen(wide(path).c_str(), wide(m).c_str());
}

void binary_stream(std::FILE* stream) { ::_setmode(::_fileno(stream), _O_BINARY); }

sim::Handle create_file(const std::string& path, bool owner_only) {
  (void)owner_only; // a new file takes its folder's permissions, which are the user's own
  HANDLE h = ::CreateFileW(wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    errno = ::GetLastError() == ERROR_ACCESS_DENIED ? EACCES : ENOENT;
    return sim::kNoHandle;
  }
  return reinterpret_cast<sim::Handle>(h);
}

void close_file(sim::Handle h) {
  if (h != sim::kNoHandle) ::CloseHandle(reinterpret_cast<HANDLE>(h));
}

FileReader::~FileReader() {
  if (m_h != sim::kNoHandle) ::CloseHandle(reinterpret_cast<HANDLE>(m_h));
}

bool FileReader::open(const std::string& path) {
  HANDLE h = ::CreateFileW(wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  m_h = reinterpret_cast<sim::Handle>(h);
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(h, &size)) return false;
  m_size = size.QuadPart;
  return true;
}

long FileReader::read_at(int64_t offset, void* buf, size_t n) const {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
  DWORD got = 0;
  DWORD want = n > (1u << 30) ? (1u << 30) : static_cast<DWORD>(n);
  if (::ReadFile(reinterpret_cast<HANDLE>(m_h), buf, want, &got, &at)) return static_cast<long>(got);
  return ::GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
}

Arguments::Arguments(int argc, char** argv) {
  // Chinese text on the console, and file names as typed whatever the system's code page
  ::SetConsoleOutputCP(CP_UTF8);
  int n = 0;
  wchar_t** w = ::CommandLineToArgvW(::GetCommandLineW(), &n);
  if (w && n == argc) {
    for (int i = 0; i < n; ++i) m_args.push_back(narrow(w[i]));
    for (std::string& a : m_args) m_ptrs.push_back(&a[0]);
  } else {
    m_ptrs.assign(argv, argv + argc);
  }
  if (w) ::LocalFree(w);
  m_ptrs.push_back(nullptr);
}

namespace {

// Console control events arrive on a thread of their own: they set the stop and wake the waiter.
std::atomic<int> g_stop{0};
HANDLE g_wake = nullptr; // an auto-reset event

// Standard input read on a thread (a console or pipe cannot be waited on with the sockets).
std::mutex g_input_mu;
std::string g_input;
bool g_input_ended = false;
bool g_input_started = false;

BOOL WINAPI on_console(DWORD event) {
  g_stop = event == CTRL_C_EVENT ? 1 : 2;
  if (g_wake) ::SetEvent(g_wake);
  return TRUE;
}

void read_input() {
  HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
  char buf[256];
  for (;;) {
    DWORD got = 0;
    bool ok = ::ReadFile(in, buf, sizeof buf, &got, nullptr) && got > 0;
    {
      std::lock_guard<std::mutex> lock(g_input_mu);
      if (ok) g_input.append(buf, got);
      else g_input_ended = true;
    }
    ::SetEvent(g_wake);
    if (!ok) return;
  }
}

} // namespace

bool catch_requests(bool) { // no trace toggle from outside on Windows: "trace" on stdin does it
  g_wake = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (!g_wake || !::SetConsoleCtrlHandler(on_console, TRUE)) return false;
  return true;
}

void ignore_broken_pipe() {} // a write to a closed socket is an error return there already

Stop stop_requested() {
  int s = g_stop;
  return s == 0 ? Stop::None : s == 1 ? Stop::Interrupt : Stop::Terminate;
}

bool wait_requests(int timeout_ms, bool with_input, Wakeup& out) {
  if (!g_wake) {
    ::Sleep(timeout_ms > 0 ? static_cast<DWORD>(timeout_ms) : 0);
    return false;
  }
  if (with_input && !g_input_started) {
    g_input_started = true;
    std::thread(read_input).detach(); // blocked in ReadFile until input comes or the program ends
  }
  bool pending = false;
  if (with_input) {
    std::lock_guard<std::mutex> lock(g_input_mu);
    pending = !g_input.empty() || g_input_ended;
  }
  if (!pending && ::WaitForSingleObject(g_wake, timeout_ms > 0 ? static_cast<DWORD>(timeout_ms) : 0) != WAIT_OBJECT_0) return false;
  if (g_stop) out.stop = true;
  if (with_input) {
    std::lock_guard<std::mutex> lock(g_input_mu);
    out.input.swap(g_input);
    g_input.clear();
    out.input_ended = out.input.empty() && g_input_ended; // the bytes before the end come first
  }
  return true;
}

} // namespace sys
