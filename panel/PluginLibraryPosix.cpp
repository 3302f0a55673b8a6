#include <dlfcn.h>

#include "PluginLibrary.h"

PluginLibrary::PluginLibrary(const std::string& path) : handle_(::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {
  if (!handle_) {
    const char* why = ::dlerror();
    error_ = why ? why : "cannot load " + path;
  }
}

PluginLibrary::~PluginLibrary() {
  if (handle_) ::dlclose(handle_);
}

void* PluginLibrary::symbol(const char* name) const { return handle_ ? ::dlsym(handle_, name) : nullptr; }
