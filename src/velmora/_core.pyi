"""Core engine for velmora (precision-weighted Bayesian inference)."""

from collections.abc import Iterator
from typing import Protocol, SupportsFloat, SupportsIndex, TypeAlias, type_check_only

__all__ = [
    "__doc__",
    "VelmoraException",
    "InvalidParameter",
    "SingularMatrix",
    "NumericalDivergence",
    "DimensionMismatch",
    "kalman_run",
    "hgf_run",
    "td_learn_sequence",
    "discounted_value",
    "forward_simulate",
]

# A number is whatever float() accepts without parsing text: floats, ints, bools, NumPy scalars,
# anything with __float__ or __index__.
_Number: TypeAlias = SupportsFloat | SupportsIndex

@type_check_only
class _Numbers(Protocol):
    # What the module accepts as a sequence: indexable (sets, generators and iterators are refused
    # at run time, and so here) and iterable over numbers. Lists, tuples, ranges and NumPy arrays
    # fit; a str does not, its items being strings. Only a dict slips through: it fits the shape
    # but is refused at run time.
    def __getitem__(self, index: int, /) -> _Number: ...
    def __iter__(self) -> Iterator[_Number]: ...

class VelmoraException(Exception):
    """Base class for all velmora core errors."""

class InvalidParameter(VelmoraException):
    """A parameter was out of its valid range."""

class SingularMatrix(VelmoraException):
    """A matrix could not be inverted."""

class NumericalDivergence(VelmoraException):
    """The filter produced a non-finite value."""

class DimensionMismatch(VelmoraException):
    """Sequence lengths did not match."""

def kalman_run(
    initial_mean: _Number,
    initial_var: _Number,
    observations: _Numbers,
    process_noise: _Number,
    obs_noise: _Number,
    prior_precision_cap: _Number | None = None,
) -> list[tuple[float, float]]:
    """Run the 1-D Kalman filter; returns `[(mean, var), ...]` per step."""

def hgf_run(
    observations: _Numbers,
    obs_noise: _Number,
    precision_flexibility: _Number,
    base_process_noise: _Number = 0.01,
    mu1: _Number = 0.0,
    var1: _Number = 1.0,
    mu2: _Number = 0.0,
    var2: _Number = 1.0,
) -> list[tuple[float, float, float, float, float, float, float]]:
    """Run the volatility-coupled HGF; returns one tuple per step:
    `(t, prediction, observation, precision, prediction_error, learning_rate, volatility)`."""

def td_learn_sequence(
    initial_value: _Number,
    rewards: _Numbers,
    learning_rate: _Number,
    discount_factor: _Number,
    rpe_noise_std: _Number,
    seed: SupportsIndex,
) -> list[float]:
    """Learn a value estimate across a reward sequence; returns the value trajectory."""

def discounted_value(reward: _Number, delay: _Number, discount_factor: _Number) -> float:
    """Subjective discounted value of `reward` after `delay` steps."""

def forward_simulate(
    motor_command: _Numbers,
    update_rate: _Number,
    injury_noise_std: _Number,
    sensory_gain: _Number,
    seed: SupportsIndex,
) -> list[tuple[float, float, float, float]]:
    """Simulate the self-motion forward model; returns `(t, predicted, actual, mismatch)` per step."""
