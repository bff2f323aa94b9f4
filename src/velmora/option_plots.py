"""The picture of a bandit or reversal-learning study: each participant's choices against the fitted
model's choice probabilities, trial by trial."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any

import numpy as np

from velmora.choices import label_names, option_labels

if TYPE_CHECKING:
    import pandas  # type: ignore[import-untyped,unused-ignore]
    from matplotlib.figure import Figure

__all__ = ["plot_option_choices"]

from velmora.plotting import figure_for


def plot_option_choices(
    data: pandas.DataFrame,
    fits: pandas.DataFrame,
    model: str,
    *,
    options: Any = None,
    subject: str = "subject",
    input: str | None = None,
    response: str = "response",
    trial: str | None = None,
    participants: int = 12,
    figure: Figure | None = None,
) -> Figure:
    """Each participant's choices against the probability the fitted model gave each option before
    the trial, one panel per participant (the first ``participants`` of ``fits``).

    A line per option traces its fitted choice probability over trials; a mark at the top of the
    panel, in the option's colour, shows the option chosen on each trial (none on a missed trial), so
    a good fit has each mark's colour where its line is high. The models are those that choose among
    options (``rw``, ``rw_dual``, ``rw_fictitious``, ``kalman_bandit``); the arguments are
    :func:`velmora.regressors`'s, with ``options`` the labels the fits were given.

    Returns
    -------
    matplotlib.figure.Figure

    Raises
    ------
    ValueError
        A model that does not choose among options, ``participants`` not a positive integer, or no
        participant with both data and a successful fit.
    ImportError
        matplotlib is not installed (and no ``figure`` is given).
    """
    from velmora.export import regressors
    from velmora.models import ENGINE

    if model not in ENGINE or not ENGINE[model].chooses:
        raise ValueError(f"plot_option_choices draws the models that choose among options, not {model!r}")
    if isinstance(participants, bool) or not isinstance(participants, (int, np.integer)) or participants < 1:
        raise ValueError(f"participants must be a positive integer, got {participants!r}")
    labels = option_labels(model, options)
    assert labels is not None
    names = label_names(labels)
    shown = list(fits[subject])[:participants]
    table = regressors(
        data[data[subject].isin(shown)],
        fits[fits[subject].isin(shown)],
        model,
        options=labels,
        subject=subject,
        input=input,
        response=response,
        trial=trial,
    )
    figure = figure_for(figure, 6.4, 4.8, "plot_option_choices", layout=None)
    keys = list(dict.fromkeys(table[subject]))
    across = min(len(keys), 3)
    down = math.ceil(len(keys) / across)
    figure.set_size_inches(4.2 * across, 2.4 * down + 0.8)
    axes = figure.subplots(down, across, squeeze=False, sharex=True, sharey=True)
    colours = [f"C{k % 10}" for k in range(labels.size)]
    for ax, key in zip(axes.flat, keys):
        rows = table[table[subject] == key]
        choices = data[data[subject] == key]
        if trial is not None:
            choices = choices.sort_values(trial, kind="stable")
        chosen = np.asarray(choices[response], dtype=np.float64)
        x = np.arange(len(rows))
        for k, name in enumerate(names):
            ax.plot(x, rows[f"probability_{name}"], color=colours[k], linewidth=1, label=f"P(option {name})")
            picked = np.flatnonzero(chosen == labels[k])
            ax.plot(picked, np.full(picked.size, 1.06), "|", color=colours[k], markersize=5)
        ax.set_title(f"participant {key}", fontsize=9)
        ax.set_ylim(-0.02, 1.12)
    for ax in axes.flat[len(keys) :]:
        ax.set_axis_off()
    for ax in axes[-1]:
        ax.set_xlabel("trial")
    for ax in axes[:, 0]:
        ax.set_ylabel("choice probability")
    axes.flat[0].legend(fontsize=7, loc="lower left")
    figure.suptitle(f"Choices (marks above) against the fitted choice probabilities, model {model!r}", fontsize=10)
    figure.tight_layout()
    return figure
