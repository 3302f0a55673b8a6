"""HJ 212 frames for the tests' Python: the CRC and the envelope."""


def crc16(data):
    """The HJ 212 CRC (register 0xFFFF, the byte into its high byte moved down, reflected 0xA001)."""
    reg = 0xFFFF
    for byte in data:
        reg = (reg >> 8) ^ byte
        for _ in range(8):
            reg = (reg >> 1) ^ 0xA001 if reg & 1 else reg >> 1
    return reg


def frame(segment):
    return b"##%04d%s%04X\r\n" % (len(segment), segment, crc16(segment))
