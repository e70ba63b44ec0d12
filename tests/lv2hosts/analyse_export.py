#!/usr/bin/python3
"""Checks two exports of sung words, played by notes at given times.

    analyse_export.py FIRST.wav SECOND.wav HZ LATENCY_S ONSET_S [ONSET_S...]

Each export must sing a word after every onset, before the next one (the
notes, not anything else, make it sing), at HZ (within 50 cents), and the two
must be audible for about as long (the same words: each note sings the next
word of the text). Each word must start LATENCY_S (the plug-in's latency)
after its note, within 20 ms: an export renders faster than real time, and
the plug-in waits for its voice while the host free-wheels, so rendering
speed must not shift a word."""

import math
import sys

from analyse_capture import audible_seconds, fundamental, samples


def check(path, want, latency, onsets):
    x, rate = samples(path)
    total = audible_seconds(x, rate)
    f0 = fundamental(x, rate)
    cents = 1200 * math.log2(f0 / want) if f0 > 0 else float("inf")
    print(f"{path}: audible {total:.2f} s, fundamental {f0:.1f} Hz ({cents:+.0f} cents)")
    ok = True
    ends = onsets[1:] + [len(x) / rate]
    for start, end in zip(onsets, ends):
        window = x[int(start * rate):int(end * rate)]
        heard = audible_seconds(window, rate)
        # A sung word begins with sound at once: its first sample above the floor.
        first = next((i for i, v in enumerate(window) if abs(v) > 1e-3), None)
        late = f"starts {1000 * first / rate:.1f} ms after it" if first is not None else "never starts"
        print(f"  note at {start:g} s: audible {heard:.2f} s before {end:g} s, {late}")
        if heard < 0.2:
            print(f"FAIL: no word sung for the note at {start:g} s")
            ok = False
        elif first is None or abs(first / rate - latency) > 0.02:
            print(f"FAIL: the word for the note at {start:g} s is not due {1000 * latency:.1f} ms after it")
            ok = False
    if abs(cents) > 50:
        print(f"FAIL: sung at {f0:.1f} Hz, not {want} Hz")
        ok = False
    return ok, total


def main(argv):
    want = float(argv[3])
    latency = float(argv[4])
    onsets = [float(a) for a in argv[5:]]
    ok1, first = check(argv[1], want, latency, onsets)
    ok2, second = check(argv[2], want, latency, onsets)
    ok = ok1 and ok2
    if abs(first - second) > 0.15 * max(first, second):
        print(f"FAIL: {first:.2f} s against {second:.2f} s of speech: not the same words")
        ok = False
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
