#!/usr/bin/python3
"""Runs the generators into a temporary folder and compares every file they
make with the committed copy, byte for byte."""

import filecmp
import os
import subprocess
import sys
import tempfile


def main(resources):
    expected = ["img/c64bg.png", "img/logo2.png", "fonts/amiga4ever pro.ttf",
                "icons/glimm-host.svg"] + [f"icons/glimm-host-{s}.png" for s in (48, 64, 128, 256)]
    with tempfile.TemporaryDirectory() as out:
        subprocess.run([sys.executable, os.path.join(resources, "tools", "make_all.py"), out],
                       check=True)
        made = sorted(os.path.relpath(os.path.join(d, f), out)
                      for d, _, files in os.walk(out) for f in files)
        if made != sorted(expected):
            print("generators made", made, "expected", expected)
            return 1
        bad = [f for f in expected
               if not filecmp.cmp(os.path.join(out, f), os.path.join(resources, f), shallow=False)]
        if bad:
            print("differs from the committed file:", ", ".join(bad))
            return 1
    print("all", len(expected), "files reproduced")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
