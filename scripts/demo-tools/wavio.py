"""Reads and writes the WAV files of the demo with the standard library only.

Python's own wave module rejects the float and WAVE_FORMAT_EXTENSIBLE files that the virtual
speakers may write, so the RIFF chunks are read here directly.
"""

import array
import struct
import sys

PCM = 1
IEEE_FLOAT = 3
EXTENSIBLE = 0xFFFE


class WavError(Exception):
    pass


class Wav:
    """One decoded file: `samples` holds channel 0 as floats in -1..1."""

    def __init__(self, rate, channels, bits, is_float, samples):
        self.rate = rate
        self.channels = channels
        self.bits = bits
        self.is_float = is_float
        self.samples = samples

    @property
    def seconds(self):
        return len(self.samples) / self.rate if self.rate else 0.0

    def describe(self):
        kind = "float" if self.is_float else "%d-bit" % self.bits
        return "%.2f s, %d Hz, %d ch %s" % (self.seconds, self.rate, self.channels, kind)


def _decode(data, bits, is_float, channels):
    if is_float and bits == 32:
        values = array.array("f")
        values.frombytes(data[: len(data) // 4 * 4])
        scale = 1.0
    elif bits == 16:
        values = array.array("h")
        values.frombytes(data[: len(data) // 2 * 2])
        scale = 1.0 / 32768.0
    elif bits == 32:
        values = array.array("i")
        values.frombytes(data[: len(data) // 4 * 4])
        scale = 1.0 / 2147483648.0
    elif bits == 24:
        count = len(data) // 3
        values = array.array("i", [0]) * count
        for i in range(count):
            b = data[3 * i : 3 * i + 3]
            v = b[0] | (b[1] << 8) | (b[2] << 16)
            values[i] = v - (1 << 24) if v & 0x800000 else v
        scale = 1.0 / 8388608.0
    elif bits == 8:
        return [(b - 128) / 128.0 for b in data[::channels]]
    else:
        raise WavError("unsupported sample size: %d bits" % bits)
    if sys.byteorder != "little":
        values.byteswap()
    first = values[0::channels]
    return [v * scale for v in first]


def read_wav(path):
    with open(path, "rb") as f:
        content = f.read()
    if len(content) < 12 or content[0:4] != b"RIFF" or content[8:12] != b"WAVE":
        raise WavError("%s is not a RIFF WAVE file" % path)
    fmt = None
    data = None
    pos = 12
    while pos + 8 <= len(content):
        chunk_id = content[pos : pos + 4]
        (size,) = struct.unpack("<I", content[pos + 4 : pos + 8])
        body = content[pos + 8 : pos + 8 + size]
        if chunk_id == b"fmt ":
            fmt = body
        elif chunk_id == b"data":
            data = body
        pos += 8 + size + (size & 1)
    if fmt is None or len(fmt) < 16 or data is None:
        raise WavError("%s has no fmt or data chunk" % path)
    tag, channels, rate, _, _, bits = struct.unpack("<HHIIHH", fmt[:16])
    if tag == EXTENSIBLE:
        if len(fmt) < 40:
            raise WavError("%s: short extensible format" % path)
        (tag,) = struct.unpack("<H", fmt[24:26])
    if tag not in (PCM, IEEE_FLOAT) or channels < 1:
        raise WavError("%s: unsupported format tag %d" % (path, tag))
    return Wav(rate, channels, bits, tag == IEEE_FLOAT, _decode(data, bits, tag == IEEE_FLOAT, channels))


def write_wav_mono16(path, rate, samples):
    """Writes floats in -1..1 as a 16-bit mono PCM file."""
    pcm = array.array("h", (max(-32767, min(32767, int(round(s * 32767.0)))) for s in samples))
    if sys.byteorder != "little":
        pcm.byteswap()
    payload = pcm.tobytes()
    header = struct.pack(
        "<4sI4s4sIHHIIHH4sI",
        b"RIFF", 36 + len(payload), b"WAVE", b"fmt ", 16, PCM, 1, rate, rate * 2, 2, 16,
        b"data", len(payload),
    )
    with open(path, "wb") as f:
        f.write(header)
        f.write(payload)
