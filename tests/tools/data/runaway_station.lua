-- A cycle that never returns: --duration, SIGINT and SIGTERM must still stop the host.
device{ name = "dev", port = "pty" }
cycle(function()
  log("looping")
  while true do end -- line 5
end)
