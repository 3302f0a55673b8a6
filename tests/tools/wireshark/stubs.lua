-- Wireshark's Lua API as far as hj212.lua uses it when loaded, for the Lua 5.4 check.
local function norm(x) x = math.tointeger(x) & 0xFFFFFFFF; if x >= 0x80000000 then x = x - 0x100000000 end; return x end
local function fold(op, init) return function(...) local r = init; for _, v in ipairs({...}) do r = op(r, math.tointeger(v)) end; return norm(r) end end
bit = { band = fold(function(a, b) return a & b end, -1), bor = fold(function(a, b) return a | b end, 0),
  bxor = fold(function(a, b) return a ~ b end, 0),
  lshift = function(x, n) return norm(math.tointeger(x) << n) end,
  rshift = function(x, n) return norm((math.tointeger(x) & 0xFFFFFFFF) >> n) end }
local any = setmetatable({}, { __index = function() return function() return {} end end })
Proto = function() return setmetatable({ prefs = {}, fields = {}, experts = {} }, { __index = { register_heuristic = function() end } }) end
ProtoField, ProtoExpert = any, any
expert = { group = setmetatable({}, { __index = function() return 0 end }), severity = setmetatable({}, { __index = function() return 0 end }) }
Pref = { string = function(_, d) return d end, bool = function(_, d) return d end }
base = { DEC = 1, NONE = 0 }
Field = { new = function() return function() return nil end end }
DissectorTable = { get = function() return { add = function() end } end }
register_postdissector = function() end
ENC_GB18030 = 80
