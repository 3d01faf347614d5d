#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into tools/fuzz/corpus/<target>/.

The seeds are the frames and server messages the unit tests use, laid out in
each target's input format (see the comment at the top of each fuzz_*.cpp).
Run it again after changing an input format; the files are checked in.
"""
import os
import shutil

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")


def crc8(data):
    crc = 0
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = ((crc << 1) ^ 0x31) & 0xFF if crc & 0x80 else (crc << 1) & 0xFF
    return crc


def frame(code, body):
    inner = bytes([len(body) + 1, code]) + bytes(body)
    return b"#" + inner + bytes([crc8(inner)]) + b"$"


def pack(shape, values):
    channels, count, rng = shape
    bits = channels * count * rng
    out = bytearray((bits + 7) // 8)
    k = 0
    for v in values:
        for b in range(rng):
            if b < 32 and (v >> b) & 1:
                out[k // 8] |= 1 << (k % 8)
            k += 1
    return bytes(out)


def u16(x):
    return bytes([(x >> 8) & 0xFF, x & 0xFF])


def u32(x):
    return bytes([(x >> 24) & 0xFF, (x >> 16) & 0xFF, (x >> 8) & 0xFF, x & 0xFF])


def reply(shape, values, filler=b"\x01\x02\x07"):
    return frame(0x0B, filler + pack(shape, values))


def frame_get():
    s12, s8, s234, s255 = (1, 1, 12), (1, 1, 8), (2, 3, 4), (3, 5, 17)
    r12 = bytes.fromhex("23060B010207BC0AFE24")
    assert r12 == reply(s12, [0xABC])
    seeds = {
        "reply-12bit": bytes(s12) + b"\x00\x00" + r12,
        "reply-12bit-unchanged": bytes(s12) + b"\x01\xbc" + r12,
        "reply-after-stray-bytes": bytes(s12) + b"\x00\x00" + b"\x23\x24\x00\x23\x06" + r12,
        "reply-twice": bytes(s12) + b"\x00\x00" + r12 + r12,
        "two-replies-last-counts": bytes(s12) + b"\x00\x00" + reply(s12, [1]) + reply(s12, [0]),
        "reply-wrong-length": bytes(s8) + b"\x00\x00" + r12,
        "reply-wrong-crc": bytes(s12) + b"\x00\x00" + r12[:8] + b"\x00\x24",
        "reply-truncated": bytes(s12) + b"\x00\x00" + r12[:-1],
        "reply-8bit": bytes(s8) + b"\x00\x00" + reply(s8, [0x55]),
        "reply-2x3x4bit": bytes(s234) + b"\x00\x00" + reply(s234, [1, 2, 3, 4, 5, 6]),
        "reply-255bit": bytes(s255) + b"\x01\x33" + reply(s255, [(0x1F0F1 * i) & 0x1FFFF for i in range(15)]),
        "reply-no-channels": bytes([0, 3, 8]) + b"\x00\x00" + reply((0, 3, 8), []),
        "reply-40bit-values": bytes([1, 2, 40]) + b"\x00\x00" + reply((1, 2, 40), [0xFFFFFFFF, 7]),
        "short-count": bytes(s12) + b"\x02\x03" + r12 + b"\x00\x00\x00",
        "node-without-table": bytes(s12) + b"\x04\x00" + r12,
        "table-of-other-shape": bytes(s234) + b"\x06\x01" + reply(s234, [1, 2, 3, 4, 5, 6]),
    }
    return seeds


def discovery_reply(channels, type_code, random):
    return frame(0x01, bytes([channels, type_code]) + u16(random))


def frame_discovery():
    r = bytes.fromhex("2305010203123492 24".replace(" ", ""))
    assert r == discovery_reply(2, 3, 0x1234)
    type3 = bytes([3, 8, 2, 1, 0])
    return {
        "one-reply": b"\x01" + type3 + b"\x00\x00" + r,
        "back-to-back": b"\x01" + type3 + b"\x00\x00" + r + discovery_reply(1, 3, 0x0205),
        "same-random-twice": b"\x01" + type3 + b"\x00\x00" + r + discovery_reply(4, 3, 0x1234),
        "already-filed": b"\x09" + type3 + b"\x12\x34" + r,
        "unknown-type": b"\x00" + b"\x00\x00" + discovery_reply(2, 9, 0x4242),
        "stray-and-truncated": b"\x02" + type3 + bytes([9, 16, 1, 0, 1]) + b"\x00\x00" + b"\x23\x05" + r + r[:5],
        "overlapping-start": b"\x01" + type3 + b"\x00\x00" + b"\x23\x05\x01" + r,
    }


def frame_check():
    ok = frame(0x04, u16(0x1234) + u16(0x0102) + b"\x07")
    other = frame(0x04, u16(0x1234) + u16(0x0103) + b"\x07")
    node = u16(0x1234) + u16(0x0102)
    return {
        "matching": node + b"\x00" + ok,
        "another-address-then-matching": node + b"\x00" + other + ok,
        "another-only": node + b"\x00" + other,
        "cut-before-end": node + b"\x81" + ok + b"\x00",
        "assignment-not-a-check": node + b"\x00" + bytes.fromhex("23060212340102071F24"),
    }


def roundtrip(shape, values, gateway=7, address=0x0102, random=0x1234):
    return bytes(shape) + bytes([gateway]) + u16(address) + u16(random) + b"\x00\x00\x00" + b"".join(u32(v) for v in values)


def frame_roundtrip():
    return {
        "12bit-abc": roundtrip((1, 1, 12), [0xABC]),
        "8bit-55": roundtrip((1, 1, 8), [0x55]),
        "2x3x4bit": roundtrip((2, 3, 4), [1, 2, 3, 4, 5, 6]),
        "255bit": roundtrip((3, 5, 17), [0x1FFFF - i for i in range(15)]),
        "1bit-and-wide": roundtrip((7, 1, 1), [1, 0, 1, 1, 0, 0, 1]),
        "7bit": roundtrip((2, 2, 7), [0x7F, 0x80, 3, 0x40]),
        "32bit": roundtrip((1, 2, 32), [0xFFFFFFFF, 0x80000001]),
        "40bit-surplus": roundtrip((1, 1, 40), [0xDEADBEEF]),
        "no-channels": roundtrip((0, 4, 8), []),
        "no-values": roundtrip((5, 0, 8), []),
    }


HANDSHAKE = [
    '{"message_type":2,"address":3}',
    '{"message_type":13,"types":[{"type":5,"data_range":8,"data_count":2,"read_write":1,"latency":0}]}',
    '{"message_type":9,"nodes":[{"address":21,"type":5,"channel_count":2,'
    '"data":[{"channel":0,"data":[1,0]},{"channel":1,"data":[0,0]}]}]}',
]

SERVER = {
    "data-set": '{"message_type":6,"address":21,"data":[{"channel":0,"data":[1,0]},{"channel":1,"data":[0,0]}]}',
    "register-type": '{"message_type":10,"type":6,"data_range":16,"data_count":1,"read_write":0,"latency":1}',
    "new-addresses": '{"message_type":4,"nodes":[{"address":22,"random":517,"channel_count":2,"type":5}]}',
    "node-removed": '{"message_type":11,"address":21}',
    "discover": '{"message_type":15}',
    "ping": '{"message_type":16}',
}


def z(*texts):
    return b"".join(t.encode() + b"\x00" for t in texts)


def connector():
    seeds = {name: z(text) for name, text in SERVER.items()}
    seeds.update({
        "all-commands": z(*SERVER.values()),
        "crlf-endings": b"".join(t.encode() + b"\r\n\x00" for t in SERVER.values()),
        "unhandled-codes": z('{"message_type":2,"address":3}', '{"message_type":9}', '{"message_type":13}',
                             '{"message_type":14}', '{"message_type":17}', '{"message_type":99}'),
        "removed-then-set": z(SERVER["node-removed"], SERVER["data-set"], SERVER["node-removed"]),
        "search-then-addresses": z(SERVER["discover"], '{"message_type":4,"nodes":[{"address":30,"random":517,'
                                   '"channel_count":2,"type":5}]}',
                                   '{"message_type":6,"address":30,"data":[{"channel":1,"data":[7,8]}]}'),
        "register-then-address": z(SERVER["register-type"], '{"message_type":4,"nodes":[{"address":31,"random":1,'
                                   '"channel_count":3,"type":6}]}', '{"message_type":11,"address":31}'),
        "broken-messages": z("", "not json", '{"message_type":"6"}', '{"message_type":6}', "[16]",
                             '{"message_type":6,"address":-1}', '{"message_type":6,"address":21,"data":7}',
                             '{"message_type":6,"address":21,"data":[{"channel":9,"data":[1]}]}',
                             '{"message_type":6,"address":21,"data":[{"channel":0,"data":[-1,4294967296]}]}',
                             '{"message_type":4,"nodes":[{"address":40,"random":2,"channel_count":300,"type":5}]}',
                             '{"message_type":4,"nodes":[{"address":41,"random":3,"channel_count":2,"type":77}]}',
                             '{"message_type":10,"type":8,"data_range":255,"data_count":255,"read_write":0,"latency":0}',
                             '{"message_type":4,"nodes":[{"address":42,"random":4,"channel_count":1,"type":8}]}',
                             '{"message_type":11}', '{"message_type":16} trailing', '{"message_type":1e400}'),
        "wide-numbers": z('{"message_type":6,"address":65557,"data":[{"channel":0,"data":[4294967295,0]}]}',
                          '{"message_type":11,"address":4294967295}'),
        "non-ascii": b'{"message_type":16,"x":"\xc3\xa9\x7f\x01"}\x00',
        "unterminated-tail": z(SERVER["ping"]) + b'{"message_type":16}',
        "deep-nesting": z('{"message_type":16,"x":' + "[" * 1200 + "]" * 1200 + "}", SERVER["ping"]),
    })
    seeds["own-handshake"] = b"H" + z(*HANDSHAKE) + z(SERVER["ping"])
    seeds["own-handshake-invalid"] = b"H" + z("{", "[", "nope") + z(SERVER["ping"])
    seeds["own-handshake-address-259"] = b"H" + z('{"message_type":2,"address":259}', '{"message_type":13}',
                                                  '{"message_type":9}') + z(SERVER["data-set"])
    seeds["own-handshake-cut-short"] = b"H" + z(HANDSHAKE[0])
    return seeds


def tcp_stream():
    msgs = z(HANDSHAKE[0], SERVER["ping"])
    return {
        "two-in-one-write": b"\x00" + msgs,
        "one-across-writes": b"\x03\x02\x00\x06" + z(HANDSHAKE[1]),
        "byte-by-byte": b"\x01\x00" + msgs,
        "empty-messages": b"\x00" + b"\x00\x00abc\x00\x00",
        "tail-without-zero": b"\x02\x04\x10" + msgs + b'{"message_type"',
        "binary-bytes": b"\x00" + bytes(range(1, 256)) + b"\x00",
    }


TARGETS = {
    "fuzz_frame_get": frame_get,
    "fuzz_frame_discovery": frame_discovery,
    "fuzz_frame_check": frame_check,
    "fuzz_frame_roundtrip": frame_roundtrip,
    "fuzz_connector": connector,
    "fuzz_tcp_stream": tcp_stream,
}


def main():
    for target, make in TARGETS.items():
        out = os.path.join(CORPUS, target)
        shutil.rmtree(out, ignore_errors=True)
        os.makedirs(out)
        for name, data in make().items():
            with open(os.path.join(out, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
