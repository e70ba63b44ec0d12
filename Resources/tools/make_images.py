"""Draws the top bar strip and the logo."""

from PIL import Image, PngImagePlugin

import make_font

PANEL = (0xB8, 0xB8, 0xD1)


def _chunks_srgb():
    info = PngImagePlugin.PngInfo()
    # Rendering intent 0 (perceptual), the gamma and primaries of sRGB: lets
    # colour-managed viewers show the strip exactly like the panel colour.
    info.add(b"sRGB", bytes([0]))
    info.add(b"gAMA", (45455).to_bytes(4, "big"))
    chrm = (31270, 32900, 64000, 33000, 30000, 60000, 15000, 6000)
    info.add(b"cHRM", b"".join(v.to_bytes(4, "big") for v in chrm))
    return info


def top_bar():
    """3 x 45 strip, tiled horizontally across the top of the panel."""
    light = (0xD6, 0xD6, 0xE6)
    mid = (0xC6, 0xC6, 0xDC)
    line = (0x4C, 0x48, 0x70)
    shade = (0x8E, 0x8C, 0xAA)
    dark = [(0x4A, 0x47, 0x66), (0x3A, 0x38, 0x52), (0x2C, 0x2A, 0x3E)]
    rows = []
    for y in range(45):
        if y >= 45 - len(dark):
            rows.append(dark[y - (45 - len(dark))])
        elif y % 7 == 6:
            rows.append(line)
        elif y % 7 == 5:
            rows.append(shade)          # soft edge above each line
        else:
            rows.append(light if y % 7 < 3 else mid)
    img = Image.new("RGB", (3, 45))
    img.putdata([rows[y] for y in range(45) for _ in range(3)])
    return img


YELLOW = (0xFF, 0xD8, 0x20, 255)
RED = (0xE0, 0x28, 0x28, 255)
ORANGE = (0xFF, 0x8A, 0x10, 255)
BLUE = (0x28, 0x48, 0xD8, 255)
INK = (0x1C, 0x1C, 0x6A, 255)
HIGHLIGHT = (0xFF, 0xFF, 0xFF, 255)


def logo():
    """122 x 32: 'Glimm' in the panel font at double size, then stripes.

    The label shows it from x 320 on a 440 wide panel, so the last two
    columns are cut off; nothing important lives there."""
    w, h = 122, 32
    img = Image.new("RGBA", (w, h), (0, 0, 0, 0))
    px = img.load()
    bitmaps = make_font.all_bitmaps()
    scale = 2
    top = 9           # capital height 14 px, centred in 32
    x0 = 3
    pen = x0
    ink = []
    for ch in "Glimm":
        rows = bitmaps[ord(ch)]
        cols = [c for c in range(8) if any(rows[r][c] for r in range(8))]
        first, last = min(cols), max(cols)
        for r in range(8):
            for c in range(first, last + 1):
                if rows[r][c]:
                    ink.append((pen + (c - first) * scale, top + r * scale))
        pen += (last - first + 2) * scale
    # White drop shadow first, so the lettering stands off the grey panel.
    for x, y in ink:
        for dx in range(scale):
            for dy in range(scale):
                px[x + dx + 1, y + dy + 1] = HIGHLIGHT
    for x, y in ink:
        for dx in range(scale):
            for dy in range(scale):
                px[x + dx, y + dy] = INK
    # Stripes: 3 px tall with 1 px gaps, each one starting further left going
    # down, so the bar leans like the lettering's slant would.
    stripe_left = pen + 2
    right = w - 4
    for k, colour in enumerate([YELLOW, RED, ORANGE, BLUE]):
        y0 = top + k * 4
        for dy in range(3):
            start = stripe_left + 4 - k - (dy > 0)
            for x in range(start, right - k):
                px[x, y0 + dy] = colour
    return img


def save_png(img, path, info=None):
    # Fixed level and no time or software chunks: same input, same bytes.
    kwargs = {"compress_level": 9, "optimize": False}
    if info is not None:
        kwargs["pnginfo"] = info
    img.save(path, "PNG", **kwargs)


def write(img_dir):
    save_png(top_bar(), f"{img_dir}/c64bg.png", _chunks_srgb())
    save_png(logo(), f"{img_dir}/logo2.png")

