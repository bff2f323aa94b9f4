"""Checks of the Python transcription itself, so it can serve as the oracle for the core.

These need no compiled module: the reference is held to the known vectors, to an
independent ChaCha implementation and to the table generator.
"""

import runpy
import struct
from pathlib import Path

import pytest

import reference_models_rng as models
import reference_rng as r

ROOT = Path(__file__).resolve().parent.parent


@pytest.mark.parametrize(
    ("seed", "first_word"),
    [(0, 0xB585F767A79A3B6C), (1, 0x67094CEA8CA40DB1), (2**64 - 1, 0xAF202386E3A73CAE)],
)
def test_first_word_per_seed(seed, first_word):
    assert r.SeededRng(seed).next_word64() == first_word


def test_first_deviates_of_seed_zero():
    rng = r.SeededRng(0)
    got = [r.standard_normal(rng) for _ in range(3)]
    assert [r.bits_of(v) for v in got] == [
        r.bits_of(v) for v in (0.6999607946268154, -0.14406163542784764, 0.30288628024558556)
    ]
    assert r.bits_of(r.Normal(0.0, 0.5).sample(r.SeededRng(0))) == r.bits_of(0.3499803973134077)


def test_buffer_index_rules():
    rng = r.SeededRng(3)
    words = [rng.next_word64() for _ in range(33)]
    assert (rng.counter, rng.index) == (8, 2)
    blocks = [r.chacha_block(r.chacha_input(rng.key, k, 0)) for k in range(8)]
    flat = [w for block in blocks for w in block]
    assert words == [flat[2 * i] | flat[2 * i + 1] << 32 for i in range(33)]

    odd = r.SeededRng(3)
    odd.generate_and_set(63)
    assert odd.next_word64() == flat[63] | flat[64] << 32
    assert (odd.counter, odd.index) == (8, 1)


def test_rfc8439_block_with_twenty_rounds():
    key = list(struct.unpack("<8I", bytes(range(32))))
    state = r.chacha_input(key, 0x0900000000000001, 0x000000004A000000)
    assert r.chacha_block(state, rounds=20) == [
        0xE4E7F110, 0x15593BD1, 0x1FDD0F50, 0xC47120A3, 0xC7F4D1C7, 0x0368C033, 0x9AAA2204, 0x4E6CD4C3,
        0x466482D2, 0x09AA9F07, 0x05D7C214, 0xA2028BD9, 0xD19C12B5, 0xB94E16DE, 0xE883D0CB, 0x4E3C50A2,
    ]


@pytest.mark.parametrize("seed", [0, 1, 987654321, 2**64 - 1])
@pytest.mark.parametrize("block", [0, 1, 2**32 - 1, 2**32, 2**64 - 1])
def test_block_layout_agrees_with_an_independent_chacha20(seed, block):
    """The cryptography package's ChaCha20 takes words 12-15 as a 16-byte nonce."""
    algorithms = pytest.importorskip("cryptography.hazmat.primitives.ciphers.algorithms")
    ciphers = pytest.importorskip("cryptography.hazmat.primitives.ciphers")
    key = r.expand_seed(seed)
    state = r.chacha_input(key, block, 0)
    cipher = ciphers.Cipher(algorithms.ChaCha20(struct.pack("<8I", *key), struct.pack("<4I", *state[12:])), mode=None)
    keystream = cipher.encryptor().update(bytes(64))
    assert r.chacha_block(state, rounds=20) == list(struct.unpack("<16I", keystream))


def test_tables_header_matches_generator():
    pytest.importorskip("mpmath")
    gen = runpy.run_path(str(ROOT / "tools" / "gen_ziggurat_tables.py"))
    xs, fs = gen["compute_tables"]()
    gen["check_tables"](xs, fs)
    assert [r.bits_of(v) for v in xs] == [r.bits_of(v) for v in r.ZIG_NORM_X]
    assert [r.bits_of(v) for v in fs] == [r.bits_of(v) for v in r.ZIG_NORM_F]
    assert gen["render_header"](xs, fs) == gen["HEADER"].read_text()


def test_model_worked_examples():
    assert models.td_learn_sequence(0.0, [1.0, 1.0, 0.0], 0.5, 0.0, 0) == [0.5, 0.75, 0.375]
    assert models.td_learn_sequence(0.0, [1.0, 1.0, 0.0], 0.5, 2.0, 0) == [
        1.1999607946268154, 0.95591876188556, 0.7808456611883656,
    ]
    assert models.forward_simulate([1.0, 2.0], 0.5, 0.0, 2.0, 0) == [(0.0, 0.0, 2.0, 2.0), (1.0, 1.0, 4.0, 3.0)]
    assert models.forward_simulate([0.0], 1.0, 1.0, 1.0, 0) == [(0.0, 0.0, 0.6999607946268154, 0.6999607946268154)]
