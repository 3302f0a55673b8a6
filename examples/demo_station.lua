-- clean run: -D city={platform} -D minute=1 -D hour=2
-- The demo station: one station, two platforms (city and province), each its own device of the
-- plug-in with its own TCP link, sharing the variables and the simulated analysers.
-- Real-time uploads start when a platform asks (CN=2011), or at once with -D rtd=on.
-- With -D key=<16 characters> the data frames (CN 2000-2999) go out encrypted, as raw bytes or,
-- with -D cipher=text, as {0xHH,...} text (the fourth device parameter). With -D standard=2025
-- it is a 2025 station from the first frame on (hj212station.lua says what that takes).
--   polmon-host -D city=127.0.0.1:PORT [-D province=127.0.0.1:PORT] examples/demo_station.lua
local station = require("hj212station")
station.declare()
var("CityFrames", 0)     -- channel 0 of each device: frames accepted so far
var("ProvinceFrames", 0)

local links = {}
local function platform(name, address, frames)
  local dev = device{
    name = name,
    port = "tcp-client:" .. address,
    config = {
      timeout = args.cipher ~= "text" and 5 or nil, -- seconds: the port's write timeout
      -- with -D cipher=text all parameters: port timeout, wire charset by Flag, packets at the
      -- default size, ciphertext as {0x..} text
      params = args.cipher == "text" and { 5, 0, 0, 1 } or nil,
      channels = {
        { group = 1, st = 32, factor = "w01018", name = "COD" },
        { group = 1, st = 32, factor = "w21003", name = "NH3-N" },
      },
    },
    channels = { [0] = frames },
  }
  links[#links + 1] = station.new_link(dev, station.options())
end

platform("city", args.city or "127.0.0.1:9000", "CityFrames")
if args.province then platform("province", args.province, "ProvinceFrames") end

cycle(function()
  station.measure()
  for _, link in ipairs(links) do station.serve(link) end
end)
