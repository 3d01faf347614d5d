# What the lab's scripted nodes share: the bus's frame checksum.


def crc8(data):
    """The frame checksum: polynomial 0x31, initial 0, not reflected, over
    length, code and body."""
    crc = 0
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = ((crc << 1) ^ 0x31) & 0xFF if crc & 0x80 else (crc << 1) & 0xFF
    return crc
