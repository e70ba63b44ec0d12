#!/usr/bin/python3
"""Checks two captures of notes sung at a fast and a slow speed (each note
sings one word of the text).

    analyse_capture.py FAST.wav SLOW.wav HZ

Both must hold sound; the fast one must be sung at HZ (within 50 cents),
and the slow one must be audible clearly longer (speed reached the voice)."""

import array
import math
import sys
import wave


def samples(path):
    with wave.open(path) as w:
        if w.getsampwidth() not in (2, 4):
            sys.exit(f"{path}: {w.getsampwidth()}-byte samples")
        raw = w.readframes(w.getnframes())
        rate, channels = w.getframerate(), w.getnchannels()
        kind = "h" if w.getsampwidth() == 2 else "i"
    data = array.array(kind, raw)
    scale = float(1 << (8 * w.getsampwidth() - 1))
    return [data[i] / scale for i in range(0, len(data), channels)], rate


def audible_seconds(x, rate, block=480):
    loud = 0
    for i in range(0, len(x) - block, block):
        if math.sqrt(sum(v * v for v in x[i:i + block]) / block) > 0.01:
            loud += 1
    return loud * block / rate


def fundamental(x, rate):
    """Median of per-frame autocorrelation peaks over the loud frames."""
    n = 2048
    lo, hi = int(rate / 600), int(rate / 70)
    found = []
    for start in range(0, len(x) - n, n):
        f = x[start:start + n]
        energy = sum(v * v for v in f)
        if energy / n < 1e-3:
            continue
        best, lag = 0.0, 0
        for k in range(lo, hi):
            c = sum(f[i] * f[i + k] for i in range(0, n - k, 2))
            if c > best:
                best, lag = c, k
        if lag and best > 0.3 * energy / 2:
            found.append(rate / lag)
    found.sort()
    return found[len(found) // 2] if found else 0.0


def main(argv):
    fast, rate = samples(argv[1])
    slow, rate2 = samples(argv[2])
    want = float(argv[3])
    peak = max(abs(v) for v in fast)
    fast_s, slow_s = audible_seconds(fast, rate), audible_seconds(slow, rate2)
    f0 = fundamental(fast, rate)
    cents = 1200 * math.log2(f0 / want) if f0 > 0 else float("inf")
    print(f"fast: peak {peak:.3f}, audible {fast_s:.2f} s, fundamental {f0:.1f} Hz ({cents:+.0f} cents)")
    print(f"slow: audible {slow_s:.2f} s")
    ok = True
    if peak < 0.05 or fast_s < 0.08:
        print("FAIL: the fast capture holds no speech")
        ok = False
    if abs(cents) > 50:
        print(f"FAIL: sung at {f0:.1f} Hz, not {want} Hz")
        ok = False
    if slow_s < 1.5 * fast_s:
        print("FAIL: speed 20 is not clearly longer than speed 200")
        ok = False
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
