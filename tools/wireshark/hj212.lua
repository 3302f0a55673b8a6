-- HJ 212 for Wireshark: frames found in any TCP conversation (and on the serial line of polmon's
-- captures, 192.0.2.2 <-> 192.0.2.1:212), checked as polmon's receive path checks them, their
-- fields dissected, encrypted CP regions decrypted, requests linked to their answers.
--
-- Install: copy hj212.lua and hj212_codes.lua (the code tables' names; optional) into Wireshark's
-- personal Lua plugins folder and restart Wireshark (Help > About > Folders names it):
--   Linux, macOS: ~/.local/lib/wireshark/plugins/     Windows: %APPDATA%\Wireshark\plugins\
-- or run it once: tshark -X lua_script:hj212.lua -r capture.pcap
-- Needs nothing but Wireshark 4.0 or later (Lua 5.2 to 5.4, Wireshark's own `bit` operations).
--
-- Preferences (Edit > Preferences > Protocols > HJ212, or tshark -o hj212.NAME:VALUE):
--   keylog        the key log polmon wrote with --key-log ("HJ212-KEY SECONDS.MICROS HEX32 WHAT"
--                 lines): each frame is read with the key in force when it was sent, or the nearest
--                 line's key that reads it
--   key           a 16-character key, tried after the key log's
--   show_secrets  show PW and NewSK values as sent (masked "****" otherwise)
-- A key exchange in the capture (CN=1014 with NewSK=...) is tried from then on, on its connection.
-- tshark: keep its single pass; under -2 the first pass gives Lua no TCP sequence numbers, and
-- segments out of order are then read as they came.

local bit = bit -- Wireshark's own bit operations: present under Lua 5.2 and 5.4 alike
local band, bor, bxor, lshift, rshift = bit.band, bit.bor, bit.bxor, bit.lshift, bit.rshift
local byte, char, sub, find = string.byte, string.char, string.sub, string.find
local unpack = table.unpack or unpack

-- @engine constants@ (SBOX, FK, CK, ENVELOPE, MAX_FRAME, CRC_POLYNOMIAL, ...: gen_engine.py puts them here)
assert(MAX_FRAME, "hj212.lua: use the dissector the build writes (build/<preset>/wireshark/), not its source")
local NEAR_LINES = 16 -- key log lines tried each way when the key in force does not read a frame
local MAX_PENDING = 64 -- out-of-order segments held before a gap is given up

local hj = Proto("hj212", "HJ 212")

---------------------------------------------------------------------------- code tables
local codes = { pollutants = {}, by_2005 = {}, only_2005 = {}, site_info = {}, commands = {}, systems = {}, flags = {} }
do
  local here = debug.getinfo(1, "S").source:match("^@(.*[/\\])") or ""
  local ok, loaded = pcall(dofile, here .. "hj212_codes.lua")
  if ok and type(loaded) == "table" then codes = loaded end
end

---------------------------------------------------------------------------- CRC
local CRC = {}
for v = 0, 255 do
  local reg = v
  for _ = 1, 8 do
    if band(reg, 1) == 1 then reg = bxor(rshift(reg, 1), CRC_POLYNOMIAL) else reg = rshift(reg, 1) end
  end
  CRC[v] = reg
end

-- Between bytes only the register's high byte carries on: NEXT[high * 256 + byte] is the next
-- high byte, one table look a byte and no call.
local NEXT = {}
for high = 0, 255 do
  for b = 0, 255 do NEXT[high * 256 + b] = rshift(CRC[bxor(high, b)], 8) end
end

local function crc16(s)
  local n = #s
  if n == 0 then return string.format("%04X", CRC_INITIAL) end
  local high = rshift(CRC_INITIAL, 8)
  for i = 1, n - 1, 4000 do
    local chunk = { byte(s, i, math.min(i + 3999, n - 1)) }
    for k = 1, #chunk do high = NEXT[high * 256 + chunk[k]] end
  end
  return string.format("%04X", CRC[bxor(high, byte(s, n))])
end

-- The CRC field names the data's CRC: four hex digits, either case.
local function crc_fits(field, data)
  return field:find("^%x%x%x%x$") ~= nil and field:upper() == crc16(data)
end

---------------------------------------------------------------------------- SM4 (decryption)

local function rol(x, n) return bor(lshift(x, n), rshift(x, 32 - n)) end
local function tau(x)
  return bor(lshift(SBOX[rshift(x, 24) + 1], 24), lshift(SBOX[band(rshift(x, 16), 0xFF) + 1], 16),
    lshift(SBOX[band(rshift(x, 8), 0xFF) + 1], 8), SBOX[band(x, 0xFF) + 1])
end

-- The round's S-box and diffusion per byte position, so a round is four lookups.
local T = { {}, {}, {}, {} }
for v = 0, 255 do
  for p = 1, 4 do
    local b = lshift(SBOX[v + 1], 32 - 8 * p)
    T[p][v] = bxor(b, rol(b, 2), rol(b, 10), rol(b, 18), rol(b, 24))
  end
end
local T1, T2, T3, T4 = T[1], T[2], T[3], T[4]

local function round_t(x)
  return bxor(T1[band(rshift(x, 24), 0xFF)], T2[band(rshift(x, 16), 0xFF)], T3[band(rshift(x, 8), 0xFF)], T4[band(x, 0xFF)])
end

-- The round keys of a 16-byte key, in decryption order.
local function sm4_keys(key)
  local k = {}
  for i = 0, 3 do
    local a, b, c, d = byte(key, 4 * i + 1, 4 * i + 4)
    k[i] = bxor(bor(lshift(a, 24), lshift(b, 16), lshift(c, 8), d), FK[i + 1])
  end
  local rk = {}
  for i = 0, 31 do
    local t = tau(bxor(k[(i + 1) % 4], k[(i + 2) % 4], k[(i + 3) % 4], CK[i + 1]))
    k[i % 4] = bxor(k[i % 4], t, rol(t, 13), rol(t, 23))
    rk[32 - i] = k[i % 4]
  end
  return rk
end

local function word_bytes(x)
  return band(rshift(x, 24), 0xFF), band(rshift(x, 16), 0xFF), band(rshift(x, 8), 0xFF), band(x, 0xFF)
end

-- Whole 16-byte blocks of `s` decrypted (ECB); a shorter tail stays as it is.
local function sm4_decrypt(rk, s)
  local out = {}
  local whole = #s - #s % 16
  for at = 1, whole, 16 do
    local b = { byte(s, at, at + 15) }
    local x0 = bor(lshift(b[1], 24), lshift(b[2], 16), lshift(b[3], 8), b[4])
    local x1 = bor(lshift(b[5], 24), lshift(b[6], 16), lshift(b[7], 8), b[8])
    local x2 = bor(lshift(b[9], 24), lshift(b[10], 16), lshift(b[11], 8), b[12])
    local x3 = bor(lshift(b[13], 24), lshift(b[14], 16), lshift(b[15], 8), b[16])
    for i = 1, 32, 4 do
      x0 = bxor(x0, round_t(bxor(x1, x2, x3, rk[i])))
      x1 = bxor(x1, round_t(bxor(x2, x3, x0, rk[i + 1])))
      x2 = bxor(x2, round_t(bxor(x3, x0, x1, rk[i + 2])))
      x3 = bxor(x3, round_t(bxor(x0, x1, x2, rk[i + 3])))
    end
    local c = {}
    c[1], c[2], c[3], c[4] = word_bytes(x3)
    c[5], c[6], c[7], c[8] = word_bytes(x2)
    c[9], c[10], c[11], c[12] = word_bytes(x1)
    c[13], c[14], c[15], c[16] = word_bytes(x0)
    out[#out + 1] = char(unpack(c))
  end
  out[#out + 1] = sub(s, whole + 1)
  return table.concat(out)
end

---------------------------------------------------------------------------- text rules
local CONTROL = "[\0-\31\127]" -- patterns hold zero bytes since Lua 5.2

local function has_control(s) return find(s, CONTROL) ~= nil end

-- Well-formed UTF-8 (no overlong form, surrogate or code beyond U+10FFFF).
local function is_utf8(s)
  local i, n = 1, #s
  while i <= n do
    local c = byte(s, i)
    if c < 0x80 then
      i = i + 1
    else
      local len, min
      if c >= 0xC2 and c <= 0xDF then len, min = 2, 0x80
      elseif c >= 0xE0 and c <= 0xEF then len, min = 3, 0x800
      elseif c >= 0xF0 and c <= 0xF4 then len, min = 4, 0x10000
      else return false end
      if i + len - 1 > n then return false end
      local cp = band(c, rshift(0x7F, len))
      for k = 1, len - 1 do
        local d = byte(s, i + k)
        if band(d, 0xC0) ~= 0x80 then return false end
        cp = cp * 64 + band(d, 0x3F)
      end
      if cp < min or cp > 0x10FFFF or (cp >= 0xD800 and cp <= 0xDFFF) then return false end
      i = i + len
    end
  end
  return true
end

-- GB18030's byte structure: ASCII, two bytes 81-FE 40-7E/80-FE, four bytes 81-FE 30-39 81-FE 30-39.
local function is_gb18030(s)
  local i, n = 1, #s
  while i <= n do
    local c = byte(s, i)
    if c < 0x80 then
      i = i + 1
    elseif c == 0x80 or c == 0xFF or i == n then
      return false
    else
      local d = byte(s, i + 1)
      if (d >= 0x40 and d <= 0x7E) or (d >= 0x80 and d <= 0xFE) then
        i = i + 2
      elseif d >= 0x30 and d <= 0x39 and i + 3 <= n then
        local e, f = byte(s, i + 2, i + 3)
        if e < 0x81 or e > 0xFE or f < 0x30 or f > 0x39 then return false end
        i = i + 4
      else
        return false
      end
    end
  end
  return true
end

-- A number in the header (before "CP=&&"), as every rule reads Flag, CN or PNUM: the item named
-- exactly `name`, blanks trimmed, decimal digits up to `max`; -1 otherwise.
local function header_number(data, name, max)
  local open = find(data, CP_OPEN, 1, true)
  local header = open and sub(data, 1, open - 1) or data
  for item in (header .. ";"):gmatch("([^;]*);") do
    local key, value = item:match("^[ \t]*([^=]-)[ \t]*=(.*)$")
    if key == name then
      value = value:match("^[ \t]*(.-)[ \t]*$")
      if value == "" or value:find("%D") then return -1 end
      local number = tonumber(value)
      return number <= max and number or -1
    end
  end
  return -1
end

local function flag_2025(data)
  local flag = header_number(data, "Flag", 255)
  return flag >= 0 and rshift(flag, 2) >= VERSION_2025
end

-- Text as the receive path reads it: no control byte; UTF-8, or (before 2025) GB18030.
local function segment_is_text(data)
  if has_control(data) then return false end
  if not find(data, "[\128-\255]") or is_utf8(data) then return true end
  return not flag_2025(data) and is_gb18030(data)
end

local function holds_cipher_list(data) return find(data, "0[xX]%x%x, *0[xX]") ~= nil end

local function queued_as_received(data, keyed)
  if not keyed then return not has_control(data) end
  return segment_is_text(data) and not holds_cipher_list(data)
end

-- The header (before the first "CP=&&", holding no "##") names a CN 2000-2999: a data command
-- whose CP region may be encrypted.
local function data_command_header(data)
  local open = find(data, CP_OPEN, 1, true)
  if not open then return false end
  local header = sub(data, 1, open - 1)
  if find(header, "##", 1, true) then return false end
  local cn = header_number(header, "CN", 9999)
  return cn >= ENCRYPTED_CN_FIRST and cn <= ENCRYPTED_CN_LAST
end

-- The length field read as strtol reads it (white space, a sign, digits); -1 when negative.
local function parse_length(field)
  local lead, sign, digits = field:match("^([ \t\n\v\f\r]*)([+-]?)(%d*)")
  local value = tonumber(digits) or 0
  if sign == "-" and value ~= 0 then return -1 end
  return value
end

---------------------------------------------------------------------------- CP region and decryption
-- [begin, stop) of the region, 1-based inclusive begin, exclusive stop: after the first "CP=&&",
-- before the last "&&" at or after it.
local function cp_region(data)
  local open = find(data, CP_OPEN, 1, true)
  if not open then return nil end
  local from = open + #CP_OPEN
  for at = #data, from + 1, -1 do
    if byte(data, at) == 38 and byte(data, at - 1) == 38 then return from, at - 1 end
  end
  return nil
end

-- A "{0xHH,...}" list at the region's start: its bytes and the offset after "}", or nil.
local function parse_text_form(region)
  if not region:find("^{0[xX]") then return nil end
  local bytes, at = {}, 2
  while true do
    local hex = region:match("^0[xX](%x%x)", at)
    if not hex then return nil end
    bytes[#bytes + 1] = char(tonumber(hex, 16))
    at = at + 4
    local c = sub(region, at, at)
    if c == "," then
      at = region:find("[^ ]", at + 1) or #region + 1
    elseif c == "}" then
      return table.concat(bytes), at + 1
    else
      return nil
    end
  end
end

-- The data segment with its region decrypted (raw, or the {0x..} form with the tail after or
-- inside the braces), and "raw" or "text"; nil without a region.
local function decrypt_cp(data, rk)
  local begin, stop = cp_region(data)
  if not begin then return nil end
  local region = sub(data, begin, stop - 1)
  local list, after = parse_text_form(region)
  if list and #list >= BLOCK_BYTES then
    return sub(data, 1, begin - 1) .. sm4_decrypt(rk, list) .. sub(region, after) .. sub(data, stop), "text"
  end
  return sub(data, 1, begin - 1) .. sm4_decrypt(rk, region) .. sub(data, stop), "raw"
end

-- Bytes of the plain segment a whole {0x..} list stands for, 0 when there is none.
local function text_form_plain_bytes(data)
  local begin, stop = cp_region(data)
  if not begin then return 0 end
  local region = sub(data, begin, stop - 1)
  local list, after = parse_text_form(region)
  if not list or #list < BLOCK_BYTES then return 0 end
  return #data - (after - 1) + #list
end

-- How a frame is read with a key before any decryption: "take", "decrypt" or "refuse".
local function keyed_read(frame, verdict)
  local data = sub(frame, 7, #frame - 6)
  if verdict == "accept" and queued_as_received(data, true) then return "take" end
  local announced = parse_length(sub(frame, 3, 6))
  if verdict == "length" and not (announced > 0 and announced < #data) then return "refuse" end
  if not data_command_header(data) then return "refuse" end
  if verdict ~= "length" then return "decrypt" end
  return text_form_plain_bytes(data) == announced and "decrypt" or "refuse"
end

-- The plain data segment and its form when the frame reads so with the round keys `rk`.
local function read_encrypted(frame, rk)
  local data = sub(frame, 7, #frame - 6)
  local plain, form = decrypt_cp(data, rk)
  if not plain then return nil end
  local announced = parse_length(sub(frame, 3, 6))
  if announced < 0 or (announced ~= #data and announced ~= #plain) then return nil end
  if not crc_fits(sub(frame, -6, -3), plain) or not segment_is_text(plain) then return nil end
  if plain == data then return nil end
  return plain, form
end

local function classify(frame)
  if #frame <= ENVELOPE or parse_length(sub(frame, 3, 6)) + ENVELOPE ~= #frame then return "length" end
  return crc_fits(sub(frame, -6, -3), sub(frame, 7, -7)) and "accept" or "crc"
end

---------------------------------------------------------------------------- keys
local keylog = { path = nil, lines = {} }
local round_keys = setmetatable({}, { __mode = "k" })
local function rk_of(key)
  local rk = round_keys[key]
  if not rk then rk = sm4_keys(key); round_keys[key] = rk end
  return rk
end

local function load_keylog(path)
  keylog = { path = path, lines = {} }
  if path == nil or path == "" then return end
  local f = io.open(path, "r")
  if not f then return end
  local n = 0
  for line in f:lines() do
    n = n + 1
    local secs, hex = line:match("^HJ212%-KEY%s+([%d%.]+)%s+(%S+)")
    if secs then
      local key = hex == "-" and "" or hex:gsub("%x%x", function(h) return char(tonumber(h, 16)) end)
      if key == "" or (#hex == 32 and not hex:find("%X")) then
        keylog.lines[#keylog.lines + 1] = { at = tonumber(secs), key = key, line = n }
      end
    end
  end
  f:close()
  table.sort(keylog.lines, function(a, b) return a.at < b.at or (a.at == b.at and a.line < b.line) end)
end

-- The keys a frame sent at `t` on connection `conv` is tried with, in order: the key log's key in
-- force (before its first line: that line's), the nearest other lines' each way, a NewSK seen on
-- the connection, the typed key.
local function keys_for(conv, t)
  local out, seen = {}, {}
  local function add(k) if k and k ~= "" and not seen[k] then seen[k] = true; out[#out + 1] = k end end
  local lines = keylog.lines
  if #lines > 0 then
    local first, lo, hi = 1, 1, #lines -- the last line at or before t
    while lo <= hi do
      local mid = math.floor((lo + hi) / 2)
      if lines[mid].at <= t then first, lo = mid, mid + 1 else hi = mid - 1 end
    end
    add(lines[first].key)
    for step = 1, NEAR_LINES * 2 do
      local i = step % 2 == 1 and first - (step + 1) / 2 or first + step / 2
      if lines[i] then add(lines[i].key) end
    end
  end
  for i = #conv.exchanged, 1, -1 do
    if conv.exchanged[i].at <= t then add(conv.exchanged[i].key); break end
  end
  local typed = hj.prefs.key
  if typed and #typed == KEY_BYTES then add(typed) end
  return out
end

---------------------------------------------------------------------------- the scanner
-- One per direction of a connection: the bytes put back in order and cut into frames by the
-- receive path's rules. Offsets are 0-based into `buf`; `base` is the stream offset of buf's start.
-- Every "##" ... "\r\n" span is judged: its first "##" and each later one are candidates; with a
-- key a data command announcing more than its span may be raw ciphertext holding "\r\n", and is
-- followed to its announced end, where it is judged once in place of the spans cut inside it.
local function new_flow(conv)
  return { conv = conv, buf = "", base = 0, head = 0, start = nil, crlf_from = 0, followed = {}, nearest = 0,
    held = {}, times = {}, out = {}, next_seq = nil, pending = {}, npending = 0 }
end

-- The first `pair` lying wholly inside [from, to), or nil.
local function find_pair(fl, from, to, pair)
  if from + 1 >= to then return nil end
  local at = find(fl.buf, pair, from + 1, true)
  if at and at + 1 <= to then return at - 1 end
  return nil
end

-- The time of the packet that carried stream offset `abs`.
local function time_at(fl, abs)
  local t, lo, hi = fl.times, 1, #fl.times
  while lo < hi do
    local mid = math.floor((lo + hi + 1) / 2)
    if t[mid].off <= abs then lo = mid else hi = mid - 1 end
  end
  return t[lo] and t[lo].t or 0
end

local function release_held(fl)
  local upto = #fl.followed > 0 and fl.followed[1].at or math.huge
  while #fl.held > 0 and fl.held[1].stop <= upto do fl.out[#fl.out + 1] = table.remove(fl.held, 1) end
end

-- A span given up: counted at once, or held while a followed candidate may stand in for it.
local function reject(fl, at, stop, reason)
  local bytes = sub(fl.buf, at + 1, math.min(stop, at + MAX_FRAME))
  local rec = { kind = "reject", at = fl.base + at, stop = fl.base + stop, bytes = bytes, reason = reason,
    t = time_at(fl, fl.base + at) }
  if #fl.followed > 0 then fl.held[#fl.held + 1] = rec else fl.out[#fl.out + 1] = rec end
end

local function accept(fl, at, stop, taken)
  fl.followed = {} -- each began before this frame's end: none was a frame
  release_held(fl)
  taken.kind, taken.at, taken.stop, taken.t = "frame", fl.base + at, fl.base + stop, time_at(fl, fl.base + at)
  fl.out[#fl.out + 1] = taken
  fl.head, fl.start = stop, nil
  if fl.crlf_from < stop then fl.crlf_from = stop end
end

local function follow(fl, at, stop)
  if #fl.followed == MAX_FOLLOWED then return end
  local f = { at = fl.base + at, stop = fl.base + stop }
  if #fl.followed == 0 or f.stop < fl.nearest then fl.nearest = f.stop end
  fl.followed[#fl.followed + 1] = f
end

-- The candidate decrypted with the first of `keys` that reads it.
local function decrypted(cand, keys)
  for _, key in ipairs(keys) do
    local plain, form = read_encrypted(cand, rk_of(key))
    if plain then
      return { bytes = cand, plain = string.format("##%04d", #plain) .. plain .. sub(cand, -6), form = form, key = key }
    end
  end
  return nil
end

-- One candidate [at, cr + 2): the frame it is (a table), or nil; and its verdict.
local function judge_candidate(fl, at, cr, work)
  local length = cr + 2 - at
  local cand = sub(fl.buf, at + 1, cr + 2)
  local keys = keys_for(fl.conv, time_at(fl, fl.base + at))
  local keyed = #keys > 0
  local verdict = "length"
  local announced = length > ENVELOPE and parse_length(sub(cand, 3, 6)) or -1
  if announced >= 0 and announced + ENVELOPE == length then
    if work.spent + announced > work.budget then
      work.spent = work.budget + 1
      return nil, verdict
    end
    work.spent = work.spent + announced
    verdict = crc_fits(sub(cand, -6, -3), sub(cand, 7, -7)) and "accept" or "crc"
    if verdict == "accept" and queued_as_received(sub(cand, 7, -7), keyed) then return { bytes = cand }, verdict end
    if verdict == "accept" then verdict = "crc" end
    if not keyed then return nil, verdict end
  else
    if not keyed or announced <= 0 then return nil, verdict end
    if at + announced + ENVELOPE > cr + 2 then -- raw ciphertext may hold this "\r\n": its end is its length field's
      if data_command_header(sub(cand, 7, -3)) then follow(fl, at, at + announced + ENVELOPE) end
      return nil, verdict
    end
  end
  if keyed_read(cand, verdict) ~= "decrypt" then return nil, verdict end
  return decrypted(cand, keys), verdict
end

local function cut_span(fl, cr)
  local stop = cr + 2
  while stop - fl.start > MAX_FRAME + 1 do
    reject(fl, fl.start, fl.start + 1, "overlong")
    local at = find_pair(fl, fl.start + 1, cr, "##")
    if not at then
      fl.start, fl.head = nil, stop
      return
    end
    fl.head, fl.start = at, at
  end
  local work = { spent = 0, budget = CRC_WORK_PER_BYTE * (stop - fl.start) }
  local first, at = "length", fl.start
  while at do
    local taken, verdict = judge_candidate(fl, at, cr, work)
    if taken then return accept(fl, at, stop, taken) end
    if work.spent > work.budget then break end
    if at == fl.start then first = verdict end
    at = find_pair(fl, at + 1, cr, "##")
  end
  reject(fl, fl.start, stop, first == "crc" and "crc" or "length")
  fl.start, fl.head = nil, stop
end

-- The followed candidate with the nearest end, all of whose bytes are here.
local function judge_followed(fl)
  local f
  for i, g in ipairs(fl.followed) do
    if g.stop == fl.nearest then f = table.remove(fl.followed, i); break end
  end
  for i, g in ipairs(fl.followed) do
    if i == 1 or g.stop < fl.nearest then fl.nearest = g.stop end
  end
  local from, stop = f.at - fl.base, f.stop - fl.base
  if sub(fl.buf, stop - 1, stop) == "\r\n" then
    while #fl.held > 0 and fl.held[#fl.held].stop > f.at do table.remove(fl.held) end
    local cand = sub(fl.buf, from + 1, stop)
    local taken = decrypted(cand, keys_for(fl.conv, time_at(fl, f.at)))
    if taken then return accept(fl, from, stop, taken) end
    reject(fl, from, stop, "crc")
  end
  release_held(fl)
end

local function skip_keeping_hash(fl, to)
  fl.start = nil
  if to > fl.head and byte(fl.buf, to) == 35 then to = to - 1 end
  if to > fl.head then fl.head = to end
end

local function at_limit(fl, due)
  if due then judge_followed(fl) end
  return due
end

-- One look at the bytes: true when another may find more.
local function step(fl)
  local size = #fl.buf
  local due = #fl.followed > 0 and fl.nearest <= fl.base + size
  local limit = due and (fl.nearest - fl.base) or size
  if fl.start == nil then
    local at = find_pair(fl, fl.head, limit, "##")
    if not at then
      skip_keeping_hash(fl, limit)
      return at_limit(fl, due)
    end
    fl.head, fl.start, fl.crlf_from = at, at, at + 2
  end
  local cr = find_pair(fl, fl.crlf_from, limit, "\r\n")
  if cr then
    cut_span(fl, cr)
    return true
  end
  if limit > fl.crlf_from + 1 then fl.crlf_from = limit - 1 end
  if limit - fl.start <= MAX_FRAME then return at_limit(fl, due) end
  reject(fl, fl.start, fl.start + 1, "overlong") -- too long to become a frame: a later "##" may start one
  local at = find_pair(fl, fl.start + 1, limit, "##")
  if not at then
    skip_keeping_hash(fl, limit)
  else
    fl.head, fl.start = at, at
    if fl.crlf_from < at + 2 then fl.crlf_from = at + 2 end
  end
  return true
end

-- Drops consumed bytes no followed candidate needs, once they outweigh what is kept.
local function compact(fl)
  local keep = fl.head
  if #fl.followed > 0 and fl.followed[1].at - fl.base < keep then keep = fl.followed[1].at - fl.base end
  if keep < 65536 or keep < #fl.buf - keep then return end
  fl.buf = sub(fl.buf, keep + 1)
  fl.base, fl.head = fl.base + keep, fl.head - keep
  if fl.start then fl.start = fl.start - keep end
  fl.crlf_from = math.max(fl.crlf_from - keep, 0)
  local times = {}
  for i, e in ipairs(fl.times) do
    if e.off >= fl.base or (fl.times[i + 1] and fl.times[i + 1].off > fl.base) then times[#times + 1] = e end
  end
  fl.times = times
end

-- Bytes in stream order: the records they complete.
local function scan_bytes(fl, bytes, t)
  fl.times[#fl.times + 1] = { off = fl.base + #fl.buf, t = t }
  fl.buf = fl.buf .. bytes
  while step(fl) do end
  compact(fl)
end

-- How far sequence number `a` lies ahead of `b`, counted as TCP counts (modulo 2^32): negative
-- when it lies behind.
local SEQ_SPACE = 4294967296
local function seq_ahead(a, b)
  local d = (a - b) % SEQ_SPACE
  return d >= SEQ_SPACE / 2 and d - SEQ_SPACE or d
end

-- The held segments the stream has reached, each one's new bytes scanned.
local function drain(fl)
  while true do
    local nextp, best
    for s, p in pairs(fl.pending) do
      local back = seq_ahead(s, fl.next_seq)
      if back <= 0 and (best == nil or back + #p.bytes > best) then nextp, best = s, back + #p.bytes end
    end
    if not nextp then return end
    local p = fl.pending[nextp]
    fl.pending[nextp] = nil
    fl.npending = fl.npending - 1
    if best > 0 then
      local n = #fl.out
      fl.drained = p.frame
      scan_bytes(fl, sub(p.bytes, #p.bytes - best + 1), p.t)
      for i = n + 1, #fl.out do fl.out[i].frame = p.frame end
      fl.next_seq = (fl.next_seq + best) % SEQ_SPACE
    end
  end
end

-- A gap given up: the stream goes on at the nearest held segment, the bytes missing not counted.
local function skip_gap(fl)
  local nearest, gap
  for s in pairs(fl.pending) do
    local d = (s - fl.next_seq) % SEQ_SPACE
    if not gap or d < gap then nearest, gap = s, d end
  end
  if nearest then fl.next_seq = nearest; drain(fl) end
end

-- A TCP segment of raw sequence number `seq` (nil: unknown, the bytes taken as they come), put
-- in order as polmon-frame's reader puts it: the first segment seen (or a SYN's next number)
-- starts the stream, a retransmission's old bytes are dropped, a segment ahead is held (the
-- longest of one number) until the gap fills; a gap never filled is given up after MAX_PENDING
-- segments, or at the sender's FIN (end_flow).
local function feed(fl, seq, bytes, t)
  fl.out, fl.cur = {}, nil
  if fl.next_seq == nil then fl.next_seq = seq or 0 end
  seq = seq or fl.next_seq
  local ahead = seq_ahead(seq, fl.next_seq)
  if ahead > 0 then
    local held = fl.pending[seq]
    if not held then fl.npending = fl.npending + 1 end
    if not held or #bytes > #held.bytes then fl.pending[seq] = { bytes = bytes, t = t, frame = fl.packet } end
    if fl.npending > MAX_PENDING then skip_gap(fl) end
  elseif -ahead < #bytes then
    fl.cur = { start = fl.base + #fl.buf, skip = -ahead } -- where this segment's new bytes go in the stream
    scan_bytes(fl, sub(bytes, 1 - ahead), t)
    fl.next_seq = (seq + #bytes) % SEQ_SPACE
  end
  drain(fl)
  return fl.out
end

-- The sender's FIN at sequence number `seq`: every byte before it was sent, so a gap still open
-- behind held segments that reach it was lost from the capture, and is given up as polmon-frame
-- gives it up at the capture's end. Segments ending beyond the FIN (it came early) keep waiting.
local function end_flow(fl, seq)
  if not seq or not next(fl.pending) or fl.next_seq == nil then return end
  for s, p in pairs(fl.pending) do
    if seq_ahead(s + #p.bytes, seq) > 0 then return end
  end
  while next(fl.pending) do skip_gap(fl) end
end

---------------------------------------------------------------------------- fields
local F = {
  offset = ProtoField.uint64("hj212.offset", "Stream offset"),
  verdict = ProtoField.string("hj212.verdict", "Verdict"),
  reason = ProtoField.string("hj212.reason", "Refused"),
  length = ProtoField.uint32("hj212.length", "Length"),
  crc = ProtoField.string("hj212.crc", "CRC"),
  crc_status = ProtoField.string("hj212.crc.status", "CRC status"),
  qn = ProtoField.string("hj212.qn", "QN"),
  st = ProtoField.uint32("hj212.st", "ST"),
  cn = ProtoField.uint32("hj212.cn", "CN"),
  cn_name = ProtoField.string("hj212.cn.name", "Command"),
  cn_name_zh = ProtoField.string("hj212.cn.name_zh", "Command (zh)"),
  pw = ProtoField.string("hj212.pw", "PW"),
  mn = ProtoField.string("hj212.mn", "MN"),
  flag = ProtoField.uint8("hj212.flag", "Flag"),
  flag_version = ProtoField.uint8("hj212.flag.version", "Version", base.DEC, { [0] = "HJ/T 212-2005", [1] = "HJ 212-2017", [2] = "HJ 212-2025" }, 0xFC),
  flag_packet = ProtoField.bool("hj212.flag.packet", "Split into packets", 8, nil, 0x02),
  flag_answer = ProtoField.bool("hj212.flag.answer", "Answer wanted", 8, nil, 0x01),
  pnum = ProtoField.uint32("hj212.pnum", "PNUM"),
  pno = ProtoField.uint32("hj212.pno", "PNO"),
  header = ProtoField.string("hj212.header", "Header item"),
  cp = ProtoField.string("hj212.cp", "CP"),
  encryption = ProtoField.string("hj212.encryption", "Encrypted CP"),
  item = ProtoField.string("hj212.item", "Item"),
  item_code = ProtoField.string("hj212.item.code", "Code"),
  item_kind = ProtoField.string("hj212.item.kind", "Kind"),
  item_value = ProtoField.string("hj212.item.value", "Value"),
  item_name = ProtoField.string("hj212.item.name", "Name"),
  item_name_zh = ProtoField.string("hj212.item.name_zh", "Name (zh)"),
  request_in = ProtoField.framenum("hj212.request_in", "Request in", base.NONE, frametype and frametype.REQUEST),
  response_in = ProtoField.framenum("hj212.response_in", "Response in", base.NONE, frametype and frametype.RESPONSE),
  time = ProtoField.relative_time("hj212.time", "Time since request"),
  packet_in = ProtoField.framenum("hj212.packet_in", "Packet in"),
}
hj.fields = {}
for _, f in pairs(F) do hj.fields[#hj.fields + 1] = f end

local E = {
  length = ProtoExpert.new("hj212.bad_length", "Length field does not count the data bytes", expert.group.MALFORMED, expert.severity.ERROR),
  crc = ProtoExpert.new("hj212.bad_crc", "CRC does not fit", expert.group.CHECKSUM, expert.severity.ERROR),
  control = ProtoExpert.new("hj212.control_byte", "Data segment holds a control byte", expert.group.MALFORMED, expert.severity.ERROR),
  overlong = ProtoExpert.new("hj212.overlong", "No CR LF within the largest frame", expert.group.MALFORMED, expert.severity.ERROR),
  nokey = ProtoExpert.new("hj212.no_key", "CP region looks encrypted and no key reads it", expert.group.DECRYPTION, expert.severity.WARN),
  unknown = ProtoExpert.new("hj212.unknown_code", "Code not in the standard's tables", expert.group.PROTOCOL, expert.severity.NOTE),
  lower = ProtoExpert.new("hj212.crc_lower_case", "CRC written in lower case: accepted", expert.group.PROTOCOL, expert.severity.NOTE),
  decrypted = ProtoExpert.new("hj212.decrypted", "CP region decrypted", expert.group.DECRYPTION, expert.severity.CHAT),
}
hj.experts = {}
for _, e in pairs(E) do hj.experts[#hj.experts + 1] = e end

hj.prefs.keylog = Pref.string("Key log file", "", "polmon's key log (--key-log): each frame is read with the key in force when it was sent")
hj.prefs.key = Pref.string("Key", "", "A 16-character key, tried after the key log's")
hj.prefs.show_secrets = Pref.bool("Show PW and NewSK", false, "Show passwords and exchanged keys as sent instead of ****")

function hj.prefs_changed()
  if hj.prefs.keylog ~= keylog.path then load_keylog(hj.prefs.keylog) end
end

---------------------------------------------------------------------------- reading a frame
-- "key=value" items split at `seps`, as polmon's tools split them.
local function split_fields(text, seps)
  local out = {}
  for item in (text .. seps:sub(1, 1)):gmatch("([^" .. seps .. "]*)[" .. seps .. "]") do
    if item ~= "" then
      local k, v = item:match("^([^=]*)=(.*)$")
      out[#out + 1] = { k or item, v or "" }
    end
  end
  return out
end

-- The text with every exchanged key shown as "****" (unless asked).
local function mask_text(text)
  if hj.prefs.show_secrets then return text end
  return (text:gsub("NewSK=([^;,&\r\n]+)", "NewSK=****"))
end

local function mask(key, value)
  if hj.prefs.show_secrets or value == "" then return value end
  if key == "PW" or key == "NewSK" then return "****" end
  return value
end

-- The data segment's header items and CP items (secrets masked), and the CP text.
local function parse_segment(data)
  local seg = { header = split_fields(data, ";"), values = {} }
  local open = find(data, CP_OPEN, 1, true)
  if open then
    seg.header = split_fields(sub(data, 1, open - 1), ";")
    local rest = sub(data, open + #CP_OPEN)
    local close
    for at = #rest - 1, 1, -1 do
      if sub(rest, at, at + 1) == "&&" then close = at; break end
    end
    seg.cp = close and sub(rest, 1, close - 1) or rest
    seg.items = split_fields(seg.cp, ";,")
    for _, kv in ipairs(seg.items) do kv[2] = mask(kv[1], kv[2]) end
  end
  for _, kv in ipairs(seg.header) do seg.values[kv[1]] = kv[2] end
  return seg
end

-- A factor code's names: 2017, numbered ("e10101" as "e101xx"), 2005, site information.
local function code_names(code)
  local p = codes.pollutants[code]
  if not p and #code == 6 and code:find("^[eg]...%d%d$") then p = codes.pollutants[sub(code, 1, 4) .. "xx"] end
  if not p and codes.by_2005[code] then p = codes.pollutants[codes.by_2005[code]] end
  return p or codes.site_info[code] or codes.only_2005[code]
end

local function item_tree(tree, ctvb, kv, expert_on)
  local key, value = kv[1], kv[2]
  local t = tree:add(F.item, ctvb, key .. "=" .. value)
  local code, kind = key:match("^([^-]+)%-(.+)$")
  t:add(F.item_value, ctvb, value)
  if not code then return end
  t:add(F.item_code, ctvb, code)
  t:add(F.item_kind, ctvb, kind)
  local names = code_names(code)
  if names then
    t:add(F.item_name, ctvb, names[2])
    t:add(F.item_name_zh, ctvb, names[1])
    t:append_text(" (" .. names[2] .. ", " .. kind .. ")")
  elseif expert_on then
    t:add_proto_expert_info(E.unknown, code .. " is no code of the standard's tables")
  end
end

-- The words polmon-frame adds when the CRC field holds the data's Modbus CRC-16 (the byte into
-- the register's low byte), either byte order; "" otherwise.
local function modbus_mistake(data, field)
  local reg = 0xFFFF
  for i = 1, #data do reg = bxor(rshift(reg, 8), CRC[band(bxor(reg, byte(data, i)), 0xFF)]) end
  if field == string.format("%04X", reg) then return "; the announced value is the Modbus CRC-16 of the data, not the HJ 212 CRC" end
  if field == string.format("%02X%02X", band(reg, 0xFF), rshift(reg, 8)) then
    return "; the announced value is the Modbus CRC-16 of the data (low byte first), not the HJ 212 CRC"
  end
  return ""
end

-- Why a span was refused, in words, and the expert item that goes with it.
local function refusal(rec)
  if rec.reason == "overlong" then return "no CR LF within " .. MAX_FRAME .. " bytes of its \"##\"", E.overlong end
  local s = rec.bytes
  local data = sub(s, 7, -7)
  if #s <= ENVELOPE then return "too short: " .. #s .. " bytes", E.length end
  local announced = parse_length(sub(s, 3, 6))
  if rec.reason == "length" then
    return string.format("length: announced %d, actual %d bytes", announced, #data), E.length
  end
  if crc_fits(sub(s, -6, -3), data) and has_control(data) then
    local at = find(data, CONTROL)
    return string.format("the length and CRC fit, but the data segment holds a control byte (0x%02X at offset %d)", byte(data, at), at - 1), E.control
  end
  if data_command_header(data) then
    local begin, stop = cp_region(data)
    local region = begin and sub(data, begin, stop - 1) or ""
    if region:find("^{0[xX]") or (#region >= BLOCK_BYTES and (has_control(region) or not is_utf8(region))) then
      return "the CP region looks encrypted and no key reads it (CRC " .. sub(s, -6, -3) .. ")", E.nokey
    end
  end
  local why = string.format("crc: announced %s, computed %s", sub(s, -6, -3), crc16(data))
  return why .. modbus_mistake(data, sub(s, -6, -3):upper()), E.crc
end

-- The bytes [at, at + n) of `tvb`, or none where text converted from GB18030 no longer lines up
-- with the bytes (a string field is cut to its bytes' length).
local converted = false
local function span(tvb, at, n)
  if not converted and at + n <= tvb:len() then return tvb(at, n) end
  return tvb(0, 0)
end

-- GB18030 bytes as UTF-8, by Wireshark's own converter. A converted range comes back cut to the
-- range's byte count, and UTF-8 takes at most 1.5 times the bytes: the range is padded with NULs.
local function gb18030_text(bytes)
  local tvb = ByteArray.new(bytes .. string.rep("\0", #bytes), true):tvb("HJ 212 text in UTF-8")
  return (tvb():string(ENC_GB18030):gsub("\0+$", ""))
end

-- Header items: QN, MN, PW, and ST, CN, Flag, PNUM, PNO written as plain numbers, as fields of
-- their own; every other item (and one written otherwise) as "name=value".
local function add_header(t, ftvb, data, seg)
  for _, kv in ipairs(seg.header) do
    local key, value = kv[1], kv[2]
    local at = find(data, key .. "=" .. value, 1, true)
    local range = at and span(ftvb, 6 + at - 1, #key + 1 + #value) or ftvb(0, 0)
    local n = value:find("^%d+$") and tostring(tonumber(value)) == value and tonumber(value) or nil
    if key == "QN" then t:add(F.qn, range, value)
    elseif key == "MN" then t:add(F.mn, range, value)
    elseif key == "PW" then t:add(F.pw, range, mask(key, value))
    elseif key == "ST" and n then t:add(F.st, range, n)
    elseif key == "CN" and n then
      local ct = t:add(F.cn, range, n)
      local names = codes.commands[value]
      if names then ct:append_text(" (" .. names[2] .. ")"); t:add(F.cn_name, range, names[2]); t:add(F.cn_name_zh, range, names[1]) end
    elseif key == "Flag" and n and n <= 255 then
      local ft = t:add(F.flag, range, n)
      ft:add(F.flag_version, range, n); ft:add(F.flag_packet, range, n); ft:add(F.flag_answer, range, n)
    elseif key == "PNUM" and n then t:add(F.pnum, range, n)
    elseif key == "PNO" and n then t:add(F.pno, range, n)
    else t:add(F.header, range, key .. "=" .. mask(key, value)) end
  end
  return seg.values
end

local function add_links(t, rec, pinfo)
  if rec.request then
    t:add(F.request_in, rec.request.frame):set_generated()
    t:add(F.time, NSTime.new(math.floor(rec.t - rec.request.t), math.floor((rec.t - rec.request.t) % 1 * 1e9))):set_generated()
  end
  for _, r in ipairs(rec.responses or {}) do t:add(F.response_in, r.frame):set_generated() end
  for _, p in ipairs(rec.group or {}) do
    if p ~= rec then t:add(F.packet_in, p.frame):set_generated() end
  end
end

-- One frame or refused span: its tree, and its words for the Info column.
local function show(rec, tvb, pinfo, tree)
  local ftvb = rec.packet_off and tvb(rec.packet_off, #rec.bytes):tvb() or ByteArray.new(rec.bytes, true):tvb("HJ 212 frame")
  local t = tree:add(hj, ftvb(), "HJ 212")
  t:add(F.offset, ftvb(0, 0), UInt64.new(rec.at)):set_generated()
  t:add(F.verdict, ftvb(0, 0), rec.kind == "frame" and "accept" or "reject"):set_generated()
  if rec.reason then
    local why, e = refusal(rec)
    t:add(F.reason, ftvb(0, 0), rec.reason):set_generated()
    t:add_proto_expert_info(e, why)
    t:append_text(": refused, " .. why)
    if rec.reason == "overlong" then return "refused: " .. why end
  end
  local s = rec.plain or rec.bytes
  local ptvb = rec.plain and ByteArray.new(rec.plain, true):tvb("HJ 212 decrypted") or ftvb
  -- a span shorter than the envelope has no length or CRC field of its own: shown on no bytes
  local whole = #rec.bytes >= ENVELOPE
  t:add(F.length, whole and ftvb(2, 4) or ftvb(0, 0), parse_length(sub(rec.bytes, 3, 6)))
  local crc_field = sub(s, -6, -3)
  local crc_range = whole and ftvb(#rec.bytes - 6, 4) or ftvb(0, 0)
  t:add(F.crc, crc_range, crc_field)
  local good = rec.kind == "frame" or crc_fits(crc_field, sub(s, 7, -7)) -- a frame's CRC fitted when it was taken
  t:add(F.crc_status, crc_range, good and "good" or "bad"):set_generated()
  if rec.kind == "frame" and crc_field ~= crc_field:upper() then t:add_proto_expert_info(E.lower) end
  local data = sub(s, 7, -7)
  converted = find(data, "[\128-\255]") ~= nil and not is_utf8(data)
  if converted then data = gb18030_text(data) end -- before 2025: GB18030
  local seg = parse_segment(data)
  local v = add_header(t, ptvb, data, seg)
  if rec.form then
    t:add(F.encryption, ftvb(0, 0), rec.form):set_generated()
    t:add_proto_expert_info(E.decrypted, "CP region decrypted (" .. rec.form .. ")")
  end
  if seg.cp and (rec.kind == "frame" or not has_control(seg.cp)) then
    local begin = find(data, CP_OPEN, 1, true)
    local range = span(ptvb, 6 + begin + 4, #seg.cp)
    local ct = t:add(F.cp, range, mask_text(seg.cp))
    for _, kv in ipairs(seg.items) do item_tree(ct, range, kv, rec.kind == "frame") end
  end
  add_links(t, rec, pinfo)
  local names = codes.commands[v.CN or ""]
  local info = string.format("%s%s QN=%s ST=%s CN=%s%s MN=%s", rec.kind == "frame" and "" or "refused: ",
    #rec.bytes .. " B", v.QN or "-", v.ST or "-", v.CN or "-", names and " (" .. names[2] .. ")" or "", v.MN or "-")
  if rec.form then info = info .. " [decrypted, " .. rec.form .. "]" end
  if seg.cp and rec.kind == "frame" then
    local cp = mask_text(seg.cp)
    info = info .. " CP=" .. (#cp > 120 and sub(cp, 1, 120) .. "..." or cp)
  end
  return info
end

---------------------------------------------------------------------------- conversations
local f_seq = Field.new("tcp.seq_raw") -- as sent: relative numbers start where Wireshark first saw the flow
local f_syn = Field.new("tcp.flags.syn")
local f_fin = Field.new("tcp.flags.fin")
local f_stream = Field.new("tcp.stream")
local results = {} -- packet number -> its records, kept for every later look at the packet
local fed = {}     -- packets whose bytes went to a scanner (a first pass may skip the payload: tshark -2)
local convs = {}   -- tcp.stream -> flows each way, keys exchanged, QNs and packet groups seen
local ended = false -- a first pass over the whole capture is over

-- Links a new frame to its request by QN (a frame of the same QN the other way, before it), to
-- the other packets of its PNUM/PNO group, and takes an exchanged key from a CN 1014.
local function link(conv, dir, rec)
  if rec.kind ~= "frame" then return end
  local seg = parse_segment(sub(rec.plain or rec.bytes, 7, -7))
  local v = seg.values
  if v.QN then
    local first = conv.qn[v.QN]
    if not first then
      conv.qn[v.QN] = { rec = rec, dir = dir }
    elseif first.dir ~= dir then
      rec.request = first.rec
      first.rec.responses = first.rec.responses or {}
      table.insert(first.rec.responses, rec)
    end
    local pnum = tonumber(v.PNUM or "")
    if pnum and pnum > 1 then
      local key = dir .. "|" .. v.QN .. "|" .. (v.CN or "")
      conv.groups[key] = conv.groups[key] or {}
      table.insert(conv.groups[key], rec)
      rec.group = conv.groups[key]
    end
  end
  if v.CN == "1014" then
    local key = sub(rec.plain or rec.bytes, 7, -7):match("NewSK=([^;,&\r\n]+)")
    if key and #key == KEY_BYTES then table.insert(conv.exchanged, { at = rec.t, key = key }) end
  end
end

-- The capture ended with segments still held behind a gap no FIN closed: the gap is given up as
-- polmon-frame gives it up at the capture's end, each record shown on the packet that held its
-- bytes. Only a later pass sees this (Wireshark's, or tshark -2).
local function end_capture()
  ended = true
  for _, conv in pairs(convs) do
    for dir, fl in pairs(conv.flows) do
      fl.out, fl.cur = {}, nil
      while next(fl.pending) do skip_gap(fl) end
      for _, rec in ipairs(fl.out) do
        rec.frame = rec.frame or fl.drained
        link(conv, dir, rec)
        results[rec.frame] = results[rec.frame] or {}
        table.insert(results[rec.frame], rec)
      end
    end
  end
end

-- The records the packet completes; the first look feeds its bytes to its direction's scanner.
local function process(tvb, pinfo)
  if pinfo.visited and not ended then end_capture() end
  -- Field values come only with a tree (tshark -2 builds none in its first pass): without them
  -- the conversation is told by its addresses and the bytes are taken in arrival order.
  local stream, seq, syn, fin = f_stream(), f_seq(), f_syn(), f_fin()
  local id = stream and stream.value or tostring(pinfo.src) .. pinfo.src_port .. tostring(pinfo.dst) .. pinfo.dst_port
  if not stream then id = (pinfo.src_port < pinfo.dst_port) and id or tostring(pinfo.dst) .. pinfo.dst_port .. tostring(pinfo.src) .. pinfo.src_port end
  local conv = convs[id]
  if not conv then
    conv = { exchanged = {}, flows = {}, qn = {}, groups = {}, claimed = false }
    convs[id] = conv
  end
  syn, fin = syn and syn.value, fin and fin.value
  local n = tvb and tvb:len() or 0
  if fed[pinfo.number] or (n == 0 and not syn and not fin) then return results[pinfo.number], conv end
  fed[pinfo.number] = true
  -- a packet the snapshot length cut short is no segment at all, as polmon-frame reads it: its
  -- bytes are not all there, and the stream waits for them as for any gap
  if pinfo.caplen < pinfo.len then return nil, conv end
  local dir = tostring(pinfo.src) .. ":" .. pinfo.src_port .. ">" .. tostring(pinfo.dst) .. ":" .. pinfo.dst_port
  local fl = conv.flows[dir]
  if not fl then fl = new_flow(conv); conv.flows[dir] = fl end
  fl.out, fl.cur, fl.packet = {}, nil, pinfo.number
  local bytes = n > 0 and tvb:raw() or ""
  seq = seq and seq.value
  if syn and seq then
    fl.next_seq = (seq + 1) % SEQ_SPACE -- the stream starts after the SYN; bytes it carries are none of it
  elseif n > 0 then
    feed(fl, seq, bytes, pinfo.abs_ts)
  end
  if fin and seq then end_flow(fl, (seq + n) % SEQ_SPACE) end
  local recs, cur = fl.out, fl.cur
  for _, rec in ipairs(recs) do
    rec.frame = pinfo.number
    if cur and rec.at >= cur.start and rec.stop <= cur.start + #bytes - cur.skip then
      rec.packet_off = rec.at - cur.start + cur.skip -- wholly in this packet: shown on its own bytes
    end
    link(conv, dir, rec)
  end
  if #recs > 0 then results[pinfo.number] = recs end
  for _, rec in ipairs(recs) do conv.claimed = conv.claimed or rec.kind == "frame" end
  if find(bytes, "##%d%d%d%d%u%a*=") then conv.claimed = true end
  return results[pinfo.number], conv
end

local dissected = 0 -- the packet the dissector itself last showed (the postdissector leaves it alone)
local function dissect(tvb, pinfo, tree)
  dissected = pinfo.number
  local recs, conv = process(tvb, pinfo)
  conv.given = true
  pinfo.cols.protocol = "HJ212"
  if not recs then
    pinfo.cols.info = "[HJ 212 bytes, " .. tvb:len() .. " B]"
    tree:add(hj, tvb(), "HJ 212 (bytes of a frame still coming, or between frames)")
    return tvb:len()
  end
  local infos = {}
  for _, rec in ipairs(recs) do infos[#infos + 1] = show(rec, tvb, pinfo, tree) end
  pinfo.cols.info = table.concat(infos, " | ")
  return tvb:len()
end
hj.dissector = dissect

local function heuristic(tvb, pinfo, tree)
  local _, conv = process(tvb, pinfo)
  conv.given = true
  if not conv or not conv.claimed then return false end
  pcall(function() pinfo.conversation = hj end)
  dissect(tvb, pinfo, tree)
  return true
end

function hj.init()
  results, convs, fed, ended = {}, {}, {}, false
  load_keylog(hj.prefs.keylog)
end

-- Segments TCP keeps from its subdissectors (out of order, retransmitted) still carry bytes the
-- stream needs: a postdissector hands those of an HJ 212 conversation to its scanner.
local late = Proto("hj212.late", "HJ 212 segments out of order")
local f_payload = Field.new("tcp.payload")
function late.dissector(tvb, pinfo, tree)
  if dissected == pinfo.number then return end
  local payload, stream = f_payload(), f_stream()
  if not stream then return end
  -- bytes only of a conversation the dissector was given; a SYN or FIN without payload of any (it
  -- reaches no dissector, but moves its direction's stream)
  local seen = convs[stream.value]
  if payload and not (seen and seen.given) then return end
  local bytes = payload and payload.range:tvb()
  local recs, conv = process(bytes, pinfo)
  if not recs or not conv.claimed then return end
  bytes = bytes or tvb
  local infos = {}
  for _, rec in ipairs(recs) do infos[#infos + 1] = show(rec, bytes, pinfo, tree) end
  pinfo.cols.protocol = "HJ212"
  pinfo.cols.info = table.concat(infos, " | ")
end
register_postdissector(late)

hj:register_heuristic("tcp", heuristic)
-- polmon's captures show a serial line as TCP to port 212
DissectorTable.get("tcp.port"):add(212, hj)
