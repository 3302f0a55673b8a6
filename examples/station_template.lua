-- clean run: -D platform={platform} -D type=wastewater -D minute=1 -D hour=2 | -D platform={platform} -D type=fluegas -D minute=1 -D hour=2 | -D platform={platform} -D type=surfacewater -D minute=1 -D hour=2
-- A station template: the factor table is the part an integrator edits, one row per factor the
-- station reports; the rest (requests, real-time, minute and hourly uploads, the 2025 duties)
-- follows from it. Ready tables for a wastewater outlet, a flue-gas stack and a surface-water
-- station, chosen by -D type=wastewater|fluegas|surfacewater (wastewater by default).
--   polmon-host -D platform=127.0.0.1:PORT -D type=fluegas examples/station_template.lua
-- Real-time uploads (2011) start when the platform asks, or at once with -D rtd=on; minute (2051)
-- and hourly (2061) data every 60 s and 3600 s, or -D minute=S -D hour=S, each kept for the
-- platform's history requests (2051, 2061: answered from the records, ExeRtn=100 when none lies in
-- the range). -D site=NAME is the site name sent on 3020 (each type has its own), -D st=NN the
-- system code (each type's), -D mn= and -D pw= as every example. With -D standard=2025
-- -D key=<16 characters> it is a 2025 station (hj212station.lua says what that takes).
-- The flue-gas type also sends the converted values (ZsRtd, ZsAvg, ZsMin, ZsMax: the
-- concentration at the stack's reference oxygen, o2_ref) of SO2, NOx and particulates, and in
-- its minute and hourly data each pollutant's emitted amount (Cou, kg) and the flow's (Cou, m³).
local station = require("hj212station")

-- The factor tables. Each row:
--   code    the factor's code in the standard's tables (tools/common/data/hj212-codes.json;
--           `polmon-frame` names any code it is given, and warns about one the tables lack)
--   unit    the unit the tables give the code: the analyser's reading must be in it
--   format  the tables' default data format: Nx.y is at most x digits before the point and y
--           after it, Nx a whole number; values are rounded to its decimals
--   source  the panel variable the analyser's reading is in (linked to the analyser on the panel)
--   name    the row's name in the device's configuration
--   sim     base value and swing of the simulated reading (polmon-host only; a panel has the
--           analyser)
--   zs      (flue gas) the row also has a converted value, at the type's reference oxygen
--   cou     (flue gas) the row's minute and hourly data carry the amount emitted in the period:
--           a pollutant's from its average and the flow's (kg), the flow's own (m³)
local stations = {
  wastewater = { -- a wastewater outlet: ST 32, water pollution source
    st = "32", site = "废水排放口自动监测站",
    factors = {
      { code = "w01018", unit = "mg/L", format = "N5.1", source = "vCOD", name = "COD", sim = { 25.0, 5.0 } },
      { code = "w21003", unit = "mg/L", format = "N4.2", source = "vNH3N", name = "ammonia nitrogen", sim = { 1.2, 0.3 } },
      { code = "w21011", unit = "mg/L", format = "N3.2", source = "vTP", name = "total phosphorus", sim = { 0.25, 0.05 } },
      { code = "w21001", unit = "mg/L", format = "N4.2", source = "vTN", name = "total nitrogen", sim = { 8.5, 1.0 } },
      { code = "w01001", unit = "", format = "N2.2", source = "vPH", name = "pH", sim = { 7.1, 0.2 } },
      { code = "w00000", unit = "L/s", format = "N5.2", source = "vFlow", name = "flow", sim = { 42.0, 8.0 } },
    },
  },
  fluegas = { -- a flue-gas stack: ST 31, air pollution source
    st = "31", site = "烟气排放连续监测站",
    o2_ref = 9, -- % O2 the converted values are at (9 for a coal-fired boiler; the permit says)
    factors = {
      { code = "a21026", unit = "mg/m³", format = "N5.2", source = "vSO2", name = "SO2", sim = { 35.0, 6.0 }, zs = true, cou = true },
      { code = "a21002", unit = "mg/m³", format = "N5.1", source = "vNOx", name = "NOx", sim = { 80.0, 12.0 }, zs = true, cou = true },
      { code = "a34013", unit = "mg/m³", format = "N4", source = "vDust", name = "particulates", sim = { 9.0, 2.0 }, zs = true, cou = true },
      { code = "a19001", unit = "%", format = "N3.1", source = "vO2", name = "O2", sim = { 10.5, 0.8 } },
      { code = "a01012", unit = "℃", format = "N3.1", source = "vGasTemp", name = "flue gas temperature", sim = { 125.0, 5.0 } },
      { code = "a01013", unit = "kPa", format = "N5.3", source = "vGasPress", name = "flue gas pressure", sim = { -0.25, 0.05 } },
      { code = "a01011", unit = "m/s", format = "N5.2", source = "vGasSpeed", name = "flue gas velocity", sim = { 12.0, 1.5 } },
      { code = "a01014", unit = "%", format = "N3.1", source = "vGasHum", name = "flue gas humidity", sim = { 8.0, 1.0 } },
      { code = "a00000", unit = "m³/s", format = "N6.1", source = "vGasFlow", name = "flue gas flow", sim = { 55.0, 6.0 }, cou = true },
    },
  },
  surfacewater = { -- a surface-water station: ST 21, surface water quality
    st = "21", site = "地表水水质自动监测站",
    factors = {
      { code = "w01001", unit = "", format = "N2.2", source = "vPH", name = "pH", sim = { 7.6, 0.3 } },
      { code = "w01010", unit = "℃", format = "N3.1", source = "vWaterTemp", name = "water temperature", sim = { 18.0, 3.0 } },
      { code = "w01009", unit = "mg/L", format = "N3.1", source = "vDO", name = "dissolved oxygen", sim = { 7.5, 0.6 } },
      { code = "w01014", unit = "μS/cm", format = "N3.1", source = "vCond", name = "conductivity", sim = { 420.0, 25.0 } },
      { code = "w01019", unit = "mg/L", format = "N3.1", source = "vCODMn", name = "permanganate index", sim = { 3.8, 0.5 } },
      { code = "w21003", unit = "mg/L", format = "N4.2", source = "vNH3N", name = "ammonia nitrogen", sim = { 0.35, 0.08 } },
      { code = "w21011", unit = "mg/L", format = "N3.2", source = "vTP", name = "total phosphorus", sim = { 0.12, 0.03 } },
      { code = "w21001", unit = "mg/L", format = "N4.2", source = "vTN", name = "total nitrogen", sim = { 1.4, 0.2 } },
    },
  },
}

local type_name = args.type or "wastewater"
local chosen = stations[type_name]
if not chosen then error("type is wastewater, fluegas or surfacewater, not " .. type_name) end

-- A table's mistakes stop the script at once, naming the row: a misspelt format or a variable
-- used twice would otherwise show only as odd values on the platform.
local seen = {}
for i, f in ipairs(chosen.factors) do
  local where = type_name .. " row " .. i .. " (" .. tostring(f.code) .. ")"
  if type(f.code) ~= "string" or not f.code:match("^%a%w+$") then error(where .. ": code is a code of the tables, as w01018") end
  local whole, decimals = tostring(f.format):match("^N(%d+)%.?(%d*)$")
  if not whole then error(where .. ": format is Nx.y or Nx, as N5.1") end
  if type(f.source) ~= "string" or not f.source:match("^[%a_][%w_]*$") then error(where .. ": source is a variable name") end
  if seen[f.code] or seen[f.source] then error(where .. ": its code or source is in the table twice") end
  seen[f.code], seen[f.source] = true, true
  f.decimals = tonumber(decimals) or 0
end

-- The analysers hj212station simulates and builds the real-time data (2011) from.
station.analysers = {}
for _, f in ipairs(chosen.factors) do
  local sim = f.sim or { 0, 0 } -- a row without `sim` reads 0 on the PC
  station.analysers[#station.analysers + 1] = { code = f.code, var = f.source, base = sim[1], swing = sim[2], decimals = f.decimals }
end
station.declare()
var("Frames", 0)

-- A reading in the decimals of its format (a panel's reading may carry more than the format has).
local function rounded_to(v, decimals)
  local scale = 10 ^ decimals
  return math.floor(v * scale + 0.5) / scale
end

-- Flue gas: the O2 reading the converted values need, and a variable for each converted value.
local o2_source
for _, f in ipairs(chosen.factors) do
  if f.code == "a19001" then o2_source = f.source end
  if f.zs then
    f.zs_source = f.source .. "Zs"
    var(f.zs_source, 0.0)
  end
end
if chosen.o2_ref and not o2_source then error(type_name .. ": converted values need the O2 row (a19001)") end
-- C at the measured O2 to C at the reference: C x (21 - O2ref) / (21 - O2)
local function convert()
  for _, f in ipairs(chosen.factors) do
    if f.zs then
      local o2 = math.min(get(o2_source), 20) -- a reading at 21 % O2 is air, not flue gas
      set(f.zs_source, rounded_to(get(f.source) * (21 - chosen.o2_ref) / (21 - o2), f.decimals))
    end
  end
end
-- The real-time template with the converted values beside the measured ones.
local rtd = { "DataTime=vTime" }
for _, f in ipairs(chosen.factors) do
  rtd[#rtd + 1] = f.code .. "-Rtd=" .. f.source .. (f.zs and "," .. f.code .. "-ZsRtd=" .. f.zs_source or "") .. "," .. f.code .. "-Flag=N"
end
set("RtdTpl", table.concat(rtd, ";"))

-- Minute and hourly templates, whole frames for one MakeProtocol. Template variables are named
-- "v" + what they hold, found nowhere else in a template (see periodic_uploads.lua).
var("vQn", "")
var("vBegin", "")
var("vMn", args.mn or "POLMON000000000000000001")
var("vPw", args.pw or "123456")
var("vFlag", 5)
for _, f in ipairs(chosen.factors) do
  for _, what in ipairs({ "Avg", "Min", "Max" }) do var(f.source .. what, 0.0) end
  if f.zs then for _, what in ipairs({ "Avg", "Min", "Max" }) do var(f.zs_source .. what, 0.0) end end
  if f.cou then var(f.source .. "Cou", 0.0) end
end
local st = args.st or chosen.st -- every frame carries the system code the station is given
local function template(cn)
  local items = { "DataTime=vBegin" }
  for _, f in ipairs(chosen.factors) do
    local c, s = f.code, f.source
    local item = string.format("%s-Avg=%sAvg,%s-Min=%sMin,%s-Max=%sMax", c, s, c, s, c, s)
    if f.zs then
      local z = f.zs_source
      item = item .. string.format(",%s-ZsAvg=%sAvg,%s-ZsMin=%sMin,%s-ZsMax=%sMax", c, z, c, z, c, z)
    end
    if f.cou then item = item .. string.format(",%s-Cou=%sCou", c, s) end
    items[#items + 1] = item .. "," .. c .. "-Flag=N"
  end
  return "QN=vQn;ST=" .. st .. ";CN=" .. cn .. ";PW=vPw;MN=vMn;Flag=vFlag;CP=&&" .. table.concat(items, ";") .. "&&"
end
var("MinuteTpl", template("2051"))
var("HourTpl", template("2061"))

local rows = {}
for _, f in ipairs(chosen.factors) do rows[#rows + 1] = { group = 1, st = tonumber(st), factor = f.code, name = f.name } end
local dev = device{
  name = "platform",
  port = "tcp-client:" .. (args.platform or "127.0.0.1:9000"),
  config = { timeout = 5, channels = rows },
  channels = { [0] = "Frames" },
}
local link = station.new_link(dev, station.options{
  st = st, site = args.site or chosen.site, mn = get("vMn"), pw = get("vPw"), periods = false,
})
log(type_name .. " station " .. link.site .. ", ST " .. link.st .. ", " .. #chosen.factors .. " factors")

local periods = {
  station.period("2051", "MinuteTpl", tonumber(args.minute) or 60),
  station.period("2061", "HourTpl", tonumber(args.hour) or 3600),
}
link.minute_period = periods[1] -- read and set by 1063 and 1064

-- the variables a period averages
local sampled = {}
for _, f in ipairs(chosen.factors) do
  sampled[#sampled + 1] = f.source
  if f.zs then sampled[#sampled + 1] = f.zs_source end
end
local flow -- the flow row, whose average the emitted amounts take
for _, f in ipairs(chosen.factors) do
  if f.cou and f.code:sub(2) == "00000" then flow = f end
end

local function report(p)
  for _, f in ipairs(chosen.factors) do
    for _, s in ipairs({ f.source, f.zs_source }) do
      set(s .. "Avg", rounded_to(p.sum[s] / p.n, f.decimals))
      set(s .. "Min", rounded_to(p.min[s], f.decimals))
      set(s .. "Max", rounded_to(p.max[s], f.decimals))
    end
    if f.cou then -- m³/s x s = m³; mg/m³ x m³ / 10^6 = kg
      local volume = p.sum[flow.source] / p.n * p.seconds
      set(f.source .. "Cou", rounded_to(f == flow and volume or p.sum[f.source] / p.n * volume / 1e6, f == flow and 1 or 4))
    end
  end
  local qn = station.qn()
  set("vQn", qn)
  set("vBegin", station.period_datatime(p)) -- DataTime of minute and hourly data: the period's start
  set("vMn", link.mn)    -- a 2025 platform may give the station a new MN (1002)
  set("vFlag", link.version * 4 + 1)
  dev:ioctl("MakeProtocol(" .. p.tpl .. ",TxData)")
  station.keep_record(link, p.cn, station.period_datatime(p), get("TxData"):match("CP=&&(.*)&&$") or "") -- for history requests
  if station.send_upload(link, qn, get("TxData")) ~= 0 then log("CN=" .. p.cn .. " upload not sent") end
  station.next_period(p)
end

cycle(function()
  station.measure() -- stands in for the analysers: on the panel the source variables are linked
  convert()
  station.serve(link, function()
    for _, p in ipairs(periods) do
      station.sample(p, sampled)
      if station.period_over(p) then report(p) end
    end
  end)
end)
