#!/usr/bin/python3
"""Checks two exports of a sung text, played by notes at given times.

    analyse_export.py FIRST.wav SECOND.wav HZ ONSET_S [ONSET_S...]

Each export must sing after every onset, before the next one (the notes, not
anything else, make it speak), at HZ (within 50 cents), and the two must be
audible for about as long (the same words: each note sings the next word of
the text). How late each word starts is printed, not judged: in a faster-than-real-time export the
voice's synthesis runs beside the host's rendering, so a word can start
after its note (see the test script)."""

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
    block = rate // 100
    for start, end in zip(onsets, ends):
        window = x[int(start * rate):int(end * rate)]
        heard = audible_seconds(window, rate)
        first = next((i for i in range(0, len(window) - block, block)
                      if max(abs(v) for v in window[i:i + block]) > 0.05), None)
        late = f"starts {first / rate:.2f} s after it" if first is not None else "never starts"
        print(f"  note at {start:g} s: audible {heard:.2f} s before {end:g} s, {late}")
        if heard < 0.2:
            print(f"FAIL: no word sung for the note at {start:g} s")
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
        print(f"FAIL: {first:.2f} s against {second:.2f} s of speech: not the same words")
        ok = False
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
