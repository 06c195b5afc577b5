#!/usr/bin/env python3
"""Checks the window artwork in this folder.

Renders every picture with rsvg-convert at the size the program uses it, then checks, with
ImageMagick's convert:

  1. every picture is fully opaque (the application icon at each size the build makes);
  2. the three panel pictures (134, 131, 144) differ from each other over the whole panel;
  3. the two blink phases (147, 148) differ from each other and from the connected panel
     (131) under the place where the blink is shown;
  4. each hover picture differs from its normal picture over the whole button.

"Differ" means a mean absolute difference of at least MIN_DIFFERENCE (of 255) in each of the
red, green and blue channels. Also checks that nothing animates and that every text names the
font the program ships with. Prints every measured value; exits 1 when a check fails.

    python3 resources/check_artwork.py [--keep DIR]
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
MIN_DIFFERENCE = 20.0
FONT = "WenQuanYi Micro Hei"

# Picture id -> (width, height) it is rendered at.
PICTURES = {
    "142": (680, 530),  # window background
    "134": (678, 417),  # panel: waiting for a phone
    "131": (678, 417),  # panel: phone connected
    "144": (678, 417),  # panel: phone support software missing
    "132": (30, 30),  # minimise, normal
    "145": (30, 30),  # minimise, hover
    "129": (30, 30),  # close, normal
    "130": (30, 30),  # close, hover
    "149": (132, 182),  # download, normal
    "146": (132, 182),  # download, hover
    "147": (125, 28),  # busy blink, first phase
    "148": (125, 28),  # busy blink, second phase
}
ICON = "org.ruvo.Ruvo"
ICON_SIZES = (16, 32, 48, 64, 128, 256)

# Where the blink is shown on the panel: width, height, x, y.
BLINK_AREA = (125, 28, 279, 200)

PANELS = ("134", "131", "144")
BLINKS = ("147", "148")
HOVERS = (("132", "145"), ("129", "130"), ("149", "146"))


class Checker:
    def __init__(self, folder):
        self.folder = folder
        self.failures = []

    def fail(self, message):
        self.failures.append(message)
        print("  FAIL: " + message)

    def png(self, name):
        return os.path.join(self.folder, name + ".png")

    def render(self, svg, name, width, height):
        out = self.png(name)
        subprocess.run(
            ["rsvg-convert", "-w", str(width), "-h", str(height), "-o", out, svg],
            check=True,
        )
        size = magick(["identify", "-format", "%w %h", out])
        if size != f"{width} {height}":
            self.fail(f"{name}: rendered as {size}, not {width} {height}")
        return out

    def opaque(self, name):
        least = float(
            magick(["convert", self.png(name), "-alpha", "extract", "-format", "%[fx:minima]", "info:"])
        )
        print(f"  {name}: least alpha {least:.4f}")
        if least < 1.0:
            self.fail(f"{name} has pixels that are not fully opaque (least alpha {least:.4f})")

    def differ(self, a, b, crop_b=None):
        """Mean absolute difference per channel between picture a and picture b (or a crop of b)."""
        second = [self.png(b)]
        label = b
        if crop_b:
            w, h, x, y = crop_b
            second = ["(", self.png(b), "-crop", f"{w}x{h}+{x}+{y}", "+repage", ")"]
            label = f"{b}[{w}x{h}+{x}+{y}]"
        out = magick(
            ["convert", self.png(a), *second, "-alpha", "off", "-type", "TrueColor",
             "-compose", "difference", "-composite", "-separate",
             "-format", "%[fx:mean*255]\n", "info:"]
        )
        values = [float(v) for v in out.split()]
        if len(values) != 3:
            self.fail(f"{a} vs {label}: expected R, G and B, got {out!r}")
            return
        shown = "  ".join(f"{c} {v:6.1f}" for c, v in zip("RGB", values))
        print(f"  {a} vs {label}: {shown}")
        if min(values) < MIN_DIFFERENCE:
            self.fail(f"{a} vs {label}: a channel differs by {min(values):.1f} < {MIN_DIFFERENCE:g}")
        return min(values)

    def source(self, name):
        path = os.path.join(HERE, name + ".svg")
        with open(path, encoding="utf-8") as f:
            text = f.read()
        if re.search(r"<\s*(animate\w*|set)\b|@keyframes|animation\s*:", text):
            self.fail(f"{name}.svg animates")
        for tag in re.findall(r"<text\b[^>]*>", text):
            if FONT not in tag and not self.font_inherited(text, tag):
                self.fail(f"{name}.svg: a text without font-family {FONT!r}: {tag}")
        return path

    @staticmethod
    def font_inherited(text, tag):
        # A text inside a <g> that names the font; good enough for the flat files here.
        before = text[: text.index(tag)]
        opened = [m for m in re.finditer(r"<g\b[^>]*>|</g>", before)]
        depth_fonts = []
        for m in opened:
            if m.group(0) == "</g>":
                if depth_fonts:
                    depth_fonts.pop()
            else:
                depth_fonts.append(FONT in m.group(0))
        return any(depth_fonts)


def magick(args):
    return subprocess.run(args, check=True, capture_output=True, text=True).stdout.strip()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--keep", metavar="DIR", help="render into DIR and keep the pictures")
    options = parser.parse_args()

    with tempfile.TemporaryDirectory() as scratch:
        folder = options.keep or scratch
        os.makedirs(folder, exist_ok=True)
        check = Checker(folder)

        print("Rendering and opacity (rule 1):")
        for name, (w, h) in PICTURES.items():
            check.render(check.source(name), name, w, h)
            check.opaque(name)
        icon = check.source(ICON)
        for size in ICON_SIZES:
            name = f"{ICON}-{size}"
            check.render(icon, name, size, size)
            check.opaque(name)

        lowest = {}
        print("Panels differ from each other (rule 2):")
        results = [check.differ(a, b) for i, a in enumerate(PANELS) for b in PANELS[i + 1 :]]
        lowest["panels"] = results
        print("Blink phases differ from each other and from the connected panel (rule 3):")
        results = [check.differ(*BLINKS)]
        results += [check.differ(blink, "131", BLINK_AREA) for blink in BLINKS]
        lowest["blink"] = results
        print("Hover pictures differ from the normal ones (rule 4):")
        lowest["hover"] = [check.differ(normal, hover) for normal, hover in HOVERS]

        print("Lowest channel difference per rule:")
        for rule, values in lowest.items():
            known = [v for v in values if v is not None]
            print(f"  {rule}: {min(known):.1f}" if known else f"  {rule}: not measured")

        if check.failures:
            print(f"{len(check.failures)} check(s) failed.")
            return 1
        print("All artwork checks passed.")
        return 0


if __name__ == "__main__":
    sys.exit(main())
