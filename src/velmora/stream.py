"""The seeded stream every random draw of velmora comes from, and the one check of a seed.

The engine draws the models' noise, the fits' random starts and the group fit's samples from one
generator seeded by a uint64; :func:`normal`, :func:`uniform`, :func:`binary` and :func:`seeds` hand the
same stream to Python. Every entry point that takes a seed checks it here.
"""

from __future__ import annotations

import operator

import numpy as np

from velmora import _engine

__all__ = ["SEED_LIMIT", "check_seed", "normal", "uniform", "binary", "seeds"]

# Seeds are the integers 0 .. SEED_LIMIT - 1, in every part of velmora (the core draws from a uint64).
SEED_LIMIT = 2**64

# The wording of a seed out of range, by entry point: each has its own established message.
_OUT_OF_RANGE = {
    "table": "{name} must be an integer from 0 to 2**64-1, got {value}",
    "fit": "{name} must lie in 0..2**64-1, got {value}",
    "array": "argument '{name}': a seed is an integer from 0 to 2**64-1, got {value}",
    "command": "{value} is outside 0 to 2**64-1",
}


def check_seed(value: object, name: str = "seed", wording: str = "table") -> int:
    """``value`` as a seed, a Python int from 0 to 2**64-1: any integer (anything with ``__index__``)
    but a bool. TypeError for anything else, ValueError out of range, worded as ``wording`` says."""
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be an integer from 0 to 2**64-1, not bool")
    try:
        seed = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} must be an integer from 0 to 2**64-1, got {value!r}") from None
    if not 0 <= seed < SEED_LIMIT:
        raise ValueError(_OUT_OF_RANGE[wording].format(name=name, value=seed))
    return seed


def normal(size: int | tuple[int, ...], seed: int, loc: float = 0.0, scale: float = 1.0) -> np.ndarray:
    """Normal deviates ``loc + scale * z`` from the seeded stream that the models draw their noise from.

    ``td_learn_sequence`` and ``forward_simulate`` with seed ``s`` draw ``normal(n, s)``.

    Parameters
    ----------
    size : int or tuple of int
        The shape of the result.
    seed : int
        The stream's seed, an integer from 0 to 2**64-1.
    loc : float, optional
        The mean (default 0).
    scale : float, optional
        The standard deviation, finite and >= 0 (default 1).

    Returns
    -------
    numpy.ndarray
        float64 deviates of shape ``size``.

    Raises
    ------
    ValueError
        ``scale`` negative or not finite, a negative ``size``, or a seed outside 0 to 2**64-1.
    TypeError
        A seed that is not an integer, or ``loc`` or ``scale`` that is not a real number.
    """
    seed = check_seed(seed, "seed", "array")
    loc, scale = _engine.as_double(loc, "loc"), _engine.as_double(scale, "scale")
    if not (np.isfinite(scale) and scale >= 0.0):
        raise ValueError(f"scale must be finite and non-negative, got {scale}")
    out = np.empty(size, dtype=np.float64)
    _engine.normal(out, seed, loc, scale)
    return out


def uniform(size: int | tuple[int, ...], seed: int) -> np.ndarray:
    """Uniform deviates in [0, 1) from the models' seeded stream, one 64-bit word each (its top 53 bits).

    Simulated choices draw ``uniform(n, seed) < p``.

    Parameters
    ----------
    size : int or tuple of int
        The shape of the result.
    seed : int
        The stream's seed, an integer from 0 to 2**64-1.

    Returns
    -------
    numpy.ndarray
        float64 deviates of shape ``size``.

    Raises
    ------
    ValueError
        A negative ``size``, or a seed outside 0 to 2**64-1.
    TypeError
        A seed that is not an integer.
    """
    seed = check_seed(seed, "seed", "array")
    out = np.empty(size, dtype=np.float64)
    _engine.uniform(out, seed)
    return out


def binary(probabilities: object, seed: int) -> np.ndarray:
    """Binary inputs (1.0 or 0.0) drawn from a schedule of probabilities: 1 where
    ``uniform(len(probabilities), seed)`` falls below the trial's probability of a 1, as the
    simulated choices are drawn.

    Parameters
    ----------
    probabilities : array_like
        P(input = 1) per trial, each in [0, 1]: a 1-D sequence.
    seed : int
        The stream's seed, an integer from 0 to 2**64-1.

    Returns
    -------
    numpy.ndarray
        float64 inputs, one per trial.

    Raises
    ------
    ValueError
        Probabilities that are not 1-D or not within [0, 1], or a seed outside 0 to 2**64-1.
    TypeError
        A seed that is not an integer, or probabilities that are not real numbers.
    """
    p = np.asarray(probabilities)
    if p.ndim == 1 and p.dtype.kind not in "biuf":
        # Item by item, as every sequence of numbers is read: text refused rather than parsed.
        p = np.frombuffer(_engine.as_doubles(p, "probabilities"), dtype=np.float64)
    p = np.asarray(p, dtype=np.float64)
    if p.ndim != 1 or not np.all((p >= 0.0) & (p <= 1.0)):
        raise ValueError("probabilities: expected a 1-D sequence of values in [0, 1]")
    return (uniform(p.size, seed) < p).astype(np.float64)


def seeds(n: int, seed: int) -> np.ndarray:
    """``n`` distinct seeds (uint64) derived from one: one per subject of a batch.

    Parameters
    ----------
    n : int
        How many seeds, >= 0.
    seed : int
        The seed they derive from, an integer from 0 to 2**64-1.

    Returns
    -------
    numpy.ndarray
        ``n`` seeds, dtype uint64.

    Raises
    ------
    ValueError
        A negative ``n``, or a seed outside 0 to 2**64-1.
    TypeError
        ``n`` or ``seed`` that is not an integer.
    """
    count = operator.index(n)
    if count < 0:
        raise ValueError(f"n must be non-negative, got {count}")
    out = np.empty(count, dtype=np.uint64)
    _engine.seeds(out, check_seed(seed, "seed", "array"))
    return out
