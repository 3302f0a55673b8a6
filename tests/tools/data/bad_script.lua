-- Fails in its third cycle: the panel must still clean the device up.
var("N", 0)
device{ name = "dev", port = "pty" }
local cycles = 0
cycle(function()
  cycles = cycles + 1
  ioctl("GetQueueSize(N)")
  if cycles == 3 then
    local t = nil
    return t.missing -- line 10
  end
end)
