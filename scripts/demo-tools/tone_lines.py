"""The lines beside a tone in a recording, with the standard library only.

A 7-term Blackman-Harris window (side lobes about 180 dB down) over a power-of-two FFT, so that
what stands beside the tone is the signal's own, not the window's leakage. Levels are in dB
relative to the tone's peak.
"""

import cmath
import math

# Side lobes near -180 dB; the main lobe spans about 8 bins either side.
_BH7 = (0.27105140069342, -0.43329793923448, 0.21812299954311, -0.06592544638803,
        0.01081174209837, -0.00077658482522, 0.00001388721735)
MAIN_LOBE_BINS = 8


def _window(n):
    return [sum(a * math.cos(2.0 * math.pi * k * i / n) for k, a in enumerate(_BH7))
            for i in range(n)]


def _fft(values):
    """In-place iterative radix-2 FFT of a list of complex numbers (length a power of two)."""
    n = len(values)
    j = 0
    for i in range(1, n):
        bit = n >> 1
        while j & bit:
            j ^= bit
            bit >>= 1
        j |= bit
        if i < j:
            values[i], values[j] = values[j], values[i]
    size = 2
    while size <= n:
        step = cmath.exp(-2j * math.pi / size)
        half = size // 2
        for start in range(0, n, size):
            w = 1.0
            for k in range(start, start + half):
                t = w * values[k + half]
                values[k + half] = values[k] - t
                values[k] += t
                w *= step
        size *= 2
    return values


class Lines:
    """What one window shows: the tone, the worst line beside it, and the levels around it."""

    def __init__(self, rate, n, magnitudes, tone_bin):
        self.rate = rate
        self.n = n
        self.magnitudes = magnitudes
        self.tone_bin = tone_bin
        self.tone_hz = tone_bin * rate / n
        self.worst_db = -400.0
        self.worst_hz = 0.0

    def level_db(self, magnitude):
        peak = self.magnitudes[self.tone_bin]
        return 20.0 * math.log10(max(magnitude, 1e-30) / max(peak, 1e-30))

    def beside_tone(self, b):
        return abs(b - self.tone_bin) > 2 * MAIN_LOBE_BINS

    def band_db(self, low_hz, high_hz):
        """The strongest bin between low_hz and high_hz beside the tone's main lobe, in dB."""
        low = max(1, int(low_hz * self.n / self.rate))
        high = min(len(self.magnitudes) - 1, int(high_hz * self.n / self.rate))
        beside = [self.magnitudes[b] for b in range(low, high + 1) if self.beside_tone(b)]
        return self.level_db(max(beside)) if beside else -400.0


def lines_beside(samples, rate, tone_hz, n=16384, low_hz=20.0, high_hz=20000.0):
    """Lines of samples[:n] between low_hz and high_hz, leaving out the tone's main lobe."""
    window = _window(n)
    values = _fft([complex(samples[i] * window[i], 0.0) for i in range(n)])
    magnitudes = [abs(v) for v in values[: n // 2]]
    guess = int(round(tone_hz * n / rate))
    lobe = MAIN_LOBE_BINS + 2
    tone_bin = max(range(max(1, guess - lobe), min(n // 2, guess + lobe + 1)),
                   key=lambda b: magnitudes[b])
    lines = Lines(rate, n, magnitudes, tone_bin)
    low = max(1, int(low_hz * n / rate))
    high = min(n // 2 - 1, int(high_hz * n / rate))
    for b in range(low, high + 1):
        if not lines.beside_tone(b):
            continue
        level = lines.level_db(magnitudes[b])
        if level > lines.worst_db:
            lines.worst_db = level
            lines.worst_hz = b * rate / n
    return lines


def clearest_lines(samples, rate, tone_hz, n=16384, first=0, windows=8):
    """The window (of those starting at first, half a window apart) whose worst line stands
    lowest: on a loaded machine a missed period is heard as a gap, which is not the converter's
    doing."""
    best = None
    for k in range(windows):
        start = first + k * n // 2
        if start + n > len(samples):
            break
        lines = lines_beside(samples[start:start + n], rate, tone_hz, n)
        if best is None or lines.worst_db < best.worst_db:
            best = lines
    return best
