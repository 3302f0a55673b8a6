#include <windows.h>

#include "PluginLibrary.h"

namespace {

std::wstring wide(const std::string& utf8) {
  int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
  std::wstring text(n > 0 ? n : 1, L'\0');
  if (n > 0) ::MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, &text[0], n);
  text.resize(text.size() - 1);
  return text;
}

} // namespace

// The plug-in's own folder is searched for the libraries it needs, as $ORIGIN does on Linux.
PluginLibrary::PluginLibrary(const std::string& path)
    : handle_(::LoadLibraryExW(wide(path).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH)) {
  if (!handle_) error_ = "cannot load " + path + " (Windows error " + std::to_string(::GetLastError()) + ")";
}

PluginLibrary::~PluginLibrary() {
  if (handle_) ::FreeLibrary(static_cast<HMODULE>(handle_));
}

void* PluginLibrary::symbol(const char* name) const {
  return handle_ ? reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(handle_), name)) : nullptr;
}
