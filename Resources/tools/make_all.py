#!/usr/bin/python3
"""Regenerates the artwork, the font and the application icon.

    make_all.py [OUT]    OUT defaults to the Resources folder beside tools/

Output is byte-for-byte reproducible, so the committed files can be checked
against a fresh run."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import make_font    # noqa: E402
import make_icon    # noqa: E402
import make_images  # noqa: E402


def main(argv):
    out = argv[1] if len(argv) > 1 else os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    for sub in ("img", "fonts", "icons"):
        os.makedirs(os.path.join(out, sub), exist_ok=True)
    make_images.write(os.path.join(out, "img"))
    make_font.write(os.path.join(out, "fonts", "amiga4ever pro.ttf"))
    make_icon.write(os.path.join(out, "icons"))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
