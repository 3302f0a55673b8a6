-- One device on a pseudo-terminal, polling its queue; for lifecycle runs.
var("N", 0) var("Frames", 0)
device{ name = "dev", port = "pty", channels = { [0] = "Frames" },
        config = { params = { 3, 0, 0, 0, 0, 0, 0 }, channels = { { factor = "w01018", name = "COD" } } } }
cycle(function() ioctl("GetQueueSize(N)") end)
