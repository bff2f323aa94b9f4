"""Plain Python transcriptions of the seeded generator, its normal draw and the two noisy models,
slow and literal, with their checks and error messages. The Ziggurat tables are read from the generated C++
header, the one place they live."""

import math
import re
import struct
from pathlib import Path

from reference_filters import divergence, invalid

M32, M64 = 0xFFFFFFFF, 0xFFFFFFFFFFFFFFFF
HEADER = (Path(__file__).resolve().parent.parent / "core" / "src" / "ziggurat_tables.hpp").read_text()
X, F = (
    [float.fromhex(v) for v in re.findall(r"^\s*(\S+),", re.search(name + r" = \{(.*?)\};", HEADER, re.S)[1], re.M)]
    for name in ("ZIG_NORM_X", "ZIG_NORM_F")
)
assert len(X) == len(F) == 257
R = X[1]


def from_bits(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def chacha8_block(key, block):
    state = [*struct.unpack("<4I", b"expand 32-byte k"), *key, block & M32, block >> 32, 0, 0]
    s = list(state)
    for _ in range(4):  # double rounds: four column quarter rounds, then four diagonal ones
        for a, b, c, d in (
            (0, 4, 8, 12),
            (1, 5, 9, 13),
            (2, 6, 10, 14),
            (3, 7, 11, 15),
            (0, 5, 10, 15),
            (1, 6, 11, 12),
            (2, 7, 8, 13),
            (3, 4, 9, 14),
        ):
            for x, y, z, r in ((a, b, d, 16), (c, d, b, 12), (a, b, d, 8), (c, d, b, 7)):
                s[x] = (s[x] + s[y]) & M32
                s[z] ^= s[x]
                s[z] = ((s[z] << r) | (s[z] >> (32 - r))) & M32
    return [(v + w) & M32 for v, w in zip(s, state)]


class SeededRng:
    """Only 64-bit words are ever drawn, so the read position stays even and a refill serves 32."""

    def __init__(self, seed):
        self.key, s = [], seed
        for _ in range(8):  # PCG32, the state advanced before each output
            s = (s * 6364136223846793005 + 11634580027462260723) & M64
            x, r = (((s >> 18) ^ s) >> 27) & M32, s >> 59
            self.key.append(((x >> r) | (x << (32 - r))) & M32)
        self.counter, self.buffer, self.index = 0, [], 64

    def next_word64(self):
        if self.index == 64:
            self.buffer = [w for k in range(4) for w in chacha8_block(self.key, (self.counter + k) & M64)]
            self.counter, self.index = (self.counter + 4) & M64, 0
        self.index += 2
        return self.buffer[self.index - 2] | (self.buffer[self.index - 1] << 32)


def standard_normal(rng):
    while True:
        w = rng.next_word64()
        i, u = w & 0xFF, from_bits(0x4000000000000000 | (w >> 12)) - 3.0
        x = X[i] * u
        if abs(x) < X[i + 1]:
            return x
        if i == 0:
            while True:
                a = from_bits(0x3FF0000000000000 | (rng.next_word64() >> 12)) - from_bits(0x3FEFFFFFFFFFFFFF)
                b = from_bits(0x3FF0000000000000 | (rng.next_word64() >> 12)) - from_bits(0x3FEFFFFFFFFFFFFF)
                t, y = math.log(a) / R, math.log(b)
                if not y * -2.0 < t * t:
                    return t - R if u < 0.0 else R - t
        v = float(rng.next_word64() >> 11) * 2.0**-53
        if F[i + 1] + (F[i] - F[i + 1]) * v < math.exp((x * x) * -0.5):
            return x


def noise(rng, std):
    return 0.0 + (std * standard_normal(rng))


def unit_interval(name, x):
    if not 0.0 <= x <= 1.0:
        raise invalid(name, x, "in [0, 1]")


def finite_non_negative(name, x):
    if not (math.isfinite(x) and x >= 0.0):
        raise invalid(name, x, "finite and non-negative")


def td_learn_sequence(initial_value, rewards, learning_rate, discount_factor, rpe_noise_std, seed):
    """The discount factor takes no part."""
    rng, v, values = SeededRng(seed), initial_value, []
    if not rewards:
        return values
    unit_interval("learning_rate", learning_rate)
    finite_non_negative("rpe_noise_std", rpe_noise_std)
    for r in rewards:
        if rpe_noise_std > 0.0:
            v = v + (((r - v) + noise(rng, rpe_noise_std)) * learning_rate)
        else:
            v = v + ((r - v) * learning_rate)
        values.append(v)
    return values


def forward_simulate(motor_command, update_rate, injury_noise_std, sensory_gain, seed):
    rng, e, rows = SeededRng(seed), 0.0, []
    unit_interval("update_rate", update_rate)
    finite_non_negative("injury_noise_std", injury_noise_std)
    for i, c in enumerate(motor_command):
        a = c * sensory_gain
        if injury_noise_std > 0.0:
            a = a + noise(rng, injury_noise_std)
        d = a - e
        e_next = e + (d * update_rate)
        if not math.isfinite(e_next):
            raise divergence("forward_model::simulate estimate")
        rows.append((float(i), e, a, d))
        e = e_next
    return rows
