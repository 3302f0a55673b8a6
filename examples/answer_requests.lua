-- clean run: -D listen=127.0.0.1:0 -D minute=1 -D hour=2
-- A station that answers the common platform requests (1011/1012 system time, 1061/1062
-- real-time interval, 2011/2012 real-time uploads) and refuses the rest with QnRtn=8.
-- Real-time uploads start when the platform asks, or at once with -D rtd=on.
-- It waits for the platform on a TCP port of its own:
--   polmon-host -D listen=9100 examples/answer_requests.lua
--   polmon-platform --connect 127.0.0.1:9100
local station = require("hj212station")
station.declare()
var("Frames", 0)

local dev = device{
  name = "station",
  port = "tcp-server:" .. (args.listen or "9100"),
  config = { timeout = 5 },
  channels = { [0] = "Frames" },
}
local link = station.new_link(dev, station.options{ interval = 10 })

cycle(function()
  station.measure()
  station.serve(link)
end)
