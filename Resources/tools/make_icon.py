"""Draws the application icon: the panel's blue screen on a 16 x 16 pixel
grid, showing the font's "G" beside a block cursor over the logo's four
stripes.

The same grid becomes the PNGs (each grid pixel a square block) and the SVG
(one rectangle per run of same-coloured pixels in a row), so every size
shows the same picture."""

import make_font
import make_images

GRID = 16
SIZES = (48, 64, 128, 256)
NAME = "glimm-host"

SCREEN = (0x42, 0x42, 0xE7, 255)    # the text field's colours
BORDER = (0x85, 0x85, 0xDF, 255)
TEXT = (0xF0, 0xF0, 0xF0, 255)
CLEAR = (0, 0, 0, 0)


def grid():
    """16 rows of 16 RGBA tuples."""
    px = [[BORDER if x in (0, GRID - 1) or y in (0, GRID - 1) else SCREEN for x in range(GRID)]
          for y in range(GRID)]
    for x, y in ((0, 0), (GRID - 1, 0), (0, GRID - 1), (GRID - 1, GRID - 1)):
        px[y][x] = CLEAR                  # rounded off by one pixel
    rows = make_font.all_bitmaps()[ord("G")]
    left, top = 1, 2                      # glyph column 1 lands on x = 2
    for r in range(make_font.ROWS_ABOVE_BASELINE):
        for c in range(8):
            if rows[r][c]:
                px[top + r][left + c] = TEXT
    for y in range(top, top + make_font.ROWS_ABOVE_BASELINE):
        for x in range(10, 14):
            px[y][x] = TEXT               # the block cursor
    stripes = (make_images.YELLOW, make_images.RED, make_images.ORANGE, make_images.BLUE)
    for k, colour in enumerate(stripes):
        for x in range(5 - k, GRID - 2 - k):
            px[10 + k][x] = colour        # each further left going down, as in the logo
    return px


def png(size):
    from PIL import Image
    scale = size // GRID
    px = grid()
    img = Image.new("RGBA", (size, size))
    img.putdata([px[y // scale][x // scale] for y in range(size) for x in range(size)])
    return img


def svg():
    px = grid()
    out = ['<?xml version="1.0" encoding="UTF-8"?>\n',
           f'<svg xmlns="http://www.w3.org/2000/svg" width="{GRID}" height="{GRID}" '
           f'viewBox="0 0 {GRID} {GRID}" shape-rendering="crispEdges">\n']
    for y in range(GRID):
        x = 0
        while x < GRID:
            colour = px[y][x]
            end = x
            while end + 1 < GRID and px[y][end + 1] == colour:
                end += 1
            if colour[3]:
                fill = "#%02x%02x%02x" % colour[:3]
                out.append(f'<rect x="{x}" y="{y}" width="{end - x + 1}" height="1" fill="{fill}"/>\n')
            x = end + 1
    out.append("</svg>\n")
    return "".join(out)


def write(icon_dir):
    """Writes NAME-<size>.png for every size and NAME.svg into icon_dir."""
    assert all(s % GRID == 0 for s in SIZES)
    for size in SIZES:
        make_images.save_png(png(size), f"{icon_dir}/{NAME}-{size}.png")
    with open(f"{icon_dir}/{NAME}.svg", "w", encoding="utf-8", newline="\n") as f:
        f.write(svg())
