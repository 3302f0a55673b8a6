// The dissector's core under Lua 5.4, the Lua of Wireshark 4.2 and later (the Windows
// installers): Wireshark's API stubbed (stubs.lua, `bit` with its signed 32-bit results), the
// dissector and the checks run as one chunk so the checks see its local functions.
//   tools_dissector_lua54_test STUBS DISSECTOR CHECKS
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include <lua.hpp>

namespace {

std::string read_all(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool run(lua_State* L, const std::string& chunk, const char* name) {
  if (luaL_loadbuffer(L, chunk.data(), chunk.size(), name) == LUA_OK && lua_pcall(L, 0, 0, 0) == LUA_OK) return true;
  std::cerr << lua_tostring(L, -1) << "\n";
  return false;
}

} // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: tools_dissector_lua54_test STUBS DISSECTOR CHECKS\n";
    return 2;
  }
  lua_State* L = luaL_newstate();
  luaL_openlibs(L);
  const bool ok = run(L, read_all(argv[1]), "=stubs") && run(L, read_all(argv[2]) + "\n" + read_all(argv[3]), "=dissector");
  lua_close(L);
  return ok ? 0 : 1;
}
