#!/usr/bin/python3
"""Checks two exports of one sung phrase, played by notes at given times.

    analyse_export.py FIRST.wav SECOND.wav HZ ONSET_S [ONSET_S...]

Each export must sound after every onset and be quiet again before the next
one (the notes, not anything else, make it speak), be sung at HZ (within 50
cents), and the two must be audible for about as long (the same phrase)."""

import math
import sys

from analyse_capture import audible_seconds, fundamental, samples


def check(path, want, onsets):
    x, rate = samples(path)
    total = audible_seconds(x, rate)
    f0 = fundamental(x, rate)
    cents = 1200 * math.log2(f0 / want) if f0 > 0 else float("inf")
    print(f"{path}: audible {total:.2f} s, fundamental {f0:.1f} Hz ({cents:+.0f} cents)")
    ok = True
    ends = onsets[1:] + [len(x) / rate]
    for start, end in zip(onsets, ends):
        after = audible_seconds(x[int(start * rate):int((start + 2) * rate)], rate)
        tail = audible_seconds(x[int((end - 1) * rate):int(end * rate)], rate)
        print(f"  note at {start:g} s: audible {after:.2f} s of the next 2 s, {tail:.2f} s of the last 1 s before {end:g} s")
        if after < 0.8:
            print(f"FAIL: no speech after the note at {start:g} s")
            ok = False
        if tail > 0.1:
            print(f"FAIL: still sounding before {end:g} s")
            ok = False
    if abs(cents) > 50:
        print(f"FAIL: sung at {f0:.1f} Hz, not {want} Hz")
        ok = False
    return ok, total


def main(argv):
    want = float(argv[3])
    onsets = [float(a) for a in argv[4:]]
    ok1, first = check(argv[1], want, onsets)
    ok2, second = check(argv[2], want, onsets)
    ok = ok1 and ok2
    if abs(first - second) > 0.15 * max(first, second):
        print(f"FAIL: {first:.2f} s against {second:.2f} s of speech: not the same phrase")
        ok = False
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
