-- A station that takes the platform's frames and answers none: the platform must call it broken.
var("N", 0) var("F", "") var("L", 0)
device{ name = "city", port = "tcp-client:" .. args.city }
cycle(function()
  ioctl("GetQueueSize(N)")
  if get("N") > 0 then ioctl("GetData(F,L)") end
end)
