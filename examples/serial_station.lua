-- clean run: --port station=pty -D minute=1 -D hour=2
-- A station on a serial line (RS-232/RS-485 adapter or a radio modem), uploading real-time data
-- every minute once the platform starts it, or at once with -D rtd=on.
--   polmon-host -D line=/dev/ttyUSB0:9600:8N1 examples/serial_station.lua
--   polmon-host --port station=pty examples/serial_station.lua     (prints the peer path to use)
local station = require("hj212station")
station.declare()
var("Frames", 0)

local dev = device{
  name = "station",
  port = "serial:" .. (args.line or "/dev/ttyUSB0:9600:8N1"),
  config = { timeout = 3 },
  channels = { [0] = "Frames" },
}
local link = station.new_link(dev, station.options{ interval = 60 })

cycle(function()
  station.measure()
  station.serve(link)
end)
