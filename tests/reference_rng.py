"""Plain Python transcription of the seeded generator and its normal draw.

Slow and deliberately literal: every step is written out the way the generator is
defined, so the compiled core can be compared with it word for word and bit for bit.
The Ziggurat tables are read from the generated C++ header, the one place they live.
"""

from __future__ import annotations

import math
import re
import struct
from pathlib import Path

MASK32 = 0xFFFFFFFF
MASK64 = 0xFFFFFFFFFFFFFFFF

TABLES_HEADER = Path(__file__).resolve().parent.parent / "core" / "src" / "ziggurat_tables.hpp"


def _read_table(text: str, name: str) -> list[float]:
    body = re.search(name + r" = \{(.*?)\};", text, re.S).group(1)
    values = [float.fromhex(v) for v in re.findall(r"^\s*(\S+),", body, re.M)]
    assert len(values) == 257, (name, len(values))
    return values


_header_text = TABLES_HEADER.read_text()
ZIG_NORM_X = _read_table(_header_text, "ZIG_NORM_X")
ZIG_NORM_F = _read_table(_header_text, "ZIG_NORM_F")
ZIG_R = ZIG_NORM_X[1]


def double_from_bits(bits: int) -> float:
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def bits_of(x: float) -> int:
    return struct.unpack("<Q", struct.pack("<d", x))[0]


# --- ChaCha -----------------------------------------------------------------------------


def rotl32(x: int, n: int) -> int:
    return ((x << n) | (x >> (32 - n))) & MASK32


def quarter_round(s: list[int], a: int, b: int, c: int, d: int) -> None:
    s[a] = (s[a] + s[b]) & MASK32
    s[d] = rotl32(s[d] ^ s[a], 16)
    s[c] = (s[c] + s[d]) & MASK32
    s[b] = rotl32(s[b] ^ s[c], 12)
    s[a] = (s[a] + s[b]) & MASK32
    s[d] = rotl32(s[d] ^ s[a], 8)
    s[c] = (s[c] + s[d]) & MASK32
    s[b] = rotl32(s[b] ^ s[c], 7)


def chacha_input(key: list[int], block: int, stream: int) -> list[int]:
    constants = list(struct.unpack("<4I", b"expand 32-byte k"))
    block &= MASK64
    return constants + list(key) + [block & MASK32, block >> 32, stream & MASK32, stream >> 32]


def chacha_block(state: list[int], rounds: int = 8) -> list[int]:
    s = list(state)
    for _ in range(rounds // 2):
        quarter_round(s, 0, 4, 8, 12)
        quarter_round(s, 1, 5, 9, 13)
        quarter_round(s, 2, 6, 10, 14)
        quarter_round(s, 3, 7, 11, 15)
        quarter_round(s, 0, 5, 10, 15)
        quarter_round(s, 1, 6, 11, 12)
        quarter_round(s, 2, 7, 8, 13)
        quarter_round(s, 3, 4, 9, 14)
    return [(x + y) & MASK32 for x, y in zip(s, state)]


# --- Generator --------------------------------------------------------------------------


def expand_seed(seed: int) -> list[int]:
    s = seed & MASK64
    key = []
    for _ in range(8):
        s = (s * 6364136223846793005 + 11634580027462260723) & MASK64
        x = ((((s >> 18) ^ s) >> 27)) & MASK32
        r = s >> 59
        key.append(((x >> r) | (x << (32 - r))) & MASK32)
    return key


class SeededRng:
    def __init__(self, seed: int):
        self.key = expand_seed(seed)
        self.counter = 0
        self.stream = 0
        self.index = 64
        self.buffer = [0] * 64

    def generate_and_set(self, new_index: int) -> None:
        self.buffer = []
        for k in range(4):
            self.buffer += chacha_block(chacha_input(self.key, self.counter + k, self.stream))
        self.counter = (self.counter + 4) & MASK64
        self.index = new_index

    def next_word64(self) -> int:
        if self.index < 63:
            low, high = self.buffer[self.index], self.buffer[self.index + 1]
            self.index += 2
        elif self.index >= 64:
            self.generate_and_set(2)
            low, high = self.buffer[0], self.buffer[1]
        else:
            low = self.buffer[63]
            self.generate_and_set(1)
            high = self.buffer[0]
        return low | (high << 32)


# --- Conversions and the normal draw ----------------------------------------------------


def symmetric(w: int) -> float:
    return double_from_bits(0x4000000000000000 | (w >> 12)) - 3.0


def half_open(w: int) -> float:
    return float(w >> 11) * 1.1102230246251565e-16


def open_interval(w: int) -> float:
    return double_from_bits(0x3FF0000000000000 | (w >> 12)) - double_from_bits(0x3FEFFFFFFFFFFFFF)


def standard_normal(rng: SeededRng) -> float:
    X, F, R = ZIG_NORM_X, ZIG_NORM_F, ZIG_R
    while True:
        w = rng.next_word64()
        i = w & 0xFF
        u = symmetric(w)
        x = X[i] * u
        if abs(x) < X[i + 1]:
            return x
        if i == 0:
            while True:
                a = open_interval(rng.next_word64())
                b = open_interval(rng.next_word64())
                t = math.log(a) / R
                y = math.log(b)
                if not (y * -2.0 < t * t):
                    break
            return t - R if u < 0.0 else R - t
        v = half_open(rng.next_word64())
        if F[i + 1] + (F[i] - F[i + 1]) * v < math.exp((x * x) * -0.5):
            return x


class Normal:
    def __init__(self, mean: float, std: float):
        self.mean = mean
        self.std = std

    def sample(self, rng: SeededRng) -> float:
        return self.mean + (self.std * standard_normal(rng))
