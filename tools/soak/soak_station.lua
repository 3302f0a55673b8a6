-- The soak's station: answers a misbehaving platform on one device ("city") and drains a high-rate
-- stream of frames mixed with noise and corrupt frames on another ("stream"). Every frame taken
-- from the stream is checked (envelope, length, CRC, no corruption mark, rising sequence); when
-- the stream's end frame comes, the receive counters are read and the station stops.
package.path = args.examples .. "/?.lua;" .. package.path
local station = require("hj212station")
station.declare()
var("Frames", 0)
var("StreamFrames", 0)
var("SFrame", "")
var("SLeft", 0)
local counters = { "Accepted", "BadLength", "BadCrc", "Dropped", "Overlong", "NoiseBytes", "ReceivedBytes" }
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

-- A frame as the stream sent it: "##" + 4-digit length + segment + 4 hex CRC + CR LF, unmarked.
local function sound(frame)
  local len, rest = frame:match("^##(%d%d%d%d)(.*)\r\n$")
  if not len then return false end
  local segment, crc = rest:sub(1, -5), rest:sub(-4)
  return tonumber(len) == #segment and tonumber(crc, 16) == crc16(segment) and not segment:find("Bad=", 1, true)
end

local taken, invalid, last_seq, out_of_order, done = 0, 0, -1, 0, false
cycle(function()
  station.serve(link)
  if done then return end
  for _ = 1, 60 do
    stream:ioctl("GetData(SFrame,SLeft)")
    local frame = get("SFrame")
    if frame == "" then break end
    if not sound(frame) then
      invalid = invalid + 1
      log("soak-station: INVALID frame taken: " .. frame:sub(1, 80))
    else
      taken = taken + 1
      local seq = tonumber(frame:match("Seq=(%d+)"))
      if seq and seq <= last_seq then out_of_order = out_of_order + 1 end
      if seq then last_seq = seq end
      if frame:find("End=1", 1, true) then
        local names = {}
        for i, c in ipairs(counters) do names[i] = "S" .. c end
        stream:ioctl("GetStats(" .. table.concat(names, ",") .. ")")
        local line = string.format("soak-station: done taken=%d invalid=%d out_of_order=%d last_seq=%d", taken, invalid, out_of_order, last_seq)
        for _, c in ipairs(counters) do line = line .. " " .. c .. "=" .. get("S" .. c) end
        log(line)
        done = true
        stop()
        return
      end
    end
    if get("SLeft") <= 0 then break end
  end
end)
