-- Run after the dissector's own text (DissectorLua54.cpp): its local functions under Lua 5.4.
local function hex(s) return (s:gsub("%x%x", function(h) return string.char(tonumber(h, 16)) end)) end

-- SM4: the standard's example, decrypted
local key = hex("0123456789abcdeffedcba9876543210")
assert(sm4_decrypt(sm4_keys(key), hex("681edf34d206965e86b3e94f536e4246")) == key, "SM4 example")

-- a frame cut into 7-byte segments behind junk and a cut-off frame: the frames at their offsets
local d = "QN=20261209120000001;ST=22;CN=2011;PW=123456;MN=ABC;Flag=5;CP=&&DataTime=20261209120000;a21026-Rtd=1.5,a21026-Flag=N&&"
assert(crc16(d) == "5440", "CRC " .. crc16(d))
local f = string.format("##%04d", #d) .. d .. "5440\r\n"
-- (sequence numbers from 1, and from just below where they wrap: integers under 5.4)
local stream = "junk##12" .. f:sub(1, 30) .. f .. f
for _, first in ipairs({ 1, 4294967296 - 100 }) do
  local fl, got = new_flow({ exchanged = {} }), {}
  for i = 1, #stream, 7 do
    for _, r in ipairs(feed(fl, (first + i - 1) % 4294967296, stream:sub(i, i + 6), 0)) do got[#got + 1] = r.kind .. "@" .. r.at end
  end
  assert(table.concat(got, " ") == "frame@38 frame@168", first .. ": " .. table.concat(got, " "))
end

-- the length field as strtol reads it, a header number, the text rules (integers stay integers)
for field, want in pairs({ ["0123"] = 123, [" 12x"] = 12, ["-001"] = -1, ["0a12"] = 0, ["+-12"] = 0 }) do
  assert(parse_length(field) == want, field)
end
assert(header_number("QN=1; CN = 2011 ;CP=&&CN=9&&", "CN", 9999) == 2011)
assert(segment_is_text("a\xE4\xB8\xADb") and not segment_is_text("a\1b") and not has_control("xyz"))
assert(holds_cipher_list("CP=&&{0x12, 0xAB}&&") and not holds_cipher_list("CP=&&0x12&&"))
print("dissector under " .. _VERSION .. ": SM4, CRC, scanner and text rules hold")
