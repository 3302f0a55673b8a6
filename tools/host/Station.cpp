#include "Station.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "Ports.h"
#include "tools/common/ConfigWriter.h"
#include "tools/common/Hj212Text.h"
#include "tools/common/sys/Io.h"
#include "tools/common/sys/System.h"

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

// Lua reports errors by longjmp, which skips C++ destructors: every binding below does
// its C++ work in an inner scope that ends before luaL_error is called with a plain C buffer.

namespace sim {

namespace {

const char* const kDeviceMeta = "polmon.device";

Station* self(lua_State* L) { return static_cast<Station*>(lua_touserdata(L, lua_upvalueindex(1))); }

int message_handler(lua_State* L) {
  const char* msg = lua_tostring(L, 1);
  if (!msg) msg = luaL_tolstring(L, 1, nullptr);
  luaL_traceback(L, L, msg, 1);
  return 1;
}

// The Lua value at idx as a variable value; false for types a variable cannot hold.
bool to_value(lua_State* L, int idx, Value& out) {
  switch (lua_type(L, idx)) {
  case LUA_TNUMBER:
    if (lua_isinteger(L, idx)) {
      lua_Integer i = lua_tointeger(L, idx);
      if (i >= INT_MIN && i <= INT_MAX) out = static_cast<int>(i);
      else out = static_cast<double>(i);
    } else {
      out = static_cast<double>(lua_tonumber(L, idx));
    }
    return true;
  case LUA_TSTRING: {
    size_t n = 0;
    const char* s = lua_tolstring(L, idx, &n);
    out = std::string(s, n);
    return true;
  }
  case LUA_TBOOLEAN: out = lua_toboolean(L, idx) ? 1 : 0; return true;
  default: return false;
  }
}

void push_value(lua_State* L, const Value& v) {
  if (const int* i = std::get_if<int>(&v)) lua_pushinteger(L, *i);
  else if (const double* d = std::get_if<double>(&v)) lua_pushnumber(L, *d);
  else {
    const std::string& s = std::get<std::string>(v);
    lua_pushlstring(L, s.data(), s.size());
  }
}

// Raw access only: a metamethod that raises would skip the destructors of the caller's locals.
void raw_field(lua_State* L, int table, const char* key) {
  lua_pushstring(L, key);
  lua_rawget(L, table);
}

std::string string_field(lua_State* L, int table, const char* key) {
  raw_field(L, table, key);
  size_t n = 0;
  const char* s = lua_isstring(L, -1) ? lua_tolstring(L, -1, &n) : nullptr;
  std::string v = s ? std::string(s, n) : std::string();
  lua_pop(L, 1);
  return v;
}

// The keys each table of device{ ... } takes, and where a key given in the wrong table belongs.
const char* const kDeviceKeys[] = {"name", "port", "config", "config_file", "channels", "cycle", nullptr};
const char* const kConfigKeys[] = {"timeout", "params", "channels", nullptr};
const char* const kRowKeys[] = {"group", "st", "factor", "name", "type", "factor_type", "rw", nullptr};
struct Place {
  const char* name;
  const char* const* keys;
};
const Place kPlaces[] = {{"device{ ... }", kDeviceKeys}, {"config = { ... }", kConfigKeys}, {"a row of config.channels", kRowKeys}};
enum { kDevicePlace, kConfigPlace, kRowPlace };

bool takes(const Place& place, const char* key) {
  for (const char* const* k = place.keys; *k; ++k)
    if (std::strcmp(*k, key) == 0) return true;
  return false;
}

// A key of the table at `table` that kPlaces[place] does not take, said with where it belongs;
// empty when it takes them all. A silently ignored setting is a setting lost.
std::string unknown_key(lua_State* L, int table, int place) {
  std::string out;
  lua_pushnil(L);
  while (lua_next(L, table) != 0) {
    if (out.empty() && lua_type(L, -2) != LUA_TSTRING) {
      out = "an entry without a key name is no part of " + std::string(kPlaces[place].name);
    } else if (out.empty() && !takes(kPlaces[place], lua_tostring(L, -2))) {
      std::string key = lua_tostring(L, -2);
      out = "\"" + key + "\" is no key of " + kPlaces[place].name;
      for (int other = kDevicePlace; other <= kRowPlace; ++other)
        if (other != place && takes(kPlaces[other], key.c_str())) {
          out += "; it belongs in " + std::string(kPlaces[other].name);
          break;
        }
    }
    lua_pop(L, 1);
  }
  return out;
}

// An integer field: absent gives `dflt`, any other type is an error in `bad`.
int32_t int_field(lua_State* L, int table, const char* key, int32_t dflt, std::string& bad) {
  raw_field(L, table, key);
  int32_t v = dflt;
  if (lua_isinteger(L, -1)) v = static_cast<int32_t>(lua_tointeger(L, -1));
  else if (!lua_isnil(L, -1) && bad.empty()) bad = std::string(key) + " must be an integer";
  lua_pop(L, 1);
  return v;
}

// config.params (a list of integers) or config.timeout, the first parameter; the first fault in `bad`.
void config_params(lua_State* L, int cfg, std::vector<int32_t>& params, std::string& bad) {
  raw_field(L, cfg, "params");
  if (lua_istable(L, -1)) {
    lua_Integer n = static_cast<lua_Integer>(lua_rawlen(L, -1));
    for (lua_Integer i = 1; i <= n; ++i) {
      lua_rawgeti(L, -1, i);
      if (!lua_isinteger(L, -1) && bad.empty()) bad = "params[" + std::to_string(i) + "] must be an integer";
      params.push_back(static_cast<int32_t>(lua_tointeger(L, -1)));
      lua_pop(L, 1);
    }
  } else if (!lua_isnil(L, -1) && bad.empty()) {
    bad = "params must be a list of integers";
  }
  lua_pop(L, 1);
  raw_field(L, cfg, "timeout");
  bool timeout = !lua_isnil(L, -1);
  lua_pop(L, 1);
  if (params.empty()) params.push_back(int_field(L, cfg, "timeout", 5, bad));
  else if (timeout && bad.empty()) bad = "params and timeout: give one of them (the timeout is the first parameter)";
}

// The row at stack index r of config.channels; its fault in `bad`.
ChannelRow config_row(lua_State* L, int r, std::string& bad) {
  bad = lua_istable(L, r) ? unknown_key(L, r, kRowPlace) : "no row";
  ChannelRow row;
  row.group = int_field(L, r, "group", row.group, bad);
  row.st = int_field(L, r, "st", row.st, bad);
  row.factor = string_field(L, r, "factor");
  row.name = string_field(L, r, "name");
  row.data_type = int_field(L, r, "type", row.data_type, bad);
  row.factor_type = int_field(L, r, "factor_type", row.factor_type, bad);
  row.rw = int_field(L, r, "rw", row.rw, bad);
  return row;
}

// config.channels, the rows of the configuration; the first fault in `bad`.
void config_rows(lua_State* L, int cfg, std::vector<ChannelRow>& rows, std::string& bad) {
  raw_field(L, cfg, "channels");
  if (lua_istable(L, -1)) {
    int rt = lua_gettop(L);
    lua_Integer n = static_cast<lua_Integer>(lua_rawlen(L, rt));
    // rows are numbered from 1; anything else in the list would be lost
    lua_pushnil(L);
    while (lua_next(L, rt) != 0) {
      bool row = lua_isinteger(L, -2) && lua_tointeger(L, -2) >= 1 && lua_tointeger(L, -2) <= n && lua_istable(L, -1);
      if (!row && bad.empty())
        bad = "channels holds rows { group = ..., factor = ..., ... } numbered from 1 (a channel's variable belongs in "
              "device{ channels = { [0] = \"Var\" } })";
      lua_pop(L, 1);
    }
    for (lua_Integer i = 1; i <= n && bad.empty(); ++i) {
      lua_rawgeti(L, rt, i);
      rows.push_back(config_row(L, lua_gettop(L), bad));
      if (!bad.empty()) bad = "channels[" + std::to_string(i) + "]: " + bad;
      lua_pop(L, 1);
    }
  } else if (!lua_isnil(L, -1) && bad.empty()) {
    bad = "channels must be a list of rows";
  }
  lua_pop(L, 1);
}

// config = { ... } at stack index cfg into parameters and rows; the first fault, or empty.
std::string config_table(lua_State* L, int cfg, std::vector<int32_t>& params, std::vector<ChannelRow>& rows) {
  std::string bad = unknown_key(L, cfg, kConfigPlace);
  config_params(L, cfg, params, bad);
  config_rows(L, cfg, rows, bad);
  return bad;
}

} // namespace

struct Station::LuaBindings {
  static int var(lua_State* L) {
    Station* st = self(L);
    const char* name = luaL_checkstring(L, 1);
    luaL_checkany(L, 2);
    const char* type = luaL_optstring(L, 3, nullptr);
    char err[256] = "";
    {
      Value v;
      if (!st->m_loading) std::snprintf(err, sizeof err, "var: declare variables at the top level of the script");
      else if (!to_value(L, 2, v)) std::snprintf(err, sizeof err, "var %s: initial value must be a number, text or boolean", name);
      else {
        if (type) {
          std::string t = type;
          DATATYPE want = t == "int" || t == "integer" ? DT_INTEGER : t == "double" ? DT_DOUBLE : t == "text" || t == "string" ? DT_STRING : DT_UNSET;
          VariableStore probe;
          if (want == DT_UNSET) std::snprintf(err, sizeof err, "var %s: unknown type \"%s\" (int, double, text)", name, type);
          else {
            // convert the initial value through a scratch store, which applies the usual rules
            probe.declare("x", want == DT_INTEGER ? Value(0) : want == DT_DOUBLE ? Value(0.0) : Value(std::string()));
            int rc = std::visit([&](auto&& x) { return probe.set("x", x); }, v);
            if (rc) std::snprintf(err, sizeof err, "var %s: initial value does not fit type %s", name, type);
            else probe.get("x", v);
          }
        }
        if (!err[0] && !st->m_store.declare(name, v)) std::snprintf(err, sizeof err, "var %s: %s", name, *name ? "declared twice" : "empty name");
      }
    }
    if (err[0]) return luaL_error(L, "%s", err);
    return 0;
  }

  using ErrText = char[512];

  // name and port, where the device is declared, and its name given once.
  static void device_identity(Station* st, lua_State* L, DeviceSpec& d, ErrText& err) {
    d.name = string_field(L, 1, "name");
    d.port = string_field(L, 1, "port");
    PortSpec ps;
    std::string perr;
    std::string bad = unknown_key(L, 1, kDevicePlace);
    if (!st->m_loading) std::snprintf(err, sizeof err, "device: declare devices at the top level of the script");
    else if (!bad.empty()) std::snprintf(err, sizeof err, "device%s%s: %s", d.name.empty() ? "" : " ", d.name.c_str(), bad.c_str());
    else if (d.name.empty()) std::snprintf(err, sizeof err, "device: a name is needed");
    else if (d.port.empty()) std::snprintf(err, sizeof err, "device %s: a port is needed", d.name.c_str());
    else if (!parse_port_spec(d.port, ps, perr)) std::snprintf(err, sizeof err, "device %s: %s", d.name.c_str(), perr.c_str());
    for (const DeviceSpec& o : st->m_devices)
      if (!err[0] && o.name == d.name) std::snprintf(err, sizeof err, "device %s: declared twice", d.name.c_str());
  }

  // The configuration bytes: read from config_file, built from config = { ... }, or the default.
  static void device_config(Station* st, lua_State* L, DeviceSpec& d, ErrText& err) {
    std::string file = string_field(L, 1, "config_file");
    raw_field(L, 1, "config");
    int cfg = lua_gettop(L);
    if (!err[0] && !file.empty() && !lua_isnil(L, cfg))
      std::snprintf(err, sizeof err, "device %s: config and config_file: give one of them", d.name.c_str());
    else if (!err[0] && !lua_isnil(L, cfg) && !lua_istable(L, cfg))
      std::snprintf(err, sizeof err, "device %s: config must be a table", d.name.c_str());
    if (!err[0] && !file.empty()) {
      std::string path = (file[0] == '/' || st->m_dir.empty()) ? file : st->m_dir + "/" + file;
      std::ifstream in(path, std::ios::binary);
      if (!in) std::snprintf(err, sizeof err, "device %s: cannot read %s", d.name.c_str(), path.c_str());
      else d.config.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } else if (!err[0]) {
      std::vector<int32_t> params;
      std::vector<ChannelRow> rows;
      if (lua_istable(L, cfg)) {
        std::string bad = config_table(L, cfg, params, rows);
        if (!bad.empty()) std::snprintf(err, sizeof err, "device %s: config: %s", d.name.c_str(), bad.c_str());
      } else {
        params.push_back(5);
      }
      d.config = build_config(params, rows);
      d.channel_rows = static_cast<int>(rows.size());
    }
    lua_pop(L, 1); // config
  }

  // channels = { [0] = "Var", ... }: each channel number to a declared variable.
  static void device_channels(Station* st, lua_State* L, DeviceSpec& d, ErrText& err) {
    raw_field(L, 1, "channels");
    if (!err[0] && lua_istable(L, -1)) {
      lua_pushnil(L);
      while (lua_next(L, -2) != 0) {
        if (!err[0]) {
          if (!lua_isinteger(L, -2) || lua_tointeger(L, -2) < 0 || lua_tointeger(L, -2) > 100000 || !lua_isstring(L, -1))
            std::snprintf(err, sizeof err, "device %s: channels map channel numbers from 0 to variable names%s", d.name.c_str(),
                          lua_istable(L, -1) ? " (rows of the configuration belong in config = { channels = ... })" : "");
          else {
            std::string var = lua_tostring(L, -1);
            if (!st->m_store.has(var))
              std::snprintf(err, sizeof err, "device %s: channel %d names %s, which is no variable", d.name.c_str(),
                            static_cast<int>(lua_tointeger(L, -2)), var.c_str());
            else d.channels[static_cast<int>(lua_tointeger(L, -2))] = var;
          }
        }
        lua_pop(L, 1);
      }
    }
    lua_pop(L, 1);
  }

  // cycle = function(dev) ... end, kept in the registry.
  static void device_cycle(lua_State* L, DeviceSpec& d, ErrText& err) {
    raw_field(L, 1, "cycle");
    if (!err[0] && !lua_isnil(L, -1) && !lua_isfunction(L, -1)) std::snprintf(err, sizeof err, "device %s: cycle must be a function", d.name.c_str());
    if (!err[0]) {
      if (lua_isfunction(L, -1)) d.cycle_ref = luaL_ref(L, LUA_REGISTRYINDEX);
      else lua_pop(L, 1);
    }
  }

  static int device(lua_State* L) {
    Station* st = self(L);
    luaL_checktype(L, 1, LUA_TTABLE);
    ErrText err = "";
    size_t index = st->m_devices.size();
    {
      DeviceSpec d;
      device_identity(st, L, d, err);
      device_config(st, L, d, err);
      device_channels(st, L, d, err);
      device_cycle(L, d, err);
      if (!err[0]) st->m_devices.push_back(std::move(d));
    }
    if (err[0]) return luaL_error(L, "%s", err);

    // the handle: { name = ..., index = ... } with the device methods
    lua_createtable(L, 0, 2);
    lua_pushstring(L, st->m_devices[index].name.c_str());
    lua_setfield(L, -2, "name");
    lua_pushinteger(L, static_cast<lua_Integer>(index));
    lua_setfield(L, -2, "index");
    luaL_setmetatable(L, kDeviceMeta);
    lua_pushvalue(L, -1);
    st->m_devices[index].handle_ref = luaL_ref(L, LUA_REGISTRYINDEX);
    return 1;
  }

  static int cycle(lua_State* L) {
    Station* st = self(L);
    luaL_checktype(L, 1, LUA_TFUNCTION);
    lua_pushvalue(L, 1);
    st->m_cycles.push_back(luaL_ref(L, LUA_REGISTRYINDEX));
    return 0;
  }

  // The device an ioctl without a handle goes to: the one whose cycle runs, or the only one.
  static long current_device(Station* st) {
    if (st->m_current >= 0) return st->m_current;
    return st->m_devices.size() == 1 ? 0 : -1;
  }

  static int run_ioctl(lua_State* L, Station* st, long dev, const char* cmd) {
    if (st->m_loading) return luaL_error(L, "ioctl: devices start after the script's top level has run");
    if (dev < 0 || static_cast<size_t>(dev) >= st->m_devices.size())
      return luaL_error(L, "ioctl: which device? use dev:ioctl(...) when there are several");
    int rc = 0;
    if (st->m_ioctl) rc = st->m_ioctl(static_cast<size_t>(dev), cmd);
    lua_pushinteger(L, rc);
    return 1;
  }

  static int ioctl(lua_State* L) {
    Station* st = self(L);
    const char* cmd = luaL_checkstring(L, 1);
    return run_ioctl(L, st, current_device(st), cmd);
  }

  static long check_handle(lua_State* L) {
    luaL_checktype(L, 1, LUA_TTABLE);
    raw_field(L, 1, "index");
    long i = lua_isinteger(L, -1) ? static_cast<long>(lua_tointeger(L, -1)) : -1;
    lua_pop(L, 1);
    return i;
  }

  static int dev_ioctl(lua_State* L) {
    Station* st = self(L);
    long i = check_handle(L);
    const char* cmd = luaL_checkstring(L, 2);
    return run_ioctl(L, st, i, cmd);
  }

  static int dev_status(lua_State* L) {
    Station* st = self(L);
    long i = check_handle(L);
    if (i < 0 || static_cast<size_t>(i) >= st->m_devices.size()) return luaL_error(L, "status: not a device handle");
    lua_pushinteger(L, st->m_status ? st->m_status(static_cast<size_t>(i)) : 0);
    return 1;
  }

  static int get(lua_State* L) {
    Station* st = self(L);
    const char* name = luaL_checkstring(L, 1);
    bool found;
    {
      Value v;
      found = st->m_store.get(name, v) == 0;
      if (found) push_value(L, v);
    }
    if (!found) return luaL_error(L, "get: no variable %s", name);
    return 1;
  }

  static int set_at(lua_State* L, int name_idx, int value_idx) {
    Station* st = self(L);
    const char* name = luaL_checkstring(L, name_idx);
    luaL_checkany(L, value_idx);
    int rc;
    {
      Value v;
      if (!to_value(L, value_idx, v)) rc = -1;
      else rc = std::visit([&](auto&& x) { return st->m_store.set(name, x); }, v);
    }
    if (rc == -1) return luaL_error(L, "set %s: a variable takes a number, text or boolean", name);
    if (rc == VariableStore::kUnknown) return luaL_error(L, "set: no variable %s", name);
    if (rc == VariableStore::kRefused) return luaL_error(L, "set %s: value does not convert to the variable's type", name);
    return 0;
  }

  static int set(lua_State* L) { return set_at(L, 1, 2); }
  static int v_index(lua_State* L) {
    lua_remove(L, 1); // the proxy table
    return get(L);
  }
  static int v_newindex(lua_State* L) { return set_at(L, 2, 3); }

  static int log(lua_State* L) {
    Station* st = self(L);
    int n = lua_gettop(L);
    luaL_Buffer b;
    luaL_buffinit(L, &b);
    for (int i = 1; i <= n; ++i) {
      if (i > 1) luaL_addchar(&b, ' ');
      luaL_tolstring(L, i, nullptr);
      luaL_addvalue(&b);
    }
    luaL_pushresult(&b);
    const char* text = lua_tostring(L, -1);
    if (st->m_log) st->m_log(text);
    return 0;
  }

  static int qn(lua_State* L) {
    char buf[32];
    {
      std::string s = qn_text();
      std::snprintf(buf, sizeof buf, "%s", s.c_str());
    }
    lua_pushstring(L, buf);
    return 1;
  }

  static int datatime(lua_State* L) {
    char buf[32];
    {
      std::string s = datatime_text();
      std::snprintf(buf, sizeof buf, "%s", s.c_str());
    }
    lua_pushstring(L, buf);
    return 1;
  }

  static int now_ms(lua_State* L) {
    lua_pushinteger(L, static_cast<lua_Integer>(sim::now_ms()));
    return 1;
  }

  static int stop(lua_State* L) {
    self(L)->m_stop = true;
    return 0;
  }

  // The instruction-count hook: a script that never returns still ends when the host must stop.
  static void hook(lua_State* L, lua_Debug* ar) {
    Station* st = *static_cast<Station**>(lua_getextraspace(L));
    if (!st->m_interrupted) {
      const char* why = st->m_interrupt ? st->m_interrupt() : nullptr;
      if (!why) return;
      st->m_interrupted = true;
      st->m_stop_reason = why;
    }
    // From now on at every instruction of this thread (coroutines have their own hook): a pcall
    // in the script cannot hold the error back for long.
    lua_sethook(L, hook, LUA_MASKCOUNT, 1);
    lua_getinfo(L, "Sl", ar);
    lua_pushfstring(L, "%s:%d: stopped here by %s: the script had not returned", ar->short_src, ar->currentline, st->m_stop_reason.c_str());
    lua_error(L);
  }
};

Station::Station(VariableStore& store, Log log) : m_store(store), m_log(std::move(log)) {
  m_L = luaL_newstate();
  if (!m_L) return;
  *static_cast<Station**>(lua_getextraspace(m_L)) = this; // for the hook; coroutines copy it
  luaL_openlibs(m_L);
  const luaL_Reg globals[] = {{"var", LuaBindings::var},       {"device", LuaBindings::device}, {"cycle", LuaBindings::cycle},
                              {"ioctl", LuaBindings::ioctl},   {"get", LuaBindings::get},       {"set", LuaBindings::set},
                              {"log", LuaBindings::log},       {"qn", LuaBindings::qn},         {"datatime", LuaBindings::datatime},
                              {"now_ms", LuaBindings::now_ms}, {"stop", LuaBindings::stop},     {nullptr, nullptr}};
  lua_pushglobaltable(m_L);
  lua_pushlightuserdata(m_L, this);
  luaL_setfuncs(m_L, globals, 1);
  lua_pop(m_L, 1);

  // device handles: methods through a metatable
  luaL_newmetatable(m_L, kDeviceMeta);
  lua_newtable(m_L);
  const luaL_Reg methods[] = {{"ioctl", LuaBindings::dev_ioctl}, {"status", LuaBindings::dev_status}, {nullptr, nullptr}};
  lua_pushlightuserdata(m_L, this);
  luaL_setfuncs(m_L, methods, 1);
  lua_setfield(m_L, -2, "__index");
  lua_pop(m_L, 1);

  // V.name reads and writes variables
  lua_newtable(m_L);
  lua_newtable(m_L);
  const luaL_Reg proxy[] = {{"__index", LuaBindings::v_index}, {"__newindex", LuaBindings::v_newindex}, {nullptr, nullptr}};
  lua_pushlightuserdata(m_L, this);
  luaL_setfuncs(m_L, proxy, 1);
  lua_setmetatable(m_L, -2);
  lua_setglobal(m_L, "V");
}

Station::~Station() {
  if (!m_L) return;
  lua_sethook(m_L, nullptr, 0, 0); // finalizers run at close
  lua_close(m_L);
}

void Station::set_interrupt(Interrupt fn) {
  m_interrupt = std::move(fn);
  // Ten thousand instructions take some microseconds: the check costs little and answers at once.
  if (m_L) lua_sethook(m_L, m_interrupt ? LuaBindings::hook : nullptr, m_interrupt ? LUA_MASKCOUNT : 0, 10000);
}

bool Station::call(int nargs, std::string& error) {
  int base = lua_gettop(m_L) - nargs;
  lua_pushcfunction(m_L, message_handler);
  lua_insert(m_L, base);
  int rc = lua_pcall(m_L, nargs, 0, base);
  if (rc != LUA_OK) {
    const char* msg = lua_tostring(m_L, -1);
    error = msg ? msg : "error object is not a string";
    lua_pop(m_L, 1);
  }
  lua_remove(m_L, base);
  return rc == LUA_OK;
}

bool Station::load(const std::string& path, const std::map<std::string, std::string>& args, std::string& error) {
  if (!m_L) {
    error = "cannot create a Lua state";
    return false;
  }
  size_t slash = sys::last_separator(path);
  m_dir = slash == std::string::npos ? std::string() : path.substr(0, slash);
  lua_newtable(m_L);
  for (const auto& a : args) {
    lua_pushlstring(m_L, a.second.data(), a.second.size());
    lua_setfield(m_L, -2, a.first.c_str());
  }
  lua_setglobal(m_L, "args");
  // `require` finds modules beside the script, then the shared ones
  std::string search = (m_dir.empty() ? std::string(".") : m_dir) + "/?.lua;";
  for (const std::string& dir : m_module_dirs) search += dir + "/?.lua;";
  lua_getglobal(m_L, "package");
  lua_pushstring(m_L, search.c_str());
  lua_getfield(m_L, -2, "path");
  lua_concat(m_L, 2);
  lua_setfield(m_L, -2, "path");
  lua_pop(m_L, 1);
  if (luaL_loadfile(m_L, path.c_str()) != LUA_OK) {
    const char* msg = lua_tostring(m_L, -1);
    error = msg ? msg : "cannot load " + path;
    lua_pop(m_L, 1);
    return false;
  }
  m_loading = true;
  bool ok = call(0, error);
  m_loading = false;
  if (ok && m_devices.empty()) {
    error = path + ": the script declares no device";
    return false;
  }
  return ok;
}

bool Station::run_cycle(std::string& error) {
  for (size_t i = 0; i < m_devices.size(); ++i) {
    if (m_devices[i].cycle_ref < 0) continue;
    m_current = static_cast<long>(i);
    lua_rawgeti(m_L, LUA_REGISTRYINDEX, m_devices[i].cycle_ref);
    lua_rawgeti(m_L, LUA_REGISTRYINDEX, m_devices[i].handle_ref);
    bool ok = call(1, error);
    m_current = -1;
    if (!ok) return false;
  }
  for (int ref : m_cycles) {
    lua_rawgeti(m_L, LUA_REGISTRYINDEX, ref);
    if (!call(0, error)) return false;
  }
  return true;
}

} // namespace sim
