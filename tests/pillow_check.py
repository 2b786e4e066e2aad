#!/usr/bin/env python3
"""Checks that a viewer's library opens what kvd2bmp writes, with the right size and colours.

    tests/pillow_check.py DOZ2ERA KVD2BMP PICTURE.bmp...

Each picture is copied into a temporary folder, converted by doz2era into a KVD file and turned
back into a BMP by kvd2bmp. Pillow (or, without it, ImageMagick's convert) then reads both the
source picture and the decoded BMP: they must have the same width and height and the same colour
in every pixel. A few pixels are printed to show it. Exit status 0 when every picture passes, 1
otherwise; 0 with a note when neither Pillow nor ImageMagick is installed.
"""

import os
import shutil
import subprocess
import sys
import tempfile


def pillow_reader():
    try:
        from PIL import Image
    except ImportError:
        return None

    def read(path):
        with Image.open(path) as image:
            image.load()
            return image.size, image.convert("RGB").tobytes()

    return "Pillow", read


def imagemagick_reader():
    # ImageMagick's own convert only: another program of that name is not a BMP reader to trust.
    for candidate in ("/usr/bin/convert", "/usr/bin/convert-im6.q16", "/usr/bin/magick"):
        if not os.access(candidate, os.X_OK):
            continue
        version = subprocess.run([candidate, "-version"], capture_output=True, text=True)
        if version.stdout.startswith("Version: ImageMagick"):
            break
    else:
        return None

    def read(path):
        size = subprocess.run([candidate, path, "-format", "%w %h", "info:"],
                              capture_output=True, text=True, check=True).stdout.split()
        pixels = subprocess.run([candidate, path, "-depth", "8", "rgb:-"],
                                capture_output=True, check=True).stdout
        return (int(size[0]), int(size[1])), pixels

    return "ImageMagick", read


def check(doz2era, kvd2bmp, picture, read, work):
    name = os.path.basename(picture)
    base = os.path.splitext(name)[0]
    shutil.copy(picture, os.path.join(work, name))
    converted = subprocess.run([doz2era, name], cwd=work, capture_output=True, text=True)
    expected_line = f"{name} -> {base}.kvd ... OK!\n"
    if converted.stdout != expected_line:
        print(f"  {name}: doz2era printed {converted.stdout!r}")
        return False
    decoded = subprocess.run([kvd2bmp, base + ".kvd", base + "-check.bmp"], cwd=work,
                             capture_output=True, text=True)
    if decoded.returncode != 0 or decoded.stderr:
        print(f"  {name}: kvd2bmp exit status {decoded.returncode}: {decoded.stderr.strip()}")
        return False

    (width, height), source = read(os.path.join(work, name))
    size, back = read(os.path.join(work, base + "-check.bmp"))
    if size != (width, height):
        print(f"  {name}: {width} x {height}, the decoded BMP {size[0]} x {size[1]}")
        return False
    differ = sum(1 for i in range(0, len(source), 3) if source[i:i + 3] != back[i:i + 3])
    corners = [(0, 0), (width - 1, 0), (width // 2, height // 2), (0, height - 1),
               (width - 1, height - 1)]
    shown = []
    for x, y in corners if width and height else []:
        at = 3 * (y * width + x)
        shown.append(f"({x},{y}) #{back[at:at + 3].hex()}")
    print(f"  {name}: {width} x {height}, {width * height - differ} of {width * height} pixels "
          f"the same colour; {', '.join(shown)}")
    return differ == 0 and len(source) == len(back)


def main():
    if len(sys.argv) < 4:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    doz2era, kvd2bmp = (os.path.abspath(p) for p in sys.argv[1:3])
    reader = pillow_reader() or imagemagick_reader()
    if reader is None:
        print("pillow_check: neither Pillow nor ImageMagick is installed: skipped")
        return 0
    library, read = reader
    print(f"pillow_check: reading with {library}")
    ok = True
    with tempfile.TemporaryDirectory() as work:
        for picture in sys.argv[3:]:
            ok = check(doz2era, kvd2bmp, picture, read, work) and ok
    print("pillow_check: " + ("every picture opens with its size and colours" if ok else "FAILED"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
