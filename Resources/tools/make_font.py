"""Builds the panel font (TrueType) from the pixel drawings in glyphs.py."""

from fontTools.agl import UV2AGL
from fontTools.fontBuilder import FontBuilder
from fontTools.pens.ttGlyphPen import TTGlyphPen

import glyphs

FAMILY = "Amiga Forever Pro"
STYLE = "Regular"
VERSION = "1.01"
UPM = 1000
# One font pixel, in font units. Three quarters of an eighth of the em: at the
# panel's 12 points (16 px on a 96 dpi screen) a cell is 12 px wide, which is
# what the panel's fixed layout leaves room for ("throat", "SPEAK!").
PIXEL = 94
ROWS_ABOVE_BASELINE = 7   # rows 0-6 sit on the baseline, row 7 hangs below
ASCENT = ROWS_ABOVE_BASELINE * PIXEL
DESCENT = (8 - ROWS_ABOVE_BASELINE) * PIXEL
# 2010-01-01 00:00:00 UTC in seconds since 1904-01-01, the head epoch; pinned
# so that every build gives the same bytes.
PINNED_TIME = 3345062400

EXTRAS = [0x20AC, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2026,
          0x2013, 0x2014, 0x2122, 0x0152, 0x0153, 0x0178]
CODE_POINTS = list(range(0x20, 0x7F)) + list(range(0xA0, 0x100)) + EXTRAS

# Accented letter -> (base, mark).
COMPOSED = {}
for base, marks_ in (("A", "grave acute circumflex tilde dieresis ring"),
                     ("E", "grave acute circumflex dieresis"),
                     ("I", "grave acute circumflex dieresis"),
                     ("O", "grave acute circumflex tilde dieresis"),
                     ("U", "grave acute circumflex dieresis")):
    first = {"A": 0xC0, "E": 0xC8, "I": 0xCC, "O": 0xD2, "U": 0xD9}[base]
    for k, mark in enumerate(marks_.split()):
        COMPOSED[first + k] = (base, mark)
        COMPOSED[first + k + 0x20] = ("\u0131" if base == "I" else base.lower(), mark)
COMPOSED.update({0xD1: ("N", "tilde"), 0xF1: ("n", "tilde"),
                 0xDD: ("Y", "acute"), 0xFD: ("y", "acute"),
                 0xFF: ("y", "dieresis"), 0x178: ("Y", "dieresis")})
CEDILLA = {0xC7: "C", 0xE7: "c"}


def squash(rows, height):
    """Drops repeated rows of a capital until its body is `height` rows tall.

    Removing a row that equals its neighbour keeps every stroke and counter,
    so the letter stays recognisable while making room for a mark on top."""
    body = [list(r) for r in rows[:ROWS_ABOVE_BASELINE]]
    while len(body) > height:
        best = None
        i = 0
        while i < len(body):
            j = i
            while j + 1 < len(body) and body[j + 1] == body[i]:
                j += 1
            run = j - i + 1
            # Longest run wins; among equals the upper one, where a mark goes.
            if run > 1 and (best is None or run > best[1]):
                best = (i, run)
            i = j + 1
        if best is None:
            raise ValueError("cannot squash a glyph without repeated rows")
        del body[best[0]]
    blank = [False] * 8
    return [blank] * (ROWS_ABOVE_BASELINE - height) + body + [list(r) for r in rows[ROWS_ABOVE_BASELINE:]]


# Marks that would merge with the letter below them are raised one row above
# the cell (a ninth row on top), leaving a blank row in between. The dieresis
# has its own gap, and the ring is meant to sit on the letter.
RAISED_OVER_CAPITALS = {"grave", "acute", "circumflex", "tilde"}
RAISED_OVER_LOWER_CASE = {"circumflex", "tilde"}


def compose(drawn, marks):
    """Accented letters: the mark takes the two rows above the x-height, over
    capitals squashed to five rows."""
    out = {}
    blank = [False] * 8
    for cp, (base, mark) in COMPOSED.items():
        rows = drawn[ord(base)]
        raised = RAISED_OVER_LOWER_CASE
        if base.isupper():
            rows = squash(rows, 5)
            raised = RAISED_OVER_CAPITALS
        if any(any(r) for r in rows[:2]):
            raise ValueError(f"base of U+{cp:04X} reaches into the mark rows")
        gap = [blank] if mark in raised else []
        out[cp] = [list(r) for r in marks[mark]] + gap + [list(r) for r in rows[2:]]
    for cp, base in CEDILLA.items():
        rows = [list(r) for r in drawn[ord(base)]]
        rows[7] = [c == "#" for c in "...##..."]
        out[cp] = rows
    return out


def all_bitmaps():
    drawn = glyphs.drawings()
    bitmaps = {cp: drawn[cp] for cp in drawn if cp in set(CODE_POINTS)}
    for cp, rows in compose(drawn, glyphs.marks()).items():
        if cp in bitmaps:
            raise ValueError(f"U+{cp:04X} is both drawn and composed")
        bitmaps[cp] = rows
    missing = [f"U+{cp:04X}" for cp in CODE_POINTS if cp not in bitmaps]
    if missing:
        raise ValueError("not drawn: " + " ".join(missing))
    return bitmaps


def outline(rows):
    """Traces the pixel region into closed contours (outer clockwise, holes
    counter-clockwise), so touching pixels form one shape without seams.

    Eight rows fill the cell; a ninth, if given, is the first and lies above it."""
    first = 8 - len(rows)
    filled = {(c, r + first) for r, row in enumerate(rows) for c, on in enumerate(row) if on}

    def ink(c, r):
        return (c, r) in filled

    # Corner (x, y) in pixel units with y up: row r spans y 7-r-1 .. 7-r.
    edges = {}
    for (c, r) in filled:
        top, bottom = ROWS_ABOVE_BASELINE - r, ROWS_ABOVE_BASELINE - r - 1
        left, right = c, c + 1
        # Ink on the right of the direction of travel.
        if not ink(c, r - 1):
            edges.setdefault((left, top), []).append((right, top))
        if not ink(c + 1, r):
            edges.setdefault((right, top), []).append((right, bottom))
        if not ink(c, r + 1):
            edges.setdefault((right, bottom), []).append((left, bottom))
        if not ink(c - 1, r):
            edges.setdefault((left, bottom), []).append((left, top))

    contours = []
    while edges:
        start = min(edges)
        path = [start]
        prev = None
        point = start
        while True:
            outs = edges[point]
            if len(outs) == 1 or prev is None:
                nxt = outs[0]
            else:
                # Where two pixels touch only at a corner, turn right so each
                # stays its own contour instead of crossing.
                dx, dy = point[0] - prev[0], point[1] - prev[1]
                right = (point[0] + dy, point[1] - dx)
                nxt = right if right in outs else outs[0]
            outs.remove(nxt)
            if not outs:
                del edges[point]
            prev, point = point, nxt
            if point == start:
                break
            path.append(point)
        # Keep corners only.
        corners = []
        n = len(path)
        for i in range(n):
            a, b, c_ = path[i - 1], path[i], path[(i + 1) % n]
            if (b[0] - a[0]) * (c_[1] - b[1]) != (b[1] - a[1]) * (c_[0] - b[0]):
                corners.append(b)
        contours.append(corners)
    return contours


def glyph_name(cp):
    name = UV2AGL.get(cp)
    return name if name else f"uni{cp:04X}"


def notdef():
    rows = ["........",
            ".######.",
            ".#....#.",
            ".#....#.",
            ".#....#.",
            ".#....#.",
            ".######.",
            "........"]
    return [[c == "#" for c in row] for row in rows]


def build():
    bitmaps = all_bitmaps()
    order = [".notdef"] + [glyph_name(cp) for cp in CODE_POINTS]
    if len(set(order)) != len(order):
        raise ValueError("duplicate glyph names")

    fb = FontBuilder(UPM, isTTF=True)
    fb.font.recalcTimestamp = False
    fb.setupGlyphOrder(order)
    fb.setupCharacterMap({cp: glyph_name(cp) for cp in CODE_POINTS})

    shapes, metrics = {}, {}
    for name, rows in [(".notdef", notdef())] + [(glyph_name(cp), bitmaps[cp]) for cp in CODE_POINTS]:
        pen = TTGlyphPen(None)
        xmin = None
        for contour in outline(rows):
            pts = [(x * PIXEL, y * PIXEL) for x, y in contour]
            pen.moveTo(pts[0])
            for p in pts[1:]:
                pen.lineTo(p)
            pen.closePath()
            cx = min(p[0] for p in pts)
            xmin = cx if xmin is None else min(xmin, cx)
        shapes[name] = pen.glyph()
        metrics[name] = (8 * PIXEL, xmin or 0)
    fb.setupGlyf(shapes)
    fb.setupHorizontalMetrics(metrics)
    fb.setupHorizontalHeader(ascent=ASCENT, descent=-DESCENT, lineGap=0)
    fb.setupNameTable({
        "copyright": "Copyright 2010 the Glimm developers",
        "familyName": FAMILY,
        "styleName": STYLE,
        "uniqueFontIdentifier": f"{FAMILY} {STYLE} {VERSION}",
        "fullName": f"{FAMILY} {STYLE}",
        "version": f"Version {VERSION}",
        "psName": FAMILY.replace(" ", "") + "-" + STYLE,
        "licenseDescription": "GPL-3.0-or-later, with the font exception",
    }, mac=False)
    fb.setupOS2(
        version=4, usWeightClass=400, usWidthClass=5, fsType=0, fsSelection=0x40 | 0x80,  # REGULAR, USE_TYPO_METRICS
        achVendID="GLMM", sTypoAscender=ASCENT, sTypoDescender=-DESCENT,
        sTypoLineGap=0, usWinDescent=DESCENT,
        # Room for the raised marks of accented capitals, which some systems
        # would otherwise clip.
        usWinAscent=ASCENT + PIXEL,
        sxHeight=5 * PIXEL, sCapHeight=7 * PIXEL, ulCodePageRange1=1, ulCodePageRange2=0,
        # Monospaced, so tools that ask for a fixed-pitch font find it.
        panose=_panose())
    fb.setupPost(isFixedPitch=1, underlinePosition=-PIXEL // 2, underlineThickness=PIXEL)
    fb.setupHead(fontRevision=float(VERSION), created=PINNED_TIME, modified=PINNED_TIME,
                 unitsPerEm=UPM)
    fb.font["OS/2"].recalcUnicodeRanges(fb.font)
    return fb.font


def _panose():
    from fontTools.ttLib.tables.O_S_2f_2 import Panose
    p = Panose()
    p.bFamilyType = 2
    p.bSerifStyle = 0
    p.bWeight = 5
    p.bProportion = 9
    p.bContrast = 0
    p.bStrokeVariation = 0
    p.bArmStyle = 0
    p.bLetterForm = 0
    p.bMidline = 0
    p.bXHeight = 0
    return p


def write(path):
    font = build()
    font.save(path)
