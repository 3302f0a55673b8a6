-- The soak's station: answers a misbehaving platform on one device ("city"), drains a high-rate
-- stream of frames mixed with noise and corrupt frames on another ("stream"), and a stream of
-- SM4-encrypted 2025 frames, some with damaged ciphertext, on a third that holds the key ("keyed").
-- Every frame taken from the two streams is checked (envelope, length, CRC, no corruption mark,
-- rising sequence; the keyed one's as plain ASCII text); when a stream's end frame comes, that
-- device's receive counters are read, and when both came the station stops.
package.path = args.examples .. "/?.lua;" .. package.path
local station = require("hj212station")
station.declare()
var("Frames", 0)
var("StreamFrames", 0)
var("KeyedFrames", 0)
var("SFrame", "")
var("SLeft", 0)
var("SoakKey", "")
var("SoakKeyStatus", -1)
var("SoakReady", "")
var("SoakReadyStatus", -1)
local counters = { "Accepted", "BadLength", "BadCrc", "Dropped", "Overlong", "NoiseBytes", "ReceivedBytes", "Decrypted", "CutShort" }
for _, c in ipairs(counters) do var("S" .. c, "") end

local city = device{
  name = "city",
  port = "tcp-client:" .. args.platform,
  config = { timeout = 5 },
  channels = { [0] = "Frames" },
}
local stream = device{
  name = "stream",
  port = "tcp-client:" .. args.stream,
  config = { timeout = 5 },
  channels = { [0] = "StreamFrames" },
}
local keyed = device{
  name = "keyed",
  port = "tcp-client:" .. args.keyed,
  config = { timeout = 5 },
  channels = { [0] = "KeyedFrames" },
}
local link = station.new_link(city, { interval = 30 })

local function crc16(text)
  local reg = 0xFFFF
  for i = 1, #text do
    reg = (reg >> 8) ~ text:byte(i)
    for _ = 1, 8 do
      local low = reg & 1
      reg = reg >> 1
      if low == 1 then reg = reg ~ 0xA001 end
    end
  end
  return reg
end

-- A frame as the stream sent it: "##" + 4-digit length + segment + 4 hex CRC + CR LF, unmarked;
-- with `ascii`, a segment of printable ASCII only (no ciphertext left in it).
local function sound(frame, ascii)
  local len, rest = frame:match("^##(%d%d%d%d)(.*)\r\n$")
  if not len then return false end
  local segment, crc = rest:sub(1, -5), rest:sub(-4)
  if ascii and segment:find("[^\32-\126]") then return false end
  return tonumber(len) == #segment and tonumber(crc, 16) == crc16(segment) and not segment:find("Bad=", 1, true)
end

local function drained(name, ascii)
  return { name = name, ascii = ascii, taken = 0, invalid = 0, last_seq = -1, out_of_order = 0, done = false }
end
local streams = { { dev = stream, s = drained("stream", false) }, { dev = keyed, s = drained("keyed", true) } }

-- Takes up to 60 frames of one stream; at its end frame, logs its counts and counters.
local function drain(dev, s)
  for _ = 1, 60 do
    dev:ioctl("GetData(SFrame,SLeft)")
    local frame = get("SFrame")
    if frame == "" then break end
    if not sound(frame, s.ascii) then
      s.invalid = s.invalid + 1
      log("soak-station: INVALID " .. s.name .. " frame taken: " .. frame:sub(1, 80):gsub("[^\32-\126]", "?"))
    else
      s.taken = s.taken + 1
      local seq = tonumber(frame:match("Seq=(%d+)"))
      if seq and seq <= s.last_seq then s.out_of_order = s.out_of_order + 1 end
      if seq then s.last_seq = seq end
      if frame:find("End=1", 1, true) then
        local names = {}
        for i, c in ipairs(counters) do names[i] = "S" .. c end
        dev:ioctl("GetStats(" .. table.concat(names, ",") .. ")")
        local line = string.format("soak-station: done %s taken=%d invalid=%d out_of_order=%d last_seq=%d",
          s.name, s.taken, s.invalid, s.out_of_order, s.last_seq)
        for _, c in ipairs(counters) do line = line .. " " .. c .. "=" .. get("S" .. c) end
        log(line)
        s.done = true
        return
      end
    end
    if get("SLeft") <= 0 then break end
  end
end

-- The keyed device takes its key first, then says so with a plain frame (no data command): the
-- keyed stream sends nothing before it, so no frame arrives ahead of the key.
local key_state = "none"
local function take_key()
  if key_state == "none" then
    set("SoakKey", args.key)
    keyed:ioctl("SetKey(SoakKey,SoakKeyStatus)")
    set("SoakKey", "")
    if get("SoakKeyStatus") ~= 0 then
      key_state = "refused"
      log("soak-station: SetKey refused, status " .. get("SoakKeyStatus"))
      return
    end
    key_state = "set"
  end
  if key_state == "set" then
    set("SoakReady", "QN=" .. qn() .. ";ST=91;CN=9013;MN=SOAKKEYED0000001;Flag=8;CP=&&KeySet=1&&")
    keyed:ioctl("Send(SoakReady,SoakReadyStatus)")
    if get("SoakReadyStatus") == 0 then key_state = "ready" end
  end
end

cycle(function()
  station.serve(link)
  take_key()
  local all_done = true
  for _, d in ipairs(streams) do
    if not d.s.done then drain(d.dev, d.s) end
    all_done = all_done and d.s.done
  end
  if all_done then stop() end
end)
