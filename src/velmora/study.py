"""Whole studies: fit many participants from a long table, simulate one, compare models.

``fit_many`` splits a long-format DataFrame (one row per trial) by participant, fits each with
:func:`velmora.fit` on any ``concurrent.futures.Executor`` (every core by default, or a Dask cluster
through ``distributed.Client.get_executor()``) and returns one row per participant. A participant
whose data or fit fails gets an error message in its row; no failure stops the batch. Each
participant's seed is derived from the fit's seed and the participant's key alone, so the results
do not depend on the order of the participants or on where they ran.

``simulate_many`` writes the table that ``fit_many`` reads from a table of true parameters, and
``compare`` puts the fits of several models side by side (summed evidence, each participant's
best model, random-effects Bayesian model selection).
"""

from __future__ import annotations

import math
import warnings
from collections.abc import Mapping
from concurrent.futures import Executor
from typing import TYPE_CHECKING, Any

import numpy as np

from velmora import conversion, deprecation, executors, stream, tables
from velmora.comparison import Comparison, compare
from velmora.deprecation import UNSET
from velmora import choices
from velmora.executors import SerialExecutor, _progress_bar, run_chunks
from velmora.models import ENGINE
from velmora.export import pointwise_loglik, to_inference_data
from velmora.tables import (
    RESULT_COLUMNS,
    SE_PREFIX,
    _numbers,
    _Participant,
    _require_columns,
    _checked_fit_options,
    _split,
    input_columns,
    participant_seed,
)

if TYPE_CHECKING:
    import pandas  # type: ignore[import-untyped,unused-ignore]

    from velmora.problem import Problem

__all__ = [
    "fit_many",
    "simulate_many",
    "compare",
    "Comparison",
    "SerialExecutor",
    "participant_seed",
    "pointwise_loglik",
    "to_inference_data",
]


def _fit_chunk(
    model: str, participants: list[_Participant], problem: Problem, threads: int | None = 1
) -> list[dict[str, Any]]:
    """Fit the participants of a chunk as one native batch of ``problem`` on ``threads`` threads; a
    participant whose own data are wrong gets its error in its row. Runs in a worker too, so it
    imports only what it needs."""
    rows: list[dict[str, Any]] = [{} for _ in participants]
    valid = []
    for i, p in enumerate(participants):
        if p.error is None and p.inputs is not None:
            try:  # what fit checks of one participant's data, so that no other participant is held up
                problem.check_participant(p.inputs, p.responses)
            except Exception as error:
                p.error = f"{type(error).__name__}: {error}"
        if p.error is not None:
            rows[i] = {"error": p.error}
        else:
            valid.append(i)
    if not valid:
        return rows
    workers = conversion.thread_count(threads)
    # On a thread of this process Ctrl-C never reaches the native fit: one participant at a time, so
    # that an interrupted call frees the thread at once. Each participant's fit is the same either way.
    step = 1 if executors.on_worker_thread() else len(valid)
    for first in range(0, len(valid), step):
        if executors.interrupted():
            raise executors.Cancelled("the call that submitted this chunk was interrupted")
        part = [participants[i] for i in valid[first : first + step]]
        lengths = np.array([len(p.inputs) for p in part], dtype=np.int64)  # type: ignore[arg-type]
        fits = problem.with_data(
            np.concatenate([np.asarray(p.inputs, dtype=np.float64).reshape(-1) for p in part]),
            np.cumsum(lengths) - lengths,
            lengths,
            None
            if part[0].responses is None
            else np.concatenate([np.asarray(p.responses, dtype=np.float64) for p in part]),
        ).fit(np.array([p.seed for p in part], dtype=np.uint64), workers)
        table = fits.to_frame().drop(columns="neg_log_joint")
        for j, record in enumerate(table.to_dict("records")):
            record["n_trials"], record["converged"] = int(record["n_trials"]), bool(record["converged"])
            rows[valid[first + j]] = record
    return rows


def fit_many(
    data: pandas.DataFrame,
    model: str,
    *,
    subject: str = "subject",
    input: str | list[str] | None = None,
    response: str | None = "response",
    trial: str | None = None,
    executor: Executor | None = None,
    progress: bool | None = None,
    chunk_size: int | None = None,
    response_model: str | None = None,
    threads: int | None = None,
    **fit_options: Any,
) -> pandas.DataFrame:
    """Fit ``model`` to every participant of a long-format table; one result row per participant.

    By default every participant is fitted in this process by the native engine, ``threads`` threads
    at a time, with no process to start. Given an ``executor`` (a process pool, Dask's
    ``Client.get_executor()``, :class:`SerialExecutor`), participants go to it in chunks, each chunk
    one native batch on one thread; the table is the same either way. Each participant's fit is
    :func:`velmora.fit`'s (the transforms and default priors of :ref:`priors`), with its seed derived
    from ``seed`` and its key (:func:`participant_seed`), so that the results depend neither on the
    order of the participants nor on where they ran.

    Parameters
    ----------
    data : pandas.DataFrame
        One row per trial: the participant's key, the model's input(s) and the behaviour.
    model : str
        A fitted model: one of ``velmora.models.FITTED`` (the engine's report).
    subject : str, optional
        The column of the participants' keys (default ``"subject"``).
    input : str, list of str or None, optional
        The input column (default ``"input"``); for the choice models ``discount`` and ``hyperbolic``
        a list of four columns, by default ``amount_sooner``, ``delay_sooner``, ``amount_later``,
        ``delay_later`` (the delays in any one unit).
    response : str or None, optional
        The column of the behaviour (default ``"response"``); None fits the inputs themselves, as
        ``velmora.fit`` does without responses.
    trial : str or None, optional
        A column to order each participant's trials by; None (the default) takes them in row order.
    executor : concurrent.futures.Executor or None, optional
        Where to run the chunks; None (the default) fits here, natively.
    progress : bool or None, optional
        Show a progress bar on standard error; None (the default): when it is a terminal.
    chunk_size : int or None, optional
        Participants per chunk given to an ``executor``, a positive integer; None chooses.
    response_model : str or None, optional
        ``velmora.fit``'s ``response``, the observation model of the responses; None: the model's
        default.
    threads : int or None, optional
        Threads of the native fits without an executor (default: every core).
    **fit_options
        ``fixed``, ``priors``, ``n_starts`` and ``seed`` (an integer from 0 to 2**64-1), passed to
        ``velmora.fit`` unchanged, except that each participant's seed is derived from ``seed``.

    Returns
    -------
    pandas.DataFrame
        Rows sorted by key; the columns are the key, the estimates (natural units), ``se_``-prefixed
        standard errors and ``nll``, ``lme``, ``aic``, ``bic``, ``n_trials``, ``converged``,
        ``message``, ``error``. A participant whose data or fit fails, or whose worker fails, gets NaN
        estimates and the reason in ``error`` (empty when it succeeded); no failure stops the batch.
        ``attrs`` records ``subject``, ``model`` and (with responses) ``response_model``.

    Raises
    ------
    TypeError
        ``data`` that is not a DataFrame, an unknown keyword, an ``executor`` without ``submit``, a seed
        or ``threads`` that is not an integer, or ``fixed`` and ``priors`` of the wrong type.
    KeyError
        A column that ``data`` lacks.
    ValueError
        Arguments that are wrong for every participant, before any fit starts: an unknown model or
        response model, a parameter the model lacks, other bad ``fit_options`` (as :func:`velmora.fit`
        checks them), input columns of the wrong number, a column given two roles, a seed outside 0 to
        2**64-1, a ``chunk_size`` or ``threads`` below 1, a subject column named as a result column, or
        a row without a key.
    velmora.InvalidParameter
        Held values the model refuses, before any fit starts.
    KeyboardInterrupt
        Ctrl-C: nothing more is done.

    Warns
    -----
    RuntimeWarning
        No participant could be fitted (every row has an error).
    """
    import pandas as pd

    if not isinstance(data, pd.DataFrame):
        raise TypeError(f"data must be a pandas DataFrame in long format, got {type(data).__name__}")
    inputs = input_columns(model, input)
    _require_columns(
        data, [("subject", subject), *(("input", name) for name in inputs), ("response", response), ("trial", trial)]
    )
    seed = stream.check_seed(fit_options.get("seed", 0))
    problem = _checked_fit_options(model, response_model, response is not None, fit_options)
    if chunk_size is not None and (
        isinstance(chunk_size, bool) or not isinstance(chunk_size, (int, np.integer)) or chunk_size < 1
    ):
        raise ValueError(f"chunk_size must be a positive integer or None, got {chunk_size!r}")
    if executor is not None and not callable(getattr(executor, "submit", None)):
        raise TypeError(f"executor must be a concurrent.futures.Executor (with submit), got {type(executor).__name__}")
    threads = conversion.thread_count(threads)
    fitted_response = problem.response if response is not None else None
    taken = [name for name in tables.result_columns(model, fitted_response) if name == subject]
    if taken:
        raise ValueError(f"the subject column {subject!r} has the name of a result column; rename it")
    participants = _split(data, subject, inputs, response, trial, seed)
    if problem.labels is not None and response is not None:
        tables.check_choices(participants, problem.labels)
    if executor is None:
        rows = _run_here(model, participants, problem, progress, threads)
    else:
        # Looked up here, at the call, so that a replacement of this module's _fit_chunk takes effect.
        rows = run_chunks(_fit_chunk, model, participants, problem, executor, progress, chunk_size)
    table = tables.results_table(subject, participants, rows, model)
    if len(table) and (table["error"] != "").all():
        # No row holds an estimate: a table of errors alone is easily taken for a result.
        warnings.warn(
            f"none of the {len(table)} participants could be fitted; the first error: {table['error'].iloc[0]}",
            RuntimeWarning,
            stacklevel=2,
        )
    if response is not None:
        table.attrs["response_model"] = problem.response
    return table


def _run_here(
    model: str, participants: list[_Participant], problem: Problem, progress: bool | None, threads: int
) -> list[dict[str, Any]]:
    """Every participant natively in this process, on ``threads`` threads: in chunks large enough to
    keep every thread busy, so that the bar moves."""
    bar = _progress_bar(len(participants), progress)
    size = max(64 * threads, math.ceil(len(participants) / 20))
    rows: list[dict[str, Any]] = []
    try:
        for start in range(0, len(participants), size):
            chunk = participants[start : start + size]
            rows += _fit_chunk(model, chunk, problem, threads)
            if bar is not None:
                bar.update(len(chunk))
    finally:
        if bar is not None:
            bar.close()
    return rows


def simulate_many(
    model: str,
    params: pandas.DataFrame,
    inputs: Any,
    *,
    response_model: str | None = None,
    seed: int = 0,
    subject: str = "subject",
    options: Any = None,
    response: Any = UNSET,
) -> pandas.DataFrame:
    """A whole study in the long format that :func:`fit_many` reads: subject, trial, input, response.

    Each participant is simulated by :func:`velmora.simulate` with its own parameters and a seed from
    ``seed`` and its key, as in :func:`fit_many`.

    Parameters
    ----------
    model : str
        The model, as for :func:`velmora.simulate`.
    params : pandas.DataFrame
        One row per participant: the key in a ``subject`` column (or the index) and one column per
        parameter of ``velmora.simulate`` (natural values); a ``fit_many`` result serves as it is (its
        standard errors and fit statistics are ignored).
    inputs : array_like, mapping or pandas.DataFrame
        One 1-D sequence shared by everyone, a 2-D array with one row per participant (in the order of
        ``params``), a mapping key -> sequence, or a long table with ``subject`` and ``input`` columns
        (ordered by ``trial`` if it has one). For the choice models a trial is a row of four numbers: a
        trials x 4 array shared by everyone, a 3-D array, a mapping key -> trials x 4 array, or a long
        table with the four input columns of :func:`fit_many`, which the result has too.
    response_model : str or None, optional
        The response model; None (the default) is the model's default.
    seed : int, optional
        The study's seed, an integer from 0 to 2**64-1 (default 0).
    subject : str, optional
        The column of the participants' keys (default ``"subject"``).
    options : sequence of numbers, optional
        A model that chooses among options: the options' labels (default 0 .. K - 1). Its ``inputs``
        are payoff tables (trials x options, as for :func:`velmora.simulate`): one shared by
        everyone, a 3-D array (participants x trials x options) or a mapping key -> table. The result
        then has a ``payoff_<option>`` column per option, the outcome each choice obtained as
        ``input`` and the choice (its label) as ``response``, which :func:`fit_many` reads with the
        same ``options``.
    response : str, optional
        Deprecated spelling of ``response_model`` (DeprecationWarning); the result's column of
        responses is ``response``.

    Returns
    -------
    pandas.DataFrame
        One row per trial: ``subject``, ``trial``, the input column(s) and ``response``.

    Raises
    ------
    TypeError
        ``params`` that is not a DataFrame, a seed that is not an integer, or inputs that are not
        numbers.
    ValueError
        A seed outside 0 to 2**64-1; a participant on more than one row, or none at all; a parameter
        that is not a number; inputs of the wrong shape or (a long table's) not numbers, or a
        participant without inputs; and the ``ValueError`` of :func:`velmora.simulate` for a
        participant (an unknown model, a missing parameter, ...), its key before the message.
    KeyError
        A long table of inputs without the ``subject`` or input columns.
    velmora.VelmoraException
        The error of :func:`velmora.simulate` for a participant whose parameters or inputs the model
        refuses (``velmora.InvalidParameter``), raised as its own type with the participant's key
        before its message.
    """
    import pandas as pd

    from velmora.simulation import simulate

    response_model = deprecation.renamed_keyword(
        "simulate_many", "response", "response_model", response, response_model
    )
    if not isinstance(params, pd.DataFrame):
        raise TypeError(f"params must be a pandas DataFrame with one row per participant, got {type(params).__name__}")
    seed = stream.check_seed(seed)
    _require_columns(params, [("subject", subject if subject in params.columns else None)])
    repeated = params.columns[params.columns.duplicated()]
    if len(repeated):
        raise ValueError(f"params has more than one column named {repeated[0]!r}; rename them")
    keys = [
        k.item() if isinstance(k, np.generic) else k  # shown as the numbers they are in messages
        for k in (params[subject] if subject in params.columns else params.index)
    ]
    if len(set(map(repr, keys))) != len(keys):
        raise ValueError("params has a participant on more than one row")
    ignored = {subject, *RESULT_COLUMNS, "model"}
    names = [c for c in params.columns if c not in ignored and not str(c).startswith(SE_PREFIX)]
    columns = input_columns(model, None)
    chooses = model in ENGINE and ENGINE[model].chooses
    sequences = _payoff_tables(inputs, keys) if chooses else _inputs_per_participant(inputs, keys, subject, columns)
    frames = []
    for position, key in enumerate(keys):
        values = {name: params[name].iloc[position] for name in names}
        bad = [name for name, value in values.items() if not _is_number(value)]
        if bad:
            shown = values[bad[0]].item() if isinstance(values[bad[0]], np.generic) else values[bad[0]]
            raise ValueError(f"participant {key!r}: parameter {bad[0]!r} is {shown!r}, not a number")
        x = sequences[position]
        try:
            result = simulate(
                model,
                x,
                {n: float(v) for n, v in values.items()},
                response_model=response_model,
                seed=participant_seed(seed, key),
                options=options,
            )
        except MemoryError:
            # Nothing about the participant, and NumPy's is built from a shape, not a message.
            raise
        except Exception as error:
            raise type(error)(f"participant {key!r}: {error}") from error
        frame = pd.DataFrame({subject: [key] * len(x), "trial": np.arange(len(x))})
        if result.options is not None and result.outcomes is not None:
            for c, name in enumerate(choices.label_names(result.options)):
                frame[f"payoff_{name}"] = x[:, c]
            frame[columns] = np.reshape(result.outcomes, (len(x), 1))
        else:
            frame[columns] = np.reshape(x, (len(x), len(columns)))
        frame["response"] = np.asarray(result.responses, dtype=np.float64)
        frames.append(frame)
    if not frames:
        raise ValueError("params has no participants")
    return pd.concat(frames, ignore_index=True)


def _payoff_tables(inputs: Any, keys: list[Any]) -> list[np.ndarray]:
    """Each participant's payoff table (trials x options): one shared, one per participant of a 3-D
    array in the order of ``keys``, or by key from a mapping."""
    if isinstance(inputs, Mapping):
        missing = [key for key in keys if key not in inputs]
        if missing:
            raise ValueError(f"participant {missing[0]!r} has no payoff table in the inputs")
        return [conversion.floats(inputs[key], "inputs") for key in keys]
    tables = conversion.floats(inputs, "inputs")
    if tables.ndim == 2:
        return [tables] * len(keys)
    if tables.ndim != 3 or tables.shape[0] != len(keys):
        raise ValueError(
            f"inputs: a payoff table (trials x options) shared by everyone or one per participant "
            f"({len(keys)} x trials x options), got shape {tables.shape}"
        )
    return list(tables)


def _is_number(value: object) -> bool:
    return (
        isinstance(value, (int, float, np.integer, np.floating))
        and not isinstance(value, (bool, np.bool_))
        and not math.isnan(value)
    )


def _inputs_per_participant(inputs: Any, keys: list[Any], subject: str, columns: list[str]) -> list[np.ndarray]:
    """Each participant's inputs: 1-D for a model with one input column, trials x columns else."""
    import pandas as pd

    width = len(columns)
    if isinstance(inputs, pd.DataFrame):
        _require_columns(inputs, [("subject", subject), *(("input", name) for name in columns)])
        found = {
            repr(k.item() if isinstance(k, np.generic) else k): rows for k, rows in inputs.groupby(subject, sort=False)
        }
        out = []
        for key in keys:
            rows = found.get(repr(key.item() if isinstance(key, np.generic) else key))
            if rows is None or len(rows) == 0:
                raise ValueError(f"participant {key!r} has no trials in the inputs")
            if "trial" in rows.columns:
                _numbers(rows, "trial")  # dates and durations are refused here as in every study table
                rows = rows.sort_values("trial", kind="stable")
            read = []
            for name in columns:
                values, bad = _numbers(rows, name)
                if bad.any():
                    raise ValueError(
                        f"inputs: column {name!r}, row {rows.index[np.argmax(bad)]!r}: "
                        f"{rows[name].iloc[np.argmax(bad)]!r} is not a number"
                    )
                read.append(values)
            out.append(read[0] if width == 1 else np.column_stack(read))
        return out
    if isinstance(inputs, Mapping):
        missing = [k for k in keys if k not in inputs]
        if missing:
            raise ValueError(f"participant {missing[0]!r} has no trials in the inputs")
        return [_sequence(inputs[k], k, columns) for k in keys]
    array = _numeric(inputs, None, columns)
    extra = 0 if width == 1 else 1  # a trial's own axis
    if array.ndim == 1 + extra:
        return [_sequence(array, None, columns)] * len(keys)
    if array.ndim == 2 + extra:
        if array.shape[0] != len(keys):
            raise ValueError(f"inputs has {array.shape[0]} rows for {len(keys)} participants")
        return [_sequence(row, k, columns) for row, k in zip(array, keys)]
    raise ValueError(
        f"inputs must be {1 + extra}-D (shared), {2 + extra}-D (one row per participant) or a long "
        f"table, got a {array.ndim}-D array"
    )


def _numeric(values: Any, key: object, columns: list[str]) -> np.ndarray:
    """Inputs as float64 by the list functions' conversion (text, None, dates and complex numbers are
    refused, not parsed, read as NaN or cut to their real part); a table of offers by its column names."""
    who = "the inputs" if key is None else f"participant {key!r}"
    if len(columns) > 1:
        values = conversion.by_name(values, tuple(columns), "inputs", "" if key is None else f", {who}")
    try:
        array = np.asarray(values)
    except ValueError as error:  # rows of several lengths
        raise ValueError(f"{who}: not an array of numbers ({error})") from None
    try:
        return conversion.reals(array, "inputs", tuple(columns) if len(columns) > 1 else ())
    except TypeError as error:
        if key is None:
            raise
        raise TypeError(f"{who}: {error}") from None


def _sequence(values: Any, key: object, columns: list[str]) -> np.ndarray:
    width = len(columns)
    array = values if isinstance(values, np.ndarray) and values.dtype == np.float64 else _numeric(values, key, columns)
    if (array.ndim != 1 if width == 1 else array.ndim != 2 or array.shape[1] != width) or array.size == 0:
        who = "the inputs" if key is None else f"participant {key!r}"
        shape = "1-D sequence" if width == 1 else f"trials x {width} array"
        raise ValueError(f"{who}: need a non-empty {shape} of inputs")
    return array
