#!/usr/bin/python3
"""Checks a recording of notes played into glimm-host in sing mode.

    analyse_notes.py WAV SENT RATE HZ...

SENT holds the sender's lines "note K at FRAME" (frames at RATE). There must
be a syllable for every note, each gap between syllables as long as the gap
between their notes, and each syllable at the next of the given pitches in
turn (within 50 cents). A gap may be off by one 256-frame block at 48 kHz,
the MIDI input's resolution (a JACK MIDI message is stamped per process
cycle, not per frame), plus the onset measurement's own step."""

import array
import math
import sys
import wave

STEP = 48  # 1 ms at 48 kHz


def samples(path):
    with wave.open(path) as w:
        raw = w.readframes(w.getnframes())
        rate, channels, width = w.getframerate(), w.getnchannels(), w.getsampwidth()
    data = array.array("h" if width == 2 else "i", raw)
    scale = float(1 << (8 * width - 1))
    return [data[i] / scale for i in range(0, len(data), channels)], rate


def onsets(x, rate, threshold=0.002, quiet=0.1):
    """Times where the level rises above threshold after `quiet` s of silence."""
    found, silent = [], quiet * rate
    for i in range(0, len(x) - STEP, STEP):
        level = math.sqrt(sum(v * v for v in x[i:i + STEP]) / STEP)
        if level > threshold:
            if silent >= quiet * rate:
                found.append(i / rate)
            silent = 0
        else:
            silent += STEP
    return found


def fundamental(x, rate):
    n = 2048
    lo, hi = int(rate / 600), int(rate / 70)
    energy = sum(v * v for v in x[:n])
    best, lag = 0.0, 0
    for k in range(lo, hi):
        c = sum(x[i] * x[i + k] for i in range(0, n - k, 2))
        if c > best:
            best, lag = c, k
    return rate / lag if lag and best > 0.3 * energy / 2 else 0.0


def main(argv):
    x, rate = samples(argv[1])
    rate_sent = float(argv[3])
    with open(argv[2]) as f:
        sent = [int(line.split()[3]) / rate_sent for line in f if line.startswith("note ")]
    count = len(sent)
    pitches = [float(v) for v in argv[4:]]
    times = onsets(x, rate)
    print("onsets:", " ".join(f"{t:.3f}" for t in times))
    if count < 2 or len(times) != count:
        print(f"FAIL: {len(times)} sung syllables, expected {count}")
        return 1
    ok = True
    tolerance = (256 + STEP) / 48000
    gaps = [b - a for a, b in zip(times, times[1:])]
    wanted = [b - a for a, b in zip(sent, sent[1:])]
    print("gaps:", " ".join(f"{g:.4f}" for g in gaps))
    print("notes:", " ".join(f"{g:.4f}" for g in wanted))
    for g, w in zip(gaps, wanted):
        if abs(g - w) > tolerance:
            print(f"FAIL: a gap of {g:.4f} s between syllables, {w:.4f} s between their notes")
            ok = False
    sung = []
    for t in times:
        start = int((t + 0.06) * rate)
        if start + 4096 > len(x):
            break  # cut off by the end of the recording
        sung.append(fundamental(x[start:start + 4096], rate))
    print("pitches:", " ".join(f"{f:.1f}" for f in sung))
    # Which pitch the first syllable is, the rest follow in turn.
    cents = lambda f, want: 1200 * math.log2(f / want) if f > 0 else float("inf")
    first = min(range(len(pitches)), key=lambda k: abs(cents(sung[0], pitches[k])))
    for i, f in enumerate(sung):
        want = pitches[(first + i) % len(pitches)]
        if abs(cents(f, want)) > 50:
            print(f"FAIL: syllable {i} sung at {f:.1f} Hz, not {want} Hz")
            ok = False
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
