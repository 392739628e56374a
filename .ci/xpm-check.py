#!/usr/bin/python3
"""Converts copies of the XPM icons under the folders given with PROGRAM and compares each TGA
with ImageMagick's decode of the icon (Pillow's where ImageMagick cannot read it). Prints the counts
and fails when fewer than MIN_PERCENT of the icons convert exactly or any conversion is wrong.

Usage: xpm-check.py PROGRAM MIN_PERCENT FOLDER...
"""
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

from PIL import Image


def reference(path):
    """The icon's RGBA pixels as ImageMagick, or else Pillow, decodes them; None if neither can.
    ImageMagick comes first: Pillow's XPM reader takes a blank line for a row of pixels and misses
    a "None" colour given after a space. Its 8-bit samples are taken as GraphicsMagick takes them
    too, with -depth 8 (a PNG written by ImageMagick rounds 16-bit colours differently)."""
    magick = "/usr/bin/convert-im6.q16"
    pixels = subprocess.run([magick, str(path), "-depth", "8", "rgba:-"], capture_output=True)
    size = subprocess.run([magick, str(path), "-format", "%w %h", "info:"], capture_output=True,
                          text=True)
    if pixels.returncode == 0 and size.returncode == 0:
        width, height = map(int, size.stdout.split()[:2])
        if len(pixels.stdout) == width * height * 4:
            return Image.frombytes("RGBA", (width, height), pixels.stdout)
    try:
        with Image.open(path) as image:
            return image.convert("RGBA")
    except Exception:
        return None


def same(a, b):
    """Equal sizes and pixels; a fully transparent pixel matches any other fully transparent one."""
    if a.size != b.size:
        return False
    for p, q in zip(a.getdata(), b.getdata()):
        if p != q and not (p[3] == 0 and q[3] == 0):
            return False
    return True


def main():
    program, min_percent, folders = os.path.abspath(sys.argv[1]), float(sys.argv[2]), sys.argv[3:]
    icons = sorted({p for f in folders if os.path.isdir(f) for p in pathlib.Path(f).rglob("*.xpm")
                    if p.is_file()})
    counts = {"exact": 0, "different": 0, "refused": 0, "unreadable": 0}
    wrong = []
    with tempfile.TemporaryDirectory() as work:
        copies = []
        for i, icon in enumerate(icons):
            copy = pathlib.Path(work) / f"{i:05d}.xpm"
            shutil.copyfile(icon, copy)
            copies.append(copy)
        # One run for all of them, as a user would drop a folder's worth.
        if copies:
            subprocess.run([program] + [c.name for c in copies], cwd=work,
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, check=True,
                           timeout=600)
        for icon, copy in zip(icons, copies):
            expected = reference(icon)
            tga = copy.with_suffix(".tga")
            if expected is None:
                counts["unreadable"] += 1
            elif not tga.exists():
                counts["refused"] += 1
            else:
                with Image.open(tga) as image:
                    if same(image.convert("RGBA"), expected):
                        counts["exact"] += 1
                    else:
                        counts["different"] += 1
                        wrong.append(str(icon))
    readable = len(icons) - counts["unreadable"]
    percent = 100.0 * counts["exact"] / readable if readable else 0.0
    print(f"xpm-check: {len(icons)} icons, {counts['exact']} exact ({percent:.1f}%),"
          f" {counts['different']} different, {counts['refused']} refused,"
          f" {counts['unreadable']} that neither ImageMagick nor Pillow reads")
    for path in wrong[:20]:
        print(f"xpm-check: different: {path}")
    if not readable or percent < min_percent or wrong:
        print(f"xpm-check: FAILED: needs at least {min_percent}% exact and none different")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
