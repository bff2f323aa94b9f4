"""Pictures drawn with matplotlib: a model's trajectory for the command line's --plot, and a study's choices
against each participant's fitted discount curve."""

from __future__ import annotations

import io
import math
from pathlib import Path
from typing import TYPE_CHECKING, Any, Literal

from velmora.csv_io import CommandError, Row, UsageError
from velmora.models import ENGINE

if TYPE_CHECKING:
    import pandas  # type: ignore[import-untyped,unused-ignore]
    from matplotlib.figure import Figure

INSTALL_HINT = "pip install 'velmora[plot]'"


def figure_for(
    figure: Figure | None,
    width: float,
    height: float,
    who: str = "plotting",
    layout: Literal["constrained"] | None = "constrained",
) -> Figure:
    """``figure``, or a new one of that size when None; ImportError naming ``who`` and the extra
    without matplotlib."""
    if figure is not None:
        return figure
    try:
        from matplotlib.figure import Figure
    except ImportError:
        raise ImportError(f"{who} needs matplotlib, which is not installed: {INSTALL_HINT}") from None
    return Figure(figsize=(width, height), layout=layout)


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
        raise UsageError(f"cannot draw a .{kind} file; --plot writes {', '.join('.' + k for k in sorted(supported))}")
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
    ax.fill_between(
        steps,
        [m - 2 * s for m, s in zip(mean, sd)],
        [m + 2 * s for m, s in zip(mean, sd)],
        alpha=0.25,
        label="mean ± 2 sd (posterior)",
    )
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


def plot_choices(
    data: pandas.DataFrame,
    fits: pandas.DataFrame,
    model: str,
    *,
    subject: str = "subject",
    input: list[str] | None = None,
    response: str = "response",
    trial: str | None = None,
    figure: Figure | None = None,
    columns: int = 8,
) -> Figure:
    """Each participant's choices against the discount curve of its fit, one panel each.

    A panel plots every trial at the later offer's delay (in the unit of the data) and the sooner
    offer's value as a share of the later amount (``value_sooner / amount_later`` at the estimate); the
    curve is the fitted value of one unit at each delay. A trial below the curve favours the later
    offer: filled dots mark later choices, open ones sooner choices, so a good fit has filled dots
    below and open ones above. Participants without an estimate get an empty panel. Panels share their
    scales.

    Parameters
    ----------
    data : pandas.DataFrame
        The long table that :func:`velmora.fit_many` reads.
    fits : pandas.DataFrame
        What :func:`velmora.fit_many` returns for it.
    model : str
        ``"discount"`` or ``"hyperbolic"``.
    subject : str, optional
        The column of the participants' keys (default ``"subject"``).
    input : list of str or None, optional
        The four offer columns, as in :func:`velmora.fit_many`.
    response : str, optional
        The column of the choices, 1 for the later offer (default ``"response"``).
    trial : str or None, optional
        A column to order each participant's trials by; None: row order.
    figure : matplotlib.figure.Figure or None, optional
        The figure to draw on; None (the default) makes a new one. Its size and layout are set here.
    columns : int, optional
        Panels to a row (default 8), more once the rows would outnumber them, so that a large study
        stays a picture that can be drawn.

    Returns
    -------
    matplotlib.figure.Figure

    Raises
    ------
    ValueError
        A model other than the two; ``columns`` not a positive integer; input columns of the wrong
        number; fits without the model's estimate, or with a participant on more than one row; data
        without participants.
    TypeError
        ``data`` or ``fits`` that is not a DataFrame.
    KeyError
        A column that ``data`` or ``fits`` lacks.
    ImportError
        matplotlib is not installed (and no ``figure`` is given).
    """
    import numpy as np
    import pandas as pd

    from velmora.conversion import check_model
    from velmora.tables import _require_columns, _split, input_columns
    from velmora.trajectories import run_model

    check_model(model, CHOICE_MODELS)
    for name, table in (("data", data), ("fits", fits)):
        if not isinstance(table, pd.DataFrame):
            raise TypeError(f"{name} must be a pandas DataFrame, got {type(table).__name__}")
    if isinstance(columns, bool) or not isinstance(columns, (int, np.integer)) or columns < 1:
        raise ValueError(f"columns must be a positive integer, got {columns!r}")
    names = input_columns(model, input)
    params = list(ENGINE[model].params)
    _require_columns(fits, [("subject", subject)])
    missing = [name for name in params if name not in fits.columns]
    if missing:
        raise ValueError(
            f"the fits have no estimate of {', '.join(missing)}, which model {model!r} needs: were they "
            "fitted with another model?"
        )
    if fits[subject].duplicated().any():
        raise ValueError(
            f"the fits have participant {fits[subject][fits[subject].duplicated()].iloc[0]!r} on more than one row"
        )
    estimates = fits.set_index(subject)[params].apply(pd.to_numeric, errors="coerce")
    participants = _split(data, subject, names, response, trial, 0)
    if not participants:
        raise ValueError("the data have no participants")
    # Each participant with its shares, the curve's delays and the curve, or None without an estimate.
    panels: list[tuple[Any, Any]] = []
    for p in participants:
        row = estimates.loc[p.key] if p.key in estimates.index else None
        if p.inputs is None or row is None or not np.isfinite(row.to_numpy(dtype=np.float64)).all():
            panels.append((p, None))
            continue
        fitted = {name: float(row[name]) for name in params}
        with np.errstate(divide="ignore", invalid="ignore"):  # an amount of 0 has no share: not drawn
            share = np.asarray(run_model(model, p.inputs, fitted)["value_sooner"]) / p.inputs[:, 2]
        delays = np.linspace(0.0, max(float(p.inputs[:, 3].max()), 1.0), 200)
        unit = np.column_stack([np.zeros_like(delays), np.zeros_like(delays), np.ones_like(delays), delays])
        panels.append((p, (share, delays, np.asarray(run_model(model, unit, fitted)["value_later"]))))
    drawn = [panel for _, panel in panels if panel is not None]
    x_top = max([float(curve_delays[-1]) for _, curve_delays, _ in drawn], default=1.0)
    y_values = np.concatenate([np.array([0.0, 1.0]), *(share[np.isfinite(share)] for share, _, _ in drawn)])
    y_low, y_high = float(y_values.min()), float(y_values.max())
    pad = 0.05 * (y_high - y_low)
    x_lo, x_hi, y_lo, y_hi = -0.02 * x_top, 1.02 * x_top, y_low - pad, y_high + pad
    n = len(participants)
    across = min(n, max(columns, math.isqrt(n - 1) + 1))
    down = -(-n // across)
    if figure is None:
        try:
            from matplotlib.figure import Figure
        except ImportError:  # not new_figure's error, which speaks of the command line's --plot
            raise ImportError(f"plot_choices needs matplotlib, which is not installed: {INSTALL_HINT}") from None
        figure = Figure()
    from matplotlib.collections import LineCollection
    from matplotlib.ticker import MaxNLocator

    figure.set_layout_engine("none")
    width, height = max(1.9 * across + 0.8, 6.0), max(1.7 * down + 1.1, 3.2)  # room for the labels and title
    figure.set_size_inches(width, height)
    # Every panel is drawn into one Axes, each a unit square placed on a grid, with one artist per kind
    # of mark for the whole study: an Axes per participant costs matplotlib some 50 ms to make and draw,
    # most of a minute for a thousand participants.
    gap_x, gap_y = 0.12, 0.3
    ax = figure.add_axes((0.7 / width, 0.6 / height, 1 - 0.85 / width, 1 - 1.3 / height))
    ax.set_axis_off()
    ax.set(xlim=(0.0, across * (1 + gap_x) - gap_x), ylim=(-(down - 1) * (1 + gap_y), 1.0))
    corners = np.array([(k % across * (1 + gap_x), -(k // across) * (1 + gap_y)) for k in range(n)])

    def place(k: int, x: Any, y: Any) -> tuple[Any, Any]:
        return (
            corners[k, 0] + (np.asarray(x) - x_lo) / (x_hi - x_lo),
            corners[k, 1] + (np.asarray(y) - y_lo) / (y_hi - y_lo),
        )

    later_xy: list[Any] = [np.empty((0, 2))]
    sooner_xy: list[Any] = [np.empty((0, 2))]
    curves: list[Any] = []
    for k, (p, panel) in enumerate(panels):
        if panel is None:
            continue
        share, delays, curve = panel
        later, sooner = p.responses == 1.0, p.responses == 0.0  # a missed trial (NaN) is neither
        later_xy.append(np.column_stack(place(k, p.inputs[later, 3], share[later])))
        sooner_xy.append(np.column_stack(place(k, p.inputs[sooner, 3], share[sooner])))
        curves.append(np.column_stack(place(k, delays, curve)))
    later_points, sooner_points = np.concatenate(later_xy), np.concatenate(sooner_xy)
    ax.plot(later_points[:, 0], later_points[:, 1], "o", markersize=3, color="tab:blue")
    ax.plot(sooner_points[:, 0], sooner_points[:, 1], "o", markersize=3, markerfacecolor="none", color="tab:orange")
    ax.add_collection(LineCollection(curves, colors="black", linewidths=1))
    frame = np.array([(0, 0), (1, 0), (1, 1), (0, 1), (0, 0)], dtype=np.float64)
    ax.add_collection(LineCollection([frame + corner for corner in corners], colors="black", linewidths=0.8))
    # Ticks on every panel, labelled on the left column and the bottom row, as shared axes would be.
    x_ticks = [t for t in MaxNLocator(nbins=4).tick_values(x_lo, x_hi) if x_lo <= t <= x_hi]
    y_ticks = [t for t in MaxNLocator(nbins=4).tick_values(y_lo, y_hi) if y_lo <= t <= y_hi]
    marks = []
    for k in range(n):
        xs, _ = place(k, np.array(x_ticks), 0.0)
        _, ys = place(k, 0.0, np.array(y_ticks))
        marks += [[(x, corners[k, 1]), (x, corners[k, 1] - 0.04)] for x in np.atleast_1d(xs)]
        marks += [[(corners[k, 0], y), (corners[k, 0] - 0.04, y)] for y in np.atleast_1d(ys)]
        ax.text(
            corners[k, 0] + 0.5, corners[k, 1] + 1.03, str(participants[k].key), ha="center", va="bottom", fontsize=8
        )
        if k + across >= n:
            for tick, x in zip(x_ticks, np.atleast_1d(xs)):
                ax.text(x, corners[k, 1] - 0.06, f"{tick:g}", ha="center", va="top", fontsize=7)
        if k % across == 0:
            for tick, y in zip(y_ticks, np.atleast_1d(ys)):
                ax.text(corners[k, 0] - 0.06, y, f"{tick:g}", ha="right", va="center", fontsize=7)
    ax.add_collection(LineCollection(marks, colors="black", linewidths=0.8))
    figure.supxlabel("delay of the later offer", y=0.15 / height, va="bottom")
    figure.supylabel("sooner value / later amount", x=0.1 / width, ha="left")
    figure.suptitle(
        f"Choices against each participant's fitted discount curve, model {model!r}\n(filled: later chosen)",
        y=1 - 0.08 / height,
        va="top",
        fontsize=10,
    )
    return figure


choices = plot_choices  # the command line's name for it
