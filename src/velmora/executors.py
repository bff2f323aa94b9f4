"""Where work runs: chunks of participants submitted to any ``concurrent.futures.Executor``.

A process pool of our own by default (forkserver or spawn: a forked copy of a process that runs
threads can deadlock), :class:`SerialExecutor` as the reference, or any executor given (Dask's
``Client.get_executor()``). A chunk whose worker fails is retried participant by participant, so
that one participant whose fit kills its worker costs only its own row.
"""

from __future__ import annotations

import itertools
import math
import os
import sys
import threading
import warnings
from collections.abc import Callable
from concurrent.futures import BrokenExecutor, Executor, Future, ProcessPoolExecutor, as_completed
from typing import Any, TypeVar

__all__ = ["SerialExecutor"]

Item = TypeVar("Item")
Row = dict[str, Any]
# What runs on an executor: task(model, chunk, options), one row per item of the chunk out.
Task = Callable[[str, list[Item], Any], list[Row]]


class SerialExecutor(Executor):
    """Runs each task at submission, in the calling thread: the reference for any other executor."""

    def submit(self, fn: Callable[..., Any], /, *args: Any, **kwargs: Any) -> Future[Any]:
        """Call ``fn(*args, **kwargs)`` now; its result, or the exception it raised, is in the future."""
        future: Future[Any] = Future()
        try:
            future.set_result(fn(*args, **kwargs))
        except Exception as error:  # delivered through the future, as any executor does; an interrupt stops
            future.set_exception(error)
        return future


class Cancelled(Exception):
    """Raised inside a task whose call was interrupted: its results are no longer wanted."""


# The calls interrupted so far, by token. A token travels with each task (by pickle too, as a number):
# in this process a running task sees its call's interrupt; in another process it never does, and
# that process is ended instead.
_interrupted: set[int] = set()
_tokens = itertools.count()
_current = threading.local()


class _Tagged:
    """``task`` with ``token`` as the interrupt that :func:`interrupted` sees in the thread that runs it;
    submitted with the task's own arguments, which an executor sees as they are."""

    def __init__(self, token: int, task: Callable[..., list[Row]]) -> None:
        self.token, self.task = token, task

    def __call__(self, *args: Any) -> list[Row]:
        _current.token = self.token
        try:
            return self.task(*args)
        finally:
            _current.token = None


def interrupted() -> bool:
    """Whether the call that submitted the running task was interrupted; a task that runs in a thread
    of this process (a thread pool, an in-process Dask cluster), where Ctrl-C never reaches the
    native work, asks between participants, so that its thread is free at once."""
    token = getattr(_current, "token", None)
    return token is not None and token in _interrupted


def on_worker_thread() -> bool:
    """Whether this task runs on a thread other than the main one, where no Ctrl-C arrives."""
    return getattr(_current, "token", None) is not None and threading.current_thread() is not threading.main_thread()


def _default_executor(workers: int | None = None) -> Executor:
    # A pool of processes of velmora's own: where a chunk's worker may die (retries after a broken
    # pool), only a process can take the blow; fit_many's default fits in this process instead.
    import multiprocessing
    from multiprocessing import process

    # A new worker first imports the main module by name or runs it from its file, as multiprocessing
    # prepares every worker; a script read from standard input (python - < script.py) has neither,
    # and every worker would die at start-up.
    main = sys.modules.get("__main__")
    path = None if getattr(getattr(main, "__spec__", None), "name", None) else getattr(main, "__file__", None)
    if path is not None and not os.path.exists(os.path.join(getattr(process, "ORIGINAL_DIR", None) or "", path)):
        warnings.warn(
            f"worker processes cannot start: the main module's file {path!r} does not exist "
            "(a script read from standard input?); fitting in this process instead. Run the script "
            "from a file to fit in parallel.",
            RuntimeWarning,
            stacklevel=4,
        )
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


def _progress_bar(total: int, progress: bool | None, unit: str = "participant") -> Any:
    if sys.stderr is None:  # closed: the bar has nowhere to go
        return None
    if progress is None:
        progress = sys.stderr.isatty()
    if not progress:
        return None
    from tqdm.auto import tqdm  # type: ignore[import-untyped,unused-ignore]

    return tqdm(total=total, unit=unit, file=sys.stderr, smoothing=0.1)


def _chunks(participants: list[Item], chunk_size: int | None, workers: int) -> list[list[Item]]:
    if chunk_size is None:
        # A few chunks per worker balances uneven fits; more would only add messages.
        chunk_size = max(1, math.ceil(len(participants) / (4 * workers)))
    return [participants[i : i + chunk_size] for i in range(0, len(participants), chunk_size)]


def run_chunks(
    task: Task[Item],
    model: str,
    participants: list[Item],
    options: Any,
    executor: Executor | None,
    progress: bool | None,
    chunk_size: int | None,
) -> list[Row]:
    """``task(model, chunk, options)`` over ``participants`` in chunks on ``executor`` (None: a
    process pool of our own), one row per participant in their order. ``task`` must answer each
    participant's own failure in its row; a chunk that fails as a whole is the executor's failure,
    and its participants go again one at a time. ``task`` is pickled by reference for a process pool."""
    own = executor is None
    pool = _default_executor() if own else executor
    assert pool is not None
    workers = getattr(pool, "_max_workers", None) or _cores()
    chunks = _chunks(participants, chunk_size, workers)
    results: dict[int, list[Row]] = {}
    failed: list[int] = []
    broken = False  # the executor lost a process or refuses work: retries must go elsewhere
    bar = _progress_bar(len(participants), progress)
    futures: dict[Future[Any], int] = {}
    token = next(_tokens)
    try:
        for index, chunk in enumerate(chunks):
            try:
                futures[pool.submit(_Tagged(token, task), model, chunk, options)] = index
            except Exception:  # a pool that is shut down or broken refuses new work
                failed.append(index)
                broken = True
        for future in as_completed(futures):
            index = futures[future]
            try:
                results[index] = future.result()
            except Exception as error:  # the task answers every participant's error: this is the executor's
                failed.append(index)
                broken = broken or isinstance(error, BrokenExecutor)
                continue
            if bar is not None:
                bar.update(len(chunks[index]))
        if own:
            pool.shutdown(wait=True, cancel_futures=True)
        failed.sort()
        rows = iter(
            _retry(
                task,
                model,
                [p for index in failed for p in chunks[index]],
                options,
                None if own or broken else pool,
                bar,
                token,
            )
        )
        results.update({index: [next(rows) for _ in chunks[index]] for index in failed})
    except BaseException:  # an interrupt: nothing more is done
        _interrupted.add(token)  # the chunks running in threads of this process stop too
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


def _retry(
    task: Task[Item],
    model: str,
    participants: list[Item],
    options: Any,
    executor: Executor | None,
    bar: Any,
    token: int,
) -> list[Row]:
    """The participants of failed chunks again, one at a time, so that one whose fit kills its worker
    (or that an executor loses) costs only its own row. They go to ``executor`` while it works;
    when it is None or broken (a process pool that lost a process refuses all work, and one that is
    not ours cannot be replaced), to a single-worker pool of our own, replaced after each break."""
    rows: list[Row] = []
    pool = executor
    try:
        for p in participants:
            while True:
                if pool is None:
                    pool = _default_executor(1)
                try:
                    future = pool.submit(_Tagged(token, task), model, [p], options)
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
        _interrupted.add(token)
        if pool is not None and pool is not executor:
            _terminate(pool)
        raise
    finally:
        if pool is not None and pool is not executor:
            pool.shutdown(wait=True)
    return rows
