-- Minute and hourly data (CN=2051, CN=2061) beside real-time data (CN=2011). Each minute or
-- hourly frame is built whole by one MakeProtocol from a template that includes its CP segment:
-- average, minimum and maximum of each analyser over the period, stamped with the period's start.
-- The station answers the platform's requests too, so real-time uploads start on CN=2011 (or at
-- once with -D rtd=on). The periods are 60 s and 3600 s; -D minute=S -D hour=S shorten them for
-- a trial against the platform simulator.
--   polmon-host -D platform=127.0.0.1:PORT examples/periodic_uploads.lua
local station = require("hj212station")
station.declare()
var("Frames", 0)

-- Template variables have names found nowhere else in a template ("v" + what they hold): the
-- builder replaces the first occurrence of a name after its key, so a variable called N or 32
-- would also replace the literal N of a Flag field or the 32 of ST=32.
var("vQn", "")
var("vBegin", "")
var("vMn", args.mn or "POLMON0000000001")
var("vPw", args.pw or "123456")
local measured = {
  { code = "w01018", var = "vCOD" },
  { code = "w21003", var = "vNH3" },
}
for _, m in ipairs(measured) do
  for _, what in ipairs({ "Avg", "Min", "Max" }) do var(m.var .. what, 0.0) end
end
local function template(cn)
  local items = {}
  for _, m in ipairs(measured) do
    local v = m.var
    items[#items + 1] = string.format("%s-Avg=%sAvg,%s-Min=%sMin,%s-Max=%sMax,%s-Flag=N", m.code, v, m.code, v, m.code, v, m.code)
  end
  return "QN=vQn;ST=32;CN=" .. cn .. ";PW=vPw;MN=vMn;Flag=5;CP=&&DataTime=vBegin;" .. table.concat(items, ";") .. "&&"
end
var("MinuteTpl", template("2051"))
var("HourTpl", template("2061"))

local dev = device{
  name = "platform",
  port = "tcp-client:" .. (args.platform or "127.0.0.1:9000"),
  config = { timeout = 5 },
  channels = { [0] = "Frames" },
}
local link = station.new_link(dev, { mn = get("vMn"), pw = get("vPw"), rtd = args.rtd == "on" })

-- One period's statistics of every analyser, and when it ends.
local function period(cn, tpl, seconds)
  return { cn = cn, tpl = tpl, ms = seconds * 1000, ends = now_ms() + seconds * 1000, begin = datatime(), n = 0, sum = {}, min = {}, max = {} }
end
local periods = {
  period("2051", "MinuteTpl", tonumber(args.minute) or 60),
  period("2061", "HourTpl", tonumber(args.hour) or 3600),
}

local function sample(p)
  p.n = p.n + 1
  for _, m in ipairs(measured) do
    local v = get(m.var)
    p.sum[m.var] = (p.sum[m.var] or 0) + v
    p.min[m.var] = math.min(p.min[m.var] or v, v)
    p.max[m.var] = math.max(p.max[m.var] or v, v)
  end
end

local function report(p)
  for _, m in ipairs(measured) do
    set(m.var .. "Avg", math.floor(p.sum[m.var] / p.n * 100 + 0.5) / 100)
    set(m.var .. "Min", p.min[m.var])
    set(m.var .. "Max", p.max[m.var])
  end
  set("vQn", station.qn()) -- every upload its own QN
  set("vBegin", p.begin)
  dev:ioctl("MakeProtocol(" .. p.tpl .. ",TxData)")
  dev:ioctl("Send(TxData,TxStatus)")
  if get("TxStatus") ~= 0 then log("CN=" .. p.cn .. " upload not sent") end
  p.n, p.sum, p.min, p.max, p.begin = 0, {}, {}, {}, datatime()
  p.ends = p.ends + p.ms
end

cycle(function()
  station.measure()
  station.serve(link)
  for _, p in ipairs(periods) do
    sample(p)
    if now_ms() >= p.ends then report(p) end
  end
end)
