-- clean run: -D platform={platform} -D minute=1 -D hour=2
-- A station that keeps its own minute and hourly records and answers history requests for them
-- (2051, 2061, 2031 with BeginTime and EndTime), beside the common requests and real-time data.
-- With -D fault=NAME it breaks one rule a platform's acceptance checks, so that polmon-platform
-- can be shown to catch it (tests/tools/faults.sh runs every one):
--   polmon-host -D platform=127.0.0.1:PORT [-D fault=NAME] examples/fault_station.lua
-- -D minute=S -D hour=S -D day=S shorten the periods (60, 3600, 86400 s); -D interval=S is the
-- real-time interval before the platform sets one (5 s); -D standard=2025 -D key=... as every
-- example.
local station = require("hj212station")

-- fault -> what the station does wrong
local faults = {
  ["password"] = "answers every request QnRtn=3 (wrong password)",
  ["no-stop"] = "acknowledges 2012 and keeps uploading real-time data",
  ["accept-zero"] = "answers ExeRtn=1 to RtdInterval=0 (and keeps its interval)",
  ["old-interval"] = "acknowledges 1062 and keeps its old interval",
  ["history-range"] = "answers any history request with today's records, whatever its range",
  ["no-9012"] = "ends no history answer with a 9012",
  ["period-end"] = "stamps minute, hourly and daily data with the period's end",
  ["no-9011"] = "answers requests without a 9011 (the data and the 9012 only)",
  ["wrong-version"] = "writes its 9011 and 9012 with the other edition's Flag version",
  ["late"] = "answers every request six seconds late, after the platform stopped waiting",
  ["no-history"] = "keeps no records and refuses history requests with QnRtn=8",
  ["no-rf"] = "sends every minute, hourly and daily upload twice, the second without RF=1",
  ["twice"] = "sends every record of a history answer twice",
  ["early-9012"] = "ends a history answer with its 9012 before the records",
  ["no-periods"] = "keeps minute, hourly and daily records for history but never uploads them",
  ["stop-late"] = "acknowledges 2012 and sends one more real-time upload 1.5 s later",
  ["notice-as-request"] = "answers the notice 2012 as a request, 9011 and 9012, not 9013",
  ["data-first"] = "answers 1011 and 1061 with the data before the 9011",
  ["no-9012-data"] = "answers 1011 and 1061 with 9011 and the data, no 9012",
  ["change-st"] = "changes the system code (ST) of its data frames 8 s after it started",
  ["refuse-mn"] = "refuses every new MN (1002) with ExeRtn=3",
  ["dead-link"] = "must encrypt, drops its key, and takes every refused Send for a dead link",
  ["control-bytes"] = "writes ESC and BEL into a real-time value",
  ["no-datatime"] = "sends its real-time data without DataTime",
  ["bad-qn"] = "sends its real-time data under a QN that is no time",
  ["same-qn"] = "sends every real-time upload with the first one's QN and DataTime",
  ["new-mn"] = "sends every real-time upload under a new MN",
  ["st-first"] = "sends its first data frame with ST=91, the rest with its own",
}
local fault = args.fault
if fault and not faults[fault] then
  local names = {}
  for name in pairs(faults) do names[#names + 1] = name end
  table.sort(names)
  error("fault is one of " .. table.concat(names, ", ") .. ", not " .. fault)
end

station.declare()
var("Frames", 0)
local dev = device{
  name = "platform",
  port = "tcp-client:" .. (args.platform or "127.0.0.1:9000"),
  -- dead-link: the fifth parameter makes encryption required
  config = fault == "dead-link" and { params = { 5, 0, 0, 0, 1 } } or { timeout = 5 },
  channels = { [0] = "Frames" },
}
local link = station.new_link(dev, station.options{
  interval = tonumber(args.interval) or 5, history = fault ~= "no-history", encryption_required = fault == "dead-link",
  periods = false, -- its own below, which its faults change
})
if fault then log("fault: " .. fault .. ": " .. faults[fault]) end

local handlers = station.handlers
local answering = false -- a handler is answering a request
local held = {}         -- late: { at = ms, segment = ... }, oldest first
local kLateMs = 6000    -- beyond the 5 s a platform commonly waits for a 9011

if fault == "password" then
  for cn in pairs(handlers) do
    handlers[cn] = function(l, qn) station.answer(l, qn, "9011", "QnRtn=3") end
  end
elseif fault == "no-stop" then
  station.notices["2012"] = function() end -- answered 9013, and l.rtd stays on
elseif fault == "accept-zero" or fault == "old-interval" then
  local set_interval = handlers["1062"]
  handlers["1062"] = function(l, qn)
    local v = tonumber(station.field(l, "RtdInterval", true) or "")
    if fault == "accept-zero" and v and v > 0 then return set_interval(l, qn) end
    station.answer(l, qn, "9011", "QnRtn=1")
    station.answer(l, qn, "9012", "ExeRtn=1") -- l.interval as it was
  end
elseif fault == "late" then
  for cn, answer_request in pairs(handlers) do
    handlers[cn] = function(l, qn)
      answering = true
      answer_request(l, qn)
      answering = false
    end
  end
elseif fault == "stop-late" then
  local stop = station.notices["2012"]
  station.notices["2012"] = function(l)
    stop(l)
    l.late_upload = now_ms() + 1500
  end
elseif fault == "notice-as-request" then
  handlers["2012"] = function(l, qn)
    station.answer(l, qn, "9011", "QnRtn=1")
    l.rtd = false
    station.answer(l, qn, "9012", "ExeRtn=1")
  end
elseif fault == "data-first" or fault == "no-9012-data" then
  local values = {
    ["1011"] = function() return "SystemTime=" .. datatime() end,
    ["1061"] = function(l) return "RtdInterval=" .. l.interval end,
  }
  for cn, value in pairs(values) do
    handlers[cn] = function(l, qn)
      local data = station.header(l, qn, l.st, cn, "4") .. ";CP=&&" .. value(l) .. "&&"
      if fault == "data-first" then station.send(l, data) end
      station.answer(l, qn, "9011", "QnRtn=1")
      if fault == "no-9012-data" then return station.send(l, data) end
      station.answer(l, qn, "9012", "ExeRtn=1")
    end
  end
elseif fault == "refuse-mn" then
  handlers["1002"] = function(l, qn)
    station.answer(l, qn, "9011", "QnRtn=1")
    station.answer(l, qn, "9012", "ExeRtn=3")
  end
elseif fault == "dead-link" then
  station.refused_for_key = function() return false end -- every refusal a dead link: 1001 again and again
elseif fault == "history-range" then
  station.records_between = function(l, cn)
    local today, found = os.date("%Y%m%d"), {}
    for _, r in ipairs(l.records[cn]) do
      if r.datatime:sub(1, 8) == today then found[#found + 1] = r end
    end
    return found
  end
end

-- Faults in what goes out: every data segment passes here (station.send's hook).
local history_qn = nil -- the QN of the history request being answered
for _, cn in ipairs({ "2051", "2061", "2031" }) do
  local answer_history = handlers[cn]
  handlers[cn] = function(l, qn)
    history_qn = qn
    answer_history(l, qn)
    history_qn = nil
  end
end

-- A data segment out as it is, past the hook.
local function send_as_is(segment)
  set("TxData", segment)
  dev:ioctl("Send(TxData,TxStatus)")
end

local early = {} -- early-9012: a history answer's records, sent after its 9012
local first_upload, mn_count, first_st_done -- same-qn, new-mn, st-first
local function cn_of(segment) return segment:match(";CN=(%d+);") end
local outgoing = {
  ["no-9012"] = function(segment)
    if history_qn and cn_of(segment) == "9012" then return nil end
    return segment
  end,
  ["no-9011"] = function(segment)
    if cn_of(segment) == "9011" then return nil end
    return segment
  end,
  ["wrong-version"] = function(segment)
    local cn = cn_of(segment)
    if cn ~= "9011" and cn ~= "9012" then return segment end
    return (segment:gsub(";Flag=(%d+)", function(flag)
      local f = tonumber(flag)
      local other = f // 4 == 2 and 1 or 2 -- 2017 is version 1, 2025 version 2
      return ";Flag=" .. (other * 4 + f % 4)
    end, 1))
  end,
  ["twice"] = function(segment)
    if history_qn and (cn_of(segment) or ""):sub(1, 1) == "2" then send_as_is(segment) end
    return segment
  end,
  ["early-9012"] = function(segment)
    if not history_qn then return segment end
    local cn = cn_of(segment) or ""
    if cn:sub(1, 1) == "2" then -- a record, held until the 9012 is out
      early[#early + 1] = segment
      return nil
    end
    if cn ~= "9012" then return segment end
    send_as_is(segment)
    for _, record in ipairs(early) do send_as_is(record) end
    early = {}
    return nil
  end,
  -- the real-time uploads' own fields broken (CN=2011 frames the station makes itself)
  ["control-bytes"] = function(segment)
    if cn_of(segment) ~= "2011" then return segment end
    return (segment:gsub("%-Rtd=([^,;&]*)", "-Rtd=\27]0;x\7%1", 1))
  end,
  ["no-datatime"] = function(segment)
    if cn_of(segment) ~= "2011" then return segment end
    return (segment:gsub("DataTime=%d+;?", "", 1))
  end,
  ["bad-qn"] = function(segment)
    if cn_of(segment) ~= "2011" then return segment end
    return (segment:gsub("^QN=%d+", "QN=NOTAQN-1", 1))
  end,
  ["same-qn"] = function(segment)
    if cn_of(segment) ~= "2011" then return segment end
    first_upload = first_upload or { qn = segment:match("^QN=(%d+)"), datatime = segment:match("DataTime=(%d+)") }
    segment = segment:gsub("^QN=%d+", "QN=" .. first_upload.qn, 1)
    return (segment:gsub("DataTime=%d+", "DataTime=" .. first_upload.datatime, 1))
  end,
  ["new-mn"] = function(segment)
    if cn_of(segment) ~= "2011" then return segment end
    mn_count = (mn_count or 1) + 1 -- the station's own is POLMON...01
    return (segment:gsub(";MN=[^;]*", string.format(";MN=POLMON%018d", mn_count), 1))
  end,
  ["st-first"] = function(segment)
    if first_st_done or (cn_of(segment) or ""):sub(1, 1) ~= "2" then return segment end
    first_st_done = true
    return (segment:gsub(";ST=%d+;", ";ST=91;", 1))
  end,
  ["late"] = function(segment)
    if not answering then return segment end
    if #held < 256 then held[#held + 1] = { at = now_ms() + kLateMs, segment = segment } end
    return nil
  end,
}
link.outgoing = outgoing[fault]

local function release_late()
  while #held > 0 and now_ms() >= held[1].at do send_as_is(table.remove(held, 1).segment) end
end

-- Minute, hourly and daily data: each period on the clock's boundaries (a 60 s period from
-- hh:mm:00), its average, minimum and maximum of each analyser, uploaded when it ends (a 9014
-- wanted, resent in 2025 when unanswered) and kept for history requests.
local periods = {
  station.period("2051", nil, tonumber(args.minute) or 60),
  station.period("2061", nil, tonumber(args.hour) or 3600),
  station.period("2031", nil, tonumber(args.day) or 86400),
}
for _, p in ipairs(periods) do
  if p.seconds < 1 then error(p.cn .. " period is at least 1 s") end
end

-- the variables a period averages
local sampled = {}
for _, a in ipairs(station.analysers) do sampled[#sampled + 1] = a.var end

local function report(p)
  if fault == "no-periods" then -- kept for history, never uploaded
    local send_upload = station.send_upload
    station.send_upload = function() return 0 end
    station.report_period(link, p)
    station.send_upload = send_upload
    return
  end
  local segment = station.report_period(link, p, fault == "period-end" and p.begin + p.seconds or nil)
  if fault == "no-rf" then send_as_is(segment) end
end

local function periods_due()
  for _, p in ipairs(periods) do
    if station.period_over(p) then
      if p.n > 0 then report(p) end
      station.next_period(p)
    end
    station.sample(p, sampled)
  end
end

-- The faults that act on their own time: one upload after the stop, another ST, no key kept.
local function timed_faults()
  if link.late_upload and now_ms() >= link.late_upload then
    link.late_upload = nil
    station.upload(link)
  end
  link.st_from = link.st_from or now_ms() + 8000 -- change-st: after some uploads with the first ST
  if fault == "change-st" and now_ms() >= link.st_from then link.st = "31" end
  if fault == "dead-link" and link.has_key then
    set("KeyText", "")
    dev:ioctl("SetKey(KeyText,KeyStatus)")
    link.has_key = false
  end
end

cycle(function()
  station.measure()
  station.serve(link, function()
    release_late()
    periods_due()
    timed_faults()
  end)
end)
