// The panel's side of a device plug-in: its library loaded with every symbol bound, its exports
// looked up by name. One implementation per system (dlopen, LoadLibrary).
#pragma once

#include <string>

class PluginLibrary {
public:
  // Loads the library at `path`; loaded() tells whether it did, error() why not.
  explicit PluginLibrary(const std::string& path);
  ~PluginLibrary();
  PluginLibrary(const PluginLibrary&) = delete;
  PluginLibrary& operator=(const PluginLibrary&) = delete;

  bool loaded() const { return handle_ != nullptr; }
  const std::string& error() const { return error_; }
  // The exported symbol `name`, or nullptr when the library does not export it.
  void* symbol(const char* name) const;
  // The exported function `name` as type F, or nullptr.
  template <class F>
  F function(const char* name) const {
    return reinterpret_cast<F>(symbol(name));
  }

private:
  void* handle_ = nullptr;
  std::string error_;
};
