"""Writes small seed files for readers of formats that nothing else here writes.

Each is a minimal, well-formed file of a few pixels, made from the layout the library's reader
expects; the fuzzer starts from them. Usage: python3 fuzz/seeds.py OUT
"""
import struct
import sys
from pathlib import Path


def le32(*values):
    return struct.pack("<%dI" % len(values), *values)


def be16(*values):
    return struct.pack(">%dH" % len(values), *values)


def be32(*values):
    return struct.pack(">%dI" % len(values), *values)


def le16(*values):
    return struct.pack("<%dH" % len(values), *values)


def seeds():
    """Yields (reader, name, bytes)."""
    pixels = bytes(range(16))
    rgb = bytes(range(48))
    # Alias PIX: big-endian width, height, offsets and 24 bits, then runs of (count, B, G, R).
    yield "pix", "4x4.pix", be16(4, 4, 0, 0, 24) + b"".join(
        bytes([4, 10 * y, 20, 200 - y]) for y in range(4))
    # Pixar: height and width at 416, the layout at 424 (0x0E: RGB), the pixels at 1024.
    head = bytearray(1024)
    head[416:420] = le16(4, 4)
    head[424] = 0x0E
    yield "pxr", "4x4.pxr", bytes(head) + rgb
    # FAKK2 texture: width, height, alpha flag, then RGBA pixels.
    yield "ftx", "2x2.ftx", le32(2, 2, 1) + bytes(range(16))
    # Infinity Ward image: signature, format (2: RGB8), flags (3: no mipmaps), sides, 18 more.
    yield "iwi", "4x4.iwi", le32(0x06695749) + bytes([2, 3]) + le16(4, 4) + bytes(18) + rgb
    # Khronos texture: identifier, endianness, GL type, size, format, internal format, base
    # format, sides, depth, array, faces, mip levels, key-value bytes; one level of RGB bytes.
    ktx_id = b"\xabKTX 11\xbb\r\n\x1a\n"
    yield "ktx", "4x4.ktx", (ktx_id + le32(0x04030201, 0x1401, 1, 0x1907, 0x8051, 0x1907, 4, 4,
                                          0, 0, 1, 1, 0) + le32(len(rgb)) + rgb)
    # Apple icon: 'icns' and its size, then a 16x16 mask entry (s8mk) and its bytes.
    mask = b"s8mk" + be32(8 + 256) + bytes(range(256))
    yield "icns", "16x16.icns", b"icns" + be32(8 + len(mask)) + mask
    # Quake 2 wall texture: name, size, four mip offsets, animation name, flags, contents, value.
    offsets = [100, 116, 120, 121]
    yield "wal", "4x4.wal", (b"wall".ljust(32, b"\0") + le32(4, 4, *offsets) +
                             b"".ljust(32, b"\0") + le32(0, 0, 0) + pixels + bytes(6))
    # Homeworld texture: "Willy 7", version, flags, size, palette and its CRC, image CRC, pad.
    yield "lif", "4x4.lif", (b"Willy 7\0" + le32(0x104, 0x32, 4, 4, 0, 0, 0, 0) + pixels +
                             bytes(range(256)) * 4)


def main():
    out = Path(sys.argv[1])
    for reader, name, data in seeds():
        (out / reader).mkdir(parents=True, exist_ok=True)
        (out / reader / name).write_bytes(data)


if __name__ == "__main__":
    main()
