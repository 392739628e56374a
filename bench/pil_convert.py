"""Pillow's side of the benchmark: one process converts every file named on the command line."""
import sys

from PIL import Image

# Modes Pillow's TGA writer takes as they are; anything else (16-bit gray, say) is reduced first.
WRITABLE = {"1", "L", "LA", "P", "RGB", "RGBA"}

failures = 0
for path in sys.argv[1:]:
    try:
        with Image.open(path) as image:
            if image.mode not in WRITABLE:
                image = image.convert("RGBA" if "A" in image.getbands() else "RGB")
            image.save(path[:-3] + "tga")
    except (OSError, ValueError) as error:
        print(f"{path}: {error}", file=sys.stderr)
        failures += 1
sys.exit(1 if failures else 0)
