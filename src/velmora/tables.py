"""Long-format tables of a study: participants' rows split out of a table, each keyed and seeded,
and the table of results with one row per participant.

Shared by fitting (:mod:`velmora.study`, :mod:`velmora.group`), comparing (:mod:`velmora.comparison`)
and the export (:mod:`velmora.export`): a table is one row per trial, each participant's rows found
by its key. Below all of them, so that none imports another for a table.
"""

from __future__ import annotations

import hashlib
import inspect
import math
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

from velmora.conversion import refuse_dates
from velmora.stream import check_seed

if TYPE_CHECKING:
    import pandas  # type: ignore[import-untyped,unused-ignore]

    from velmora.problem import Problem

# Columns of a fit_many result other than the estimates and their standard errors.
RESULT_COLUMNS = ("nll", "lme", "aic", "bic", "n_trials", "converged", "message", "error")
SE_PREFIX = "se_"
# The participants' table's column that marks it as a group fit's (fit_group writes it, compare reads it).
GROUP_COLUMN = "group_prior"
# Derived seeds have always been drawn below 2**63; kept so that a study's fits repeat across versions.
_DERIVED_SEED_LIMIT = 2**63


def participant_seed(seed: int, key: object) -> int:
    """A seed fixed by the study's seed and the participant's key alone.

    A keyed digest of ``repr`` of the key (NumPy scalars as the Python numbers they hold, so that
    a key reads the same whether it came from a table or a list); Python's own ``hash`` is salted
    per process and would differ between workers.
    """
    if isinstance(key, np.generic):
        key = key.item()
    digest = hashlib.blake2b(repr(key).encode(), digest_size=8, key=check_seed(seed).to_bytes(16, "little"))
    return int.from_bytes(digest.digest(), "little") % _DERIVED_SEED_LIMIT


@dataclass
class _Participant:
    key: Any
    inputs: np.ndarray | None
    responses: np.ndarray | None
    seed: int
    error: str | None = None
    rows: np.ndarray | None = None  # positions of its rows in the table, in trial order


def check_choices(participants: list[_Participant], labels: np.ndarray) -> None:
    """Every choice one of the options, before any work; the first that is not is named by its
    participant and trial."""
    given = [p for p in participants if p.error is None and p.responses is not None]
    if given:
        lengths = np.array([len(p.responses) for p in given])  # type: ignore[arg-type]
        from velmora.choices import to_indices

        to_indices(
            np.concatenate([np.asarray(p.responses, dtype=np.float64) for p in given]),
            labels,
            np.cumsum(lengths) - lengths,
            [p.key for p in given],
        )


def _require_columns(data: pandas.DataFrame, columns: dict[str, str | None] | list[tuple[str, str | None]]) -> None:
    """Each (role, column) present in ``data``, or KeyError naming every one missing (ValueError for
    a column given two roles)."""
    pairs = list(columns.items() if isinstance(columns, dict) else columns)
    _distinct_roles(pairs)
    missing = [f"{role} column {name!r}" for role, name in pairs if name is not None and name not in data.columns]
    if missing:
        raise KeyError(f"the data have no {', no '.join(missing)}; its columns are {', '.join(map(str, data.columns))}")
    # A repeated label selects a table, not a column: which of them was meant cannot be known.
    repeated = [name for _, name in pairs if name is not None and (data.columns == name).sum() > 1]
    if repeated:
        raise ValueError(
            f"the data have {(data.columns == repeated[0]).sum()} columns named {repeated[0]!r}; "
            "rename them so that each is found by its name"
        )


def _distinct_roles(pairs: list[tuple[str, Any]]) -> None:
    """ValueError for a column given two roles, which would be read as both (the keys as delays, say)."""
    roles: dict[Any, str] = {}
    for role, name in pairs:
        if name in roles:
            both = f"two {role} columns" if roles[name] == role else f"the {roles[name]} and the {role} column"
            raise ValueError(f"column {name!r} is given twice, as {both}; each role needs a column of its own")
        if name is not None:
            roles[name] = role


def _numbers(data: pandas.DataFrame, column: str) -> tuple[np.ndarray, np.ndarray]:
    """A column as float64, and which cells hold something other than a number or a blank."""
    import pandas as pd

    values = data[column]
    # pandas would read dates and durations as counts of nanoseconds: refused for the whole column.
    refuse_dates(values, f"column {column!r}")
    numeric = pd.to_numeric(values, errors="coerce")
    bad = (numeric.isna() & values.notna()).to_numpy()
    if numeric.dtype.kind == "c":  # complex numbers are refused, not cut to their real part
        cells = values.to_numpy(dtype=object)
        bad = bad | np.array([isinstance(v, (complex, np.complexfloating)) for v in cells], dtype=bool)
        return np.where(bad, np.nan, np.real(numeric.to_numpy())).astype(np.float64), bad
    return numeric.to_numpy(dtype=np.float64, na_value=np.nan), bad


def _participant_rows(column: pandas.Series) -> tuple[list[Any], list[np.ndarray]]:
    """The participants' keys (sorted when they can be) and the positions of each one's rows."""
    import pandas as pd

    if isinstance(column.dtype, pd.CategoricalDtype):  # declared participants may have no rows
        keys, codes = list(column.cat.categories), column.cat.codes.to_numpy()
    else:
        try:
            codes, uniques = pd.factorize(column, sort=True)
        except TypeError:  # keys of mixed types do not sort; first appearance orders them then
            codes, uniques = pd.factorize(column, sort=False)
        keys = list(uniques)
    if (codes < 0).any():
        raise ValueError(f"row {column.index[np.argmax(codes < 0)]!r} has no {column.name!r}")
    order = np.argsort(codes, kind="stable")  # stable: each participant's rows stay in row order
    bounds = np.searchsorted(codes[order], np.arange(len(keys) + 1))
    keys = [k.item() if isinstance(k, np.generic) else k for k in keys]
    return keys, [order[bounds[i] : bounds[i + 1]] for i in range(len(keys))]


def input_columns(model: str, input: object) -> list[str]:
    """The columns of a model's input: ``input`` as given (one name, or one per number of a trial),
    or by default ``input`` for a model whose trial is one number and the model's own names else."""
    from velmora.models import ENGINE

    names = ENGINE[model].inputs if model in ENGINE else ("input",)
    if input is None:
        return ["input"] if len(names) == 1 else list(names)
    given = [input] if isinstance(input, str) else list(input) if isinstance(input, (list, tuple)) else None
    if given is None or len(given) != len(names) or not all(isinstance(name, str) for name in given):
        expected = "one column name" if len(names) == 1 else f"{len(names)} column names ({', '.join(names)})"
        raise ValueError(f"input: model '{model}' needs {expected}, got {input!r}")
    return given


def _split(
    data: pandas.DataFrame, subject: str, input: list[str], response: str | None, trial: str | None, seed: int
) -> list[_Participant]:
    """Each participant's rows: inputs 1-D for one input column, trials x columns for several."""
    _require_columns(
        data, [("subject", subject), *(("input", name) for name in input), ("response", response), ("trial", trial)]
    )
    columns = {name: _numbers(data, name) for name in (*input, response, trial) if name is not None}
    keys, positions = _participant_rows(data[subject])
    participants = []
    for key, rows in zip(keys, positions):
        p = _Participant(key, None, None, participant_seed(seed, key))
        participants.append(p)
        if rows.size == 0:
            p.error = "no trials"
            continue
        for name, (values, bad) in columns.items():
            if bad[rows].any():
                at = rows[np.argmax(bad[rows])]
                p.error = f"column {name!r}, row {data.index[at]!r}: {data[name].iloc[at]!r} is not a number"
                break
        if p.error is not None:
            continue
        if trial is not None:
            order = columns[trial][0][rows]
            if np.isnan(order).any():
                p.error = f"row {data.index[rows[np.argmax(np.isnan(order))]]!r} has no trial index"
                continue
            rows = rows[np.argsort(order, kind="stable")]
            sorted_order = np.sort(order)
            repeated = sorted_order[1:] == sorted_order[:-1]
            if repeated.any():
                p.error = f"trial {sorted_order[1:][repeated][0]:g} appears more than once"
                continue
        p.rows = rows
        p.inputs = (
            columns[input[0]][0][rows]
            if len(input) == 1
            else np.column_stack([columns[name][0][rows] for name in input])
        )
        p.responses = None if response is None else columns[response][0][rows]
    return participants


def _checked_fit_options(
    model: str, response_model: str | None, responses: bool, fit_options: dict[str, Any]
) -> Problem:
    """The problem of every participant's fit, posed and checked once (by velmora.fit's own checks)
    so that a mistake that is no participant's raises before any work instead of filling every row;
    ``seed`` is left out, since each participant gets its own."""
    from velmora import fitting

    signature = inspect.signature(fitting.fit)
    passed = [
        name
        for name, parameter in signature.parameters.items()
        if parameter.kind is parameter.KEYWORD_ONLY and name not in ("response", "response_model")
    ]
    unknown = [name for name in fit_options if name not in passed]
    if unknown:
        raise TypeError(
            f"fit_many() got an unexpected keyword argument {unknown[0]!r}; besides its own it takes "
            f"{', '.join(passed)} (for velmora.fit)"
        )
    options = {
        name: fit_options.get(name, signature.parameters[name].default)
        for name in ("fixed", "priors", "n_starts", "options")
    }
    return fitting.problem_for(model, response_model, responses, **options)


def default_response(model: str) -> str:
    """The response model that ``model`` is fitted with when none is named."""
    from velmora.conversion import resolve_response_model

    return resolve_response_model(model, None)


def result_columns(model: str, response_model: str | None) -> list[str]:
    """Every column a fit_many table of ``model`` may have besides the participants' keys, fitted to
    responses under ``response_model`` (None: to its inputs)."""
    from velmora.conversion import resolve_response_model
    from velmora.models import ENGINE, RESPONSES

    names = [
        *ENGINE[model].params,
        *(RESPONSES[resolve_response_model(model, response_model)] if response_model else ()),
    ]
    return [*names, *(SE_PREFIX + name for name in names), *RESULT_COLUMNS]


def results_table(
    subject: str, participants: list[_Participant], rows: list[dict[str, Any]], model: str
) -> pandas.DataFrame:
    """One row per participant from each one's fit (``rows``, in the participants' order): the key, the
    estimates, their standard errors and the result columns, a participant without a fit NaN."""
    import pandas as pd

    names: list[str] = []  # estimates in the order the fits report them
    for row in rows:
        names.extend(
            name for name in row if name not in RESULT_COLUMNS and not name.startswith(SE_PREFIX) and name not in names
        )
    columns = [*names, *(SE_PREFIX + name for name in names), *RESULT_COLUMNS]
    defaults = {"n_trials": 0, "converged": False, "message": "", "error": ""}
    table = pd.DataFrame(
        [{column: row.get(column, defaults.get(column, math.nan)) for column in columns} for row in rows],
        columns=columns,
    )
    table = table.astype({"n_trials": np.int64, "converged": bool})
    table.insert(0, subject, [p.key for p in participants])
    table.attrs.update(subject=subject, model=model)
    return table
