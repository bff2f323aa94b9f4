"""Simulating a participant: the model's trajectory and responses drawn from a response model."""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import numpy as np

from velmora.conversion import as_inputs, check_finite_inputs, check_model, number, resolve_response_model
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

    def to_frame(self) -> pandas.DataFrame:
        """One row per trial: the input (``input``, or the model's input columns), the trajectory's
        fields and ``response``."""
        frame = self.trajectory.to_frame()
        names = ENGINE[self.model].inputs
        columns = self.inputs.reshape(len(self.inputs), -1)
        for c, name in enumerate(["input"] if len(names) == 1 else names):
            frame.insert(c, name, columns[:, c])
        if self.responses is not None:
            frame["response"] = self.responses
        return frame


def simulate(
    model: str,
    inputs: Any,
    params: Mapping[str, Any],
    *,
    response_model: str | None = None,
    seed: int = 0,
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
        a negative ``beta`` or ``zeta``.
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
