"""Pictures of designs and fits: recovery scatter, model confusion, power curves, predictive checks,
a participant's fitted trajectory and a group fit's shrinkage and coefficients.

Every function draws on a bare matplotlib ``Figure`` (no pyplot, no display) given or made here, and
returns it; axes carry labels with units and a legend wherever more than one thing is drawn.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any

import numpy as np

from velmora.plotting import figure_for

if TYPE_CHECKING:
    import pandas  # type: ignore[import-untyped,unused-ignore]
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

    from velmora.power import Power
    from velmora.predictive import PredictiveCheck
    from velmora.recovery import ModelRecovery, Recovery


def _grid(figure: Figure, panels: int, columns: int) -> list[Axes]:
    rows = max(1, math.ceil(panels / columns))
    axes = figure.subplots(rows, min(columns, panels), squeeze=False).ravel()
    for ax in axes[panels:]:
        ax.axis("off")
    return list(axes[:panels])


def recovery_plot(result: Recovery, figure: Figure | None = None) -> Figure:
    """One panel per free parameter: estimate against truth (transformed space), the identity line,
    converged and unconverged fits apart."""
    names = list(result.transforms)
    columns = min(3, len(names))
    fig = figure_for(figure, 3.2 * columns, 3.0 * math.ceil(len(names) / columns))
    table = result.table.set_index("parameter")
    for ax, name in zip(_grid(fig, len(names), columns), names):
        rows = result.raw[result.raw["parameter"] == name]
        ok = rows["converged"].to_numpy(bool)
        for mask, label, colour in ((ok, "converged", "tab:blue"), (~ok, "not converged", "tab:red")):
            if mask.any():
                ax.scatter(rows["truth"][mask], rows["estimate"][mask], s=6, alpha=0.6, color=colour, label=label)
        finite = rows[["truth", "estimate"]].to_numpy()
        finite = finite[np.isfinite(finite).all(axis=1)]
        if finite.size:
            lo, hi = float(finite.min()), float(finite.max())
            ax.plot([lo, hi], [lo, hi], color="black", linewidth=0.8, label="estimate = truth")
        unit = result.transforms[name]
        scale = "" if unit == "identity" else f"{unit} "
        ax.set(
            title=f"{name}\nr = {table.loc[name, 'r']:.2f}, 95 % coverage {table.loc[name, 'coverage']:.2f}",
            xlabel=f"true {scale}{name}",
            ylabel=f"estimated {scale}{name}",
        )
        ax.legend(fontsize="small")
    fig.suptitle(f"Parameter recovery: {result.model} ({result.response_model} responses)")
    return fig


def _heat(ax: Axes, table: pandas.DataFrame, title: str, label: str) -> None:
    values = table.to_numpy(dtype=float)
    image = ax.imshow(values, vmin=0.0, vmax=1.0, cmap="Blues")
    ax.set_xticks(range(values.shape[1]), list(table.columns))
    ax.set_yticks(range(values.shape[0]), list(table.index))
    for (i, j), value in np.ndenumerate(values):
        ax.text(j, i, f"{value:.2f}", ha="center", va="center", color="white" if value > 0.6 else "black")
    ax.set(title=title, xlabel="fitted model", ylabel="generating model")
    ax.figure.colorbar(image, ax=ax, label=label, shrink=0.8)


def confusion_plot(result: ModelRecovery, figure: Figure | None = None) -> Figure:
    """The confusion matrix by best evidence and the random-effects selection's exceedance probabilities."""
    fig = figure_for(figure, 9.0, 3.8)
    left, right = fig.subplots(1, 2)
    _heat(left, result.confusion, "Best log evidence", "share of participants")
    _heat(right, result.selection, "Random-effects selection", "exceedance probability")
    fig.suptitle("Model recovery")
    return fig


def power_plot(result: Power, figure: Figure | None = None) -> Figure:
    """Detection rate against participants per study with its 95 % interval, and the intervals'
    coverage of the true difference; the nominal levels dashed."""
    fig = figure_for(figure, 9.0, 3.6)
    left, right = fig.subplots(1, 2)
    t = result.table
    n = t["n_participants"].to_numpy()
    left.errorbar(
        n,
        t["detection_rate"],
        yerr=[t["detection_rate"] - t["detection_low"], t["detection_high"] - t["detection_rate"]],
        marker="o",
        capsize=3,
        label="detection rate (95 % interval)",
    )
    left.axhline(result.alpha, color="grey", linestyle="--", linewidth=0.8, label=f"alpha = {result.alpha:g}")
    left.axhline(0.8, color="black", linestyle=":", linewidth=0.8, label="power 0.8")
    left.set(
        ylim=(0, 1.02),
        xlabel="participants per study",
        ylabel="share of studies detecting the effect",
        title=f"Power: {result.parameter} difference of {result.effect:g} group SD",
    )
    left.legend(fontsize="small")
    right.plot(n, t["coverage"], marker="o", label="interval covers the true difference")
    right.axhline(0.95, color="grey", linestyle="--", linewidth=0.8, label="nominal 0.95")
    right.set(ylim=(0, 1.02), xlabel="participants per study", ylabel="share of studies", title="Interval coverage")
    right.legend(fontsize="small")
    return fig


def predictive_plot(result: PredictiveCheck, figure: Figure | None = None) -> Figure:
    """The observed learning curve against the simulations' 95 % band, and each participant's observed
    statistic against its simulated distribution (posterior predictive p-values)."""
    fig = figure_for(figure, 9.0, 3.6)
    left, right = fig.subplots(1, 2)
    curve = result.curve
    trial = curve["trial"].to_numpy()
    left.fill_between(trial, curve["simulated_low"], curve["simulated_high"], alpha=0.3, label="simulated 95 % band")
    left.plot(trial, curve["simulated_mean"], label="simulated mean")
    left.plot(trial, curve["observed"], color="black", linewidth=1.0, label="observed")
    left.set(xlabel="trial", ylabel=f"mean {result.quantity} across participants", title="Learning curve")
    left.legend(fontsize="small")
    p = result.participants["p_value"].dropna().to_numpy()
    right.hist(p, bins=np.linspace(0.0, 1.0, 11), color="tab:blue", edgecolor="white", label="participants")
    right.axhline(len(p) / 10, color="black", linestyle="--", linewidth=0.8, label="uniform (a model that fits)")
    right.set(
        xlabel=f"predictive p-value of each participant's {result.statistic_name}",
        ylabel="participants",
        title="Per-participant check",
    )
    right.legend(fontsize="small")
    fig.suptitle(f"Predictive check: {result.model}")
    return fig


def trajectory_plot(
    model: str,
    inputs: Any,
    responses: Any,
    fit: Any,
    *,
    n_draws: int = 200,
    seed: int = 0,
    figure: Figure | None = None,
) -> Figure:
    """A participant's fitted trajectory: the model's prediction of each response at the estimate (the
    belief for a Gaussian response, P(choice = 1) for a choice), with a 95 % band over parameter draws
    from its Laplace posterior (each free parameter drawn independently from its estimate and
    standard error in the transformed space), over the responses. ``fit``: a :class:`velmora.FitResult`."""
    fig = figure_for(figure, 8.0, 3.6)
    estimate = {k: v for k, v in fit.params.items() if v is not None}
    _trajectory_on(fig.subplots(), model, fit.response_model, inputs, responses, estimate, fit.se, n_draws, seed)
    return fig


def trajectories_plot(
    data: pandas.DataFrame,
    fits: pandas.DataFrame,
    model: str,
    *,
    input: str = "input",
    subject: str = "subject",
    trial: str | None = None,
    most: int = 6,
    n_draws: int = 200,
    seed: int = 0,
    figure: Figure | None = None,
) -> Figure:
    """The fitted trajectories of the first ``most`` participants of a :func:`velmora.fit_many` table
    that have estimates, one panel each (see :func:`trajectory_plot`)."""
    from velmora.tables import SE_PREFIX

    response_model = fits.attrs.get("response_model") or _default_response(model)
    free = [c[len(SE_PREFIX) :] for c in fits.columns if str(c).startswith(SE_PREFIX)]
    usable = fits[fits[free].notna().all(axis=1) & (fits["error"].fillna("") == "")].head(most)
    fig = figure_for(figure, 8.0, 0.4 + 2.6 * max(len(usable), 1))
    if usable.empty:  # said in the picture: the table beside it has every participant's error
        ax = fig.subplots()
        ax.text(0.5, 0.5, "no participant has estimates to draw", ha="center", va="center")
        ax.set(xlabel="trial", ylabel="response (unit of the data)")
        return fig
    axes = fig.subplots(len(usable), 1, squeeze=False)[:, 0]
    by_key = dict(tuple(data.groupby(subject, sort=False)))
    for ax, record in zip(axes, usable.to_dict("records")):
        rows = by_key[record[subject]]
        if trial is not None:
            rows = rows.sort_values(trial, kind="stable")
        estimate = {k: float(record[k]) for k in fits.columns if k in _parameter_names(model, response_model)}
        se = {name: float(record[SE_PREFIX + name]) for name in free}
        _trajectory_on(ax, model, response_model, rows[input], rows["response"], estimate, se, n_draws, seed)
        ax.set_title(f"{subject} {record[subject]}", fontsize="medium")
    fig.suptitle(f"{model}: fitted trajectories ({response_model} responses)")
    return fig


def _default_response(model: str) -> str:
    from velmora.tables import default_response

    return default_response(model)


def _parameter_names(model: str, response_model: str) -> set[str]:
    from velmora.models import PARAMS, RESPONSE_PARAMS

    return {*PARAMS[model], *RESPONSE_PARAMS.get(response_model, {})}


def _trajectory_on(
    ax: Axes,
    model: str,
    response_model: str,
    inputs: Any,
    responses: Any,
    estimate: dict[str, float],
    se: dict[str, float],
    n_draws: int,
    seed: int,
) -> None:
    from velmora.design import transformed_of
    from velmora.models import PARAMS, RESPONSE_PARAMS
    from velmora.problem import natural_of
    from velmora.stream import normal

    x = np.asarray(inputs, dtype=np.float64)
    y = np.asarray(responses, dtype=np.float64)
    table = {**PARAMS[model], **RESPONSE_PARAMS.get(response_model, {})}
    z = normal((n_draws, max(len(se), 1)), seed)  # velmora's own seeded stream
    draws = []
    for i in range(n_draws):
        params = dict(estimate)
        for j, (name, spread) in enumerate(se.items()):
            t = table[name].transform
            rate = _slope(t, estimate[name])
            scale = spread / abs(rate) if rate != 0 else math.nan
            if math.isfinite(scale):
                theta = float(transformed_of(t, np.array([estimate[name]]))[0]) + scale * float(z[i, j])
                params[name] = float(natural_of(t, np.array([theta]))[0])
        try:
            draws.append(predicted(model, response_model, x, params))
        except Exception:  # a draw the model refuses (far in a tail) is left out of the band
            continue
    trials = np.arange(len(y))
    if draws:
        low, high = np.nanpercentile(np.array(draws), [2.5, 97.5], axis=0)
        ax.fill_between(trials, low, high, alpha=0.3, label="95 % band over parameter uncertainty")
    ax.plot(trials, predicted(model, response_model, x, estimate), label="prediction at the estimate")
    ax.plot(trials, y, "o", markersize=3, color="black", label="response")
    choices = response_model in _binary()
    ax.set(
        title=f"{model}: fitted trajectory ({response_model} responses)",
        xlabel="trial",
        ylabel="P(choice = 1)" if choices else "response (unit of the data)",
    )
    ax.legend(fontsize="small")


def _binary() -> tuple[str, ...]:
    from velmora.models import BINARY

    return BINARY


def predicted(model: str, response_model: str, inputs: np.ndarray, params: dict[str, float]) -> np.ndarray:
    """What the response model predicts on each trial, from the engine: P(y = 1) as the likelihood of
    a choice of 1 for a choice model, else the belief itself as a Gaussian response without noise."""
    from velmora import trials

    n = len(inputs)
    if response_model in _binary():
        chance: np.ndarray = np.exp(trials.logliks(model, response_model, inputs, np.ones(n), params))
        return chance
    # A response model of continuous responses has its noise as its only parameters: at 0 it draws
    # the belief itself.
    from velmora.models import RESPONSES

    belief: np.ndarray = trials.simulated(
        model, response_model, inputs, {**params, **dict.fromkeys(RESPONSES[response_model], 0.0)}, 0
    )
    return belief


def _slope(transform: str, value: float) -> float:
    from velmora.problem import slope

    return float(slope(transform, np.array([value]))[0])


def shrinkage_plot(group: Any, separate: pandas.DataFrame, figure: Figure | None = None) -> Figure:
    """A group fit's shrinkage: each participant's estimate fitted alone (``separate``, a
    :func:`velmora.fit_many` table) against under the group prior, per free parameter (transformed
    space), with the group mean; and the group coefficients with their 95 % intervals."""
    from velmora.design import transformed_of

    names = list(group.free)
    fig = figure_for(figure, 3.2 * (len(names) + 1), 3.4)
    axes = fig.subplots(1, len(names) + 1, squeeze=False)[0]
    subject = group.participants.columns[0]
    joined = separate.merge(group.participants, on=subject, suffixes=("_alone", "_group"))
    for ax, name, t in zip(axes, names, group.transforms):
        alone = transformed_of(t, joined[f"{name}_alone"].to_numpy())
        pooled = transformed_of(t, joined[f"{name}_group"].to_numpy())
        for a, b in zip(alone, pooled):
            ax.plot([0, 1], [a, b], color="tab:blue", alpha=0.3, linewidth=0.8)
        label = "group mean" if len(group.coefficients) == len(names) else "group mean (covariates at 0)"
        ax.axhline(group.mean[name], color="black", linestyle="--", linewidth=0.8, label=label)
        scale = "" if t == "identity" else f"{t} "
        ax.set_xticks([0, 1], ["fitted alone", "under group prior"])
        ax.set(title=name, xlabel="estimate", ylabel=f"{scale}{name} (transformed)")
        ax.legend(fontsize="small")
    ax = axes[-1]
    c = group.coefficients
    labels = [f"{p}: {term}" for p, term in zip(c["parameter"], c["term"])]
    positions = np.arange(len(c))
    ax.errorbar(c["estimate"], positions, xerr=1.96 * c["se"], fmt="o", capsize=3, label="estimate ± 1.96 SE")
    ax.axvline(0.0, color="grey", linewidth=0.8)
    ax.set_yticks(positions, labels)
    ax.set(title="Group coefficients", xlabel="coefficient (transformed scale)", ylabel="parameter: term")
    ax.legend(fontsize="small")
    fig.suptitle(f"Group fit: {group.model}")
    return fig
