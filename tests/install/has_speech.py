#!/usr/bin/python3
"""has_speech.py WAV: succeeds when the 16-bit WAV file holds speech, not
silence or a click: loud enough, and loud for long enough."""
import array
import math
import sys
import wave

with wave.open(sys.argv[1], "rb") as w:
    if w.getsampwidth() != 2:
        sys.exit(f"expected 16-bit samples, got {8 * w.getsampwidth()}-bit")
    rate, frames = w.getframerate(), w.readframes(w.getnframes())
    channels = w.getnchannels()
samples = array.array("h", frames)
if sys.byteorder == "big":
    samples.byteswap()
if not samples:
    sys.exit("no samples")
peak = max(abs(s) for s in samples) / 32768
rms = math.sqrt(sum(s * s for s in samples) / len(samples)) / 32768
loud = sum(1 for s in samples if abs(s) > 328) / channels
print(f"peak {peak:.3f}, rms {rms:.4f}, {loud / rate:.2f} s above -40 dBFS")
if peak < 0.1 or rms < 0.005 or loud < rate / 10:
    sys.exit("too quiet to be speech")
