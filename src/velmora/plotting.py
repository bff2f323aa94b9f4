"""Pictures of a model's trajectory, drawn with matplotlib for the command line's --plot."""

from __future__ import annotations

import io
import math
from pathlib import Path
from typing import TYPE_CHECKING

from velmora.csv_io import CommandError, Row

if TYPE_CHECKING:
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
