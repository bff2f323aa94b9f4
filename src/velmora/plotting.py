"""Pictures drawn with matplotlib: a model's trajectory for the command line's --plot, and a study's choices
against each participant's fitted discount curve."""

from __future__ import annotations

import io
import math
from pathlib import Path
from typing import TYPE_CHECKING

from velmora.csv_io import CommandError, Row
from velmora.models import ENGINE

if TYPE_CHECKING:
    import pandas  # type: ignore[import-untyped,unused-ignore]
    from matplotlib.figure import Figure

INSTALL_HINT = "pip install 'velmora[plot]'"


def new_figure(panels: int) -> Figure:
    try:
        from matplotlib.figure import Figure
    except ImportError:
        raise CommandError(f"--plot needs matplotlib, which is not installed: {INSTALL_HINT}") from None
    # A bare Figure draws without pyplot, so no display or GUI backend is ever involved.
    return Figure(figsize=(8, 2.2 + 2.2 * panels), layout="constrained")


def image_format(figure: Figure, path: str) -> str:
    kind = Path(path).suffix.lstrip(".").lower() or "png"
    supported = figure.canvas.get_supported_filetypes()
    if kind not in supported:
        raise CommandError(f"cannot draw a .{kind} file; --plot writes {', '.join('.' + k for k in sorted(supported))}")
    return kind


def render(figure: Figure, kind: str) -> bytes:
    image = io.BytesIO()
    figure.savefig(image, format=kind, dpi=100)
    return image.getvalue()


def kalman(figure: Figure, observations: list[float], rows: list[Row]) -> None:
    steps = range(len(rows))
    mean = [m for m, _ in rows]
    sd = [math.sqrt(v) for _, v in rows]
    ax = figure.subplots()
    ax.fill_between(steps, [m - 2 * s for m, s in zip(mean, sd)], [m + 2 * s for m, s in zip(mean, sd)],
                    alpha=0.25, label="mean ± 2 sd (posterior)")
    ax.plot(steps, mean, label="posterior mean")
    ax.plot(steps, observations, "o", markersize=4, color="black", label="observation")
    ax.set(title="Kalman filter", xlabel="step", ylabel="value")
    ax.legend()


def hgf(figure: Figure, observations: list[float], rows: list[Row]) -> None:
    top, middle, bottom = figure.subplots(3, sharex=True)
    steps = [row[0] for row in rows]
    top.plot(steps, [row[1] for row in rows], label="prediction")
    top.plot(steps, observations, "o", markersize=4, color="black", label="observation")
    top.set(title="Hierarchical Gaussian filter", ylabel="value")
    top.legend()
    middle.plot(steps, [row[5] for row in rows], color="tab:green")
    middle.set(ylabel="learning rate")
    bottom.plot(steps, [row[6] for row in rows], color="tab:red")
    bottom.set(ylabel="volatility", xlabel="step")


def td(figure: Figure, rewards: list[float], rows: list[Row]) -> None:
    steps = range(len(rows))
    ax = figure.subplots()
    ax.plot(steps, rewards, "o", markersize=4, color="black", label="reward")
    ax.plot(steps, [value for (value,) in rows], label="value estimate")
    ax.set(title="Temporal-difference value learning", xlabel="trial", ylabel="value")
    ax.legend()


def forward(figure: Figure, commands: list[float], rows: list[Row]) -> None:
    top, bottom = figure.subplots(2, sharex=True)
    steps = [row[0] for row in rows]
    top.plot(steps, [row[1] for row in rows], label="predicted")
    top.plot(steps, [row[2] for row in rows], label="actual (sensed)")
    top.set(title="Forward model of self-motion", ylabel="movement")
    top.legend()
    bottom.bar(steps, [row[3] for row in rows], color="tab:red")
    bottom.axhline(0.0, color="black", linewidth=0.8)
    bottom.set(ylabel="mismatch", xlabel="step")


def discount(figure: Figure, delays: list[float], rows: list[Row]) -> None:
    ordered = sorted(rows)
    ax = figure.subplots()
    ax.plot([d for d, _ in ordered], [v for _, v in ordered], "o-")
    ax.set(title="Exponential discounting", xlabel="delay (steps)", ylabel="discounted value")


# The models whose participants' choices `choices` draws.
CHOICE_MODELS = ("discount", "hyperbolic")


def choices(data: pandas.DataFrame, fits: pandas.DataFrame, model: str, *, subject: str = "subject",
            input: list[str] | None = None, response: str = "response", trial: str | None = None,
            figure: Figure | None = None, columns: int = 8) -> Figure:
    """Each participant's choices against the discount curve of its fit, one panel each.

    A panel plots every trial at the later offer's delay and the sooner offer's value as a share of
    the later amount (``value_sooner / amount_later`` at the estimate); the curve is the fitted value
    of one unit at each delay. A trial below the curve favours the later offer: filled dots mark
    later choices, open ones sooner choices, so a good fit has filled dots below and open ones above.
    ``data`` and ``fits`` are what :func:`velmora.fit_many` reads and returns (keywords name the
    columns as there); participants without an estimate get an empty panel. Returns the figure
    (a new one unless ``figure`` is given).
    """
    import numpy as np

    from velmora.fitting import _check_model, run_model
    from velmora.tables import _split, input_columns

    _check_model(model, CHOICE_MODELS)
    names = input_columns(model, input)
    if figure is None:
        figure = new_figure(0)
    estimates = fits.set_index(subject)
    params = list(ENGINE[model].params)
    participants = _split(data, subject, names, response, trial, 0)
    if not participants:
        raise ValueError("the data have no participants")
    across = min(columns, len(participants))
    down = -(-len(participants) // across)
    figure.set_size_inches(1.9 * across + 0.6, 1.7 * down + 0.6)
    axes = np.atleast_1d(figure.subplots(down, across, sharex=True, sharey=True, squeeze=False)).ravel()
    for ax, p in zip(axes, participants):
        ax.set_title(str(p.key), fontsize=8)
        ax.tick_params(labelsize=7)
        if p.inputs is None or p.key not in estimates.index or not np.isfinite(estimates.loc[p.key, params]).all():
            continue
        fitted = {name: float(estimates.loc[p.key, name]) for name in params}
        share = np.asarray(run_model(model, p.inputs, fitted)["value_sooner"]) / p.inputs[:, 2]
        later = p.responses == 1.0
        ax.plot(p.inputs[later, 3], share[later], "o", markersize=3, color="tab:blue")
        ax.plot(p.inputs[~later, 3], share[~later], "o", markersize=3, markerfacecolor="none", color="tab:orange")
        delays = np.linspace(0.0, max(float(p.inputs[:, 3].max()), 1.0), 200)
        unit = np.column_stack([np.zeros_like(delays), np.zeros_like(delays), np.ones_like(delays), delays])
        ax.plot(delays, run_model(model, unit, fitted)["value_later"], color="black", linewidth=1)
    for ax in axes[len(participants):]:
        ax.set_visible(False)
    figure.supxlabel("delay of the later offer")
    figure.supylabel("sooner value / later amount")
    figure.suptitle(f"Choices against each participant's fitted discount curve, model {model!r} (filled: later chosen)")
    return figure
