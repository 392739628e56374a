#!/usr/bin/env python3
"""The formats run: converts generated files of every kind the library reads, at several sizes
with and without alpha, and the images the system ships (icons, pixmaps, documentation), and
compares each TGA with Pillow's decode of its input (ImageMagick's where Pillow cannot read it).
Prints per format how many came out exact, different, refused and crashed, and the totals;
"exact-im" counts files Pillow misreads where the output is ImageMagick's decode exactly,
"exact-gm" files Pillow cannot read and ImageMagick misreads, where it is GraphicsMagick's,
"invalid" files that neither reads and the program refuses; every generated file is also tried
cut to its first half, which must be refused ("cut-refused", not "cut-converted").
Not a test: by hand, with python3-pil, imagemagick and graphicsmagick installed.

Usage: tools/formats-run.py PROGRAM [--no-system] [--limit N] [--list]"""

import argparse
import collections
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import formats_test as ft  # noqa: E402  (pictures, the TGA reader, the report parser)
from PIL import Image  # noqa: E402

IM = shutil.which("convert-im6.q16")
SIZES = [(1, 1), (7, 5), (64, 48), (300, 200)]


def generated():
    """(format, ending, maker) for each generated file."""
    kinds = []

    def pil(fmt, ending, mode, dims=SIZES, **kw):
        tag = "".join("-" + k[:4] for k in sorted(kw))
        for w, h in dims:
            kinds.append((fmt, "%s-%s%s-%dx%d.%s" % (fmt.lower(), mode.lower(), tag, w, h, ending),
                          ft.pillow_saved(fmt, mode, w, h, **kw)))

    def tool(label, tool_name, ending, args, alpha=False, pre=None, dims=SIZES):
        tag = "".join(a.strip("-")[:4] for a in args) + (pre or "").strip(":")
        for w, h in dims:
            kinds.append((label, "%s-%s%s%s-%dx%d.%s" % (ending, tool_name, tag, "-a" if alpha else "",
                                                         w, h, ending),
                          ft.tool_saved(tool_name, args, w, h, alpha, pre)))

    for mode in ("RGB", "RGBA", "P", "L"):
        pil("PNG", "png", mode)
    for mode in ("RGB", "P", "L", "1"):
        pil("BMP", "bmp", mode)
    for mode in ("P", "L"):
        pil("GIF", "gif", mode)
    for mode in ("RGB", "P", "L", "1"):
        pil("PCX", "pcx", mode)
    for mode in ("RGB", "L", "CMYK"):
        pil("JPEG", "jpg", mode, quality=90)
    for mode in ("RGB", "RGBA", "L", "P"):
        pil("TGA", "vst", mode)
    for mode in ("RGB", "RGBA", "L"):
        pil("SGI", "sgi", mode)
    for mode in ("1", "L", "RGB"):
        pil("PPM", {"1": "pbm", "L": "pgm", "RGB": "ppm"}[mode], mode)
    pil("ICO", "ico", "RGBA", dims=[(16, 16), (48, 48)], sizes=[(16, 16), (32, 32), (48, 48)])
    pil("ICO", "ico", "RGB", dims=[(16, 16), (32, 32)], sizes=[(16, 16), (32, 32)],
        bitmap_format="bmp")
    pil("GIF", "gif", "P", interlace=True)
    pil("GIF", "gif", "P", transparency=3)
    pil("TGA", "vst", "RGB", compression="tga_rle")
    pil("TGA", "vst", "RGBA", compression="tga_rle")
    pil("DDS", "dds", "RGBA")
    pil("DDS", "dds", "RGB")
    pil("ICNS", "icns", "RGBA", dims=[(16, 16), (32, 32)])
    pil("JPEG", "jpg", "RGB", progressive=True)
    pil("BLP", "blp", "P")
    pil("PNG", "png", "LA")
    pil("PNG", "png", "I")
    if IM:
        tool("BMP", "im", "bmp", ["-colors", "16"], pre="bmp3:")
        tool("BMP", "im", "bmp", ["-colors", "200", "-compress", "RLE"], pre="bmp3:")
        tool("BMP", "im", "bmp", ["-colors", "12", "-compress", "RLE"], pre="bmp3:")
        tool("BMP", "im", "bmp", [], pre="bmp2:")
        tool("TGA", "im", "icb", [], True)
        tool("TGA", "im", "icb", ["-compress", "RLE"], True)
        tool("TGA", "im", "icb", ["-colors", "20"])
        tool("TGA", "im", "icb", ["-colorspace", "gray"])
        tool("RAS", "im", "ras", ["-monochrome"])
        tool("RAS", "im", "ras", ["-colorspace", "gray"])
        tool("WBMP", "im", "wbmp", [])
        tool("FITS", "im", "fits", [])
        tool("FITS", "im", "fits", ["-colorspace", "gray"])
        tool("DPX", "im", "dpx", [])
        tool("DPX", "im", "dpx", ["-depth", "10"])
        tool("DPX", "im", "dpx", ["-depth", "16"])
        tool("DPX", "im", "dpx", ["-colorspace", "gray"])
        tool("PCD", "im", "pcd", [], dims=[(64, 48)])
        tool("HDR", "im", "hdr", [])
        tool("PCX", "im", "pcx", ["-colors", "9"])
        tool("PCX", "im", "pcx", ["-monochrome"])
        tool("PSD", "im", "psd", ["-colors", "9"])
        tool("PSD", "im", "psd", ["-colorspace", "gray"])
        tool("PSD", "im", "psd", ["-colorspace", "cmyk"])
        tool("SGI", "im", "sgi", ["-compress", "RLE"], True)
        tool("SGI", "im", "sgi", ["-colorspace", "gray"])
        tool("GIF", "im", "gif", ["-colors", "2"])
        tool("JPEG", "im", "jpg", ["-colorspace", "gray"])
        tool("XPM", "im", "xpm", [], True)
        tool("ICO", "im", "ico", ["-colors", "16"], dims=[(16, 16), (32, 32)])
        tool("DDS", "im", "dds", [], True)
        tool("DDS", "im", "dds", ["-define", "dds:compression=none"], True)
        for alpha in (False, True):
            tool("BMP", "im", "bmp", [], alpha)
            tool("BMP", "gm", "bmp", [], alpha)
            tool("PSD", "im", "psd", [], alpha)
            tool("PSD", "gm", "psd", [], alpha)
            tool("PCX", "im", "pcx", [], alpha)
            tool("SGI", "im", "sgi", [], alpha)
            tool("RAS", "im", "ras", [], alpha)
            tool("ICO", "im", "ico", [], alpha, dims=[(16, 16), (48, 48)])
        tool("DCX", "im", "dcx", [])
        tool("RAS", "im", "ras", ["-colors", "16"], False, "ras:")
        tool("JPEG", "im", "jpg", ["-colorspace", "cmyk"])
        tool("PPM", "im", "ppm", ["-compress", "none"])
        tool("PPM", "im", "pgm", ["-depth", "16", "-colorspace", "gray"])
        tool("XPM", "im", "xpm", [])
        tool("GIF", "im", "gif", [], True)
        tool("SGI", "im", "sgi", ["-depth", "16"])
        tool("PSD", "im", "psd", ["-depth", "16"])
    return kinds


ENDINGS = {"png": "PNG", "xpm": "XPM", "ico": "ICO", "bmp": "BMP", "gif": "GIF", "jpg": "JPEG",
           "jpeg": "JPEG", "pbm": "PPM", "pgm": "PPM", "ppm": "PPM", "pnm": "PPM", "tga": "TGA",
           "pcx": "PCX", "xbm": "XBM", "tif": "TIFF", "tiff": "TIFF", "psd": "PSD", "sgi": "SGI",
           "cur": "ICO", "dds": "DDS", "icns": "ICNS", "hdr": "HDR", "wbmp": "WBMP", "dcx": "DCX",
           "ras": "RAS", "sun": "RAS", "rgb": "SGI", "bw": "SGI", "pcx": "PCX"}


def system_files(limit):
    """(format, path) of images the system ships, at most limit of each format."""
    found = collections.defaultdict(list)
    roots = ["/usr/share/icons", "/usr/share/pixmaps", "/usr/share/icewm", "/usr/share/doc"]
    for root in roots:
        for folder, _, files in os.walk(root):
            for name in sorted(files):
                ending = name.rsplit(".", 1)[-1].lower() if "." in name else ""
                fmt = ENDINGS.get(ending)
                path = os.path.join(folder, name)
                if fmt and os.path.isfile(path) and not os.path.islink(path) and \
                        len(found[fmt]) < limit:
                    found[fmt].append(path)
    return [(fmt, p) for fmt in sorted(found) for p in found[fmt]]


def reference(path):
    try:
        return ft.reference(path), "pillow"
    except Exception:
        pass
    if IM:
        try:
            ref = ft.im_reference(path)
            if ref:
                return ref, "imagemagick"
        except Exception:
            pass
    return None, None


def ok_against(work, name, ref):
    if ref is None:
        return False
    try:
        size, got = ft.read_tga(os.path.join(work, name[:-3] + "tga"))
    except AssertionError:
        return False
    return size == ref[0] and ft.differing(got, ref[1]) == 0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("program")
    ap.add_argument("--no-system", action="store_true")
    ap.add_argument("--limit", type=int, default=200)
    ap.add_argument("--list", action="store_true", help="print every file that is not exact")
    args = ap.parse_args()
    program = os.path.abspath(args.program)
    work = tempfile.mkdtemp(prefix="ostrelle-formats-run-")
    try:
        items = []  # (format, name in work, origin)
        for fmt, name, make in generated():
            try:
                make(os.path.join(work, name))
                items.append((fmt, name, "generated"))
            except Exception as e:  # a writer that cannot write this kind
                print("not made: %s (%s)" % (name, e))
                continue
            # the same file cut to its first half: no reader can show it right
            data = open(os.path.join(work, name), "rb").read()
            if len(data) > 64:
                cut = "cut-" + name
                with open(os.path.join(work, cut), "wb") as f:
                    f.write(data[:len(data) // 2])
                items.append((fmt, cut, "cut"))
        if not args.no_system:
            for i, (fmt, path) in enumerate(system_files(args.limit)):
                name = "sys%05d-%s" % (i, os.path.basename(path).replace(" ", "_"))
                if name.lower().endswith(".tga"):  # the output would be its own input
                    name = name[:-4] + ".vst"
                shutil.copyfile(path, os.path.join(work, name))
                items.append((fmt, name, path))
        results = collections.defaultdict(collections.Counter)
        notes = []
        for start in range(0, len(items), 200):
            batch = items[start:start + 200]
            run = subprocess.run([program] + [n for _, n, _ in batch], cwd=work,
                                 stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                 timeout=1800)
            reports = ft.REPORT.findall(run.stdout)
            assert len(reports) == len(batch), run.stdout[-2000:]
            for (fmt, name, origin), (text, code, why) in zip(batch, reports):
                path = os.path.join(work, name)
                if origin == "cut":
                    verdict = "cut-converted" if text == "Done!" else "cut-refused"
                    results[fmt][verdict] += 1
                    if text == "Done!":
                        notes.append("%-9s %-8s %s" % (verdict, fmt, name))
                    continue
                ref, by = reference(path)
                if ref is None:
                    verdict = "invalid" if text != "Done!" else "unjudged"
                elif "crashed" in why or "killed" in why:
                    verdict = "crashed"
                elif text != "Done!":
                    verdict = "refused"
                else:
                    try:
                        size, got = ft.read_tga(os.path.join(work, name[:-3] + "tga"))
                        ok = size == ref[0] and ft.differing(got, ref[1]) == 0
                    except AssertionError:
                        ok = False
                    verdict = "exact" if ok else "different"
                    if not ok and by == "pillow" and ok_against(work, name, ft.im_reference(path)):
                        # Pillow misreads it; ImageMagick's decode is the program's
                        verdict = "exact-im"
                    elif not ok and by == "imagemagick" and \
                            ok_against(work, name, ft.gm_reference(path)):
                        # Pillow cannot read it, ImageMagick misreads it; GraphicsMagick's
                        # decode is the program's
                        verdict = "exact-gm"
                results[fmt][verdict] += 1
                if verdict != "exact":
                    notes.append("%-9s %-8s %s %s" % (verdict, fmt, origin if origin != "generated"
                                                      else name, why))
        cols = ["exact", "exact-im", "exact-gm", "different", "refused", "crashed", "invalid", "unjudged",
                "cut-refused", "cut-converted"]
        print("%-6s %6s %8s %8s %9s %7s %7s %7s %8s %11s %13s %6s" % ("format", *cols, "exact%"))
        total = collections.Counter()
        for fmt in sorted(results):
            c = results[fmt]
            total.update(c)
            valid = sum(c[k] for k in cols[:6])
            print("%-6s %6d %8d %8d %9d %7d %7d %7d %8d %11d %13d %5.0f%%" % (
                fmt, *[c[k] for k in cols], 100.0 * sum(c[k] for k in cols[:3]) / max(valid, 1)))
        valid = sum(total[k] for k in cols[:6])
        print("%-6s %6d %8d %8d %9d %7d %7d %7d %8d %11d %13d %5.1f%%" % (
            "total", *[total[k] for k in cols],
            100.0 * sum(total[k] for k in cols[:3]) / max(valid, 1)))
        if args.list:
            print("\n".join(sorted(notes)))
        return 1 if total["different"] or total["crashed"] or total["cut-converted"] else 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
