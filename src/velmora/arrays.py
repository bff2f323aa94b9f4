"""The models on NumPy arrays: one sequence or many subjects per call, on every core.

The functions here take the parameters of the list functions of the same names (so switching is
one import) and return one float64 array per field instead of lists of tuples. Each field is
bit-identical to the list function's output for the same arguments.

Many subjects in one call: pass a 2-D array (subjects x trials) or a list of 1-D arrays of any
lengths as the sequence; every numeric parameter is then a scalar or one value per subject, and
``seed`` one seed per subject (:func:`seeds` derives them from one). The result's fields are then
2-D, padded with NaN past each subject's length (``lengths``). Subject ``i``'s rows are exactly what
a single call with subject ``i``'s arguments returns. The computation runs without the interpreter
lock on ``threads`` threads (default: every CPU this process may use; no more than twice that
many, nor more than there are chunks of about 32,768 output cells, are started, since the work is
bound by computation and more threads would only compete); the results do not depend on the thread
count. A failing subject raises the model's exception for the lowest failing index, its message
starting with ``"subject i: "``. Ctrl-C stops a running call.

Padding is paid for in full: a ragged batch's result holds ``subjects x longest`` cells per field, so
one long subject among many short ones can make it many times the size of the values it holds (a
``RuntimeWarning`` says so when it is at least 8 times that and 1 GiB or more); call such a subject
on its own. A pandas ``DataFrame`` is read as subjects x trials (its values, not its labels), and a
``Series`` serves wherever a sequence does.
"""

from __future__ import annotations

import datetime
import operator
import os
import sys
import warnings
from typing import TYPE_CHECKING, Any, ClassVar

import numpy as np

from velmora import _engine
from velmora._core import DimensionMismatch, InvalidParameter, NumericalDivergence, SingularMatrix
from velmora.deprecation import UNSET, renamed_keyword
from velmora.models import DEFAULTS, ENGINE

if TYPE_CHECKING:
    from collections.abc import Mapping

    import pandas  # type: ignore[import-untyped,unused-ignore]

    from velmora.results import FitArrays

__all__ = [
    "fit",
    "kalman_run",
    "hgf_run",
    "td_learn_sequence",
    "forward_simulate",
    "normal",
    "uniform",
    "seeds",
    "discounted_value",
    "Trajectories",
    "KalmanTrajectories",
    "HgfTrajectories",
    "TdTrajectories",
    "ForwardTrajectories",
    "DiscountTrajectories",
    "HyperbolicTrajectories",
]

# Seeds are the integers 0 .. SEED_LIMIT - 1, in every part of velmora (the core draws from a uint64).
SEED_LIMIT = 2**64
# In the order of the engine's error kinds.
_ERRORS = (InvalidParameter, SingularMatrix, NumericalDivergence, DimensionMismatch)
# Threads beyond this many per usable CPU are not started: the work is bound by computation.
_THREADS_PER_CPU = 2
# A padded result at least this large, and _PADDING_RATIO times the values it holds, is warned about.
_PADDING_WARN_BYTES = 2**30
_PADDING_RATIO = 8
# Input values copied per step when a ragged batch is joined, so that Ctrl-C is answered in between.
_COPY_BLOCK = 2**20
# Cells of a broadcast computed per step by discounted_value.
_BROADCAST_BLOCK = 2**16


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


_RESULTS: dict[str, type[Trajectories]] = {
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


def _values(obj: Any) -> Any:
    """A pandas object's values: iterating a DataFrame would give its column labels."""
    pd = sys.modules.get("pandas")  # no pandas object exists unless pandas was imported
    if pd is not None and isinstance(obj, (pd.DataFrame, pd.Series)):
        return obj.to_numpy()
    return obj


def _is_sequence(obj: object) -> bool:
    obj = _values(obj)
    return isinstance(obj, (list, tuple)) or (isinstance(obj, np.ndarray) and obj.ndim > 0)


def _is_batch(obj: object) -> bool:
    if isinstance(obj, np.ndarray) and (obj.ndim != 1 or obj.dtype.kind != "O"):
        return obj.ndim >= 2
    return isinstance(obj, (list, tuple, np.ndarray)) and len(obj) > 0 and _is_sequence(obj[0])


def _as_seed(value: object, name: str) -> int:
    """The conversion's seed, with an integer out of range named (it says only "int too big to convert")."""
    try:
        seed: int = _engine.as_seed(value, name)
    except OverflowError:
        raise ValueError(f"argument '{name}': a seed is an integer from 0 to 2**64-1, got {value!r}") from None
    return seed


def _refuse_complex(array: np.ndarray, name: str) -> None:
    if array.dtype.kind == "c":
        raise TypeError(
            f"argument '{name}': complex values are not accepted (got dtype {array.dtype}); "
            "pass the real part explicitly"
        )
    _refuse_dates(array, f"argument '{name}'")


# Dates, times and durations of Python, NumPy and pandas (whose Timestamp and Timedelta derive from
# datetime's): their integer counts of nanoseconds or days are no model's numbers.
_DATE_TYPES = (datetime.date, datetime.time, datetime.timedelta, np.datetime64, np.timedelta64)


def date_kind(values: Any) -> str | None:
    """ "dates" or "durations" when ``values`` (an array, a pandas Series or its dtype) holds them, else
    None. NumPy's timedelta64 counts as an integer, so that every conversion would take it as one."""
    dtype = getattr(values, "dtype", values)
    kind = getattr(dtype, "kind", None)
    if kind == "M" or type(dtype).__name__ == "PeriodDtype":
        return "dates"
    if kind == "m":
        return "durations"
    if kind == "O" and values is not dtype:
        for item in np.asarray(values, dtype=object).reshape(-1):
            if isinstance(item, _DATE_TYPES):
                return "durations" if isinstance(item, (datetime.timedelta, np.timedelta64)) else "dates"
    return None


def _refuse_dates(values: Any, what: str) -> None:
    """TypeError naming ``what`` when ``values`` holds dates or durations."""
    found = date_kind(values)
    if found is not None:
        raise TypeError(
            f"{what} holds {found} (dtype {getattr(values, 'dtype', '?')}), which are not numbers; "
            "convert them to the numbers meant (e.g. seconds) first"
        )


def _doubles(obj: Any, name: str) -> np.ndarray:
    """A 1-D float64 array as the list functions read a sequence: numeric arrays in place or cast,
    anything else item by item through their conversion (so None and strings are refused)."""
    if isinstance(obj, np.ndarray):
        _refuse_complex(obj, name)
        if obj.ndim == 1 and obj.dtype.kind in "biuf":
            return np.ascontiguousarray(obj, dtype=np.float64)  # float64 is read in place
    return np.frombuffer(_engine.as_doubles(obj, name), dtype=np.float64)


class _Call:
    """The arguments of one call, converted in parameter order as the list functions do. A model
    whose trial is several numbers (``columns``) takes a trials x columns array per subject (many: a
    3-D array or a list of them); its rows are read end to end, and ``starts`` and ``lengths`` count trials."""

    def __init__(self, sequence: Any, name: str, columns: tuple[str, ...] = ()) -> None:
        self.width = max(len(columns), 1)
        if self.width > 1:
            sequence = _flat_rows(sequence, name, columns)
        sequence = _values(sequence)
        self.batched = _is_batch(sequence)
        self.sequence, self.sequence_name = sequence, name
        self.params: list[np.ndarray | float] = []
        self.subjects = self._count(sequence, name) if self.batched else 1

    @staticmethod
    def _count(sequence: Any, name: str) -> int:
        if isinstance(sequence, np.ndarray) and sequence.ndim > 2:
            raise ValueError(
                f"argument '{name}': expected a 1-D sequence, a 2-D array (subjects x trials) or a "
                f"list of 1-D arrays, got a {sequence.ndim}-D array"
            )
        return len(sequence)

    def convert_sequence(self) -> None:
        obj, name = self.sequence, self.sequence_name
        if not self.batched:
            values = _doubles(obj, name)
            self.values, self.lengths = values, np.array([values.size // self.width], dtype=np.int64)
            self.starts = np.zeros(1, dtype=np.int64)
            return
        if isinstance(obj, np.ndarray) and obj.ndim == 2 and obj.dtype.kind in "biufc":
            _refuse_complex(obj, name)
            values = np.ascontiguousarray(obj, dtype=np.float64)
            n, length = values.shape
            self.values = values.reshape(-1)
            self.lengths = np.full(n, length, dtype=np.int64)
        else:  # rows of their own lengths, or of objects, strings or dates that each row's conversion judges
            rows = []
            for i, row in enumerate(obj):
                row = _values(row)
                if not _is_sequence(row):
                    raise TypeError(
                        f"argument '{name}': item {i} is not a sequence of numbers but "
                        f"{type(row).__name__}; give every subject a 1-D sequence"
                    )
                if isinstance(row, np.ndarray) and row.ndim != 1:
                    raise ValueError(f"argument '{name}': item {i} is {row.ndim}-D; every subject needs a 1-D sequence")
                try:
                    rows.append(_doubles(row, name))
                except TypeError as error:
                    raise TypeError(f"subject {i}: {error}") from None
            self.lengths = np.array([r.size for r in rows], dtype=np.int64)
            self.values = _joined(rows, int(self.lengths.sum()))
        self.lengths //= self.width
        self.starts = np.cumsum(self.lengths) - self.lengths

    def number(self, value: object, name: str) -> np.ndarray | float:
        """A scalar as the list functions read it, or (many subjects) one value per subject."""
        value = _values(value) if self.batched else value
        if self.batched and (isinstance(value, (list, tuple)) or (isinstance(value, np.ndarray) and value.ndim > 0)):
            # An array's shape is judged before its items are converted; a list's after.
            values = value if isinstance(value, np.ndarray) and value.ndim != 1 else _doubles(value, name)
            if values.shape != (self.subjects,):
                raise ValueError(
                    f"argument '{name}': expected a scalar or one value per subject "
                    f"({self.subjects}), got shape {values.shape}"
                )
            return values
        converted: float = _engine.as_double(value, name)
        return converted

    def seed(self, value: Any, name: str, noise: np.ndarray | float) -> np.ndarray | None:
        value = _values(value)
        listed = isinstance(value, (list, tuple)) or (isinstance(value, np.ndarray) and value.ndim > 0)
        if not self.batched:
            if listed:  # one seed per subject holds for a single sequence too: a list of one
                if np.shape(value) != (1,):
                    raise ValueError(
                        f"argument '{name}': expected one seed for the one sequence, got shape {np.shape(value)}"
                    )
                value = value[0]
            # One sequence fails as the list functions do, their exception and message unchanged.
            return np.array([_engine.as_seed(value, name)], dtype=np.uint64)
        if not listed:
            seed = _as_seed(value, name)
            if np.all(np.asarray(noise) == 0.0):
                return None if seed == 0 else np.full(self.subjects, seed, dtype=np.uint64)
            raise ValueError(
                f"argument '{name}': {self.subjects} subjects need one seed each, or every subject "
                "would get the same noise; velmora.arrays.seeds(n, seed) derives them from one"
            )
        shape = np.shape(value) if isinstance(value, np.ndarray) else (len(value),)
        if shape != (self.subjects,):
            raise ValueError(f"argument '{name}': expected one seed per subject ({self.subjects}), got shape {shape}")
        if isinstance(value, np.ndarray) and value.dtype.kind not in "iuO":
            raise TypeError(f"argument '{name}': seeds must be integers, got dtype {value.dtype}")
        out_of_range = ValueError(f"argument '{name}': seeds must lie in 0..2**64-1")
        if isinstance(value, np.ndarray) and value.dtype.kind in "iu":
            if value.dtype.kind == "i" and value.size and value.min() < 0:
                raise out_of_range
            return value.astype(np.uint64)
        try:  # Python ints, taken exactly: NumPy makes a list that holds one above 2**63 float64
            items = [operator.index(s) for s in value]
        except TypeError as error:
            raise TypeError(f"argument '{name}': seeds must be integers ({error})") from None
        if items and (min(items) < 0 or max(items) >= SEED_LIMIT):
            raise out_of_range
        return np.array(items, dtype=np.uint64)

    def run(
        self, model: str, result: type[Trajectories], seeds: np.ndarray | None, threads: int | None, given: int = 0
    ) -> Any:
        workers = _threads(threads)
        params = np.empty((self.subjects, len(self.params)))
        for k, value in enumerate(self.params):
            params[:, k] = value
        stride = int(self.lengths.max(initial=0))
        fields = len(result.fields)
        _warn_if_padding_dominates(fields, self.subjects, stride, int(self.lengths.sum()))
        block = np.empty((fields, self.subjects, stride))  # the engine writes the padding too
        failure = _engine.run(
            model,
            self.values,
            self.starts,
            self.lengths,
            params=params,
            seeds=seeds,
            out=block,
            stride=stride,
            threads=workers,
            optional=given,
        )
        if failure is not None:
            subject, kind, message = failure
            raise _ERRORS[kind](f"subject {subject}: {message}" if self.batched else message)
        return result(block, self.lengths, self.batched)


def _by_name(obj: Any, columns: tuple[str, ...], name: str, where: str = "") -> Any:
    """A DataFrame's columns in the model's order when it names them; one that names only some is
    refused, rather than read in its own order with another column standing in for the missing ones."""
    pd = sys.modules.get("pandas")
    if pd is None or not isinstance(obj, pd.DataFrame):
        return obj
    missing = [c for c in columns if c not in obj.columns]
    if len(missing) == len(columns):
        return obj  # no names of the model's: read in its own order
    if missing:
        raise ValueError(
            f"argument '{name}'{where}: the table has no column {', '.join(map(repr, missing))}; its "
            f"columns are {', '.join(map(str, obj.columns))}"
        )
    return obj[list(columns)]


def _reals(array: np.ndarray, name: str, columns: tuple[str, ...] = (), where: str = "") -> np.ndarray:
    """An array of any shape as float64: numbers cast, anything else item by item through the list
    functions' conversion, which refuses None, text and dates rather than reading them as NaN or
    parsing them; for trials x ``columns`` the refused item is named by trial and column."""
    _refuse_complex(array, name)
    if array.dtype.kind in "biuf":
        return np.ascontiguousarray(array, dtype=np.float64)
    flat = array.reshape(-1)
    try:
        return np.frombuffer(_engine.as_doubles(flat, name), dtype=np.float64).reshape(array.shape)
    except TypeError as error:
        at = next((k for k, item in enumerate(flat) if not _converts(item, name)), None)
        if at is None:
            raise
        place = (
            f"trial {at // len(columns)}, column '{columns[at % len(columns)]}'"
            if array.ndim == 2 and array.shape[1] == len(columns)
            else f"item {at if array.ndim == 1 else tuple(map(int, np.unravel_index(at, array.shape)))}"
        )
        raise TypeError(f"{error} ({where.lstrip(', ')}{', ' if where else ''}{place})") from None


def _converts(item: object, name: str) -> bool:
    try:
        _engine.as_double(item, name)
    except TypeError:
        return False
    return True


def _flat_rows(sequence: Any, name: str, columns: tuple[str, ...]) -> Any:
    """Trials x ``columns`` arrays (one, a 3-D block, or a list) as the flat sequences of one number
    per trial that the conversion reads: one 1-D array, a 2-D block, or a list of 1-D arrays."""
    width = len(columns)

    def rows(obj: Any, where: str) -> np.ndarray:
        obj = _by_name(obj, columns, name, where)
        try:
            array = np.asarray(_values(obj))
        except (TypeError, ValueError) as error:
            raise TypeError(
                f"argument '{name}'{where}: expected a trials x {width} array of numbers ({error})"
            ) from None
        if array.ndim != 2 or array.shape[1] != width:
            raise ValueError(f"argument '{name}'{where}: expected a trials x {width} array, got shape {array.shape}")
        return _reals(array, name, columns, where).reshape(-1)

    if isinstance(sequence, np.ndarray) and sequence.ndim == 3:
        if sequence.shape[2] != width:
            raise ValueError(f"argument '{name}': expected subjects x trials x {width}, got shape {sequence.shape}")
        if sequence.dtype.kind in "biufc":
            _refuse_complex(sequence, name)
            block = np.ascontiguousarray(sequence, dtype=np.float64)
            return block.reshape(sequence.shape[0], sequence.shape[1] * width)
        sequence = list(sequence)  # objects: each subject judged by its own conversion
    listed = isinstance(sequence, (list, tuple)) or (
        isinstance(sequence, np.ndarray) and sequence.dtype.kind == "O" and sequence.ndim == 1
    )
    if listed and len(sequence) and _ndim(sequence[0]) == 2:
        return [rows(item, f", subject {i}") for i, item in enumerate(sequence)]
    return rows(sequence, "")


def _ndim(obj: Any) -> int:
    """An object's dimensions as an array; rows of several lengths count as the 2-D array they were meant as."""
    try:
        return int(np.ndim(_values(obj)))
    except ValueError:
        return 2


def _joined(rows: list[np.ndarray], total: int) -> np.ndarray:
    """The rows end to end, copied a block at a time so that Ctrl-C is answered in between."""
    values = np.empty(total)
    at = 0
    for row in rows:
        for k in range(0, row.size, _COPY_BLOCK):
            part = row[k : k + _COPY_BLOCK]
            values[at + k : at + k + part.size] = part
        at += row.size
    return values


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
            stacklevel=4,
        )


def _cpus() -> int:
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1


def _threads(threads: int | None) -> int:
    if threads is None:
        return _cpus()
    if isinstance(threads, (bool, np.bool_)):
        raise TypeError("threads must be a positive integer, not bool")
    try:
        count = operator.index(threads)
    except TypeError:
        raise TypeError(f"threads must be a positive integer, not {type(threads).__name__}") from None
    if not 1 <= count <= sys.maxsize:
        raise ValueError(f"threads must be a positive integer up to {sys.maxsize}, got {count}")
    return min(count, _THREADS_PER_CPU * _cpus())


def kalman_run(
    initial_mean: Any,
    initial_var: Any,
    observations: Any,
    process_noise: Any,
    obs_noise: Any,
    prior_precision_cap: Any = None,
    *,
    threads: int | None = None,
) -> KalmanTrajectories:
    """The 1-D Kalman filter over one sequence or many: ``mean``, ``var`` and ``loglik`` per step.

    The parameters are those of :func:`velmora.kalman_run`, and each field that it returns is
    bit-identical to its output for the same arguments.

    Many subjects in one call: pass a 2-D array (subjects x trials) or a list of 1-D sequences of any
    lengths; every numeric parameter is then a scalar or one value per subject. Subject ``i``'s rows
    are exactly what a single call with subject ``i``'s arguments returns.

    Means are in the unit of the observations, variances in its square. Where a fit estimates a
    parameter (:func:`velmora.fit`), its transform and default prior there are given (:ref:`priors`).

    Parameters
    ----------
    initial_mean : float or array_like
        The prior mean of the hidden state. Fitted on the identity scale, default prior (0, 100).
    initial_var : float or array_like
        The prior variance of the hidden state. Fitted on the log scale, default prior (log 1, 4).
    observations : array_like
        The observations: a 1-D sequence, a 2-D array (subjects x trials) or a list of 1-D sequences.
    process_noise : float or array_like
        The variance added to the hidden state per step, finite and >= 0. Fitted on the log scale,
        default prior (log 0.1, 4).
    obs_noise : float or array_like
        The variance of the observation noise. Fitted on the log scale, default prior (log 1, 4); held
        at 1 when fitting responses, whose beliefs depend on the variances only through their ratios to
        it.
    prior_precision_cap : float, array_like or None, optional
        A ceiling on the prediction's precision (the inverse of its variance), finite and > 0; None (the
        default) runs uncapped. A fit never estimates it: hold it with ``fixed=``.
    threads : int or None, optional
        Threads to run on (default: every CPU this process may use); no more than twice that many, nor
        more than there are chunks of about 32,768 output cells, are started. The results do not depend
        on it.

    Returns
    -------
    KalmanTrajectories
        Posterior ``mean`` and ``var`` after each observation, and its predictive log-likelihood
        ``loglik``; 1-D for one sequence, subjects x trials for many (NaN past each subject's
        length).

    Raises
    ------
    TypeError
        An argument that is not a real number or a sequence of them (None, text and complex numbers
        are refused), or ``threads`` that is not an integer.
    ValueError
        A 3-D array, a subject that is not 1-D, a parameter array that is not one value per subject,
        or ``threads`` below 1.
    velmora.InvalidParameter
        A parameter or input outside its valid range; the message names it (for many subjects it starts
        with ``"subject i: "``, the lowest failing subject).
    velmora.NumericalDivergence
        A step that would produce a non-finite posterior.
    KeyboardInterrupt
        Ctrl-C, which stops a running call.

    Warns
    -----
    RuntimeWarning
        When padding a ragged batch makes the result at least 8 times the values it holds and 1 GiB or
        more.
    """
    call = _Call(observations, "observations")
    mean, var = call.number(initial_mean, "initial_mean"), call.number(initial_var, "initial_var")
    call.convert_sequence()
    call.params = [mean, var, call.number(process_noise, "process_noise"), call.number(obs_noise, "obs_noise")]
    present = () if prior_precision_cap is None else ("prior_precision_cap",)
    if present:
        call.params.append(call.number(prior_precision_cap, "prior_precision_cap"))
    result: KalmanTrajectories = call.run("kalman", KalmanTrajectories, None, threads, ENGINE["kalman"].given(present))
    return result


def hgf_run(
    observations: Any,
    obs_noise: Any,
    precision_flexibility: Any,
    base_process_noise: Any = 0.01,
    mu1: Any = 0.0,
    var1: Any = 1.0,
    mu2: Any = 0.0,
    var2: Any = 1.0,
    *,
    threads: int | None = None,
) -> HgfTrajectories:
    """The volatility-coupled HGF over one sequence or many: its seven fields and ``loglik``.

    The parameters are those of :func:`velmora.hgf_run`, and each field that it returns is
    bit-identical to its output for the same arguments.

    Many subjects in one call: pass a 2-D array (subjects x trials) or a list of 1-D sequences of any
    lengths; every numeric parameter is then a scalar or one value per subject. Subject ``i``'s rows
    are exactly what a single call with subject ``i``'s arguments returns.

    Level 1 is in the unit of the observations (its variances in its square); level 2 is the log
    volatility. Where a fit estimates a parameter (:func:`velmora.fit`), its transform and default prior
    there are given (:ref:`priors`).

    Parameters
    ----------
    observations : array_like
        The observations: a 1-D sequence, a 2-D array (subjects x trials) or a list of 1-D sequences.
    obs_noise : float or array_like
        The variance of the observation noise. Fitted on the log scale, default prior (log 1, 4).
    precision_flexibility : float or array_like
        The coupling of level 2 (log volatility) to level 1's step variance, finite and >= 0. Fitted on
        the log scale, default prior (log 1, 4).
    base_process_noise : float or array_like, optional
        Level 1's step variance at zero volatility (default 0.01). Fitted on the log scale, default
        prior (log 0.01, 4).
    mu1 : float or array_like, optional
        The initial mean of level 1 (default 0). Identity scale, prior (0, 100); a default fit holds it
        at 0.
    var1 : float or array_like, optional
        The initial variance of level 1 (default 1). Log scale, prior (log 1, 4); a default fit holds it
        at 1.
    mu2 : float or array_like, optional
        The initial mean of level 2 (default 0). Identity scale, prior (0, 100); a default fit holds it
        at 0.
    var2 : float or array_like, optional
        The initial variance of level 2 (default 1): checked as the list function checks it, but the
        filter does not use it, so a fit has no such parameter.
    threads : int or None, optional
        Threads to run on (default: every CPU this process may use); no more than twice that many, nor
        more than there are chunks of about 32,768 output cells, are started. The results do not depend
        on it.

    Returns
    -------
    HgfTrajectories
        ``t``, ``prediction``, ``observation``, ``precision``, ``prediction_error``,
        ``learning_rate``, ``volatility`` and ``loglik`` per observation; 1-D for one sequence,
        subjects x trials for many (NaN past each subject's length).

    Raises
    ------
    TypeError
        An argument that is not a real number or a sequence of them (None, text and complex numbers
        are refused), or ``threads`` that is not an integer.
    ValueError
        A 3-D array, a subject that is not 1-D, a parameter array that is not one value per subject,
        or ``threads`` below 1.
    velmora.InvalidParameter
        A parameter or input outside its valid range; the message names it (for many subjects it starts
        with ``"subject i: "``, the lowest failing subject).
    velmora.NumericalDivergence
        A step that would produce a non-finite level-1 mean.
    KeyboardInterrupt
        Ctrl-C, which stops a running call.

    Warns
    -----
    RuntimeWarning
        When padding a ragged batch makes the result at least 8 times the values it holds and 1 GiB or
        more.
    """
    call = _Call(observations, "observations")
    call.convert_sequence()
    call.params = [
        call.number(obs_noise, "obs_noise"),
        call.number(precision_flexibility, "precision_flexibility"),
        call.number(base_process_noise, "base_process_noise"),
        call.number(mu1, "mu1"),
        call.number(var1, "var1"),
        call.number(mu2, "mu2"),
    ]
    call.number(var2, "var2")  # checked as the list function checks it; the filter does not use it
    result: HgfTrajectories = call.run("hgf", HgfTrajectories, None, threads)
    return result


def td_learn_sequence(
    initial_value: Any,
    rewards: Any,
    learning_rate: Any,
    discount_factor: Any,
    rpe_noise_std: Any,
    seed: Any,
    *,
    threads: int | None = None,
) -> TdTrajectories:
    """Value learning over one reward sequence or many: ``value`` after each reward.

    The parameters are those of :func:`velmora.td_learn_sequence`, and each field that it returns is
    bit-identical to its output for the same arguments.

    Many subjects in one call: pass a 2-D array (subjects x trials) or a list of 1-D sequences of any
    lengths; every numeric parameter is then a scalar or one value per subject. Subject ``i``'s rows
    are exactly what a single call with subject ``i``'s arguments returns.

    Values are in the unit of the rewards. Where a fit estimates a parameter (:func:`velmora.fit`), its
    transform and default prior there are given (:ref:`priors`); TD is fitted without prediction-error
    noise.

    Parameters
    ----------
    initial_value : float or array_like
        The value before the first reward. Fitted on the identity scale, default prior (0, 100).
    rewards : array_like
        The rewards: a 1-D sequence, a 2-D array (subjects x trials) or a list of 1-D sequences.
    learning_rate : float or array_like
        The step size, in [0, 1]. Fitted on the logit scale, default prior (0, 2.25).
    discount_factor : float or array_like
        Checked, as by the list function, but it changes no value; a fit has no such parameter.
    rpe_noise_std : float or array_like
        The standard deviation of Gaussian noise on each prediction error, finite and >= 0, in the unit
        of the rewards; not fitted.
    seed : int or array_like
        The seed of that noise, an integer from 0 to 2**64-1; for many subjects one per subject
        (:func:`seeds` derives them from one), or one seed when the noise is 0.
    threads : int or None, optional
        Threads to run on (default: every CPU this process may use); no more than twice that many, nor
        more than there are chunks of about 32,768 output cells, are started. The results do not depend
        on it.

    Returns
    -------
    TdTrajectories
        ``value`` after each reward; 1-D for one sequence, subjects x trials for many (NaN past each
        subject's length).

    Raises
    ------
    TypeError
        An argument that is not a real number or a sequence of them (None, text and complex numbers
        are refused), a seed that is not an integer, or ``threads`` that is not an integer.
    ValueError
        A 3-D array, a subject that is not 1-D, a parameter array that is not one value per subject,
        or ``threads`` below 1; for many subjects seeds not one per subject, outside 0 to 2**64-1,
        or one seed for all while the noise is not 0 (:func:`seeds` derives one per subject).
    OverflowError
        One seed outside 0 to 2**64-1.
    velmora.InvalidParameter
        A parameter or input outside its valid range; the message names it (for many subjects it starts
        with ``"subject i: "``, the lowest failing subject).
    KeyboardInterrupt
        Ctrl-C, which stops a running call.

    Warns
    -----
    RuntimeWarning
        When padding a ragged batch makes the result at least 8 times the values it holds and 1 GiB or
        more.
    """
    call = _Call(rewards, "rewards")
    initial = call.number(initial_value, "initial_value")
    call.convert_sequence()
    rate = call.number(learning_rate, "learning_rate")
    call.number(discount_factor, "discount_factor")  # checked, as by the list function; changes no value
    noise = call.number(rpe_noise_std, "rpe_noise_std")
    call.params = [initial, rate, noise]
    result: TdTrajectories = call.run("td", TdTrajectories, call.seed(seed, "seed", noise), threads)
    return result


def forward_simulate(
    motor_command: Any,
    update_rate: Any,
    injury_noise_std: Any,
    sensory_gain: Any,
    seed: Any,
    *,
    threads: int | None = None,
) -> ForwardTrajectories:
    """The self-motion forward model over one command sequence or many.

    The parameters are those of :func:`velmora.forward_simulate`, and each field that it returns is
    bit-identical to its output for the same arguments.

    Many subjects in one call: pass a 2-D array (subjects x trials) or a list of 1-D sequences of any
    lengths; every numeric parameter is then a scalar or one value per subject. Subject ``i``'s rows
    are exactly what a single call with subject ``i``'s arguments returns.

    The model is not fitted: its parameters have no transform or prior.

    Parameters
    ----------
    motor_command : array_like
        The commands: a 1-D sequence, a 2-D array (subjects x trials) or a list of 1-D sequences.
    update_rate : float or array_like
        The share of the mismatch the prediction moves by, in [0, 1].
    injury_noise_std : float or array_like
        The standard deviation of the noise on the sensed movement, finite and >= 0, in the unit of the
        movement.
    sensory_gain : float or array_like
        The gain from command to movement (movement per unit of command).
    seed : int or array_like
        The seed of the noise, an integer from 0 to 2**64-1; for many subjects one per subject
        (:func:`seeds` derives them from one), or one seed when the noise is 0.
    threads : int or None, optional
        Threads to run on (default: every CPU this process may use); no more than twice that many, nor
        more than there are chunks of about 32,768 output cells, are started. The results do not depend
        on it.

    Returns
    -------
    ForwardTrajectories
        Per motor command: step index ``t``, ``predicted`` and ``actual`` movement, and their
        ``mismatch``; 1-D for one sequence, subjects x trials for many (NaN past each subject's
        length).

    Raises
    ------
    TypeError
        An argument that is not a real number or a sequence of them (None, text and complex numbers
        are refused), a seed that is not an integer, or ``threads`` that is not an integer.
    ValueError
        A 3-D array, a subject that is not 1-D, a parameter array that is not one value per subject,
        or ``threads`` below 1; for many subjects seeds not one per subject, outside 0 to 2**64-1,
        or one seed for all while the noise is not 0 (:func:`seeds` derives one per subject).
    OverflowError
        One seed outside 0 to 2**64-1.
    velmora.InvalidParameter
        A parameter or input outside its valid range; the message names it (for many subjects it starts
        with ``"subject i: "``, the lowest failing subject).
    velmora.NumericalDivergence
        A step that would produce a non-finite estimate.
    KeyboardInterrupt
        Ctrl-C, which stops a running call.

    Warns
    -----
    RuntimeWarning
        When padding a ragged batch makes the result at least 8 times the values it holds and 1 GiB or
        more.
    """
    call = _Call(motor_command, "motor_command")
    call.convert_sequence()
    rate = call.number(update_rate, "update_rate")
    noise = call.number(injury_noise_std, "injury_noise_std")
    call.params = [rate, noise, call.number(sensory_gain, "sensory_gain")]
    result: ForwardTrajectories = call.run("forward", ForwardTrajectories, call.seed(seed, "seed", noise), threads)
    return result


def _run(model: str, sequence: Any, params: Mapping[str, Any], seed: Any = 0, threads: int | None = 1) -> Trajectories:
    """``model`` over one sequence with its parameters by name, in the engine's order: a default of the
    list function where one is not given, a noise parameter not given is 0, an optional one not given
    (or None) is left out; ``seed`` feeds a seeded model's noise."""
    described = ENGINE[model]
    values = {**{name: 0.0 for name in described.noise}, **DEFAULTS.get(model, {}), **params}
    present = tuple(name for name in described.optional if values.get(name) is not None)
    call = _Call(sequence, "inputs", described.inputs)
    call.convert_sequence()
    call.params = [
        call.number(values[name], name)
        for name in described.params
        if name not in described.optional or name in present
    ]
    seeds = call.seed(seed, "seed", 0.0) if described.seeded else None
    result: Trajectories = call.run(model, _RESULTS[model], seeds, threads, described.given(present))
    return result


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
        ``scale`` negative or not finite, or a negative ``size``.
    TypeError
        A seed that is not an integer, or ``loc`` or ``scale`` that is not a real number.
    OverflowError
        A seed outside 0 to 2**64-1.
    """
    seed = _as_seed(seed, "seed")
    loc, scale = _engine.as_double(loc, "loc"), _engine.as_double(scale, "scale")
    if not (np.isfinite(scale) and scale >= 0.0):
        raise ValueError(f"scale must be finite and non-negative, got {scale}")
    out = np.empty(size, dtype=np.float64)
    _engine.normal(out, seed, loc, scale)
    return out


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
        A negative ``n``.
    TypeError
        ``n`` or ``seed`` that is not an integer.
    OverflowError
        A seed outside 0 to 2**64-1.
    """
    count = operator.index(n)
    if count < 0:
        raise ValueError(f"n must be non-negative, got {count}")
    out = np.empty(count, dtype=np.uint64)
    _engine.seeds(out, _as_seed(seed, "seed"))
    return out


def discounted_value(reward: Any, delay: Any, discount_factor: Any) -> np.ndarray:
    """``reward * discount_factor ** delay`` over NumPy arrays broadcast together.

    Element by element the value of :func:`velmora.discounted_value`, to the bit. No value is rejected:
    NaN and infinities follow as the scalar function gives them. The model of :func:`velmora.fit`'s
    ``discount`` values each offer so; there ``discount_factor`` is fitted on the logit scale, default
    prior (4, 16).

    Parameters
    ----------
    reward : array_like
        The amounts, in any unit (the result is in the same).
    delay : array_like
        The delays, in any one unit.
    discount_factor : array_like
        The factor per unit of delay.

    Returns
    -------
    numpy.ndarray
        float64, of the broadcast shape (0-D for three scalars).

    Raises
    ------
    TypeError
        An argument that is not an array of real numbers (text, complex numbers, nested lists of
        several lengths).
    ValueError
        Arguments that do not broadcast together.
    """
    arrays = []
    names = ("reward", "delay", "discount_factor")
    for name, value in zip(names, (reward, delay, discount_factor)):
        try:
            array = np.asarray(_values(value))
        except ValueError as error:  # nested lists of several lengths
            raise TypeError(f"argument '{name}': expected an array of real numbers ({error})") from None
        _refuse_complex(array, name)
        if array.dtype.kind not in "biuf":
            raise TypeError(f"argument '{name}': expected real numbers, got dtype {array.dtype}")
        arrays.append(array)
    try:
        shape = np.broadcast_shapes(*(a.shape for a in arrays))
    except ValueError:
        raise ValueError(
            "arguments do not broadcast together: "
            + ", ".join(f"{name} of shape {a.shape}" for name, a in zip(names, arrays))
        ) from None
    out = np.empty(shape, dtype=np.float64)
    # A block of the broadcast at a time: copying each argument out to the full shape would take three
    # more results' worth of memory, and fail (or draw the kernel's OOM killer) where the result fits.
    blocks = np.nditer(
        (*arrays, out),
        flags=["external_loop", "buffered", "zerosize_ok"],
        op_flags=[["readonly"], ["readonly"], ["readonly"], ["writeonly"]],
        op_dtypes=[np.float64] * 4,
        casting="unsafe",
        buffersize=_BROADCAST_BLOCK,
    )
    with blocks:
        for r, d, f, target in blocks:
            values = np.empty(target.shape)
            _engine.discounted_value(np.ascontiguousarray(r), np.ascontiguousarray(d), np.ascontiguousarray(f), values)
            target[...] = values
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
        A negative ``size``.
    TypeError
        A seed that is not an integer.
    OverflowError
        A seed outside 0 to 2**64-1.
    """
    seed = _as_seed(seed, "seed")
    out = np.empty(size, dtype=np.float64)
    _engine.uniform(out, seed)
    return out


def fit(
    model: str,
    inputs: Any,
    responses: Any = None,
    *,
    response_model: str | None = None,
    fixed: Mapping[str, Any] | None = None,
    priors: Mapping[str, Any] | None = None,
    n_starts: int = 4,
    seeds: Any = None,
    seed: int = 0,
    threads: int | None = None,
    response: Any = UNSET,
) -> FitArrays:
    """Fit ``model`` to many participants in one call, natively on ``threads`` threads.

    Each participant's fit is :func:`velmora.fit`'s, with the same ``response_model``, ``fixed``, ``priors``
    and ``n_starts``, and its starts drawn from its own seed. The results do not depend on ``threads``
    or on the order of the participants. The transforms and default priors of the parameters are those
    of :func:`velmora.fit` (:ref:`priors`).

    Parameters
    ----------
    model : str
        ``"kalman"``, ``"hgf"``, ``"td"``, ``"discount"`` or ``"hyperbolic"``.
    inputs : array_like
        One sequence, a 2-D array (participants x trials) or a list of sequences of any lengths, in the
        unit of the data; for the choice models (``discount``, ``hyperbolic``) each participant's inputs
        are a trials x 4 array (a 3-D array or a list of them), the delays in any one unit.
    responses : array_like or None, optional
        Shaped like ``inputs`` (one per trial), NaN for a missed trial; None (the default) fits the
        inputs themselves.
    response_model : str or None, optional
        The response model; None is the model's default response model (as in :func:`velmora.fit`).
    fixed : mapping of str to float, optional
        Parameters held at natural values, as in :func:`velmora.fit`.
    priors : mapping of str to (float, float), optional
        Gaussian priors (mean, variance) in the transformed space, as in :func:`velmora.fit`.
    n_starts : int, optional
        Starting points of each participant's optimiser, at least 1 (default 4).
    seeds : array_like or None, optional
        One seed per participant, each an integer from 0 to 2**64-1 (one sequence: one seed). None
        (the default) derives them from ``seed`` by :func:`seeds` (one sequence: ``seed`` itself).
    seed : int, optional
        The seed the participants' seeds are derived from, an integer from 0 to 2**64-1 (default 0).
    threads : int or None, optional
        Threads to fit on (default: every CPU this process may use; no more than twice that many are
        started). The results do not depend on it.
    response : str, optional
        Deprecated spelling of ``response_model`` (DeprecationWarning).

    Returns
    -------
    FitArrays
        One entry per participant in each array, ``to_frame()`` for a table. One whose fit finds no
        feasible point has NaN estimates and a message in ``error``.

    Raises
    ------
    ValueError
        Arguments that are wrong for every participant, before any fit (as :func:`velmora.fit` checks
        them); responses not shaped like the inputs; a participant whose data are wrong (no trials,
        responses not one per trial, a choice other than 1, 0 or NaN, every response missing), named by
        its index, before any fit; seeds not one per participant or outside 0 to 2**64-1; ``threads``
        below 1.
    TypeError
        Inputs, responses, held values, priors, seeds or ``threads`` of the wrong type, as in
        :func:`velmora.fit`.
    OverflowError
        The seed of one sequence, given in ``seeds``, outside 0 to 2**64-1.
    velmora.InvalidParameter
        A participant's non-finite inputs or negative delays, named by its index and the trial, before
        any fit; held values the model refuses.
    KeyboardInterrupt
        Ctrl-C, which stops the call.
    """
    from velmora.fitting import fit_arrays

    return fit_arrays(
        model,
        inputs,
        responses,
        response=renamed_keyword("velmora.arrays.fit", "response", "response_model", response, response_model),
        fixed=fixed,
        priors=priors,
        n_starts=n_starts,
        seeds=seeds,
        seed=seed,
        threads=threads,
    )
