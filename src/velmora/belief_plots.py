"""The picture of a binary HGF's run that researchers read: the inputs, the belief that the next one
is 1 with its uncertainty, the responses, and the volatility estimate over trials."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

from velmora.conversion import check_response_values, floats, refused_inputs
from velmora.plotting import figure_for

if TYPE_CHECKING:
    from matplotlib.figure import Figure

__all__ = ["plot_hgf_binary"]

# The fields the picture reads, which hgf_binary and ehgf_binary both report.
_FIELDS = ("muhat1", "muhat2", "sigmahat2", "mu3", "sigma3")


def _logistic(x: np.ndarray) -> np.ndarray:
    with np.errstate(over="ignore"):
        return np.asarray(1.0 / (1.0 + np.exp(-x)))


def plot_hgf_binary(inputs: Any, trajectory: Any, responses: Any = None, *, figure: Figure | None = None) -> Figure:
    """The binary HGF over one participant's trials, in two panels.

    Top: the inputs (black dots at 0 and 1), the belief ``muhat1`` that the next input is 1, shaded
    between the logistic function of ``muhat2 -+ sqrt(sigmahat2)`` (the predicted tendency one
    standard deviation either way, volatility included), and the responses (orange ticks just outside
    0 and 1; a missed one is not drawn). Bottom: the volatility estimate ``mu3`` within
    ``mu3 -+ sqrt(sigma3)``.

    Parameters
    ----------
    inputs : array_like
        The binary inputs, one per trial (NaN: missed).
    trajectory : Trajectories
        A run of ``hgf_binary`` or ``ehgf_binary`` over them: ``velmora.simulate(...).trajectory`` or
        ``velmora.fit(...).trajectory``.
    responses : array_like or None, optional
        The responses, 1, 0 or NaN per trial; None draws none.
    figure : matplotlib.figure.Figure or None, optional
        The figure to draw on; None (the default) makes a new one.

    Returns
    -------
    matplotlib.figure.Figure

    Raises
    ------
    ValueError
        A trajectory without the binary HGF's fields, or inputs or responses of another length.
    ImportError
        matplotlib is not installed (and no ``figure`` is given).
    """
    missing = [name for name in _FIELDS if name not in getattr(trajectory, "fields", ())]
    if missing or getattr(trajectory, "batched", False):
        raise ValueError("trajectory: expected one participant's run of hgf_binary or ehgf_binary")
    u = floats(inputs, "inputs").reshape(-1)
    n = trajectory["muhat1"].size
    y = None if responses is None else floats(responses, "responses").reshape(-1)
    if u.size != n or (y is not None and y.size != n):
        raise ValueError(f"inputs and responses: expected one per trial of the trajectory ({n})")
    # Only what the model and its choices take: anything else would be drawn as a 0 or not at all.
    refused = np.flatnonzero(refused_inputs("hgf_binary", u.reshape(-1, 1))[:, 0])
    if refused.size:
        raise ValueError(f"inputs: 0 or 1, or NaN for a missed trial; got {u[refused[0]]} at trial {refused[0]}")
    if y is not None:
        check_response_values(y, "unit_square")
    figure = figure_for(figure, 9, 5.5, "plot_hgf_binary")
    trials = np.arange(n)
    top, bottom = figure.subplots(2, sharex=True, height_ratios=(3, 2))
    spread = np.sqrt(trajectory["sigmahat2"])
    top.fill_between(
        trials,
        _logistic(trajectory["muhat2"] - spread),
        _logistic(trajectory["muhat2"] + spread),
        alpha=0.25,
        label="uncertainty (±1 sd of the tendency)",
    )
    top.plot(trials, trajectory["muhat1"], color="tab:blue", label="belief P(next input = 1)")
    top.plot(trials, u, "o", markersize=2.5, color="black", label="input")
    if y is not None:
        chosen = ~np.isnan(y)
        top.plot(trials[chosen], np.where(y[chosen] == 1.0, 1.08, -0.08), "|", color="tab:orange", label="response")
    top.set(ylim=(-0.15, 1.15), ylabel="probability", title="Binary hierarchical Gaussian filter")
    figure.legend(loc="outside lower center", fontsize=8, ncols=4)
    sd3 = np.sqrt(trajectory["sigma3"])
    bottom.fill_between(trials, trajectory["mu3"] - sd3, trajectory["mu3"] + sd3, alpha=0.25, color="tab:red")
    bottom.plot(trials, trajectory["mu3"], color="tab:red")
    bottom.set(xlabel="trial", ylabel="volatility mu3 (±1 sd)")
    return figure
