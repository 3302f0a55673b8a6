-- What a station's panel script does with the plug-in's commands: take the platform's requests
-- out of the queue, answer them, and upload real-time data. The example stations require this.
-- A link to a 2025 platform (-D standard=2025) also does the 2025 station's duties: it asks for a
-- key (1014) and takes the ones the platform pushes, sends a heartbeat (9015), uploads its
-- hardware identifiers (1001), takes a new MN (1002), and waits for the 9014 of every upload,
-- resending with RF=1 what went unanswered or unwritten.
--
-- Scratch variables are shared by all devices: a cycle serves one device after the other.

local M = {}
-- Each command's type in the standard's tables (request, notice, upload), generated from them.
local commands = require("hj212commands")

local scratch = {
  RxCount = 0, RxFrame = "", RxLeft = 0, RxValue = "", RxStatus = 0,
  TxData = "", TxStatus = 0, TxCopy = "", KeyText = "", KeyStatus = 0,
  RtdTpl = "", RtdCp = "", vTime = "", RxAccepted = 0, RxBadLength = 0, RxBadCrc = 0, CrcAlarm = 0,
}

-- Simulated analysers: pollutant code -> variable, value, swing, and the decimals of the code's
-- default format (COD N5.1, ammonia nitrogen N4.2, pH N2.2, flow N5.2), so no value exceeds it.
M.analysers = {
  { code = "w01018", var = "vCOD",  base = 25.0, swing = 5.0, decimals = 1 },  -- COD, mg/L
  { code = "w21003", var = "vNH3",  base = 1.2,  swing = 0.3, decimals = 2 },  -- ammonia nitrogen, mg/L
  { code = "w01001", var = "vPH",   base = 7.1,  swing = 0.2, decimals = 2 },  -- pH
  { code = "w00000", var = "vFlow", base = 42.0, swing = 8.0, decimals = 2 },  -- flow, L/s
}

function M.declare()
  for name, init in pairs(scratch) do var(name, init) end
  for _, a in ipairs(M.analysers) do var(a.var, a.base) end
  -- the real-time template: MakeProtocol replaces each variable name by its value
  local items = { "DataTime=vTime" }
  for _, a in ipairs(M.analysers) do
    items[#items + 1] = a.code .. "-Rtd=" .. a.var .. "," .. a.code .. "-Flag=N"
  end
  set("RtdTpl", table.concat(items, ";"))
end

-- New analyser readings: a slow wave and a little noise, in each analyser's decimals.
function M.measure()
  local t = os.time()
  for i, a in ipairs(M.analysers) do
    local v = a.base + a.swing * math.sin(t / 17 + i) + a.swing * 0.1 * (math.random() - 0.5)
    local scale = 10 ^ (a.decimals or 2)
    set(a.var, math.floor(v * scale + 0.5) / scale)
  end
end

-- A link's options from the -D values: mn, pw, rtd=on, standard (2017 or 2025), key (16
-- characters), heartbeat (seconds), answer_timeout (seconds); `extra` adds or replaces some.
function M.options(extra)
  local o = {
    mn = args.mn, pw = args.pw, rtd = args.rtd == "on", standard = args.standard, key = args.key,
    heartbeat = args.heartbeat, answer_timeout = args.answer_timeout, st = args.st, site = args.site,
  }
  for k, v in pairs(extra or {}) do o[k] = v end
  return o
end

-- One station link: the device handle and what the platform asked of it.
function M.new_link(dev, opts)
  local standard = tostring(opts.standard or "2017")
  if standard ~= "2017" and standard ~= "2025" then error("standard is 2017 or 2025, not " .. standard, 2) end
  return {
    dev = dev,
    st = opts.st or "32",
    mn = opts.mn or "POLMON000000000000000001",
    pw = opts.pw or "123456",
    site = opts.site or "水质自动监测站", -- site name, sent on CN=3020 (Chinese text)
    -- protocol version of Flag (upper six bits): the station's own, whatever version a request
    -- comes in (a station that took it from requests would follow any peer's mistake)
    version = standard == "2025" and 2 or 1,
    interval = opts.interval or 30, -- real-time upload interval, seconds
    rtd = opts.rtd or false,        -- real-time uploads on (from the start: -D rtd=on)
    key = opts.key,                 -- the encryption key (16 characters, -D key=...), set at start
    has_key = false,                -- the plug-in holds a key (set by this script)
    -- the device's fifth parameter is 1: Send refuses CN 2000-2999 while there is no key
    encryption_required = opts.encryption_required or false,
    key_refusal_told = false,
    next_upload = 0,
    sent = 0, failed = 0, served = 0, bad_crc = 0,
    -- 2025 duties
    s2025 = standard == "2025",
    heartbeat = tonumber(opts.heartbeat) or 60,          -- seconds between heartbeats
    answer_timeout = tonumber(opts.answer_timeout) or 10, -- seconds an upload waits for its 9014 (1000 sets it)
    tries = 3,                                            -- resends of an upload without its 9014 (1000 sets it)
    ids = {                                              -- hardware identifiers, sent on 1001
      logger = opts.logger or "POLMONDL0000000001", cpu = opts.cpu or "CPU00000000000001",
      mac1 = opts.mac1 or "02-00-5E-10-00-01", mac2 = opts.mac2 or "02-00-5E-10-00-02",
    },
    started = false,
    up = true,         -- false from a failed write or a missing 9014 until the platform is heard again
    restart = false,   -- a write failed: the link starts anew once it is back
    next_heartbeat = 0,
    -- history: CN -> the records kept for history requests, oldest first (M.keep_record);
    -- nil: the station keeps none and refuses history requests with QnRtn=8
    records = opts.history ~= false and { ["2051"] = {}, ["2061"] = {}, ["2031"] = {} } or nil,
    -- minute, hourly and daily data of the analysers (M.periods_due), unless the script does its
    -- own (periods = false); -D minute=S -D hour=S -D day=S shorten them
    periods = opts.periods ~= false and {
      M.period("2051", nil, tonumber(args.minute) or 60),
      M.period("2061", nil, tonumber(args.hour) or 3600),
      M.period("2031", nil, tonumber(args.day) or 86400),
    } or nil,
    key_qn = nil,      -- QN of our key request while it waits for its answer
    awaiting = {},     -- QN -> upload waiting for its 9014
    backlog = {},      -- uploads to resend, oldest first; resent from the end, newest first
  }
end

-- link.outgoing, when set, sees every data segment before it goes out and returns what goes
-- instead, or nil for nothing: the project's fault station breaks its answers there.
local function send(link, segment)
  if link.outgoing then
    segment = link.outgoing(segment)
    if not segment then return 0 end
  end
  set("TxData", segment)
  link.dev:ioctl("Send(TxData,TxStatus)")
  local status = get("TxStatus")
  if status == 0 then link.sent = link.sent + 1 else link.failed = link.failed + 1 end
  if status ~= 0 and M.refused_for_key(link, segment) and not link.key_refusal_told then
    link.key_refusal_told = true -- told once until a key comes
    log("not sent: no key while encryption is required (CN=" .. (segment:match("CN=(%d+)") or "?") .. "); the link is up")
  end
  return status
end

-- A Send the plug-in refused because the link must encrypt and holds no key: the link is sound
-- and the frame waits for a key. Status -1 is also a write that failed; the CN and the key tell
-- the two apart, and only a failed write is a dead link.
function M.refused_for_key(link, segment)
  local cn = tonumber(segment:match("CN=(%d+)") or "")
  return link.encryption_required and not link.has_key and cn ~= nil and cn >= 2000 and cn <= 2999
end

-- flag "4" or "5" (answer wanted): its low bits, under the station's version.
local function header(link, qn, st, cn, flag)
  local bits = tonumber(flag) % 4
  return "QN=" .. qn .. ";ST=" .. st .. ";CN=" .. cn .. ";PW=" .. link.pw .. ";MN=" .. link.mn .. ";Flag=" .. (link.version * 4 + bits)
end

local function answer(link, qn, cn, cp)
  send(link, header(link, qn, "91", cn, "4") .. ";CP=&&" .. cp .. "&&")
end

-- A field of the frame in RxFrame (GetValue) or of its CP segment (GetCpValue); nil when absent.
local function field(link, key, cp)
  link.dev:ioctl((cp and "GetCpValue" or "GetValue") .. "(RxFrame," .. key .. ",RxValue,RxStatus)")
  if get("RxStatus") ~= 0 then return nil end
  return get("RxValue")
end

-- Resends: the backlog's bound, and how often an upload is resent without an answer.
local kBacklog = 500

-- A write failed: the link is down until the platform is heard again, and then it starts anew.
local function lost(link)
  link.up = false
  link.restart = true
end

local function describe(u)
  return "CN=" .. u.cn .. " QN=" .. u.qn .. " DataTime=" .. u.datatime
end

-- Into the backlog at its place by QN (QNs grow with time), the oldest dropped when it is full.
local function keep(link, u, why)
  local at = #link.backlog + 1
  while at > 1 and link.backlog[at - 1].qn > u.qn do at = at - 1 end
  table.insert(link.backlog, at, u)
  log("kept for resending: " .. describe(u) .. " (" .. why .. ")")
  if #link.backlog > kBacklog then log("backlog full, given up: " .. describe(table.remove(link.backlog, 1))) end
end

local function await(link, u)
  u.deadline = now_ms() + link.answer_timeout * 1000
  link.awaiting[u.qn] = u
end

-- Unique QNs even within one millisecond: an upload answering a request under the request's QN
-- counts too, so an upload of our own in that millisecond gets the next one.
local last_qn = ""

-- An upload that wants a 9014 (its Flag's lowest bit). A 2025 link waits for the answer carrying
-- the upload's QN and keeps what goes unanswered or unwritten for resending; a 2017 link sends
-- and forgets, as many 2017 platforms answer nothing.
function M.send_upload(link, qn, segment)
  if #qn == 17 and qn:match("^%d+$") and qn > last_qn then last_qn = qn end
  local status = send(link, segment)
  if not link.s2025 then return status end
  local u = {
    qn = qn, cn = segment:match("CN=(%d+)") or "?", datatime = segment:match("DataTime=(%d+)") or "-",
    segment = segment, tries = 0,
  }
  if status == 0 then
    await(link, u)
  elseif M.refused_for_key(link, segment) then
    keep(link, u, "not sent: no key while encryption is required")
  else
    lost(link)
    keep(link, u, "not written, status " .. status)
  end
  return status
end

-- The newest upload of the backlog again, with its QN and DataTime, the current MN and RF=1
-- before CP (the plug-in puts PNUM and PNO after Flag: Flag;PNUM;PNO;RF=1;CP=).
local function resend(link)
  local u = table.remove(link.backlog)
  local segment = u.segment:gsub(";MN=[^;]*", ";MN=" .. link.mn, 1):gsub(";CP=&&", ";RF=1;CP=&&", 1)
  if send(link, segment) == 0 then
    log("resent with RF=1: " .. describe(u))
    await(link, u)
  else
    if not M.refused_for_key(link, segment) then lost(link) end
    table.insert(link.backlog, u)
  end
end

function M.upload(link, qn)
  set("vTime", datatime())
  link.dev:ioctl("MakeProtocol(RtdTpl,RtdCp)")
  qn = qn or M.qn()
  M.send_upload(link, qn, header(link, qn, link.st, "2011", "5") .. ";CP=&&" .. get("RtdCp") .. "&&")
end

-- The next upload one interval from now. Uploads that start, and a new interval, count from now:
-- otherwise a station started with a long interval keeps waiting it out after the platform
-- asked for a short one.
function M.reschedule(link)
  link.next_upload = now_ms() + link.interval * 1000
end

-- Minute, hourly or daily data: a period of `seconds` on the local clock's own boundaries (a
-- minute from second 0, an hour from minute 0), not from the script's start, so each DataTime is
-- the start of a whole period; its data go out once it is over.
-- The zone's offset is taken at t, so a day starts at local midnight across a change of summer time.
local function period_start(t, seconds)
  local utc = os.date("!*t", t)
  utc.isdst = false
  local civil = t + os.difftime(t, os.time(utc)) -- t plus the zone's offset
  return t - math.floor(civil) % seconds
end
function M.period(cn, tpl, seconds)
  if not (seconds and seconds >= 1) then error(cn .. " period is at least 1 s", 2) end
  return { cn = cn, tpl = tpl, seconds = seconds, begin = period_start(os.time(), seconds), n = 0, sum = {}, min = {}, max = {} }
end
function M.period_over(p)
  return os.time() >= p.begin + p.seconds
end
-- One reading of each variable named in `names` into the period's average, minimum and maximum.
function M.sample(p, names)
  p.n = p.n + 1
  for _, name in ipairs(names) do
    local v = get(name)
    p.sum[name] = (p.sum[name] or 0) + v
    p.min[name] = math.min(p.min[name] or v, v)
    p.max[name] = math.max(p.max[name] or v, v)
  end
end
-- The period's DataTime: its start.
function M.period_datatime(p)
  return os.date("%Y%m%d%H%M%S", p.begin)
end
-- The next period, even when a slow cycle is behind: each period its record; a station stalled
-- for more than ten periods has lost them, and starts again at the present one.
function M.next_period(p)
  local after, present = p.begin + p.seconds, period_start(os.time(), p.seconds)
  p.n, p.sum, p.min, p.max, p.begin = 0, {}, {}, {}, present - after > 10 * p.seconds and present or after
end

-- One period's record: the average, minimum and maximum of each analyser in its decimals,
-- stamped `stamp` (the period's start unless given), kept for history requests and uploaded with
-- a 9014 wanted. Returns the upload's data segment.
function M.report_period(link, p, stamp)
  local datatime = os.date("%Y%m%d%H%M%S", stamp or p.begin)
  local items = { "DataTime=" .. datatime }
  for _, a in ipairs(M.analysers) do
    local fmt = "%." .. (a.decimals or 2) .. "f"
    items[#items + 1] = string.format("%s-Avg=" .. fmt .. ",%s-Min=" .. fmt .. ",%s-Max=" .. fmt .. ",%s-Flag=N", a.code,
      p.sum[a.var] / p.n, a.code, p.min[a.var], a.code, p.max[a.var], a.code)
  end
  local cp = table.concat(items, ";")
  M.keep_record(link, p.cn, datatime, cp)
  local qn = M.qn()
  local segment = M.header(link, qn, link.st, p.cn, "5") .. ";CP=&&" .. cp .. "&&"
  if M.send_upload(link, qn, segment) ~= 0 then log("CN=" .. p.cn .. " upload not sent") end
  return segment
end

-- Each period of the link that is over: its record (when it had readings), then the next one;
-- then a reading of every analyser into each period.
function M.periods_due(link)
  for _, p in ipairs(link.periods) do
    if M.period_over(p) then
      if p.n > 0 then M.report_period(link, p) end
      M.next_period(p)
    end
    local names = {}
    for _, a in ipairs(M.analysers) do names[#names + 1] = a.var end
    M.sample(p, names)
  end
end

function M.qn()
  local q = qn()
  if q <= last_qn then q = string.format("%017.0f", tonumber(last_qn) + 1) end
  last_qn = q
  return q
end

-- 2025: the key. SetKey takes it from a text variable; the plug-in refuses anything but 16 bytes
-- and keeps the key it had. An empty text would remove the key: never handed on from a platform.
local function set_key(link, key)
  if key == nil or key == "" then return false, 0, -1 end
  set("KeyText", key)
  set("KeyStatus", -1)
  local result = link.dev:ioctl("SetKey(KeyText,KeyStatus)")
  set("KeyText", "") -- the key stays in the plug-in only, not in the panel's database
  local status = get("KeyStatus")
  if result == 0 and status == 0 then link.has_key, link.key_refusal_told = true, false end
  return result == 0 and status == 0, result, status
end

-- 1014: ask the platform for a key; its answer carries our QN and the new key (NewSK). Asked
-- again when the link comes back before an answer came.
local function request_key(link)
  local qn = M.qn()
  link.key_wanted = true
  if send(link, header(link, qn, link.st, "1014", "5") .. ";CP=&&SKCreateTime=" .. qn .. "&&") == 0 then
    link.key_qn = qn
  else
    lost(link)
  end
end

-- 1001: the hardware identifiers, when the link (re)starts; the platform answers 9014.
local function send_ids(link)
  local ids = link.ids
  local status = send(link, header(link, M.qn(), link.st, "1001", "5") .. ";CP=&&i23005-Info=" .. ids.logger .. ";i23006-Info=" ..
    ids.cpu .. ";i23007-Info=" .. ids.mac1 .. ";i23008-Info=" .. ids.mac2 .. "&&")
  if status ~= 0 then lost(link) end
end

-- The platform was heard: after a failed write or a missing answer the link is back. After a
-- failed write it starts anew: the hardware identifiers again, and the key request if it went
-- unanswered.
local function link_back(link)
  if link.up then return end
  link.up = true
  if not link.s2025 then return end
  log("link back: " .. #link.backlog .. " uploads to resend")
  if link.restart then
    link.restart = false
    link.next_heartbeat = now_ms() -- a heartbeat at once: the one due may have been lost with the link
    send_ids(link)
    if link.key_wanted then request_key(link) end
  end
end

-- The platform's answer to our key request.
local function take_key(link)
  link.key_qn, link.key_wanted = nil, false
  local ok, result, status = set_key(link, field(link, "NewSK", true))
  if ok then
    log("key from the platform set")
  else
    log("key from the platform refused (result " .. result .. ", status " .. status .. "): the key stays as it was")
  end
end

-- A 9013 to our key request: this platform sends the key afterwards as a request (a 1014 with the
-- same QN or a new one), answered 9011/9012 by handlers["1014"]. Until then the key stays as it was.
local function key_acknowledged(link)
  link.key_qn, link.key_wanted = nil, false
  log("key request acknowledged (9013): waiting for the platform to push a key")
end

-- History: the records a link keeps of its minute (2051), hourly (2061) and daily (2031) data,
-- each its DataTime (the period's start) and its CP content, oldest first, at most kRecords a CN.
local kRecords = 1500
function M.keep_record(link, cn, datatime, cp)
  local list = link.records and link.records[cn]
  if not list then return end
  list[#list + 1] = { datatime = datatime, cp = cp }
  if #list > kRecords then table.remove(list, 1) end
end

-- The kept records of CN whose DataTime lies in begin..stop, both included, oldest first.
-- yyyyMMddHHmmss compares as text in time order.
function M.records_between(link, cn, begin, stop)
  local found = {}
  for _, r in ipairs(link.records[cn]) do
    if r.datatime >= begin and r.datatime <= stop then found[#found + 1] = r end
  end
  return found
end

local function is_datatime(t) return t ~= nil and t:match("^%d%d%d%d%d%d%d%d%d%d%d%d%d%d$") ~= nil end

-- A history request (BeginTime, EndTime): 9011, every record in the range with the request's
-- QN and CN and an answer's Flag (no 9014 wanted: these are no uploads, nothing to resend),
-- then 9012 ExeRtn=1, or ExeRtn=100 ("no data") when none lies in the range. All in one cycle:
-- a day of minute records is 1440 Sends, some seven seconds at the plug-in's pace.
local function history(cn)
  return function(link, qn)
    if not link.records then return answer(link, qn, "9011", "QnRtn=8") end
    local begin, stop = field(link, "BeginTime", true), field(link, "EndTime", true)
    answer(link, qn, "9011", "QnRtn=1")
    if not is_datatime(begin) or not is_datatime(stop) or begin > stop then return answer(link, qn, "9012", "ExeRtn=3") end
    local found = M.records_between(link, cn, begin, stop)
    for _, r in ipairs(found) do send(link, header(link, qn, link.st, cn, "4") .. ";CP=&&" .. r.cp .. "&&") end
    answer(link, qn, "9012", #found > 0 and "ExeRtn=1" or "ExeRtn=100")
  end
end

-- The minute data's period (2051): the module's own, or the one a script names as link.minute_period.
local function minute_period(link)
  if link.minute_period then return link.minute_period end
  for _, p in ipairs(link.periods or {}) do
    if p.cn == "2051" then return p end
  end
end

-- A parameter request: 9011, then `apply` with the CP values named in `keys` (numbers, nil when
-- absent or not a number); ExeRtn=1 when it took them, ExeRtn=3 (a bad value) when it returned false.
local function parameters(keys, apply)
  return function(link, qn)
    answer(link, qn, "9011", "QnRtn=1")
    local values = {}
    for i, key in ipairs(keys) do values[i] = tonumber(field(link, key, true) or "") end
    answer(link, qn, "9012", apply(link, table.unpack(values)) and "ExeRtn=1" or "ExeRtn=3")
  end
end

-- The requests a station commonly gets, by CN.
local handlers = {
  ["2051"] = history("2051"), -- minute data of a time range
  ["2061"] = history("2061"), -- hourly data
  ["2031"] = history("2031"), -- daily data
  ["1011"] = function(link, qn) -- read the system time
    answer(link, qn, "9011", "QnRtn=1")
    send(link, header(link, qn, link.st, "1011", "4") .. ";CP=&&SystemTime=" .. datatime() .. "&&")
    answer(link, qn, "9012", "ExeRtn=1")
  end,
  ["1012"] = function(link, qn) -- set the system time
    answer(link, qn, "9011", "QnRtn=1")
    local t = field(link, "SystemTime", true)
    if t and t:match("^%d%d%d%d%d%d%d%d%d%d%d%d%d%d$") then
      log("clock set to " .. t) -- a panel sets its clock here; the simulator keeps the PC's
      answer(link, qn, "9012", "ExeRtn=1")
    else
      answer(link, qn, "9012", "ExeRtn=3") -- not yyyyMMddHHmmss
    end
  end,
  ["1061"] = function(link, qn) -- read the real-time interval
    answer(link, qn, "9011", "QnRtn=1")
    send(link, header(link, qn, link.st, "1061", "4") .. ";CP=&&RtdInterval=" .. link.interval .. "&&")
    answer(link, qn, "9012", "ExeRtn=1")
  end,
  ["1062"] = function(link, qn) -- set the real-time interval
    answer(link, qn, "9011", "QnRtn=1")
    local v = tonumber(field(link, "RtdInterval", true) or "")
    if v and v >= 1 and v <= 3600 then
      link.interval = math.floor(v)
      M.reschedule(link)
      answer(link, qn, "9012", "ExeRtn=1")
    else
      answer(link, qn, "9012", "ExeRtn=3") -- bad value
    end
  end,
  -- 1000: how long an upload that asks for an answer waits for it (OverTime, s), and how often it
  -- is resent without one (ReCount) before it is kept for later
  ["1000"] = parameters({ "OverTime", "ReCount" }, function(link, seconds, count)
    if not (seconds and count and seconds >= 1 and seconds <= 3600 and count >= 0 and count <= 99) then return false end
    link.answer_timeout, link.tries = seconds, math.floor(count)
    return true
  end),
  ["1063"] = function(link, qn) -- read the minute data's interval (MinInterval, minutes)
    local p = minute_period(link)
    if not p then return answer(link, qn, "9011", "QnRtn=2") end -- this station sends no minute data
    answer(link, qn, "9011", "QnRtn=1")
    send(link, header(link, qn, link.st, "1063", "4") .. ";CP=&&MinInterval=" .. string.format("%g", p.seconds / 60) .. "&&")
    answer(link, qn, "9012", "ExeRtn=1")
  end,
  -- 1064: set it; the next minute record covers a whole period of the new length from its boundary
  ["1064"] = parameters({ "MinInterval" }, function(link, minutes)
    local p = minute_period(link)
    if not (p and minutes and minutes >= 1 and minutes <= 60 and minutes == math.floor(minutes)) then return false end
    p.seconds = minutes * 60
    p.n, p.sum, p.min, p.max, p.begin = 0, {}, {}, {}, period_start(os.time(), p.seconds)
    return true
  end),
  ["1072"] = function(link, qn) -- set the password: requests with the old one are refused from then on
    answer(link, qn, "9011", "QnRtn=1")
    local pw = field(link, "NewPW", true)
    if not (pw and pw:match("^%w+$") and #pw <= 9) then return answer(link, qn, "9012", "ExeRtn=3") end -- PW is C9
    answer(link, qn, "9012", "ExeRtn=1")
    link.pw = pw
  end,
  ["3020"] = function(link, qn) -- site information: the site name, in Chinese
    answer(link, qn, "9011", "QnRtn=1")
    send(link, header(link, qn, link.st, "3020", "4") .. ";CP=&&DataTime=" .. datatime() .. ";SiteName=" .. link.site .. "&&")
    answer(link, qn, "9012", "ExeRtn=1")
  end,
  ["2011"] = function(link, qn) -- start real-time uploads
    answer(link, qn, "9011", "QnRtn=1")
    link.rtd = true
    M.upload(link, qn)
    M.reschedule(link)
  end,
  ["1014"] = function(link, qn) -- 2025: the platform pushes a new key
    answer(link, qn, "9011", "QnRtn=1")
    local ok, result, status = set_key(link, field(link, "NewSK", true))
    if ok then
      log("key pushed by the platform set")
      answer(link, qn, "9012", "ExeRtn=1")
    else -- not 16 bytes (status -1)
      log("key pushed by the platform refused (result " .. result .. ", status " .. status .. "): the key stays as it was")
      answer(link, qn, "9012", "ExeRtn=3")
    end
  end,
  ["1002"] = function(link, qn) -- 2025: a new MN, for every frame after this answer
    answer(link, qn, "9011", "QnRtn=1")
    local mn = field(link, "MN", true)
    if mn and mn:match("^" .. string.rep("%x", 24) .. "$") then
      answer(link, qn, "9012", "ExeRtn=1")
      log("MN " .. link.mn .. " replaced by " .. mn)
      link.mn = mn
    else
      answer(link, qn, "9012", "ExeRtn=3") -- not 24 hex digits
    end
  end,
}

-- The notices a station commonly gets, by CN: what each does. A notice is answered 9013 (by
-- `notice` below, when its Flag asks for an answer), never 9011 and 9012.
local notices = {
  ["2012"] = function(link) link.rtd = false end, -- stop real-time uploads
  ["2022"] = function(link) link.run_state = false end, -- stop run-state uploads (none are sent yet)
}

-- What a script builds its own answers and handlers from: M.handlers[cn] = function(link, qn) ... end
-- adds or replaces the answer to a request; it runs after the PW and MN checks. M.notices[cn] =
-- function(link) ... end does the same for a notice, whose 9013 the module sends (a handler of
-- the notice's CN takes it as a request instead).
M.handlers = handlers
M.notices = notices
M.send = send
M.answer = answer
M.header = header
M.field = field

-- A 9014 for an upload: one per upload or one per packet, the first clears it (also when the
-- upload already waits in the backlog: its answer came late).
local function answered(link, qn)
  if link.awaiting[qn] then
    link.awaiting[qn] = nil
    return
  end
  for i, u in ipairs(link.backlog) do
    if u.qn == qn then return table.remove(link.backlog, i) end
  end
end

-- A notice (2012): carried out, then answered 9013 when its Flag asks for an answer (its lowest
-- bit). A notice has no return code: one with a wrong PW or MN is not carried out, and not answered.
local function notice(link, cn, qn)
  if field(link, "PW") ~= link.pw or field(link, "MN") ~= link.mn then
    return log("notice CN=" .. cn .. " QN=" .. qn .. " ignored: wrong PW or MN")
  end
  local carry_out = notices[cn]
  if carry_out then carry_out(link) end
  local flag = tonumber(field(link, "Flag") or "")
  if flag and flag % 2 == 1 then answer(link, qn, "9013", "") end
end

local function handle(link)
  local cn = field(link, "CN")
  local qn = field(link, "QN")
  if not cn or not qn then return end
  link_back(link)
  if cn == "9014" and link.s2025 then return answered(link, qn) end
  if cn == "9013" and link.key_qn and qn == link.key_qn then return key_acknowledged(link) end
  -- the platform's answers to our uploads; a heartbeat's 9013 may never come, and nothing waits for it
  if cn:sub(1, 1) == "9" then return end
  if cn == "1014" and link.key_qn and (qn == link.key_qn or field(link, "SKCreateTime", true) == link.key_qn) then
    return take_key(link)
  end
  link.served = link.served + 1
  local kind = commands[cn] and commands[cn].down
  if kind == "notice" and not handlers[cn] then return notice(link, cn, qn) end
  if field(link, "PW") ~= link.pw then return answer(link, qn, "9011", "QnRtn=3") end
  if field(link, "MN") ~= link.mn then return answer(link, qn, "9011", "QnRtn=4") end
  local h = (link.s2025 or (cn ~= "1014" and cn ~= "1002")) and handlers[cn]
  if h then h(link, qn) else answer(link, qn, "9011", "QnRtn=8") end -- CN not known here
end

-- At the first cycle: the key the station was given (from then on the plug-in encrypts the CP
-- of every CN 2000-2999 frame it sends and decrypts such frames it receives; the option is
-- forgotten), and for a 2025 link the key request, the hardware identifiers, the heartbeat.
local function start(link)
  link.started = true
  if link.key then
    local ok, result, status = set_key(link, link.key)
    link.key = nil
    if ok then
      log("encryption key set")
    else
      log("the encryption key was refused (result " .. result .. ", status " .. status .. "): 16 characters wanted")
    end
  end
  if not link.s2025 then return end
  request_key(link)
  send_ids(link)
  link.next_heartbeat = now_ms()
end

-- 2025: uploads whose 9014 is overdue go to the backlog; an upload given up after link.tries resends.
local function overdue(link)
  local now = now_ms()
  for qn, u in pairs(link.awaiting) do
    if now >= u.deadline then
      link.awaiting[qn] = nil
      link.up = false
      u.tries = u.tries + 1
      if u.tries > link.tries then
        log("given up after " .. link.tries .. " resends without an answer: " .. describe(u))
      else
        keep(link, u, "no 9014 within " .. link.answer_timeout .. " s")
      end
    end
  end
end

-- Every cycle: every frame waiting, then the uploads that are due (real-time ones, then those of
-- `more`, the example's own), then for a 2025 link the heartbeat and one resend: new data goes
-- before any resend.
function M.serve(link, more)
  if not link.started then start(link) end
  link.dev:ioctl("GetQueueSize(RxCount)")
  local n = get("RxCount")
  local guard = 0
  while n > 0 and guard < 64 do
    link.dev:ioctl("GetData(RxFrame,RxLeft)")
    if get("RxLeft") < 0 then break end
    handle(link)
    n = get("RxLeft")
    guard = guard + 1
  end
  if link.rtd and now_ms() >= link.next_upload then
    M.upload(link)
    -- keep to the interval on average, though cycles do not fall on it exactly
    local now, step = now_ms(), link.interval * 1000
    if now - link.next_upload < step then link.next_upload = link.next_upload + step else link.next_upload = now + step end
  end
  if more then more() end
  if link.periods then M.periods_due(link) end
  if link.s2025 then
    overdue(link)
    if now_ms() >= link.next_heartbeat then
      if send(link, header(link, M.qn(), "91", "9015", "5") .. ";CP=&&&&") ~= 0 then lost(link) end
      link.next_heartbeat = now_ms() + link.heartbeat * 1000
    end
    if link.up and #link.backlog > 0 and not M.refused_for_key(link, link.backlog[#link.backlog].segment) then resend(link) end
  end
  -- A rising BadCrc count means corrupted frames on the line (wiring, baud rate, a wrong CRC).
  link.dev:ioctl("GetStats(RxAccepted,RxBadLength,RxBadCrc)")
  if get("RxBadCrc") > link.bad_crc then
    set("CrcAlarm", 1)
    log("frames with a bad CRC: " .. get("RxBadCrc"))
  end
  link.bad_crc = get("RxBadCrc")
end

return M
