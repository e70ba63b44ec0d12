"""Pixel drawings of the panel font: 8 x 8 cells, '#' is ink.

Grid: rows 0-6 stand on the baseline, row 7 hangs below it. Capitals and
digits use rows 0-6, lower case has its x-height at rows 2-6, and letters
normally sit in columns 1-6 so that neighbours keep two blank columns
between them. Vertical strokes are two pixels wide, horizontal ones one.

Accented letters are not drawn here; make_font.py composes them from a
base letter and a mark so that all of them share one set of accents.
"""

import os

_HERE = os.path.dirname(os.path.abspath(__file__))


def _read(name):
    with open(os.path.join(_HERE, name), encoding="utf-8") as f:
        return f.read()


# glyphs.txt: one block per character, a header line with the character
# itself (or U+XXXX for ones that are awkward to type), then eight rows.
DRAWINGS = _read("glyphs.txt")

# marks.txt: marks drawn in the two rows above the x-height; composed over
# lower case as is and over capitals that were squashed to five rows.
MARKS = _read("marks.txt")


def _parse(text, rows):
    glyphs = {}
    lines = [l for l in text.split("\n") if l != ""]
    i = 0
    while i < len(lines):
        head = lines[i]
        body = lines[i + 1:i + 1 + rows]
        for row in body:
            if len(row) != 8 or set(row) - {"#", "."}:
                raise ValueError(f"bad row {row!r} in {head!r}")
        if head in glyphs:
            raise ValueError(f"drawn twice: {head!r}")
        glyphs[head] = [[c == "#" for c in row] for row in body]
        i += 1 + rows
    return glyphs


def drawings():
    """Code point -> 8 rows of 8 booleans."""
    out = {}
    for head, rows in _parse(DRAWINGS, 8).items():
        cp = int(head[2:], 16) if head.startswith("U+") else ord(head)
        out[cp] = rows
    return out


def marks():
    return _parse(MARKS, 2)
