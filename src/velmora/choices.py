"""Choices among options: the labels a participant's choices are written in, the engine's option
indices, payoff tables for closed-loop simulation, and each trial's values and choice probabilities.

A model that chooses (``ENGINE[model].chooses``: ``rw``, ``rw_dual``, ``rw_fictitious``,
``kalman_bandit``) reads each trial's choice and the chosen option's outcome. Its choices are option
labels, given in order by ``options=`` (``[1, 2]`` for data coded 1/2, ``[1, 2, 3, 4]``); by default
0 and 1. The engine works on the options' positions in that list.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

import numpy as np

from velmora import _engine
from velmora.models import ENGINE, OVER_OPTIONS
from velmora.stream import binary
from velmora.trajectories import Trajectories

__all__ = [
    "option_labels",
    "to_indices",
    "payoffs",
    "label_names",
    "choice_trials",
    "closed_loop",
    "choice_fields",
    "choice_trajectory",
]

# The engine's per-run capacity.
MOST_OPTIONS = 32


def option_labels(model: str, options: Any) -> np.ndarray | None:
    """The options' labels as float64, checked; None for a model that does not choose, which takes
    no ``options``."""
    if model not in ENGINE or not ENGINE[model].chooses:
        if options is not None:
            raise ValueError(f"options: model '{model}' does not choose among options")
        return None
    if options is None:
        return np.array([0.0, 1.0])
    if isinstance(options, (str, bytes, Mapping)) or np.ndim(options) != 1:
        raise TypeError(f"options: expected a sequence of option labels (numbers), got {options!r}")
    try:
        labels = np.asarray(options, dtype=np.float64)
    except (TypeError, ValueError):
        raise TypeError(f"options: option labels are numbers, got {list(options)!r}") from None
    if not 2 <= labels.size <= MOST_OPTIONS:
        raise ValueError(f"options: from 2 to {MOST_OPTIONS} labels, got {labels.size}")
    if not np.isfinite(labels).all() or np.unique(labels).size != labels.size:
        raise ValueError(f"options: the labels must be finite and distinct, got {list(options)!r}")
    if model == "rw_fictitious" and labels.size != 2:
        raise ValueError("options: rw_fictitious takes exactly 2 options")
    return labels


def _label(value: float) -> str:
    return str(int(value)) if float(value).is_integer() else repr(float(value))


def label_names(labels: np.ndarray) -> list[str]:
    """The labels as they name columns: 1 for 1.0."""
    return [_label(v) for v in labels]


def to_indices(
    choices: np.ndarray, labels: np.ndarray, starts: np.ndarray | None = None, participants: list[Any] | None = None
) -> np.ndarray:
    """The choices as the options' positions in ``labels`` (NaN stays NaN: a missed trial). A choice
    that is not one of the labels is refused, naming the trial and, over many participants laid end
    to end from ``starts``, the participant (by ``participants`` when given)."""
    order = np.argsort(labels, kind="stable")
    at = np.searchsorted(labels[order], choices).clip(0, labels.size - 1)
    found = labels[order][at] == choices
    bad = np.flatnonzero(~found & ~np.isnan(choices))
    if bad.size:
        row = int(bad[0])
        where = f"trial {row}"
        if starts is not None and starts.size:
            i = int(np.searchsorted(starts, row, side="right") - 1)
            who = participants[i] if participants is not None else i
            where = f"participant {who!r}, trial {row - int(starts[i])}"
        raise ValueError(
            f"responses: {_label(choices[row])} at {where} is not one of the options "
            f"[{', '.join(label_names(labels))}]; a missed trial is NaN"
        )
    return np.where(found, order[at].astype(np.float64), np.nan)


def payoffs(probabilities: Any, seed: int = 0, values: tuple[float, float] = (1.0, 0.0)) -> np.ndarray:
    """A payoff table for closed-loop simulation: what each option would pay on each trial, drawn
    from its per-trial reward probability (trials x options) with velmora's seeded stream (the
    deviates of :func:`velmora.arrays.uniform`, row by row): ``values[0]`` (1) where the deviate
    falls below the probability, else ``values[1]`` (0). Bit-reproducible from ``seed``.

    >>> import velmora
    >>> p = [[0.8, 0.2]] * 40 + [[0.2, 0.8]] * 40   # a reversal after 40 trials
    >>> velmora.payoffs(p, seed=1).shape
    (80, 2)
    """
    p = np.asarray(probabilities, dtype=np.float64)
    if p.ndim != 2 or p.shape[1] < 2:
        raise ValueError(f"probabilities: expected trials x options (at least 2), got shape {p.shape}")
    if not ((p >= 0.0) & (p <= 1.0)).all():
        raise ValueError("probabilities: each must be in [0, 1]")
    pair = np.asarray(values, dtype=np.float64)
    # An infinite payoff is one no simulation takes; a third value would be dropped unseen.
    if pair.shape != (2,) or np.isinf(pair).any():
        raise ValueError(f"values: a pair of payoffs, each finite or NaN (no outcome shown), got {values!r}")
    # The stream's draws of binary inputs, row by row: a 1 where an option pays values[0].
    drawn = binary(p.reshape(-1), seed).reshape(p.shape)
    table: np.ndarray = np.where(drawn == 1.0, pair[0], pair[1])
    return table


def _vector(model: str, response: str, params: Mapping[str, Any]) -> np.ndarray:
    names = [*ENGINE[model].params, *_response_params(response)]
    missing = [name for name in names if name not in params or params[name] is None]
    if missing:
        raise ValueError(f"params: missing {', '.join(repr(m) for m in missing)}")
    return np.array([float(params[name]) for name in names], dtype=np.float64)


def _response_params(response: str) -> tuple[str, ...]:
    from velmora.models import RESPONSES

    if response not in OVER_OPTIONS:
        raise ValueError(f"response model '{response}' is not a choice among options; use one of {OVER_OPTIONS}")
    return RESPONSES[response]


def _raise(failure: tuple[int, str] | None) -> None:
    from velmora.trials import _raise_failure

    _raise_failure(failure)


def choice_trials(
    model: str, response: str, outcomes: np.ndarray, choices: np.ndarray, params: Mapping[str, Any], n_options: int
) -> dict[str, np.ndarray]:
    """One participant's trials at natural parameter values: ``loglik`` (NaN where missed), ``values``
    (trials x options, before each trial), ``fields`` (the model's own after each trial's update, then
    its per-option fields before it) and ``probabilities`` (trials x options, before each trial).
    ``choices`` are option indices."""
    x = np.ascontiguousarray(outcomes, dtype=np.float64)
    y = np.ascontiguousarray(choices, dtype=np.float64)
    n = x.size
    described = ENGINE[model]
    out = {
        "loglik": np.empty(n),
        "values": np.empty((n, n_options)),
        "fields": np.empty((n, len(described.fields) + len(described.option_fields) * n_options)),
        "probabilities": np.empty((n, n_options)),
    }
    _raise(
        _engine.trial_logliks(
            model,
            response,
            x,
            y,
            params=_vector(model, response, params),
            loglik=out["loglik"],
            belief=out["values"],
            fields=out["fields"],
            probabilities=out["probabilities"],
            options=n_options,
        )
    )
    return out


def closed_loop(
    model: str, response: str, table: np.ndarray, params: Mapping[str, Any], seed: int
) -> tuple[np.ndarray, np.ndarray]:
    """The agent's choices (option indices) and the outcomes it obtained, drawn in a closed loop over a
    payoff table (trials x options) from the stream seeded with ``seed``."""
    table = np.ascontiguousarray(table, dtype=np.float64)
    n, k = table.shape
    choices, outcomes = np.empty(n), np.empty(n)
    _raise(
        _engine.simulate_responses(
            model,
            response,
            table.reshape(-1),
            seed,
            params=_vector(model, response, params),
            out=choices,
            outcomes=outcomes,
            options=k,
        )
    )
    return choices, outcomes


def choice_fields(model: str, labels: np.ndarray) -> tuple[str, ...]:
    """The fields of a choosing model's trajectory: its own (``prediction_error``, after each trial's
    update), each per-option field before the trial by option label (``value_1``, ``value_2``), and
    each option's choice probability before the trial (``probability_1``, ...)."""
    names = label_names(labels)
    described = ENGINE[model]
    return (
        *described.fields,
        *(f"{field}_{name}" for field in described.option_fields for name in names),
        *(f"probability_{name}" for name in names),
    )


_CLASSES: dict[tuple[str, tuple[str, ...]], type[Trajectories]] = {}


def _trajectory_class(model: str, fields: tuple[str, ...]) -> type[Trajectories]:
    """The result class of a choosing model with these fields (they name the options), one per pair."""
    key = (model, fields)
    if key not in _CLASSES:
        name = "".join(part.capitalize() for part in model.split("_")) + "Trajectories"
        doc = f"The {model} model's fields over trials: {', '.join(fields)}."
        body = {"model": model, "fields": fields, "__doc__": doc, "__reduce__": _reduce}
        _CLASSES[key] = type(name, (Trajectories,), body)
    return _CLASSES[key]


def _reduce(self: Trajectories) -> tuple[Any, ...]:
    # The class is made at run time and is no module attribute that pickle could look up: it is
    # rebuilt from the model and its fields instead.
    return _rebuilt, (self.model, self.fields, self.__dict__)


def _rebuilt(model: str, fields: tuple[str, ...], state: dict[str, Any]) -> Trajectories:
    cls = _trajectory_class(model, tuple(fields))
    result = cls.__new__(cls)
    result.__dict__.update(state)
    return result


def choice_trajectory(
    model: str, response: str, outcomes: np.ndarray, choices: np.ndarray, params: Mapping[str, Any], labels: np.ndarray
) -> Trajectories:
    """A choosing model's trajectory over one participant's trials (choices as option indices), with
    the fields :func:`choice_fields` names."""
    trials = choice_trials(model, response, outcomes, choices, params, labels.size)
    block = np.concatenate([trials["fields"], trials["probabilities"]], axis=1).T[:, None, :]
    cls = _trajectory_class(model, choice_fields(model, labels))
    return cls(block, np.array([outcomes.size], dtype=np.int64), False)
