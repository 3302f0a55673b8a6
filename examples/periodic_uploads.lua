-- clean run: -D platform={platform} -D minute=1 -D hour=2
-- Minute and hourly data (CN=2051, CN=2061) beside real-time data (CN=2011). Each minute or
-- hourly frame is built whole by one MakeProtocol from a template that includes its CP segment:
-- average, minimum and maximum of each analyser over the period, stamped with the period's start.
-- The station answers the platform's requests too, so real-time uploads start on CN=2011 (or at
-- once with -D rtd=on). The periods are 60 s and 3600 s on the clock's own boundaries (a minute
-- from second 0, an hour from minute 0), and a period's data go out once it is over; -D minute=S
-- -D hour=S shorten them for a trial against the platform simulator, on boundaries of S seconds
-- (polmon-platform --periods 2051=S,2061=S judges them so). A 2025 station (-D standard=2025) reports the 20
-- factors of a water station (-D factors=N changes the count): its hourly data is longer than the
-- 1024 bytes a frame may carry, and the plug-in sends it as packets.
--   polmon-host -D platform=127.0.0.1:PORT examples/periodic_uploads.lua
local station = require("hj212station")

-- More analysers of a water station, after the four of hj212station: code, base value, swing,
-- and the decimals of the code's default format, so no value goes beyond it (the code tables in
-- tools/common/data give each code's unit and format).
local more = {
  { "w01009", 7.5, 0.5, 1 },     -- dissolved oxygen, mg/L, N3.1
  { "w01010", 18.0, 2.0, 1 },    -- water temperature, degrees C, N3.1
  { "w01014", 450.0, 30.0, 1 },  -- conductivity, uS/cm, N3.1
  { "w01012", 12.0, 3.0, 0 },    -- suspended solids, mg/L, N4
  { "w01019", 4.2, 0.5, 1 },     -- permanganate index, mg/L, N3.1
  { "w01020", 8.0, 1.0, 1 },     -- total organic carbon, mg/L, N3.1
  { "w21001", 3.1, 0.4, 2 },     -- total nitrogen, mg/L, N4.2
  { "w21011", 0.25, 0.05, 2 },   -- total phosphorus, mg/L, N3.2
  { "w21016", 0.002, 0.001, 3 }, -- cyanide, mg/L, N3.3
  { "w21017", 0.6, 0.1, 2 },     -- fluoride, mg/L, N4.2
  { "w21019", 0.05, 0.01, 3 },   -- sulphide, mg/L, N3.3
  { "w22001", 0.04, 0.01, 2 },   -- petroleum oils, mg/L, N3.2
  { "w23002", 0.003, 0.001, 4 }, -- volatile phenols, mg/L, N3.4
  { "w20111", 0.05, 0.01, 2 },   -- total mercury, ug/L, N3.2
  { "w20115", 1.0, 0.2, 1 },     -- total cadmium, ug/L, N3.1
  { "w20117", 4.0, 1.0, 3 },     -- hexavalent chromium, ug/L, N2.3
}
station.declare() -- real-time data keeps the four analysers of hj212station
for i, m in ipairs(more) do
  local a = { code = m[1], var = "vA" .. i, base = m[2], swing = m[3], decimals = m[4] }
  var(a.var, a.base)
  station.analysers[#station.analysers + 1] = a
end
local factors = tonumber(args.factors) or (args.standard == "2025" and #station.analysers or 2)
if factors < 1 or factors > #station.analysers then error("factors is 1 to " .. #station.analysers) end
var("Frames", 0)

-- Template variables have names found nowhere else in a template ("v" + what they hold): the
-- builder replaces the first occurrence of a name after its key, so a variable called N or 32
-- would also replace the literal N of a Flag field or the 32 of ST=32.
var("vQn", "")
var("vBegin", "")
var("vMn", args.mn or "POLMON000000000000000001")
var("vPw", args.pw or "123456")
var("vFlag", 5)
-- the first `factors` analysers: COD and ammonia, then the others
local measured = {}
for i = 1, factors do
  local a = station.analysers[i]
  measured[i] = { code = a.code, var = a.var, scale = 10 ^ (a.decimals or 2) }
end
for _, m in ipairs(measured) do
  for _, what in ipairs({ "Avg", "Min", "Max" }) do var(m.var .. what, 0.0) end
end
local function template(cn)
  local items = {}
  for _, m in ipairs(measured) do
    local v = m.var
    items[#items + 1] = string.format("%s-Avg=%sAvg,%s-Min=%sMin,%s-Max=%sMax,%s-Flag=N", m.code, v, m.code, v, m.code, v, m.code)
  end
  return "QN=vQn;ST=32;CN=" .. cn .. ";PW=vPw;MN=vMn;Flag=vFlag;CP=&&DataTime=vBegin;" .. table.concat(items, ";") .. "&&"
end
var("MinuteTpl", template("2051"))
var("HourTpl", template("2061"))

local dev = device{
  name = "platform",
  port = "tcp-client:" .. (args.platform or "127.0.0.1:9000"),
  config = { timeout = 5 },
  channels = { [0] = "Frames" },
}
local link = station.new_link(dev, station.options{ mn = get("vMn"), pw = get("vPw"), periods = false })

local periods = {
  station.period("2051", "MinuteTpl", tonumber(args.minute) or 60),
  station.period("2061", "HourTpl", tonumber(args.hour) or 3600),
}

-- the variables a period averages
local sampled = {}
for _, m in ipairs(measured) do sampled[#sampled + 1] = m.var end

local function report(p)
  for _, m in ipairs(measured) do
    set(m.var .. "Avg", math.floor(p.sum[m.var] / p.n * m.scale + 0.5) / m.scale) -- in the code's decimals
    set(m.var .. "Min", p.min[m.var])
    set(m.var .. "Max", p.max[m.var])
  end
  local qn = station.qn() -- every upload its own QN
  set("vQn", qn)
  set("vBegin", station.period_datatime(p))
  set("vMn", link.mn) -- a 2025 platform may give the station a new MN (1002)
  set("vFlag", link.version * 4 + 1) -- the station's version, a 9014 wanted
  dev:ioctl("MakeProtocol(" .. p.tpl .. ",TxData)")
  station.keep_record(link, p.cn, station.period_datatime(p), get("TxData"):match("CP=&&(.*)&&$") or "") -- for history requests
  if station.send_upload(link, qn, get("TxData")) ~= 0 then log("CN=" .. p.cn .. " upload not sent") end
  station.next_period(p)
end

cycle(function()
  station.measure()
  station.serve(link, function()
    for _, p in ipairs(periods) do
      station.sample(p, sampled)
      if station.period_over(p) then report(p) end
    end
  end)
end)
