#!/usr/bin/python3
"""Renders the font and the artwork into one picture for looking at.

    preview.py FONT IMG_DIR OUT.png"""

import os
import sys

from PIL import Image, ImageDraw, ImageFont

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import make_font  # noqa: E402


def main(font_path, img_dir, out):
    cps = make_font.CODE_POINTS
    per_line = 32
    lines = [cps[i:i + per_line] for i in range(0, len(cps), per_line)]
    big = ImageFont.truetype(font_path, 32)    # 4 screen pixels per font pixel
    small = ImageFont.truetype(font_path, 16)  # 12 pt at 96 dpi
    w = per_line * 32 + 40
    h = len(lines) * 40 + len(lines) * 20 + 480
    img = Image.new("RGB", (w, h), (0x42, 0x42, 0xE7))
    d = ImageDraw.Draw(img)
    y = 10
    for line in lines:
        d.text((20, y), "".join(chr(c) for c in line), font=big, fill=(0xF0, 0xF0, 0xF0))
        y += 40
    for line in lines:
        d.text((20, y), "".join(chr(c) for c in line), font=small, fill=(0xF0, 0xF0, 0xF0))
        y += 20
    d.text((20, y + 4), "pitch speed mouth throat SPEAK! config Übermäßig Ça été 0123", font=small, fill="white")
    y += 30
    panel = Image.new("RGB", (440, 200), (0xB8, 0xB8, 0xD1))
    bar = Image.open(f"{img_dir}/c64bg.png")
    for x in range(0, 440, 3):
        panel.paste(bar.crop((0, 0, 3, 30)), (x, 0))
    logo = Image.open(f"{img_dir}/logo2.png")
    panel.paste(logo, (300, 120), logo)
    pd = ImageDraw.Draw(panel)
    pd.text((16, 125), "pitch", font=small, fill="white")
    panel = panel.resize((880, 400), Image.NEAREST)
    img.paste(panel, (20, y))
    img.save(out)


if __name__ == "__main__":
    main(*sys.argv[1:])
