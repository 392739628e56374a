"""Writes small seed files for readers of formats that nothing else here writes.

Each is a minimal, well-formed file of a few pixels, made from the layout the library's reader
expects; the fuzzer starts from them. Usage: python3 fuzz/seeds.py OUT
"""
import struct
import sys
from pathlib import Path


def le32(*values):
    return struct.pack("<%dI" % len(values), *values)


def seeds():
    """Yields (reader, name, bytes)."""
    pixels = bytes(range(16))
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
