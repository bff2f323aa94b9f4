"""Simulating a participant: the model's trajectory and responses drawn from a response model."""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import numpy as np

from velmora.choices import choice_trajectory, closed_loop, label_names, option_labels
from velmora.conversion import as_inputs, check_finite_inputs, check_model, floats, number, resolve_response_model
from velmora.deprecation import UNSET, renamed_keyword
from velmora.models import DEFAULTS, ENGINE, PARAMS, RESPONSE_PARAMS
from velmora.problem import unknown_parameter
from velmora.stream import check_seed
from velmora.trajectories import Trajectories, run_model
from velmora.trials import simulated

if TYPE_CHECKING:
    import pandas  # type: ignore[import-untyped,unused-ignore]

__all__ = ["simulate", "Simulation"]


@dataclass
class Simulation:
    """``trajectory``: the array engine's result; ``responses``: one simulated response per input
    (None for ``forward``, whose noise is already in the trajectory's ``actual`` movement)."""

    model: str
    inputs: np.ndarray = field(repr=False)
    trajectory: Trajectories
    responses: np.ndarray | None = field(repr=False)
    # A model that chooses: the outcome of each trial's choice, what a fit reads as its input (the
    # inputs are then the payoff table, trials x options), and the options' labels.
    outcomes: np.ndarray | None = field(default=None, repr=False)
    options: np.ndarray | None = field(default=None, repr=False)

    def to_frame(self) -> pandas.DataFrame:
        """One row per trial: the input (``input``, or the model's input columns; a choosing model's
        payoffs as ``payoff_<option>``), the trajectory's fields, ``response`` and a choosing model's
        ``outcome``."""
        frame = self.trajectory.to_frame()
        if self.options is not None:
            names = [f"payoff_{name}" for name in label_names(self.options)]
        else:
            names = ["input"] if len(ENGINE[self.model].inputs) == 1 else list(ENGINE[self.model].inputs)
        columns = self.inputs.reshape(len(self.inputs), -1)
        for c, name in enumerate(names):
            frame.insert(c, name, columns[:, c])
        if self.responses is not None:
            frame["response"] = self.responses
        if self.outcomes is not None:
            frame["outcome"] = self.outcomes
        return frame


def simulate(
    model: str,
    inputs: Any,
    params: Mapping[str, Any],
    *,
    response_model: str | None = None,
    seed: int = 0,
    options: Any = None,
    response: Any = UNSET,
) -> Simulation:
    """Run ``model`` on ``inputs`` with natural parameter values and draw a response per trial.

    A model fitted to responses is simulated without its own noise, and a response is drawn per trial
    from the response model ``response_model`` around the model's belief before the trial:
    ``belief + sqrt(zeta) * z`` with ``z`` from ``velmora.arrays.normal(n, seed)`` for ``"gaussian"``;
    for a choice model 1 where ``velmora.arrays.uniform(n, seed)`` falls below P(y = 1), else 0.
    ``forward`` simulates through ``forward_simulate``'s own noise, with ``seed`` passed to it.

    Parameters
    ----------
    model : str
        A model of ``velmora.models.ENGINE`` (the engine's report).
    inputs : array_like
        The inputs, one per trial, in the unit of the data: a 1-D sequence, or for the choice models a
        trials x 4 array (``amount_sooner``, ``delay_sooner``, ``amount_later``, ``delay_later``; a
        DataFrame is read by these column names when it has them), the delays in any one unit.
    params : mapping of str to float
        Natural parameter values, named as in :func:`velmora.fit`, the response model's included
        (``zeta``, the variance of a Gaussian response; ``beta``, an inverse temperature, per unit of
        the decision variable under ``"logistic"``; ``bias``). ``forward`` takes its own three. A
        parameter with a default in the list function, or held by a default fit of the response model
        (``bias``), may be left out.
    response_model : str or None, optional
        The response model, ``"gaussian"``, ``"unit_square"`` or ``"logistic"``; None (the default) is
        the model's default. Not used by ``forward``.
    seed : int, optional
        The seed of the responses (of ``forward``'s noise), an integer from 0 to 2**64-1 (default 0).
    options : sequence of numbers, optional
        A model that chooses among options (``rw``, ``rw_dual``, ``rw_fictitious``,
        ``kalman_bandit``): the options' labels, one per column of ``inputs``; by default 0 .. K - 1.
        Its ``inputs`` are then a payoff table, trials x options: what each option would pay on each
        trial (:func:`velmora.payoffs` draws one from reward probabilities; NaN: no outcome shown).
        The agent chooses in a closed loop: from the values it holds before each trial, with that
        trial's deviate of ``velmora.arrays.uniform(n, seed)``, then receives the chosen option's
        payoff and learns from it. ``responses`` are its choices (labels), ``outcomes`` what it received.
    response : str, optional
        Deprecated spelling of ``response_model`` (DeprecationWarning).

    Returns
    -------
    Simulation
        The array engine's trajectory and one simulated response per input (None for ``forward``,
        whose noise is already in the trajectory's ``actual`` movement).

    Raises
    ------
    ValueError
        An unknown model or response model; inputs empty or of the wrong shape; a parameter the model
        lacks or one that changes no likelihood; a missing parameter; a parameter that is not finite;
        a negative ``beta`` or ``zeta``; a ``lapse`` outside [0, 1].
    TypeError
        Inputs that are not real numbers, a parameter value that is not a number, or a seed that is
        not an integer.
    OverflowError
        A seed outside 0 to 2**64-1.
    velmora.InvalidParameter
        Non-finite inputs or negative delays (naming the trial), and parameter values the model
        refuses.
    velmora.NumericalDivergence
        A step of the model's run that would produce a non-finite number.
    """
    response = renamed_keyword("simulate", "response", "response_model", response, response_model)
    check_model(model, tuple(ENGINE))
    described = ENGINE[model]
    if described.fits_responses:
        response = resolve_response_model(model, response)
    if described.chooses:
        return _closed_loop(model, response, inputs, params, seed, options)
    option_labels(model, options)
    x = as_inputs(inputs, model)
    seed = check_seed(seed, "seed", "array")
    # Parameters with a default are among the model's own: each is named once. A model fitted to
    # responses is simulated without its own noise and with its response model's parameters; any
    # other through its noise.
    own = RESPONSE_PARAMS[response] if described.fits_responses and response is not None else {}
    names = (
        [*described.params]
        if not described.fits_responses
        else list(dict.fromkeys([*PARAMS[model], *DEFAULTS[model], *own]))
    )
    for name in params:
        if name not in names:
            raise unknown_parameter(model, name, names)
    values: dict[str, Any] = {**DEFAULTS[model], **{name: p.held for name, p in own.items() if p.held is not None}}
    values.update(
        {
            name: (None if value is None and name in described.optional else number(name, value))
            for name, value in params.items()
        }
    )
    missing = [name for name in names if name not in values]
    if missing:
        raise ValueError(f"simulate {model}: missing parameter(s) {', '.join(missing)}")
    # Before the run, which refuses some inputs itself but without naming the trial; and a NaN reward
    # would become NaN responses, read later as missed trials.
    check_finite_inputs(model, x)
    trajectory = run_model(model, x, values, seed)
    if not described.fits_responses:
        return Simulation(model, x, trajectory, None)
    assert response is not None
    # The response model's own parameters, checked before the engine draws around the beliefs.
    if response != "gaussian":
        if values["beta"] < 0.0:
            raise ValueError(f"parameter 'beta': must be non-negative, got {values['beta']}")
    elif values["zeta"] < 0.0:
        raise ValueError(f"parameter 'zeta': must be non-negative, got {values['zeta']}")
    return Simulation(model, x, trajectory, simulated(model, response, x, values, seed))


def _closed_loop(
    model: str, response: Any, inputs: Any, params: Mapping[str, Any], seed: Any, options: Any
) -> Simulation:
    """simulate for a model that chooses: the agent over a payoff table, in a closed loop."""
    table = floats(inputs, "inputs")
    if table.ndim != 2 or table.shape[0] == 0 or table.shape[1] < 2:
        raise ValueError(
            f"inputs: a payoff table, trials x options (at least 1 x 2), for model '{model}'; got shape {table.shape}"
        )
    if np.isinf(table).any():
        raise ValueError("inputs: payoffs must be finite, or NaN where no outcome is shown")
    labels = np.arange(table.shape[1], dtype=np.float64) if options is None else option_labels(model, options)
    assert labels is not None
    if labels.size != table.shape[1]:
        raise ValueError(f"options: {labels.size} labels for a payoff table of {table.shape[1]} options")
    seed = check_seed(seed, "seed", "array")
    own = {**PARAMS[model], **RESPONSE_PARAMS[response]}
    for name in params:
        if name not in own:
            raise unknown_parameter(model, name, list(own))
    values: dict[str, Any] = {name: p.held for name, p in own.items() if p.held is not None}
    values.update({name: number(name, value) for name, value in params.items()})
    missing = [name for name in own if name not in values]
    if missing:
        raise ValueError(f"simulate {model}: missing parameter(s) {', '.join(missing)}")
    if values["beta"] < 0.0:
        raise ValueError(f"parameter 'beta': must be non-negative, got {values['beta']}")
    # The choice rule mixes in the lapse as a share: outside [0, 1] its probabilities are no longer ones.
    if not 0.0 <= values["lapse"] <= 1.0:
        raise ValueError(f"parameter 'lapse': must be in [0, 1], got {values['lapse']}")
    choices, outcomes = closed_loop(model, response, table, values, seed)
    trajectory = choice_trajectory(model, response, outcomes, choices, values, labels)
    return Simulation(model, table, trajectory, labels[choices.astype(np.int64)], outcomes, labels)
