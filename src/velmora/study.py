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

import hashlib
import inspect
import math
import os
import sys
import warnings
from collections.abc import Callable, Iterable, Mapping, Sequence
from concurrent.futures import BrokenExecutor, Executor, Future, ProcessPoolExecutor, as_completed
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

from velmora import arrays
from velmora.arrays import SEED_LIMIT

if TYPE_CHECKING:
    import pandas  # type: ignore[import-untyped,unused-ignore]

__all__ = ["fit_many", "simulate_many", "compare", "Comparison", "SerialExecutor", "participant_seed",
           "pointwise_loglik", "to_inference_data"]

# Columns of a fit_many result other than the estimates and their standard errors.
RESULT_COLUMNS = ("nll", "lme", "aic", "bic", "n_trials", "converged", "message", "error")
SE_PREFIX = "se_"
# Derived seeds have always been drawn below 2**63; kept so that a study's fits repeat across versions.
_DERIVED_SEED_LIMIT = 2**63


def _check_seed(seed: object) -> int:
    """``seed`` as a Python int, or TypeError/ValueError unless it is an integer from 0 to 2**64-1."""
    if isinstance(seed, (bool, np.bool_)) or not isinstance(seed, (int, np.integer)):
        raise TypeError(f"seed must be an integer from 0 to 2**64-1, got {seed!r}")
    if not 0 <= seed < SEED_LIMIT:
        raise ValueError(f"seed must be an integer from 0 to 2**64-1, got {seed!r}")
    return int(seed)


def participant_seed(seed: int, key: object) -> int:
    """A seed fixed by the study's seed and the participant's key alone.

    A keyed digest of ``repr`` of the key (NumPy scalars as the Python numbers they hold, so that
    a key reads the same whether it came from a table or a list); Python's own ``hash`` is salted
    per process and would differ between workers.
    """
    if isinstance(key, np.generic):
        key = key.item()
    digest = hashlib.blake2b(repr(key).encode(), digest_size=8, key=_check_seed(seed).to_bytes(16, "little"))
    return int.from_bytes(digest.digest(), "little") % _DERIVED_SEED_LIMIT


class SerialExecutor(Executor):
    """Runs each task at submission, in the calling thread: the reference for any other executor."""

    def submit(self, fn: Callable[..., Any], /, *args: Any, **kwargs: Any) -> Future[Any]:
        future: Future[Any] = Future()
        try:
            future.set_result(fn(*args, **kwargs))
        except Exception as error:  # delivered through the future, as any executor does; an interrupt stops
            future.set_exception(error)
        return future


# ---------------------------------------------------------------------------------------------
# Fitting many participants


@dataclass
class _Participant:
    key: Any
    inputs: np.ndarray | None
    responses: np.ndarray | None
    seed: int
    error: str | None = None


def _fit_chunk(model: str, participants: list[_Participant], options: dict[str, Any],
               threads: int | None = 1) -> list[dict[str, Any]]:
    """Fit the participants of a chunk as one native batch on ``threads`` threads; a participant
    whose own data are wrong gets its error in its row. Runs in a worker too, so it imports only
    what it needs."""
    from velmora.fitting import _check_participants, fit_arrays

    rows: list[dict[str, Any]] = [{} for _ in participants]
    valid = []
    for i, p in enumerate(participants):
        if p.error is None and p.inputs is not None:
            try:  # what fit checks of one participant's data, so that no other participant is held up
                starts, lengths = np.zeros(1, dtype=np.int64), np.array([p.inputs.size], dtype=np.int64)
                _check_participants(model, p.inputs, starts, lengths, p.responses, batched=False)
            except Exception as error:
                p.error = f"{type(error).__name__}: {error}"
        if p.error is not None:
            rows[i] = {"error": p.error}
        else:
            valid.append(i)
    if not valid:
        return rows
    fits = fit_arrays(model, [participants[i].inputs for i in valid],
                      None if participants[valid[0]].responses is None else
                      [participants[i].responses for i in valid],
                      seeds=np.array([participants[i].seed for i in valid], dtype=np.uint64), threads=threads,
                      **options)
    table = fits.to_frame().drop(columns="neg_log_joint")
    for j, record in enumerate(table.to_dict("records")):
        record["n_trials"], record["converged"] = int(record["n_trials"]), bool(record["converged"])
        rows[valid[j]] = record
    return rows


def _require_columns(data: pandas.DataFrame, columns: dict[str, str | None]) -> None:
    missing = [f"{role} column {name!r}" for role, name in columns.items()
               if name is not None and name not in data.columns]
    if missing:
        raise KeyError(f"the data have no {', no '.join(missing)}; its columns are {', '.join(map(str, data.columns))}")


def _numbers(data: pandas.DataFrame, column: str) -> tuple[np.ndarray, np.ndarray]:
    """A column as float64, and which cells hold something other than a number or a blank."""
    import pandas as pd

    values = data[column]
    numeric = pd.to_numeric(values, errors="coerce")
    return numeric.to_numpy(dtype=np.float64, na_value=np.nan), (numeric.isna() & values.notna()).to_numpy()


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
    return keys, [order[bounds[i]:bounds[i + 1]] for i in range(len(keys))]


def _split(data: pandas.DataFrame, subject: str, input: str, response: str | None, trial: str | None,
           seed: int) -> list[_Participant]:
    columns = {name: _numbers(data, name) for name in (input, response, trial) if name is not None}
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
        p.inputs = columns[input][0][rows]
        p.responses = None if response is None else columns[response][0][rows]
    return participants


def _default_executor(workers: int | None = None) -> Executor:
    # Processes, measured by benchmarks/study.py on 2 cores (1,000 HGF fits): a fit spends most of
    # its time in the optimiser's Python code, which holds the interpreter lock, so two threads took
    # 1.6x the serial time while two processes took 0.58x of it, start-up included.
    import multiprocessing
    from multiprocessing import process

    # A new worker first imports the main module by name or runs it from its file, as multiprocessing
    # prepares every worker; a script read from standard input (python - < script.py) has neither,
    # and every worker would die at start-up.
    main = sys.modules.get("__main__")
    path = None if getattr(getattr(main, "__spec__", None), "name", None) else getattr(main, "__file__", None)
    if path is not None and not os.path.exists(os.path.join(getattr(process, "ORIGINAL_DIR", None) or "", path)):
        warnings.warn(f"worker processes cannot start: the main module's file {path!r} does not exist "
                      "(a script read from standard input?); fitting in this process instead. Run the script "
                      "from a file to fit in parallel.", RuntimeWarning, stacklevel=4)
        return SerialExecutor()
    method = "forkserver" if "forkserver" in multiprocessing.get_all_start_methods() else "spawn"
    return ProcessPoolExecutor(max_workers=workers or _cores(), mp_context=multiprocessing.get_context(method))


def _terminate(pool: Executor) -> None:
    """Ends a process pool of our own at once, the chunks in flight with it (after an interrupt):
    shutdown() would wait for them to finish."""
    terminate = getattr(pool, "terminate_workers", None)  # Python 3.14 and later
    if terminate is not None:
        terminate()
        return
    processes = list((getattr(pool, "_processes", None) or {}).values())  # gone after shutdown()
    pool.shutdown(wait=False, cancel_futures=True)
    for process in processes:
        process.terminate()


def _cores() -> int:
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1


def _progress_bar(total: int, progress: bool | None) -> Any:
    if sys.stderr is None:  # closed: the bar has nowhere to go
        return None
    if progress is None:
        progress = sys.stderr.isatty()
    if not progress:
        return None
    from tqdm.auto import tqdm  # type: ignore[import-untyped,unused-ignore]

    return tqdm(total=total, unit="participant", file=sys.stderr, smoothing=0.1)


def _fit_options(model: str, response_model: str, responses: bool, fit_options: dict[str, Any]) -> dict[str, Any]:
    """The options of every participant's fit, checked once (by velmora.fit's own checks, on stand-in
    data) so that a mistake that is no participant's raises before any work instead of filling
    every row; ``seed`` is left out, since each participant gets its own."""
    from velmora import fitting

    signature = inspect.signature(fitting.fit)
    passed = [name for name, parameter in signature.parameters.items()
              if parameter.kind is parameter.KEYWORD_ONLY and name != "response"]
    unknown = [name for name in fit_options if name not in passed]
    if unknown:
        raise TypeError(f"fit_many() got an unexpected keyword argument {unknown[0]!r}; besides its own it takes "
                        f"{', '.join(passed)} (for velmora.fit)")
    options = {"response": response_model, **fit_options}
    options.pop("seed", None)
    stand_in = np.zeros(2)
    call = signature.bind(model, stand_in, stand_in if responses else None, **options)
    call.apply_defaults()
    fitting._prepare(*(call.arguments[name] for name in inspect.signature(fitting._prepare).parameters))
    return options


def fit_many(data: pandas.DataFrame, model: str, *, subject: str = "subject", input: str = "input",
             response: str | None = "response", trial: str | None = None, executor: Executor | None = None,
             progress: bool | None = None, chunk_size: int | None = None, response_model: str = "gaussian",
             threads: int | None = None, **fit_options: Any) -> pandas.DataFrame:
    """Fit ``model`` to every participant of a long-format table; one result row per participant.

    ``data`` has one row per trial: the participant's key in ``subject``, the model's input in
    ``input`` and the behaviour in ``response`` (``response=None`` fits the inputs themselves, as
    ``velmora.fit`` does without responses). Trials are taken in row order, or ordered by the
    ``trial`` column. ``response_model`` is ``velmora.fit``'s ``response`` (the observation model of
    the responses); other keywords (``fixed``, ``priors``, ``n_starts``, ``seed``) go to
    ``velmora.fit`` unchanged, except that each participant's seed is derived from ``seed`` (an
    integer from 0 to 2**64-1) and its key (:func:`participant_seed`). Arguments that are wrong for
    every participant (an unknown model or keyword, a parameter the model lacks) raise before any
    fit starts.

    By default every participant is fitted in this process by the native engine, ``threads``
    threads at a time (default: every core), with no process to start. Given an ``executor``
    (a process pool, Dask's ``Client.get_executor()``, :class:`SerialExecutor`), participants go to
    it in chunks, each chunk one native batch on one thread; the table is the same either way. A
    participant whose data or fit fails, or whose worker fails, gets NaN estimates and the reason in the ``error`` column (empty when it
    succeeded). Rows come sorted by key; the columns are the key, the estimates, ``se_``-prefixed
    standard errors and ``nll``, ``lme``, ``aic``, ``bic``, ``n_trials``, ``converged``, ``message``,
    ``error``. ``progress`` shows a bar on standard error (default: when it is a terminal).
    """
    import pandas as pd

    if not isinstance(data, pd.DataFrame):
        raise TypeError(f"data must be a pandas DataFrame in long format, got {type(data).__name__}")
    _require_columns(data, {"subject": subject, "input": input, "response": response, "trial": trial})
    seed = _check_seed(fit_options.get("seed", 0))
    options = _fit_options(model, response_model, response is not None, fit_options)
    if chunk_size is not None and (isinstance(chunk_size, bool) or not isinstance(chunk_size, (int, np.integer))
                                   or chunk_size < 1):
        raise ValueError(f"chunk_size must be a positive integer or None, got {chunk_size!r}")
    if executor is not None and not callable(getattr(executor, "submit", None)):
        raise TypeError(f"executor must be a concurrent.futures.Executor (with submit), got {type(executor).__name__}")
    threads = arrays._threads(threads)
    taken = [name for name in _result_columns(model, response is not None) if name == subject]
    if taken:
        raise ValueError(f"the subject column {subject!r} has the name of a result column; rename it")
    participants = _split(data, subject, input, response, trial, seed)
    if executor is None:
        rows = _run_here(model, participants, options, progress, threads)
    else:
        rows = _run(model, participants, options, executor, progress, chunk_size)
    return _frame(subject, participants, rows, model)


def _run_here(model: str, participants: list[_Participant], options: dict[str, Any], progress: bool | None,
              threads: int) -> list[dict[str, Any]]:
    """Every participant natively in this process, on ``threads`` threads: in chunks large enough to
    keep every thread busy, so that the bar moves."""
    bar = _progress_bar(len(participants), progress)
    size = max(64 * threads, math.ceil(len(participants) / 20))
    rows: list[dict[str, Any]] = []
    try:
        for start in range(0, len(participants), size):
            chunk = participants[start:start + size]
            rows += _fit_chunk(model, chunk, options, threads)
            if bar is not None:
                bar.update(len(chunk))
    finally:
        if bar is not None:
            bar.close()
    return rows


def _chunks(participants: list[_Participant], chunk_size: int | None, workers: int) -> list[list[_Participant]]:
    if chunk_size is None:
        # A few chunks per worker balances uneven fits; more would only add messages.
        chunk_size = max(1, math.ceil(len(participants) / (4 * workers)))
    return [participants[i:i + chunk_size] for i in range(0, len(participants), chunk_size)]


def _run(model: str, participants: list[_Participant], options: dict[str, Any], executor: Executor | None,
         progress: bool | None, chunk_size: int | None) -> list[dict[str, Any]]:
    own = executor is None
    pool = _default_executor() if own else executor
    assert pool is not None
    workers = getattr(pool, "_max_workers", None) or _cores()
    chunks = _chunks(participants, chunk_size, workers)
    results: dict[int, list[dict[str, Any]]] = {}
    failed: list[int] = []
    broken = False  # the executor lost a process or refuses work: retries must go elsewhere
    bar = _progress_bar(len(participants), progress)
    futures: dict[Future[Any], int] = {}
    try:
        for index, chunk in enumerate(chunks):
            try:
                futures[pool.submit(_fit_chunk, model, chunk, options)] = index
            except Exception:  # a pool that is shut down or broken refuses new work
                failed.append(index)
                broken = True
        for future in as_completed(futures):
            index = futures[future]
            try:
                results[index] = future.result()
            except Exception as error:  # _fit_chunk catches every participant's error: this is the executor's
                failed.append(index)
                broken = broken or isinstance(error, BrokenExecutor)
                continue
            if bar is not None:
                bar.update(len(chunks[index]))
        if own:
            pool.shutdown(wait=True, cancel_futures=True)
        failed.sort()
        rows = iter(_retry(model, [p for index in failed for p in chunks[index]], options,
                           None if own or broken else pool, bar))
        results.update({index: [next(rows) for _ in chunks[index]] for index in failed})
    except BaseException:  # an interrupt: nothing more is done
        for future in futures:
            future.cancel()
        if own:
            _terminate(pool)
        raise
    finally:
        if bar is not None:
            bar.close()
        if own:
            pool.shutdown(wait=True, cancel_futures=True)
    return [row for index in range(len(chunks)) for row in results[index]]


def _retry(model: str, participants: list[_Participant], options: dict[str, Any], executor: Executor | None,
           bar: Any) -> list[dict[str, Any]]:
    """The participants of failed chunks again, one at a time, so that one whose fit kills its worker
    (or that an executor loses) costs only its own row. They go to ``executor`` while it works;
    when it is None or broken (a process pool that lost a process refuses all work, and one that is
    not ours cannot be replaced), to a single-worker pool of our own, replaced after each break."""
    rows: list[dict[str, Any]] = []
    pool = executor
    try:
        for p in participants:
            while True:
                if pool is None:
                    pool = _default_executor(1)
                try:
                    future = pool.submit(_fit_chunk, model, [p], options)
                except Exception as error:  # shut down or broken: it refuses new work
                    failure: Exception = error
                    broken = True
                else:
                    try:
                        rows.extend(future.result())
                        break
                    except Exception as error:
                        failure, broken = error, isinstance(error, BrokenExecutor)
                if broken and pool is executor:  # the given executor broke: this participant goes to one of ours
                    pool = None
                    continue
                if broken:
                    pool.shutdown(wait=True)
                    pool = None
                message = f"{type(failure).__name__}: {failure}" if str(failure) else type(failure).__name__
                rows.append({"error": f"worker failed: {message}"})
                break
            if bar is not None:
                bar.update(1)
    except BaseException:
        if pool is not None and pool is not executor:
            _terminate(pool)
        raise
    finally:
        if pool is not None and pool is not executor:
            pool.shutdown(wait=True)
    return rows


def _result_columns(model: str, responses: bool) -> list[str]:
    """Every column a fit_many table of ``model`` may have besides the participants' keys."""
    from velmora.models import ENGINE

    names = [*ENGINE[model].params, *(["zeta"] if responses else [])]
    return [*names, *(SE_PREFIX + name for name in names), *RESULT_COLUMNS]


def _frame(subject: str, participants: list[_Participant], rows: list[dict[str, Any]], model: str) -> pandas.DataFrame:
    import pandas as pd

    names: list[str] = []  # estimates in the order the fits report them
    for row in rows:
        names.extend(name for name in row if name not in RESULT_COLUMNS and not name.startswith(SE_PREFIX)
                     and name not in names)
    columns = [*names, *(SE_PREFIX + name for name in names), *RESULT_COLUMNS]
    defaults = {"n_trials": 0, "converged": False, "message": "", "error": ""}
    table = pd.DataFrame([{column: row.get(column, defaults.get(column, math.nan)) for column in columns}
                          for row in rows], columns=columns)
    table = table.astype({"n_trials": np.int64, "converged": bool})
    table.insert(0, subject, [p.key for p in participants])
    table.attrs.update(subject=subject, model=model)
    return table


# ---------------------------------------------------------------------------------------------
# Simulating a study


def simulate_many(model: str, params: pandas.DataFrame, inputs: Any, *, response: str = "gaussian", seed: int = 0,
                  subject: str = "subject") -> pandas.DataFrame:
    """A whole study in the long format that :func:`fit_many` reads: subject, trial, input, response.

    ``params`` has one row per participant: the key in a ``subject`` column (or the index) and one
    column per parameter of ``velmora.simulate``; a ``fit_many`` result serves as it is (its standard
    errors and fit statistics are ignored). ``inputs`` is one 1-D sequence shared by everyone, a 2-D
    array with one row per participant (in the order of ``params``), a mapping key -> sequence, or a
    long table with ``subject`` and ``input`` columns (ordered by ``trial`` if it has one). Each
    participant's seed comes from ``seed`` and its key, as in :func:`fit_many`.
    """
    import pandas as pd

    from velmora.simulation import simulate

    if not isinstance(params, pd.DataFrame):
        raise TypeError(f"params must be a pandas DataFrame with one row per participant, got {type(params).__name__}")
    seed = _check_seed(seed)
    keys = list(params[subject]) if subject in params.columns else list(params.index)
    if len(set(map(repr, keys))) != len(keys):
        raise ValueError("params has a participant on more than one row")
    ignored = {subject, *RESULT_COLUMNS, "model"}
    names = [c for c in params.columns if c not in ignored and not str(c).startswith(SE_PREFIX)]
    sequences = _inputs_per_participant(inputs, keys, subject)
    frames = []
    for position, key in enumerate(keys):
        values = {name: params[name].iloc[position] for name in names}
        bad = [name for name, value in values.items() if not _is_number(value)]
        if bad:
            raise ValueError(f"participant {key!r}: parameter {bad[0]!r} is {values[bad[0]]!r}, not a number")
        x = sequences[position]
        try:
            result = simulate(model, x, {n: float(v) for n, v in values.items()}, response=response,
                              seed=participant_seed(seed, key))
        except Exception as error:
            raise type(error)(f"participant {key!r}: {error}") from error
        frames.append(pd.DataFrame({subject: [key] * len(x), "trial": np.arange(len(x)), "input": x,
                                    "response": np.asarray(result.responses, dtype=np.float64)}))
    if not frames:
        raise ValueError("params has no participants")
    return pd.concat(frames, ignore_index=True)


def _is_number(value: object) -> bool:
    return isinstance(value, (int, float, np.integer, np.floating)) and not isinstance(value, (bool, np.bool_)) \
        and not math.isnan(value)


def _inputs_per_participant(inputs: Any, keys: list[Any], subject: str) -> list[np.ndarray]:
    import pandas as pd

    if isinstance(inputs, pd.DataFrame):
        _require_columns(inputs, {"subject": subject, "input": "input"})
        found = {repr(k.item() if isinstance(k, np.generic) else k): rows
                 for k, rows in inputs.groupby(subject, sort=False)}
        out = []
        for key in keys:
            rows = found.get(repr(key.item() if isinstance(key, np.generic) else key))
            if rows is None or len(rows) == 0:
                raise ValueError(f"participant {key!r} has no trials in the inputs")
            if "trial" in rows.columns:
                rows = rows.sort_values("trial", kind="stable")
            values, bad = _numbers(rows, "input")
            if bad.any():
                raise ValueError(f"inputs: column 'input', row {rows.index[np.argmax(bad)]!r}: "
                                 f"{rows['input'].iloc[np.argmax(bad)]!r} is not a number")
            out.append(values)
        return out
    if isinstance(inputs, Mapping):
        missing = [k for k in keys if k not in inputs]
        if missing:
            raise ValueError(f"participant {missing[0]!r} has no trials in the inputs")
        return [_sequence(inputs[k], k) for k in keys]
    array = np.asarray(inputs, dtype=np.float64)
    if array.ndim == 1:
        return [_sequence(array, None)] * len(keys)
    if array.ndim == 2:
        if array.shape[0] != len(keys):
            raise ValueError(f"inputs has {array.shape[0]} rows for {len(keys)} participants")
        return [_sequence(row, k) for row, k in zip(array, keys)]
    raise ValueError(f"inputs must be 1-D (shared), 2-D (one row per participant) or a long table, "
                     f"got a {array.ndim}-D array")


def _sequence(values: Any, key: object) -> np.ndarray:
    array = np.asarray(values, dtype=np.float64)
    if array.ndim != 1 or array.size == 0:
        who = "the inputs" if key is None else f"participant {key!r}"
        raise ValueError(f"{who}: need a non-empty 1-D sequence of inputs")
    return array


# ---------------------------------------------------------------------------------------------
# Comparing models


@dataclass(frozen=True)
class Comparison:
    """Models compared over the same participants; ``to_frame()`` gives one row per model.

    ``lme`` and ``bic`` are participants x models tables; ``best`` each participant's model of
    highest evidence; ``alpha``, ``expected_frequency``, ``exceedance`` and ``protected_exceedance``
    the random-effects selection (``bor``: the posterior probability that all models are equally
    frequent). Participants whose fit failed under any model are left out and listed in ``excluded``.
    """

    names: tuple[str, ...]
    lme: pandas.DataFrame
    bic: pandas.DataFrame
    alpha: np.ndarray
    exceedance: np.ndarray
    protected_exceedance: np.ndarray
    bor: float
    excluded: tuple[Any, ...]

    @property
    def best(self) -> pandas.Series:
        best: pandas.Series = self.lme.idxmax(axis=1)
        return best

    @property
    def expected_frequency(self) -> np.ndarray:
        frequency: np.ndarray = self.alpha / self.alpha.sum()
        return frequency

    def to_frame(self) -> pandas.DataFrame:
        import pandas as pd

        counts = self.best.value_counts()
        return pd.DataFrame({
            "model": list(self.names),
            "sum_lme": self.lme.sum().to_numpy(),
            "sum_bic": self.bic.sum().to_numpy(),
            "n_best": [int(counts.get(name, 0)) for name in self.names],
            "alpha": self.alpha,
            "expected_frequency": self.expected_frequency,
            "exceedance": self.exceedance,
            "protected_exceedance": self.protected_exceedance,
        })


def compare(*results: pandas.DataFrame | Mapping[str, pandas.DataFrame], names: Sequence[str] | None = None,
            subject: str | None = None) -> Comparison:
    """Compare models fitted to the same participants (``fit_many`` results, or one dict name -> result)."""
    from velmora.bms import bms

    if len(results) == 1 and isinstance(results[0], Mapping):
        if names is not None:
            raise TypeError("give the names either as the dict's keys or as names=, not both")
        names, tables = list(results[0]), list(results[0].values())
    else:
        tables = list(results)  # type: ignore[arg-type,unused-ignore]
        if names is None:
            names = [t.attrs.get("model", f"model {i + 1}") for i, t in enumerate(tables)]
            if len(set(names)) != len(names):
                names = [f"model {i + 1}" for i in range(len(tables))]
    names = [str(n) for n in names]
    if len(names) != len(tables):
        raise ValueError(f"{len(names)} names for {len(tables)} results")
    if len(tables) < 2:
        raise ValueError("compare needs the results of at least two models")
    if len(set(names)) != len(names):
        raise ValueError(f"the model names repeat: {names}")
    lme, bic = _aligned(tables, names, subject)
    usable = np.isfinite(lme).all(axis=1) & np.isfinite(bic).all(axis=1)  # -inf too: a fit without an estimate
    excluded = tuple(lme.index[~usable])
    lme, bic = lme[usable], bic[usable]
    if lme.empty:
        raise ValueError("no participant has a finite log evidence under every model")
    selection = bms(lme.to_numpy())
    return Comparison(tuple(names), lme, bic, selection.alpha, selection.exceedance, selection.protected_exceedance,
                      selection.bor, excluded)


def _aligned(tables: Iterable[pandas.DataFrame], names: list[str],
             subject: str | None) -> tuple[pandas.DataFrame, pandas.DataFrame]:
    import pandas as pd

    lme, bic, keys = {}, {}, None
    for name, table in zip(names, tables):
        column = subject or table.attrs.get("subject", "subject")
        _require_columns(table, {"subject": column, "lme": "lme", "bic": "bic"})
        if table[column].duplicated().any():
            raise ValueError(f"{name}: participant {table[column][table[column].duplicated()].iloc[0]!r} "
                             "appears more than once")
        indexed = table.set_index(column)
        if keys is None:
            keys = indexed.index
        elif set(indexed.index) != set(keys):
            only = sorted(map(repr, set(indexed.index) ^ set(keys)))[:3]
            raise ValueError(f"{name} was fitted to other participants than {names[0]} (e.g. {', '.join(only)})")
        lme[name] = pd.to_numeric(indexed["lme"], errors="coerce").reindex(keys)
        bic[name] = pd.to_numeric(indexed["bic"], errors="coerce").reindex(keys)
    return pd.DataFrame(lme), pd.DataFrame(bic)


# ---------------------------------------------------------------------------------------------
# ArviZ


def pointwise_loglik(data: pandas.DataFrame, fits: pandas.DataFrame, model: str, *, subject: str = "subject",
                     input: str = "input", response: str | None = "response",
                     trial: str | None = None) -> pandas.DataFrame:
    """Each trial's log-likelihood at a participant's estimate (long format: subject, trial, loglik).

    The same density that the fit maximised: a response's Gaussian density around the model's belief
    before the trial with variance ``zeta``, or (``response=None``) the filter's predictive density
    of the input. Missed trials (NaN responses) and participants whose fit failed (an error, or no
    finite ``nll``) are left out, so that per participant the values sum to ``-nll``; any other trial
    whose value is not finite means that the fits do not belong to the data, and raises.
    """
    import pandas as pd

    from velmora.fitting import _check_model, belief, run_model
    from velmora.models import PARAMS

    _check_model(model, tuple(PARAMS))
    _require_columns(fits, {"subject": subject, "lme": "lme"})
    estimates = fits[fits["error"] == ""] if "error" in fits.columns else fits
    if "nll" in estimates.columns:
        estimates = estimates[np.isfinite(pd.to_numeric(estimates["nll"], errors="coerce"))]
    estimates = estimates.set_index(subject)
    names = [c for c in estimates.columns if c not in RESULT_COLUMNS and not str(c).startswith(SE_PREFIX)
             and c != "model"]
    missing = [name for name in [*PARAMS[model], *(["zeta"] if response is not None else [])] if name not in names]
    if missing:
        raise ValueError(f"the fits have no estimate of {', '.join(missing)}, which model {model!r} needs"
                         f"{' with responses' if response is not None else ''}; their estimates are "
                         f"{', '.join(map(str, names)) or 'none'}: were they fitted with another model?")
    frames = []
    for p in _split(data, subject, input, response, trial, 0):
        if p.error is not None or p.inputs is None or p.key not in estimates.index:
            continue
        row = estimates.loc[p.key]
        params = {name: (None if pd.isna(row[name]) else float(row[name])) for name in names}
        trajectory = run_model(model, p.inputs, params)
        if response is None:
            loglik = np.asarray(trajectory["loglik"], dtype=np.float64)
        else:
            centre = belief(model, trajectory, params)
            zeta = float(params["zeta"])  # type: ignore[arg-type]
            with np.errstate(over="ignore"):  # an overflow is reported below, with the participant and trial
                loglik = -0.5 * (np.log(2.0 * np.pi * zeta) + (p.responses - centre) ** 2 / zeta)
        kept = np.flatnonzero(~np.isnan(p.responses)) if p.responses is not None else np.arange(loglik.size)
        if not np.isfinite(loglik[kept]).all():
            at = int(kept[np.argmax(~np.isfinite(loglik[kept]))])
            raise ValueError(f"participant {p.key!r}, trial {at}: the log-likelihood at the estimates is "
                             f"{loglik[at]}; were these fits made from these data?")
        frames.append(pd.DataFrame({subject: [p.key] * kept.size, "trial": kept, "loglik": loglik[kept]}))
    if not frames:
        raise ValueError("no participant has both data and a successful fit")
    return pd.concat(frames, ignore_index=True)


def to_inference_data(data: pandas.DataFrame, fits: pandas.DataFrame, model: str, **columns: Any) -> Any:
    """Per-trial log-likelihoods at the estimates as an ``arviz.InferenceData``.

    The ``log_likelihood`` group holds one variable, ``y``, with one chain, one draw and one
    observation per trial of every participant (coordinates ``participant`` and ``trial`` on
    dimension ``obs``); the ``posterior`` group holds the estimates as that one draw, one value per
    participant. Models fitted to the same data line up observation by observation, as
    ``arviz.compare({"hgf": to_inference_data(...), "kalman": ...}, ic="waic")`` needs. The
    estimates are point estimates, not posterior draws, and that limits what ArviZ can do with them:
    ``arviz.loo`` refuses a single draw (Pareto smoothing needs several), while ``arviz.waic`` and
    ``arviz.compare(..., ic="waic")`` accept it but reduce to the in-sample log-likelihood at the
    estimates (``p_waic`` is 0: no penalty for flexibility). Use :func:`compare` (Laplace evidence)
    to choose between models; this export is for ArviZ's pointwise tables and plots. Keywords name
    the columns as in :func:`fit_many`.
    """
    import arviz as az

    table = pointwise_loglik(data, fits, model, **columns)
    subject = columns.get("subject", "subject")
    estimates = fits[fits[subject].isin(set(table[subject]))]
    names = [c for c in estimates.columns if c not in (*RESULT_COLUMNS, subject, "model")
             and not str(c).startswith(SE_PREFIX) and estimates[c].notna().any()]
    # The estimates stand as the posterior's one draw: ArviZ needs a posterior beside the likelihood.
    posterior = {name: estimates[name].to_numpy(dtype=np.float64)[None, None, :] for name in names}
    idata = az.from_dict(posterior=posterior, log_likelihood={"y": table["loglik"].to_numpy()[None, None, :]},
                         dims={"y": ["obs"], **{name: ["participant"] for name in names}},
                         coords={"obs": np.arange(len(table)), "participant": estimates[subject].to_numpy()})
    idata.log_likelihood = idata.log_likelihood.assign_coords(
        participant=("obs", table[subject].to_numpy()), trial=("obs", table["trial"].to_numpy()))
    return idata
