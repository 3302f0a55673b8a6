-- What a station's panel script does with the plug-in's commands: take the platform's requests
-- out of the queue, answer them, and upload real-time data. The example stations require this.
--
-- Scratch variables are shared by all devices: a cycle serves one device after the other.

local M = {}

local scratch = {
  RxCount = 0, RxFrame = "", RxLeft = 0, RxValue = "", RxStatus = 0,
  TxData = "", TxStatus = 0, TxCopy = "", KeyText = "", KeyStatus = 0,
  RtdTpl = "", RtdCp = "", vTime = "", RxAccepted = 0, RxBadLength = 0, RxBadCrc = 0, CrcAlarm = 0,
}

-- Simulated analysers: pollutant code -> variable, value, swing.
M.analysers = {
  { code = "w01018", var = "vCOD",  base = 25.0, swing = 5.0 },  -- COD, mg/L
  { code = "w21003", var = "vNH3",  base = 1.2,  swing = 0.3 },  -- ammonia nitrogen, mg/L
  { code = "w01001", var = "vPH",   base = 7.1,  swing = 0.2 },  -- pH
  { code = "w00000", var = "vFlow", base = 42.0, swing = 8.0 },  -- flow, L/s
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

-- New analyser readings: a slow wave and a little noise, two decimals.
function M.measure()
  local t = os.time()
  for i, a in ipairs(M.analysers) do
    local v = a.base + a.swing * math.sin(t / 17 + i) + a.swing * 0.1 * (math.random() - 0.5)
    set(a.var, math.floor(v * 100 + 0.5) / 100)
  end
end

-- One station link: the device handle and what the platform asked of it.
function M.new_link(dev, opts)
  return {
    dev = dev,
    st = opts.st or "32",
    mn = opts.mn or "POLMON0000000001",
    pw = opts.pw or "123456",
    site = opts.site or "水质自动监测站", -- site name, sent on CN=3020 (Chinese text)
    version = 1,                    -- protocol version of Flag (upper six bits): that of the last request
    interval = opts.interval or 30, -- real-time upload interval, seconds
    rtd = opts.rtd or false,        -- real-time uploads on (from the start: -D rtd=on)
    key = opts.key,                 -- the encryption key (16 characters, -D key=...), set at start
    next_upload = 0,
    sent = 0, failed = 0, served = 0, bad_crc = 0,
  }
end

local function send(link, segment)
  set("TxData", segment)
  link.dev:ioctl("Send(TxData,TxStatus)")
  if get("TxStatus") == 0 then link.sent = link.sent + 1 else link.failed = link.failed + 1 end
end

-- flag "4" or "5" (answer wanted): its low bits, under the version of the request being served.
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

function M.upload(link, qn)
  set("vTime", datatime())
  link.dev:ioctl("MakeProtocol(RtdTpl,RtdCp)")
  send(link, header(link, qn or M.qn(), link.st, "2011", "5") .. ";CP=&&" .. get("RtdCp") .. "&&")
end

-- The next upload one interval from now. Uploads that start, and a new interval, count from now:
-- otherwise a station started with a long interval keeps waiting it out after the platform
-- asked for a short one.
function M.reschedule(link)
  link.next_upload = now_ms() + link.interval * 1000
end

-- Unique QNs even within one millisecond.
local last_qn = ""
function M.qn()
  local q = qn()
  if q <= last_qn then q = string.format("%017.0f", tonumber(last_qn) + 1) end
  last_qn = q
  return q
end

-- The requests a station commonly gets, by CN.
local handlers = {
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
  ["2012"] = function(link, qn) -- stop real-time uploads
    answer(link, qn, "9011", "QnRtn=1")
    link.rtd = false
    answer(link, qn, "9012", "ExeRtn=1")
  end,
}

local function handle(link)
  local cn = field(link, "CN")
  local qn = field(link, "QN")
  if not cn or not qn then return end
  if cn:sub(1, 1) == "9" then return end -- the platform's answers to our uploads
  link.served = link.served + 1
  -- answer in the request's protocol version (2017: 1, 2025: 2); the plug-in picks the charset by it
  local flag = tonumber(field(link, "Flag") or "")
  if flag and flag == math.floor(flag) and flag >= 0 and flag <= 255 then link.version = math.floor(flag) // 4 end
  if field(link, "PW") ~= link.pw then return answer(link, qn, "9011", "QnRtn=3") end
  if field(link, "MN") ~= link.mn then return answer(link, qn, "9011", "QnRtn=4") end
  local h = handlers[cn]
  if h then h(link, qn) else answer(link, qn, "9011", "QnRtn=8") end -- CN not known here
end

-- The platform's key goes to the device once, at start: from then on the plug-in encrypts the
-- CP of every CN 2000-2999 frame it sends and decrypts such frames it receives. The variable is
-- emptied at once, so the key does not stay in the panel's database.
local function set_key(link)
  set("KeyText", link.key)
  set("KeyStatus", -1)
  link.key = nil
  local result = link.dev:ioctl("SetKey(KeyText,KeyStatus)")
  set("KeyText", "")
  if result == 0 and get("KeyStatus") == 0 then
    log("encryption key set")
  else
    log("the encryption key was refused (result " .. result .. ", status " .. get("KeyStatus") .. "): 16 characters wanted")
  end
end

-- Every cycle: every frame waiting, then an upload when one is due.
function M.serve(link)
  if link.key then set_key(link) end
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
  -- A rising BadCrc count means corrupted frames on the line (wiring, baud rate, a wrong CRC).
  link.dev:ioctl("GetStats(RxAccepted,RxBadLength,RxBadCrc)")
  if get("RxBadCrc") > link.bad_crc then
    set("CrcAlarm", 1)
    log("frames with a bad CRC: " .. get("RxBadCrc"))
  end
  link.bad_crc = get("RxBadCrc")
end

return M
