"""Argument conversion: whatever a user passes (lists, arrays, frames, scalars) as checked float64
arrays in the engine's layout, with one family of messages. Everything above calls it and never
re-checks.

The list functions' own conversion (``_engine.as_double``, ``as_doubles``) judges every item that is
not already a numeric array, so that None, text and dates are refused as they are there.
"""

from __future__ import annotations

import datetime
import math
import operator
import os
import sys
from typing import Any

import numpy as np

from velmora import _engine
from velmora._core import InvalidParameter
from velmora.models import BINARY, ENGINE, RESPONSE_MODELS
from velmora.stream import SEED_LIMIT, check_seed

# Threads beyond this many per usable CPU are not started: the work is bound by computation.
_THREADS_PER_CPU = 2
# Input values copied per step when a ragged batch is joined, so that Ctrl-C is answered in between.
_COPY_BLOCK = 2**20


def values_of(obj: Any) -> Any:
    """A pandas object's values: iterating a DataFrame would give its column labels."""
    pd = sys.modules.get("pandas")  # no pandas object exists unless pandas was imported
    if pd is not None and isinstance(obj, (pd.DataFrame, pd.Series)):
        return obj.to_numpy()
    return obj


def is_sequence(obj: object) -> bool:
    obj = values_of(obj)
    return isinstance(obj, (list, tuple)) or (isinstance(obj, np.ndarray) and obj.ndim > 0)


def is_batch(obj: object) -> bool:
    if isinstance(obj, np.ndarray) and (obj.ndim != 1 or obj.dtype.kind != "O"):
        return obj.ndim >= 2
    return isinstance(obj, (list, tuple, np.ndarray)) and len(obj) > 0 and is_sequence(obj[0])


def refuse_complex(array: np.ndarray, name: str) -> None:
    if array.dtype.kind == "c":
        raise TypeError(
            f"argument '{name}': complex values are not accepted (got dtype {array.dtype}); "
            "pass the real part explicitly"
        )
    refuse_dates(array, f"argument '{name}'")


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


def refuse_dates(values: Any, what: str) -> None:
    """TypeError naming ``what`` when ``values`` holds dates or durations."""
    found = date_kind(values)
    if found is not None:
        raise TypeError(
            f"{what} holds {found} (dtype {getattr(values, 'dtype', '?')}), which are not numbers; "
            "convert them to the numbers meant (e.g. seconds) first"
        )


def doubles(obj: Any, name: str) -> np.ndarray:
    """A 1-D float64 array as the list functions read a sequence: numeric arrays in place or cast,
    anything else item by item through their conversion (so None and strings are refused)."""
    if isinstance(obj, np.ndarray):
        refuse_complex(obj, name)
        if obj.ndim == 1 and obj.dtype.kind in "biuf":
            return np.ascontiguousarray(obj, dtype=np.float64)  # float64 is read in place
    return np.frombuffer(_engine.as_doubles(obj, name), dtype=np.float64)


class Call:
    """The arguments of one call, converted in parameter order as the list functions do. A model
    whose trial is several numbers (``columns``) takes a trials x columns array per subject (many: a
    3-D array or a list of them); its rows are read end to end, and ``starts`` and ``lengths`` count trials."""

    def __init__(self, sequence: Any, name: str, columns: tuple[str, ...] = ()) -> None:
        self.width = max(len(columns), 1)
        if self.width > 1:
            sequence = flat_rows(sequence, name, columns)
        sequence = values_of(sequence)
        self.batched = is_batch(sequence)
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
            values = doubles(obj, name)
            self.values, self.lengths = values, np.array([values.size // self.width], dtype=np.int64)
            self.starts = np.zeros(1, dtype=np.int64)
            return
        if isinstance(obj, np.ndarray) and obj.ndim == 2 and obj.dtype.kind in "biufc":
            refuse_complex(obj, name)
            values = np.ascontiguousarray(obj, dtype=np.float64)
            n, length = values.shape
            self.values = values.reshape(-1)
            self.lengths = np.full(n, length, dtype=np.int64)
        else:  # rows of their own lengths, or of objects, strings or dates that each row's conversion judges
            rows = []
            for i, row in enumerate(obj):
                row = values_of(row)
                if not is_sequence(row):
                    raise TypeError(
                        f"argument '{name}': item {i} is not a sequence of numbers but "
                        f"{type(row).__name__}; give every subject a 1-D sequence"
                    )
                if isinstance(row, np.ndarray) and row.ndim != 1:
                    raise ValueError(f"argument '{name}': item {i} is {row.ndim}-D; every subject needs a 1-D sequence")
                try:
                    rows.append(doubles(row, name))
                except TypeError as error:
                    raise TypeError(f"subject {i}: {error}") from None
            self.lengths = np.array([r.size for r in rows], dtype=np.int64)
            self.values = joined(rows, int(self.lengths.sum()))
        self.lengths //= self.width
        self.starts = np.cumsum(self.lengths) - self.lengths

    def number(self, value: object, name: str) -> np.ndarray | float:
        """A scalar as the list functions read it, or (many subjects) one value per subject."""
        value = values_of(value) if self.batched else value
        if self.batched and (isinstance(value, (list, tuple)) or (isinstance(value, np.ndarray) and value.ndim > 0)):
            # An array's shape is judged before its items are converted; a list's after.
            values = value if isinstance(value, np.ndarray) and value.ndim != 1 else doubles(value, name)
            if values.shape != (self.subjects,):
                raise ValueError(
                    f"argument '{name}': expected a scalar or one value per subject "
                    f"({self.subjects}), got shape {values.shape}"
                )
            return values
        converted: float = _engine.as_double(value, name)
        return converted

    def seed(self, value: Any, name: str, noise: np.ndarray | float) -> np.ndarray | None:
        value = values_of(value)
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
            seed = check_seed(value, name, "array")
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


def by_name(obj: Any, columns: tuple[str, ...], name: str, where: str = "") -> Any:
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


def reals(array: np.ndarray, name: str, columns: tuple[str, ...] = (), where: str = "") -> np.ndarray:
    """An array of any shape as float64: numbers cast, anything else item by item through the list
    functions' conversion, which refuses None, text and dates rather than reading them as NaN or
    parsing them; for trials x ``columns`` the refused item is named by trial and column."""
    refuse_complex(array, name)
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


def flat_rows(sequence: Any, name: str, columns: tuple[str, ...]) -> Any:
    """Trials x ``columns`` arrays (one, a 3-D block, or a list) as the flat sequences of one number
    per trial that the conversion reads: one 1-D array, a 2-D block, or a list of 1-D arrays."""
    width = len(columns)

    def rows(obj: Any, where: str) -> np.ndarray:
        obj = by_name(obj, columns, name, where)
        try:
            array = np.asarray(values_of(obj))
        except (TypeError, ValueError) as error:
            raise TypeError(
                f"argument '{name}'{where}: expected a trials x {width} array of numbers ({error})"
            ) from None
        if array.ndim != 2 or array.shape[1] != width:
            raise ValueError(f"argument '{name}'{where}: expected a trials x {width} array, got shape {array.shape}")
        return reals(array, name, columns, where).reshape(-1)

    if isinstance(sequence, np.ndarray) and sequence.ndim == 3:
        if sequence.shape[2] != width:
            raise ValueError(f"argument '{name}': expected subjects x trials x {width}, got shape {sequence.shape}")
        if sequence.dtype.kind in "biufc":
            refuse_complex(sequence, name)
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
        return int(np.ndim(values_of(obj)))
    except ValueError:
        return 2


def joined(rows: list[np.ndarray], total: int) -> np.ndarray:
    """The rows end to end, copied a block at a time so that Ctrl-C is answered in between."""
    values = np.empty(total)
    at = 0
    for row in rows:
        for k in range(0, row.size, _COPY_BLOCK):
            part = row[k : k + _COPY_BLOCK]
            values[at + k : at + k + part.size] = part
        at += row.size
    return values


def cpus() -> int:
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1


def thread_count(threads: int | None) -> int:
    if threads is None:
        return cpus()
    if isinstance(threads, (bool, np.bool_)):
        raise TypeError("threads must be a positive integer, not bool")
    try:
        count = operator.index(threads)
    except TypeError:
        raise TypeError(f"threads must be a positive integer, not {type(threads).__name__}") from None
    if not 1 <= count <= sys.maxsize:
        raise ValueError(f"threads must be a positive integer up to {sys.maxsize}, got {count}")
    return min(count, _THREADS_PER_CPU * cpus())


def check_model(model: object, allowed: tuple[str, ...]) -> str:
    if not isinstance(model, str) or model not in allowed:
        raise ValueError(f"unknown model {model!r}; expected one of {', '.join(allowed)}")
    return model


def floats(values: Any, name: str, columns: tuple[str, ...] = ()) -> np.ndarray:
    """A sequence of real numbers (or trials x ``columns``) as float64. Numeric arrays are cast;
    anything else goes item by item through the list functions' conversion, which refuses None, text
    and dates rather than reading them as NaN or parsing them; complex numbers are refused rather
    than cut to their real part."""
    try:
        array = np.asarray(values)
    except (TypeError, ValueError) as error:
        shape = f"trials x {len(columns)} array" if columns else "1-D sequence"
        raise TypeError(f"{name}: expected a {shape} of numbers ({error})") from None
    if array.dtype.kind == "c":
        raise TypeError(f"{name}: complex values are not accepted (got dtype {array.dtype})")
    refuse_dates(array, name)
    if array.ndim == 1 and array.dtype.kind not in "biuf":
        return np.frombuffer(_engine.as_doubles(array, name), dtype=np.float64)
    if array.ndim > 1:
        return reals(array, name, columns)
    return np.asarray(array, dtype=np.float64, order="C")  # a scalar stays 0-D, to be refused as one


def as_inputs(inputs: Any, model: str) -> np.ndarray:
    """One participant's inputs: 1-D, or for a model whose trial is several numbers a trials x
    columns array (a DataFrame is read by the model's column names when it has them)."""
    columns = ENGINE[model].inputs
    if len(columns) == 1:
        array = floats(inputs, "inputs")
        if array.ndim != 1:
            raise ValueError(f"inputs: expected a 1-D sequence, got {array.ndim}-D")
    else:
        array = floats(values_of(by_name(inputs, columns, "inputs")), "inputs", columns)
        if array.ndim != 2 or array.shape[1] != len(columns):
            raise ValueError(
                f"inputs: model '{model}' takes {len(columns)} numbers per trial "
                f"({', '.join(columns)}): expected a trials x {len(columns)} array, got shape "
                f"{array.shape}"
            )
    if array.shape[0] == 0:
        raise ValueError("inputs: empty; a fit needs at least one trial")
    return np.ascontiguousarray(array)


# Columns of a trial's input that must not be negative.
NON_NEGATIVE = ("delay_sooner", "delay_later")


def refused_inputs(model: str, rows: np.ndarray) -> np.ndarray:
    """Which inputs (trials x the model's input columns) the model refuses: non-finite ones, as the
    filters refuse them (TD takes any reward, so a NaN would only show as NaN beliefs, and a last one
    not at all), but a NaN where the model takes it as a missed input or (a model that chooses) as an
    outcome not seen; negative delays; and anything but 0 or 1 where the inputs are outcomes."""
    described = ENGINE[model]
    refused = np.zeros(rows.shape, dtype=bool)
    for c, name in enumerate(described.inputs):
        column = rows[:, c]
        missed = np.isnan(column) if described.missing_inputs or described.chooses else np.zeros(column.shape, bool)
        refused[:, c] = ~np.isfinite(column) & ~missed
        if described.binary_inputs:
            refused[:, c] = ~((column == 0.0) | (column == 1.0) | missed)
        if name in NON_NEGATIVE:
            refused[:, c] |= column < 0.0
    return refused


def check_finite_inputs(model: str, x: np.ndarray) -> None:
    """Inputs checked as the models check a parameter (:func:`refused_inputs`), naming the trial."""
    rows = x.reshape(x.shape[0], -1)
    described = ENGINE[model]
    refused = refused_inputs(model, rows)
    for c, name in enumerate(described.inputs):
        column = rows[:, c]
        bad = np.flatnonzero(refused[:, c])
        if bad.size:
            value = "NaN" if np.isnan(column[bad[0]]) else str(column[bad[0]])
            reason = "must be finite and non-negative" if name in NON_NEGATIVE else "must be finite"
            if described.binary_inputs:
                reason = "must be 0 or 1" + (", or NaN for a missed trial" if described.missing_inputs else "")
            elif described.chooses:
                reason += ", or NaN where none was seen"
            raise InvalidParameter(f"invalid parameter '{name}': {value} at trial {bad[0]} ({reason})")


def as_responses(responses: Any, n: int, response: str) -> np.ndarray:
    array = floats(responses, "responses")
    if array.ndim != 1 or array.size != n:
        raise ValueError(f"responses: expected one per trial ({n}), got shape {array.shape}")
    check_response_values(array, response)
    if np.all(np.isnan(array)):
        raise ValueError("responses: every trial is missing (NaN); nothing to fit")
    return array


def check_response_values(array: np.ndarray, response: str) -> None:
    """Responses the response model can take: choices 1 or 0, anything else finite; NaN: missed."""
    if response in BINARY:
        bad = np.flatnonzero(~((array == 0.0) | (array == 1.0) | np.isnan(array)))
        if bad.size:
            raise ValueError(
                f"responses: a choice is 1, 0 or NaN (missed) under '{response}', got {array[bad[0]]} at trial {bad[0]}"
            )
    elif np.any(np.isinf(array)):
        raise ValueError("responses: must be finite, or NaN for a missed trial")


def number(name: str, value: object) -> float:
    # NumPy counts a duration (timedelta64) among its integers; it is no number of this model.
    if isinstance(value, (bool, np.timedelta64)) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"parameter '{name}': expected a number, got {type(value).__name__}")
    converted = float(value)
    if not math.isfinite(converted):
        raise ValueError(f"parameter '{name}': must be finite, got {converted}")
    return converted


def resolve_response_model(model: str, response: object) -> str:
    """The response model named, or the model's default (its first) for None."""
    allowed = RESPONSE_MODELS.get(model, ())
    if response is None and allowed:
        return allowed[0]
    if response not in allowed:
        raise ValueError(f"unknown response model {response!r} for '{model}'; expected one of {', '.join(allowed)}")
    assert isinstance(response, str)
    return response


def check_n_starts(n_starts: object) -> int:
    if isinstance(n_starts, bool) or not isinstance(n_starts, (int, np.integer)) or not 1 <= n_starts <= sys.maxsize:
        raise ValueError(f"n_starts must be a positive integer up to {sys.maxsize}, got {n_starts!r}")
    return int(n_starts)
