"""What a model's run gives: one float64 array per field, and the one runner that fills them.

The engine reports each model's fields (``velmora.models.ENGINE``); a model's
:class:`Trajectories` subclass names them. The subclasses below add a description and typed
attributes for the public models; any other model the engine reports gets one built from its fields.
"""

from __future__ import annotations

import warnings
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any, ClassVar, TypeVar

import numpy as np

from velmora import _engine
from velmora._core import DimensionMismatch, InvalidParameter, NumericalDivergence, SingularMatrix
from velmora.conversion import Call, thread_count
from velmora.models import DEFAULTS, ENGINE

if TYPE_CHECKING:
    import pandas  # type: ignore[import-untyped,unused-ignore]

__all__ = [
    "Trajectories",
    "KalmanTrajectories",
    "HgfTrajectories",
    "TdTrajectories",
    "ForwardTrajectories",
    "DiscountTrajectories",
    "HyperbolicTrajectories",
    "trajectories_of",
    "run",
    "run_model",
    "run_listed",
]

# In the order of the engine's error kinds.
_ERRORS = (InvalidParameter, SingularMatrix, NumericalDivergence, DimensionMismatch)
# A padded result at least this large, and _PADDING_RATIO times the values it holds, is warned about.
_PADDING_WARN_BYTES = 2**30
_PADDING_RATIO = 8
T = TypeVar("T", bound="Trajectories")


class Trajectories:
    """A model's result: one float64 array per field, by attribute.

    For one sequence each field is 1-D. For many subjects each is 2-D (subjects x trials), padded
    with NaN past ``lengths[i]``. ``to_frame()`` gives a pandas DataFrame: the fields as columns for
    one sequence, long format (``subject``, ``trial``, fields) for many.
    """

    model: ClassVar[str] = ""
    fields: ClassVar[tuple[str, ...]] = ()  # the engine's, in its order

    def __init__(self, block: np.ndarray, lengths: np.ndarray, batched: bool) -> None:
        self.lengths = lengths
        self.batched = batched
        for f, name in enumerate(self.fields):
            setattr(self, name, block[f] if batched else block[f, 0])

    def __getitem__(self, name: str) -> np.ndarray:
        if name not in self.fields:
            raise KeyError(name)
        field: np.ndarray = getattr(self, name)
        return field

    def __repr__(self) -> str:
        shape = (len(self.lengths), int(self.lengths.max(initial=0))) if self.batched else (int(self.lengths[0]),)
        return f"{type(self).__name__}(fields={self.fields}, shape={shape})"

    def __eq__(self, other: object) -> bool:
        """The same model's fields, equal value for value (NaN padding and NaN results alike)."""
        if type(other) is not type(self):
            return NotImplemented
        assert isinstance(other, Trajectories)
        return (
            self.batched == other.batched
            and np.array_equal(self.lengths, other.lengths)
            and all(np.array_equal(getattr(self, name), getattr(other, name), equal_nan=True) for name in self.fields)
        )

    def to_frame(self) -> pandas.DataFrame:
        import pandas as pd

        if not self.batched:
            return pd.DataFrame({name: getattr(self, name) for name in self.fields})
        subjects = np.repeat(np.arange(len(self.lengths)), self.lengths)
        trials = np.arange(subjects.size) - np.repeat(np.cumsum(self.lengths) - self.lengths, self.lengths)
        valid = np.arange(getattr(self, self.fields[0]).shape[1]) < self.lengths[:, None]
        columns = {"subject": subjects, "trial": trials}
        columns.update({name: getattr(self, name)[valid] for name in self.fields})
        return pd.DataFrame(columns)


class KalmanTrajectories(Trajectories):
    """Posterior ``mean`` and ``var`` after each observation, and each observation's predictive
    log-likelihood ``loglik``: with prior precision pi (after floor and cap), observation precision
    P and innovation v against the previous posterior mean, ``-(log(2 pi S) + v**2 / S) / 2`` for
    ``S = 1/pi + 1/P``."""

    model = "kalman"
    fields = ENGINE[model].fields
    mean: np.ndarray
    var: np.ndarray
    loglik: np.ndarray


class HgfTrajectories(Trajectories):
    """The HGF's seven fields per observation, and ``loglik``: the Gaussian log density of the
    observation under the predicted precision (before the observation's is added) and the
    observation precision, at the prediction error."""

    model = "hgf"
    fields = ENGINE[model].fields
    t: np.ndarray
    prediction: np.ndarray
    observation: np.ndarray
    precision: np.ndarray
    prediction_error: np.ndarray
    learning_rate: np.ndarray
    volatility: np.ndarray
    loglik: np.ndarray


class TdTrajectories(Trajectories):
    """The value after each reward."""

    model = "td"
    fields = ENGINE[model].fields
    value: np.ndarray


class ForwardTrajectories(Trajectories):
    """Per motor command: step index, predicted and actual movement, and their mismatch."""

    model = "forward"
    fields = ENGINE[model].fields
    t: np.ndarray
    predicted: np.ndarray
    actual: np.ndarray
    mismatch: np.ndarray


class DiscountTrajectories(Trajectories):
    """Per trial of two offers: each offer's exponentially discounted value and their ``difference``
    (later minus sooner)."""

    model = "discount"
    fields = ENGINE[model].fields
    value_sooner: np.ndarray
    value_later: np.ndarray
    difference: np.ndarray


class HyperbolicTrajectories(DiscountTrajectories):
    """Per trial of two offers: each offer's hyperbolically discounted value and their ``difference``."""

    model = "hyperbolic"
    fields = ENGINE[model].fields


_DECLARED: dict[str, type[Trajectories]] = {
    c.model: c
    for c in (
        KalmanTrajectories,
        HgfTrajectories,
        TdTrajectories,
        ForwardTrajectories,
        DiscountTrajectories,
        HyperbolicTrajectories,
    )
}


def trajectories_of(model: str) -> type[Trajectories]:
    """The result class of ``model``: its declared one, or one made from the engine's fields."""
    if model not in _DECLARED:
        name = "".join(part.capitalize() for part in model.split("_")) + "Trajectories"
        doc = f"The {model} model's fields: {', '.join(ENGINE[model].fields)}."
        _DECLARED[model] = type(name, (Trajectories,), {"model": model, "fields": ENGINE[model].fields, "__doc__": doc})
    return _DECLARED[model]


def _size(count: int) -> str:
    value, unit = float(count), "bytes"
    for larger in ("KiB", "MiB", "GiB"):
        if value < 1024:
            break
        value, unit = value / 1024, larger
    return f"{count} bytes" if unit == "bytes" else f"{value:.1f} {unit}"


def _warn_if_padding_dominates(fields: int, subjects: int, stride: int, trials: int) -> None:
    padded, held = 8 * fields * subjects * stride, 8 * fields * trials
    if padded >= _PADDING_WARN_BYTES and padded >= _PADDING_RATIO * held:
        warnings.warn(
            f"the result pads {subjects} subjects to the longest one's {stride} trials: it takes "
            f"{_size(padded)} to hold {_size(held)} of values; call the longest subject(s) on their own "
            "to avoid the padding",
            RuntimeWarning,
            stacklevel=5,
        )


def run(call: Call, model: str, result: type[T], seeds: np.ndarray | None, threads: int | None, given: int = 0) -> T:
    """``model`` over the converted ``call``, without the interpreter lock; a failing subject raises
    the model's exception for the lowest failing index."""
    workers = thread_count(threads)
    params = np.empty((call.subjects, len(call.params)))
    for k, value in enumerate(call.params):
        params[:, k] = value
    stride = int(call.lengths.max(initial=0))
    fields = len(result.fields)
    _warn_if_padding_dominates(fields, call.subjects, stride, int(call.lengths.sum()))
    block = np.empty((fields, call.subjects, stride))  # the engine writes the padding too
    failure = _engine.run(
        model,
        call.values,
        call.starts,
        call.lengths,
        params=params,
        seeds=seeds,
        out=block,
        stride=stride,
        threads=workers,
        optional=given,
    )
    if failure is not None:
        subject, kind, message = failure
        raise _ERRORS[kind](f"subject {subject}: {message}" if call.batched else message)
    return result(block, call.lengths, call.batched)


def run_listed(model: str, sequence: str, arguments: Mapping[str, Any], threads: int | None, result: type[T]) -> T:
    """A public per-model function's call: ``arguments`` by name in the list function's order (so that
    the first bad one is the one reported, as there), converted as the list function converts them.
    ``sequence`` names the inputs; an argument that is no engine parameter is checked and dropped,
    an optional one that is None is left out, and ``seed`` seeds the model's noise."""
    described = ENGINE[model]
    call = Call(arguments[sequence], sequence, described.inputs if described.width > 1 else ())
    converted: dict[str, np.ndarray | float] = {}
    for name, value in arguments.items():
        if name == "threads":
            continue
        if name == sequence:
            call.convert_sequence()
        elif name != "seed" and not (name in described.optional and value is None):
            converted[name] = call.number(value, name)
    missing = [name for name in described.params if name not in converted and name not in described.optional]
    if missing:  # a function whose signature lags behind the engine's parameters
        raise TypeError(f"{model}: no argument for the engine's parameter(s) {', '.join(missing)}")
    call.params = [converted[name] for name in described.params if name in converted]
    seeds = None
    if described.seeded:  # one seed may serve every subject only where no noise is drawn
        silent = all(np.all(np.asarray(converted[name]) == 0.0) for name in described.noise)
        seeds = call.seed(arguments["seed"], "seed", 0.0 if silent else 1.0)
    present = tuple(name for name in described.optional if name in converted)
    return run(call, model, result, seeds, threads, described.given(present))


def run_model(
    model: str, sequence: Any, params: Mapping[str, Any], seed: Any = 0, threads: int | None = 1
) -> Trajectories:
    """``model`` over one sequence with its parameters by name, in the engine's order: a default of the
    list function where one is not given, a noise parameter not given is 0, an optional one not given
    (or None) is left out; ``seed`` feeds a seeded model's noise."""
    described = ENGINE[model]
    values = {**{name: 0.0 for name in described.noise}, **DEFAULTS.get(model, {}), **params}
    present = tuple(name for name in described.optional if values.get(name) is not None)
    call = Call(sequence, "inputs", described.inputs)
    call.convert_sequence()
    call.params = [
        call.number(values[name], name)
        for name in described.params
        if name not in described.optional or name in present
    ]
    seeds = call.seed(seed, "seed", 0.0) if described.seeded else None
    return run(call, model, trajectories_of(model), seeds, threads, described.given(present))
