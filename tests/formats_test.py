#!/usr/bin/env python3
"""Every image format the library reads either converts to the pixels Pillow decodes from the
input, or is refused with nothing written. Makes its files (with Pillow, ImageMagick or
GraphicsMagick, or byte by byte for odd variants), converts them all in one run of the program
and compares. Usage: formats_test.py PROGRAM [PINNED]; exits 77 (skipped) without Pillow or
without the pinned library, whose patches these cases are about."""

import io
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile

SKIP = 77

try:
    from PIL import Image
except ImportError:
    print("Pillow (python3-pil) is not installed: skipped")
    sys.exit(SKIP)

IM = shutil.which("convert-im6.q16")
GM = shutil.which("gm")


# --- pictures ------------------------------------------------------------------------------------

def picture(w, h, alpha=False, seed=0):
    """An RGB(A) picture whose neighbouring pixels differ, alpha included."""
    im = Image.new("RGBA" if alpha else "RGB", (w, h))
    px = []
    for y in range(h):
        for x in range(w):
            r, g, b = (x * 37 + y * 11 + seed) % 256, (x * 5 + y * 53 + 7) % 256, (x * y + 91) % 256
            px.append((r, g, b, (x * 29 + y * 71 + 13) % 256) if alpha else (r, g, b))
    im.putdata(px)
    return im


def pillow_saved(fmt, mode="RGB", w=13, h=7, **kw):
    def make(path):
        im = picture(w, h, alpha=mode in ("RGBA", "LA", "PA"))
        if mode != im.mode:
            im = im.convert(mode)
        im.save(path, fmt, **kw)
    return make


def tool_saved(tool, args, w=13, h=7, alpha=False, pre=None):
    """A picture written by ImageMagick or GraphicsMagick from a PNG made here."""
    def make(path):
        src = path + ".src.png"
        picture(w, h, alpha).save(src)
        cmd = (["gm", "convert"] if tool == "gm" else [IM]) + [src] + args + [pre + path if pre else path]
        subprocess.run(cmd, check=True, capture_output=True)
        os.remove(src)
    return make


def cut(make):
    """A file made by make, cut to its first half."""
    def made(path):
        make(path)
        data = open(path, "rb").read()
        with open(path, "wb") as f:
            f.write(data[:len(data) // 2])
    return made


def raw(data):
    def make(path):
        with open(path, "wb") as f:
            f.write(data)
    return make


# --- byte-by-byte files ----------------------------------------------------------------------------

def pnm_plain_wrapped():
    """A plain PPM with one number split by a comment, numbers wrapped across lines."""
    nums = [(x * 40 + y * 3) % 16 for y in range(4) for x in range(5 * 3)]
    text = "P3\n# made by hand\n5 4\n15\n"
    line = ""
    for i, n in enumerate(nums):
        line += "%d " % n
        if len(line) > 10:
            text += line + ("# note\n" if i == 20 else "\n")
            line = ""
    return (text + line + "\n").encode()


def plain_pbm(w, h, packed=False):
    bits = "".join("1" if (x * 3 + y) % 5 < 2 else "0" for y in range(h) for x in range(w))
    if packed:
        body = "\n".join(bits[i:i + 70] for i in range(0, len(bits), 70))
    else:
        body = "\n".join(" ".join(bits[i:i + 35]) for i in range(0, len(bits), 35))
    return ("P1\n%d %d\n%s\n" % (w, h, body)).encode()


def pnm16(magic, w, h, maxval, channels):
    data = b"".join(struct.pack(">H", (i * 2731 + 17) % (maxval + 1)) for i in range(w * h * channels))
    return b"%s\n%d %d\n%d\n" % (magic, w, h, maxval) + data


def pnm8(magic, w, h, maxval, channels):
    data = bytes((i * 7 + 3) % (maxval + 1) for i in range(w * h * channels))
    return b"%s\n%d %d\n%d\n" % (magic, w, h, maxval) + data


def bmp16(w, h, masks, top_down=False):
    """A 16-bit BMP with a 40-byte header and the given bit field masks (none: 5-5-5 stored)."""
    stride = (w * 2 + 3) & ~3
    rows = b"".join(b"".join(struct.pack("<H", (x * 2467 + y * 977 + 5) & 0xFFFF) for x in range(w))
                    .ljust(stride, b"\0") for y in range(h))
    extra = struct.pack("<3I", *masks) if masks else b""
    offset = 14 + 40 + len(extra)
    head = struct.pack("<2sIHHI", b"BM", offset + len(rows), 0, 0, offset)
    info = struct.pack("<IiiHHIIiiII", 40, w, -h if top_down else h, 1, 16, 3 if masks else 0,
                       len(rows), 2835, 2835, 0, 0)
    return head + info + extra + rows


def xpm(colours, rows, cpp=1, blank=False):
    """An XPM of the given colour lines (after the pixel characters) and rows of pixels."""
    w, h = len(rows[0]) // cpp, len(rows)
    text = '/* XPM */\nstatic char *x[] = {\n"%d %d %d %d",\n' % (w, h, len(colours), cpp)
    text += "".join('"%s",\n' % c for c in colours) + ("\n" if blank else "")
    text += ",\n".join('"%s"' % r for r in rows) + "\n};\n"
    return text.encode()


def huge_headers():
    """Small files whose headers declare 30000x30000 pixels or more: (name, bytes)."""
    big = 30000
    sgi = struct.pack(">hbbHHHH", 474, 0, 1, 3, big, big, 3) + struct.pack(">ii", 0, 255)
    sgi_rle = struct.pack(">hbbHHHH", 474, 1, 1, 3, big, big, 3) + struct.pack(">ii", 0, 255)
    psd = (b"8BPS" + struct.pack(">H", 1) + bytes(6) + struct.pack(">HIIHH", 3, big, big, 8, 3)
           + bytes(12))
    return [
        ("huge.sgi", sgi.ljust(512, b"\0") + bytes(100)),
        ("huge-rle.sgi", sgi_rle.ljust(512, b"\0") + bytes(100)),
        ("huge.psd", psd + struct.pack(">H", 0) + bytes(100)),
        ("huge-rle.psd", psd + struct.pack(">H", 1) + bytes(100)),
        ("huge.ras", struct.pack(">8I", 0x59A66A95, big, big, 24, 0, 1, 0, 0) + bytes(100)),
        ("huge-rle.ras", struct.pack(">8I", 0x59A66A95, big, big, 8, 0, 2, 0, 0) + bytes(100)),
        ("huge.pcx", bytes([10, 5, 1, 8]) + struct.pack("<6H", 0, 0, big - 1, big - 1, 72, 72)
         + bytes(49) + bytes([3]) + struct.pack("<HH", big, 1) + bytes(58) + bytes(100)),
        ("huge.bmp", b"BM" + struct.pack("<IHHI", 0, 0, 0, 54)
         + struct.pack("<IiiHHIIiiII", 40, big, big, 1, 24, 0, 0, 0, 0, 0, 0) + bytes(100)),
        ("huge.gif", b"GIF89a" + struct.pack("<HHBBB", big, big, 0x80, 0, 0) + bytes(6) + b","
         + struct.pack("<HHHHB", 0, 0, big, big, 0) + bytes([2, 2, 0x44, 0x01, 0]) + b";"),
        ("huge.xpm", b'/* XPM */\nstatic char *x[] = {\n"900 30000 1 1",\n"a c #000000",\n'
         b'"aaa"\n};\n'),
        ("huge.dds", b"DDS " + struct.pack("<7I", 124, 0x100F, big, big, big * 4, 0, 0) + bytes(44)
         + struct.pack("<8I", 32, 0x41, 0, 32, 0xFF0000, 0xFF00, 0xFF, 0xFF000000)
         + struct.pack("<5I", 0x1000, 0, 0, 0, 0) + bytes(100)),
    ]


def ico_of(entries):
    """An icon of (width, height, declared bits per pixel, PNG bytes) entries, in that order."""
    head = struct.pack("<HHH", 0, 1, len(entries))
    offset = 6 + 16 * len(entries)
    directory, data = b"", b""
    for w, h, bits, png in entries:
        directory += struct.pack("<BBBBHHII", w % 256, h % 256, 0, 0, 1, bits, len(png),
                                 offset + len(data))
        data += png
    return head + directory + data


def png_of(w, h, seed, mode="RGBA"):
    out = io.BytesIO()
    picture(w, h, alpha=True, seed=seed).convert(mode).save(out, "PNG")
    return out.getvalue()


def tga_header(w, h, depth=24, kind=2):
    return struct.pack("<BBBHHBHHHHBB", 0, 0, kind, 0, 0, 0, 0, 0, w, h, depth, 0)


# --- the cases ----------------------------------------------------------------------------------
# (file name, maker, expectation): "exact" is Pillow's decode; "exact-im" is ImageMagick's, for
# the few files Pillow 9.4 misreads (there, ImageMagick and the same picture in a format Pillow
# reads agree); "exact-gm" is GraphicsMagick's, for DPX, which Pillow cannot read and
# ImageMagick 6 reads through a transfer curve it did not write; "refused" is any failure report
# with no TGA written.

CASES = [
    # PNM: polarity, scaling, 16 bits, plain files
    ("bitmap.pbm", pillow_saved("PPM", "1"), "exact"),
    ("bitmap-1x1.pbm", pillow_saved("PPM", "1", 1, 1), "exact"),
    ("bitmap-100x75.pbm", pillow_saved("PPM", "1", 100, 75), "exact"),
    ("plain-100x75.pbm", raw(plain_pbm(100, 75)), "exact"),
    ("plain-packed.pbm", raw(plain_pbm(31, 9, packed=True)), "exact"),
    ("gray.pgm", pillow_saved("PPM", "L"), "exact"),
    ("gray-max15.pgm", raw(pnm8(b"P5", 9, 5, 15, 1)), "exact"),
    ("gray-max1000.pgm", raw(pnm16(b"P5", 9, 5, 1000, 1)), "exact"),
    ("gray-16.pgm", raw(pnm16(b"P5", 9, 5, 65535, 1)), "exact"),
    ("rgb.ppm", pillow_saved("PPM", "RGB"), "exact"),
    ("rgb-max15.ppm", raw(pnm8(b"P6", 9, 5, 15, 3)), "exact"),
    ("rgb-16.ppm", raw(pnm16(b"P6", 9, 6, 65535, 3)), "exact"),
    ("rgb-max300.ppm", raw(pnm16(b"P6", 4, 3, 300, 3)), "exact"),
    ("plain-wrapped.ppm", raw(pnm_plain_wrapped()), "exact"),
    ("plain-max5.pgm", raw(b"P2 3 2 5 0 1 2\n# x\n3 4 5\n"), "exact"),
    ("truncated.ppm", raw(pnm8(b"P6", 9, 5, 255, 3)[:-10]), "refused"),
    ("huge.ppm", raw(b"P6 65535 65535 255\n" + bytes(100)), "refused"),
    ("over-maxval.pgm", raw(b"P2 2 1 5 6 1\n"), "refused"),
    # JPEG in CMYK, as Pillow writes it (Adobe's inverted samples): RGB, without alpha
    ("cmyk.jpg", pillow_saved("JPEG", "CMYK", 16, 9, quality=95), "exact"),
    # 1-bit PCX whose lines need no padding
    ("bits-64x48.pcx", pillow_saved("PCX", "1", 64, 48), "exact"),
    ("bits-13x7.pcx", pillow_saved("PCX", "1", 13, 7), "exact"),
    # BMP of 16 bits: 5-6-5 and 5-5-5 bit fields, 5-5-5 stored, top-down
    ("fields-565.bmp", raw(bmp16(9, 4, (0xF800, 0x7E0, 0x1F))), "exact"),
    ("fields-555.bmp", raw(bmp16(9, 4, (0x7C00, 0x3E0, 0x1F))), "exact"),
    ("stored-555.bmp", raw(bmp16(5, 3, None, top_down=True)), "exact"),
    ("fields-odd.bmp", raw(bmp16(5, 3, (0xF000, 0xF00, 0xF0))), "refused"),
    ("cut.bmp", raw(bmp16(9, 4, None)[:-7]), "refused"),
    # GIF of one pixel
    ("one.gif", pillow_saved("GIF", "P", 1, 1), "exact"),
    ("one-gray.gif", pillow_saved("GIF", "L", 1, 1), "exact"),
    # icons with several sizes: the largest
    ("sizes.ico", pillow_saved("ICO", "RGBA", 48, 48, sizes=[(16, 16), (48, 48), (32, 32)]), "exact"),
    # of two pictures of one size, the deepest; of equals, the last
    ("deepest.ico", raw(ico_of([(16, 16, 32, png_of(16, 16, 1)), (16, 16, 8, png_of(16, 16, 2)),
                                (8, 8, 32, png_of(8, 8, 3))])), "exact"),
    ("last-of-equals.ico", raw(ico_of([(16, 16, 32, png_of(16, 16, 4)),
                                       (16, 16, 32, png_of(16, 16, 5))])), "exact"),
    # TGA: a size the file cannot hold
    ("huge-raw.icb", raw(tga_header(65535, 65535) + bytes(100)), "refused"),
    ("huge-rle.vst", raw(tga_header(65535, 65535, 24, 10) + bytes(100)), "refused"),
]
# every reader: a size the file cannot hold is refused (quickly: the whole test has a time-out)
CASES += [("declared-%s.%s" % (name.replace(".", "-"), name.rsplit(".", 1)[1]), raw(data), "refused")
          for name, data in huge_headers()]
# a file cut short is refused, not filled with made-up pixels (through the readers' cache too)
CASES += [
    ("cut-rle.icb", cut(pillow_saved("TGA", "RGB", 40, 30, compression="tga_rle")), "refused"),
    ("cut-lines.pcx", cut(pillow_saved("PCX", "RGB", 40, 30)), "refused"),
    ("cut-rows.bmp", cut(pillow_saved("BMP", "P", 40, 30)), "refused"),
    ("cut-codes.gif", cut(pillow_saved("GIF", "P", 40, 30)), "refused"),
    ("cut-planes.sgi", cut(pillow_saved("SGI", "RGB", 40, 30)), "refused"),
    # libjpeg fills what a cut file lacks with gray; the reader must not call that a picture
    ("cut-baseline.jpg", cut(pillow_saved("JPEG", "RGB", 64, 48, quality=90)), "refused"),
    ("cut-progressive.jpg", cut(pillow_saved("JPEG", "RGB", 64, 48, progressive=True)), "refused"),
]
if IM:
    CASES += [
        ("im-plain-gray.pgm", tool_saved("im", ["-colorspace", "gray", "-compress", "none"], 40, 6), "exact"),
        ("im-plain-rgb.ppm", tool_saved("im", ["-compress", "none"], 40, 6), "exact"),
        ("im-plain-bits.pbm", tool_saved("im", ["-monochrome", "-compress", "none"], 90, 6), "exact"),
        ("im-16.ppm", tool_saved("im", ["-depth", "16"], 40, 30), "exact"),
        ("im-cmyk.jpg", tool_saved("im", ["-colorspace", "cmyk", "-quality", "95"], 20, 10), "exact"),
        ("im-palette.ras", tool_saved("im", ["-colors", "16"], 20, 10, pre="ras:"), "exact"),
        ("im-rgb.ras", tool_saved("im", [], 20, 10), "exact"),
        ("im-alpha-raster.ras", tool_saved("im", [], 20, 10, alpha=True), "refused"),
        # BMP as ImageMagick and GraphicsMagick write it for alpha (v4 or v5 headers, bit
        # fields), and with 16-bit pixels
        ("im-alpha.bmp", tool_saved("im", [], 7, 5, alpha=True), "exact"),
        ("gm-alpha.bmp", tool_saved("gm", [], 7, 5, alpha=True), "exact"),
        ("im-v5.bmp", tool_saved("im", [], 9, 4), "exact"),
        ("im-os2-one.bmp", tool_saved("im", [], 1, 1, pre="bmp2:"), "exact"),
        # PCX with lines of odd length; PNG data under another format's ending
        ("im-odd.pcx", tool_saved("im", [], 7, 5), "exact"),
        # XPM: colours for gray screens only, of one and four hex digits, X11's grays, a blank
        # line before the pixels, a symbol before the colour; a pixel, a colour or a row that
        # cannot be read
        ("keys.xpm", raw(xpm([". g #858585", "# g None", "a c #123 g #000", "b m white"],
                             [".#ab", "ba#."])), "exact-im"),
        ("wide-hex.xpm", raw(xpm(["aa c #FFFEFFFD8100", "bb c #7FFF80000101", "cc c #ABCABCABC"],
                                 ["aabbcc", "ccbbaa"], cpp=2)), "exact-im"),
        ("grays.xpm", raw(xpm(["a c gray", "b c grey50", "c c gray98", "d c Gray1"],
                              ["abcd"])), "exact-im"),
        ("blank-line.xpm", raw(xpm([" \tc #C0C0C0", ".\tc #000000"], ["  ..", ". . "],
                                   blank=True)), "exact-im"),
        ("symbol.xpm", raw(xpm(["a s iconColor1 c #102030", "b c None"], ["ab", "ba"])),
         "exact-im"),
        ("unknown-pixel.xpm", raw(xpm([". c #000000"], ["..", ".x"])), "refused"),
        ("unknown-name.xpm", raw(xpm([". c light goldenrod"], [".."])), "refused"),
        ("short-row.xpm", raw(xpm(["a c #000000"], ["aaa", "aa"])), "refused"),
        ("no-colour.xpm", raw(xpm(["a s name"], ["a"])), "refused"),
        # DDS in DXT5 (with alpha) and DXT1, as other readers decode them; PSD in CMYK
        ("im-dxt5.dds", tool_saved("im", [], 13, 7, alpha=True), "exact"),
        ("im-dxt1.dds", tool_saved("im", [], 13, 7), "exact"),
        ("im-cmyk-layers.psd", tool_saved("im", ["-colorspace", "cmyk"], 9, 5), "exact"),
        # no one 8-bit picture: high dynamic range; Macintosh icons in PNG
        ("im-float.hdr", tool_saved("im", [], 9, 5), "refused"),
        ("png-inside.icns", pillow_saved("ICNS", "RGBA", 32, 32), "refused"),
        # DPX: 8-bit lines start on 32-bit words; other sample sizes refused. Photo CD refused.
        ("im-lines.dpx", tool_saved("im", [], 7, 5), "exact-gm"),
        ("im-gray-lines.dpx", tool_saved("im", ["-colorspace", "gray"], 7, 5), "exact-gm"),
        ("im-10-bit.dpx", tool_saved("im", ["-depth", "10"], 7, 5), "refused"),
        ("im-photo.pcd", tool_saved("im", [], 64, 48), "refused"),
        # DCX: its first page, in colour and with a palette
        ("im-rgb-pages.dcx", tool_saved("im", [], 9, 5), "exact"),
        ("im-palette-pages.dcx", tool_saved("im", ["-colors", "7"], 9, 5), "exact-im"),
        ("gm-png-inside.psd", tool_saved("gm", [], 7, 5), "exact"),
        ("im-deep-sgi.sgi", tool_saved("im", ["-depth", "16"], 20, 10), "exact"),
        ("im-deep-rle.sgi", tool_saved("im", ["-depth", "16", "-compress", "RLE"], 20, 10), "exact"),
        ("im-deep-256.sgi", tool_saved("im", ["-depth", "16"], 256, 256, alpha=True), "exact"),
        ("im-deep-psd.psd", tool_saved("im", ["-depth", "16"], 20, 10), "refused"),
    ]

# Without GraphicsMagick, the cases that need it to write or to judge are left out.
if not GM:
    CASES = [case for case in CASES
             if not case[0].startswith("gm-") and case[2] != "exact-gm"]


# --- reading what the program wrote ---------------------------------------------------------------

def read_tga(path):
    """RGBA pixels, rows top to bottom, of a TGA as the program writes them; raises on any other."""
    data = open(path, "rb").read()
    idlen, cmtype, kind = data[0], data[1], data[2]
    w, h, depth, desc = struct.unpack("<HHBB", data[12:18])
    assert cmtype == 0 and kind in (2, 3), "type %d, colour map %d" % (kind, cmtype)
    bpp = depth // 8
    size = 18 + idlen + w * h * bpp
    assert len(data) == size + 26, "%d bytes, not %d" % (len(data), size + 26)
    assert desc & 0x20 == 0, "rows top-down"
    px = data[18 + idlen:size]
    rows = []
    for y in range(h - 1, -1, -1):
        row = px[y * w * bpp:(y + 1) * w * bpp]
        for x in range(w):
            p = row[x * bpp:(x + 1) * bpp]
            rows.append((p[0], p[0], p[0], 255) if bpp == 1 else
                        (p[2], p[1], p[0], p[3] if bpp == 4 else 255))
    return (w, h), rows


def reference(path):
    im = Image.open(path)
    im.load()
    if im.mode in ("I", "I;16", "I;16B"):
        # 16-bit gray, which Pillow keeps as it is: to 8 bits as Pillow itself narrows the same
        # format's 16-bit colour, the high byte for PNG ("RGB;16B"), scaled for PNM
        if im.format == "PNG":
            vals = [v >> 8 for v in im.getdata()]
        else:
            vals = [round(v / 65535 * 255) for v in im.getdata()]
        return im.size, [(v, v, v, 255) for v in vals]
    return im.size, list(im.convert("RGBA").getdata())


def im_reference(path):
    """ImageMagick's decode of the first picture of a file, as RGBA, or None."""
    if not IM:
        return None
    out = subprocess.run([IM, path + "[0]", "-depth", "8", "rgba:-"], capture_output=True)
    size = subprocess.run([IM, path + "[0]", "-format", "%w %h", "info:"], capture_output=True,
                          text=True)
    if out.returncode != 0 or size.returncode != 0:
        return None
    w, h = map(int, size.stdout.split()[:2])
    px = out.stdout
    return (w, h), [tuple(px[i:i + 4]) for i in range(0, len(px), 4)]


def gm_reference(path):
    """GraphicsMagick's decode of the first picture of a file, as RGBA, or None."""
    if not GM:
        return None
    out = subprocess.run(["gm", "convert", path + "[0]", "-depth", "8", "rgba:-"],
                         capture_output=True)
    size = subprocess.run(["gm", "identify", "-format", "%w %h", path + "[0]"],
                          capture_output=True, text=True)
    if out.returncode != 0 or size.returncode != 0:
        return None
    w, h = map(int, size.stdout.split()[:2])
    px = out.stdout
    return (w, h), [tuple(px[i:i + 4]) for i in range(0, len(px), 4)]


def differing(got, want):
    n = 0
    for a, b in zip(got, want):
        if a != b and not (a[3] == 0 and b[3] == 0):
            n += 1
    return n


REPORT = re.compile(r"^(Done!|Failed to (?:load|save):\n\nThe error (\d+)\nString is (.*))$", re.M)


def main():
    program = os.path.abspath(sys.argv[1])
    if len(sys.argv) > 2 and sys.argv[2] not in ("ON", "1", "TRUE"):
        print("the pinned DevIL with its patches is not the library built with: skipped")
        return SKIP
    work = tempfile.mkdtemp(prefix="ostrelle-formats-")
    try:
        names = []
        assert len({n[:-3] for n, _, _ in CASES}) == len(CASES), "two cases share an output"
        for name, make, _ in CASES:
            make(os.path.join(work, name))
            names.append(name)
        run = subprocess.run([program] + names, cwd=work, stdin=subprocess.DEVNULL,
                             capture_output=True, text=True, timeout=120)
        reports = REPORT.findall(run.stdout)
        if len(reports) != len(CASES):
            print(run.stdout)
            print("expected %d reports, got %d" % (len(CASES), len(reports)))
            return 1
        faults = 0
        for (name, _, want), (text, code, _) in zip(CASES, reports):
            tga = os.path.join(work, name[:-3] + "tga")
            if want == "refused":
                ok = text != "Done!" and not os.path.exists(tga)
                why = "" if ok else ("converted" if text == "Done!" else "a TGA was written")
            elif text != "Done!":  # one of the "exact" kinds
                ok, why = False, "refused: " + text.replace("\n", " ")
            else:
                try:
                    size, got = read_tga(tga)
                    source = os.path.join(work, name)
                    judge = {"exact-im": im_reference, "exact-gm": gm_reference}.get(want, reference)
                    wsize, expect = judge(source)
                    bad = differing(got, expect) if size == wsize else -1
                    ok = bad == 0
                    why = "" if ok else ("size %s, not %s" % (size, wsize) if bad < 0
                                         else "%d of %d pixels differ" % (bad, len(expect)))
                except AssertionError as e:
                    ok, why = False, "unsound TGA: %s" % e
            print("%-4s %-24s %s %s" % ("ok" if ok else "FAIL", name, want, why))
            faults += not ok
        print("%d of %d cases as expected" % (len(CASES) - faults, len(CASES)))
        return 1 if faults else 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
