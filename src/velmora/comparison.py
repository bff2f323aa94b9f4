"""Models compared over the same participants.

Two questions, kept apart. Which model best explains the study as a whole: every entry, a group fit or
per-participant fits, gets one study-level criterion, the integrated BIC (a group fit's from its
integrated likelihood; per-participant fits' summed BIC, the iBIC of a model with no group level),
and ``ibic`` ranks them all. Which model each participant follows, and how often each does:
random-effects Bayesian model selection (:mod:`velmora.bms`) over the participants' evidence, among
per-participant fits only: a group fit's participants' evidence rests on a prior fitted to the same
data, and would win against per-participant evidence by construction.
"""

from __future__ import annotations

import math
import warnings
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

from velmora.tables import GROUP_COLUMN, _require_columns

if TYPE_CHECKING:
    import pandas  # type: ignore[import-untyped,unused-ignore]

__all__ = ["compare", "Comparison"]

# Two iBICs closer than this many standard errors of their difference are not told apart.
_NOISE_SES = 2.0


@dataclass(frozen=True)
class Comparison:
    """Models compared over the same participants; ``to_frame()`` gives one row per model.

    ``ibic``: each entry's integrated BIC over the participants compared (lower is better): a group
    fit's, and for per-participant fits their summed BIC; NaN, with a warning, for a group fit whose
    estimate rests on other participants than those compared. ``ibic_se``: its Monte Carlo standard
    error (0 for per-participant fits, whose BIC is exact). ``notes`` says which iBICs differ by less
    than their noise. ``group``: whether each entry is a group fit.

    ``lme`` and ``bic`` are participants x models tables; participants whose fit failed under any
    model are left out and listed in ``excluded``. Where every entry holds per-participant fits,
    ``best`` is each participant's model of highest evidence and ``alpha``, ``expected_frequency``,
    ``exceedance`` and ``protected_exceedance`` the random-effects selection (``bor``: the posterior
    probability that all models are equally frequent). With a group fit among the entries these
    raise ValueError: read ``ibic``.
    """

    names: tuple[str, ...]
    lme: pandas.DataFrame
    bic: pandas.DataFrame
    excluded: tuple[Any, ...]
    ibic: tuple[float, ...]
    ibic_se: tuple[float, ...]
    group: tuple[bool, ...]
    notes: tuple[str, ...] = ()
    selection: Any = None

    def _selection(self) -> Any:
        if self.selection is None:
            fits = ", ".join(repr(n) for n, g in zip(self.names, self.group) if g)
            raise ValueError(
                f"random-effects model selection compares per-participant fits only, and {fits} "
                f"{'is a group fit' if fits.count(',') == 0 else 'are group fits'}, whose participants' "
                "evidence rests on a prior fitted to the same data: read the 'ibic' column, which "
                "ranks every entry, or compare per-participant fits alone"
            )
        return self.selection

    @property
    def alpha(self) -> np.ndarray:
        alpha: np.ndarray = self._selection().alpha
        return alpha

    @property
    def exceedance(self) -> np.ndarray:
        exceedance: np.ndarray = self._selection().exceedance
        return exceedance

    @property
    def protected_exceedance(self) -> np.ndarray:
        protected: np.ndarray = self._selection().protected_exceedance
        return protected

    @property
    def bor(self) -> float:
        return float(self._selection().bor)

    @property
    def best(self) -> pandas.Series:
        self._selection()
        best: pandas.Series = self.lme.idxmax(axis=1)
        return best

    @property
    def expected_frequency(self) -> np.ndarray:
        frequency: np.ndarray = self.alpha / self.alpha.sum()
        return frequency

    def to_frame(self) -> pandas.DataFrame:
        """One row per model: where every entry holds per-participant fits, the summed evidence and the
        random-effects selection, then always ``ibic``, ``ibic_se``, ``delta_ibic`` (from the lowest),
        ``rank`` by iBIC and ``within_noise``: whether its iBIC and the lowest differ by less than
        twice the standard error of their difference (the lowest: whether any other does)."""
        import pandas as pd

        columns: dict[str, Any] = {"model": list(self.names)}
        if self.selection is not None:
            # A participant whose best evidence several models share counts for each of them, not for
            # whichever comes first.
            tied = self.lme.eq(self.lme.max(axis=1), axis=0)
            columns.update(
                {
                    "sum_lme": self.lme.sum().to_numpy(),
                    "sum_bic": self.bic.sum().to_numpy(),
                    "n_best": [int(tied[name].sum()) for name in self.names],
                    "alpha": self.alpha,
                    "expected_frequency": self.expected_frequency,
                    "exceedance": self.exceedance,
                    "protected_exceedance": self.protected_exceedance,
                }
            )
        else:
            columns["group"] = list(self.group)
        ibic, se = np.array(self.ibic), np.array(self.ibic_se)
        ranked = pd.Series(ibic).rank(method="min")
        columns.update(
            {
                "ibic": ibic,
                "ibic_se": se,
                "delta_ibic": ibic - np.nanmin(ibic) if np.isfinite(ibic).any() else ibic,
                "rank": ranked.to_numpy(),
                "within_noise": _within_noise(ibic, se),
            }
        )
        return pd.DataFrame(columns)

    def summary(self) -> str:
        """The comparison in words and as a table, as :meth:`velmora.FitResult.summary` and
        :meth:`velmora.GroupFit.summary` give theirs: the models' table, the participants compared
        and left out, the best model by iBIC, and the notes."""
        table = self.to_frame()
        lines = [
            f"velmora compare: {len(self.names)} models over {len(self.lme)} participants"
            + (f" ({len(self.excluded)} left out: a fit failed under some model)" if self.excluded else ""),
            table.to_string(index=False, float_format=lambda x: f"{x:.4g}"),
        ]
        if np.isfinite(table["ibic"]).any():
            best = table.loc[table["ibic"].idxmin()]
            lines.append(
                f"lowest iBIC: {best['model']}" + (" (within the noise of another)" if best["within_noise"] else "")
            )
        if self.selection is not None:
            lines.append(f"Bayesian omnibus risk: {self.bor:.3g}")
        lines.extend(self.notes)
        return "\n".join(lines)


def _within_noise(ibic: np.ndarray, se: np.ndarray) -> np.ndarray:
    """Per entry: whether its iBIC and the lowest differ by less than _NOISE_SES standard errors of the
    difference (for the lowest itself: whether any other's does)."""
    close = np.zeros(len(ibic), dtype=bool)
    if not np.isfinite(ibic).any():
        return close
    best = int(np.nanargmin(ibic))
    for i in range(len(ibic)):
        if i != best and np.isfinite(ibic[i]):
            close[i] = abs(ibic[i] - ibic[best]) < _NOISE_SES * math.hypot(se[i], se[best])
    close[best] = close.any()
    return close


def compare(*results: Any, names: Sequence[str] | None = None, subject: str | None = None) -> Comparison:
    """Compare models fitted to the same participants.

    Every entry gets the integrated BIC over the participants compared, which ranks them all: a
    group fit's own (by importance sampling, with its Monte Carlo standard error), and for
    per-participant fits their summed BIC (the iBIC of a model without a group level). Where every
    entry holds per-participant fits, random-effects Bayesian model selection over the participants'
    evidence completes it; a group fit's participants' evidence rests on a prior fitted to the same
    data and takes no part in it. Participants whose fit failed under any model are left out and
    listed in ``excluded``. Two iBICs that differ by less than twice the standard error of their
    difference are named in a warning and in ``notes``.

    Parameters
    ----------
    *results : pandas.DataFrame or GroupFit, or one dict
        The ``fit_many`` results or :class:`velmora.GroupFit` results of each model, or one dict
        name -> result.
    names : sequence of str, optional
        The models' names; None (the default): each result's model, or ``"model i"`` when those
        repeat.
    subject : str, optional
        The column of the participants' keys; None (the default): the one each table records, else
        ``"subject"``.

    Returns
    -------
    Comparison
        ``to_frame()`` gives one row per model.

    Raises
    ------
    TypeError
        Names given both as a dict's keys and as ``names=``.
    ValueError
        Names not one per result, or repeated; fewer than two results; a participant on more than one
        row of a table; tables of other participants; no participant with a finite log evidence under
        every model.
    KeyError
        A table without the key, ``lme`` or ``bic`` column.
    """
    from velmora.bms import bms
    from velmora._group.result import GroupFit

    if len(results) == 1 and isinstance(results[0], Mapping):
        if names is not None:
            raise TypeError("give the names either as the dict's keys or as names=, not both")
        names, tables = list(results[0]), list(results[0].values())
    else:
        tables = list(results)  # type: ignore[arg-type,unused-ignore]
        if names is None:
            names = [
                t.model if isinstance(t, GroupFit) else t.attrs.get("model", f"model {i + 1}")
                for i, t in enumerate(tables)
            ]
            if len(set(names)) != len(names):
                names = [f"model {i + 1}" for i in range(len(tables))]
    names = [str(n) for n in names]
    groups = [t if isinstance(t, GroupFit) else None for t in tables]
    tables = [t.participants if isinstance(t, GroupFit) else t for t in tables]
    kinds = [g is not None or _marked_as_group(t) for g, t in zip(groups, tables)]
    if len(names) != len(tables):
        raise ValueError(f"{len(names)} names for {len(tables)} results")
    if len(tables) < 2:
        raise ValueError("compare needs the results of at least two models")
    if len(set(names)) != len(names):
        raise ValueError(f"the model names repeat: {names}")
    lme, bic = _aligned(tables, names, subject)
    usable = np.isfinite(lme).all(axis=1) & np.isfinite(bic).all(axis=1)  # -inf too: a fit without an estimate
    excluded = tuple(lme.index[~usable])
    lme, bic = lme[usable], bic[usable]
    if lme.empty:
        raise ValueError("no participant has a finite log evidence under every model")
    ibic, ibic_se = [], []
    for name, g, kind in zip(names, groups, kinds):
        if g is None and kind:
            warnings.warn(
                f"{name}: a group fit's participants' table holds no integrated likelihood; its ibic is NaN "
                "(give the GroupFit itself, or read the iBIC that velmora fit-group reports)",
                stacklevel=2,
            )
            ibic.append(math.nan)
            ibic_se.append(math.nan)
        elif g is None:
            ibic.append(float(bic[name].sum()))
            ibic_se.append(0.0)
        elif _group_members(g, subject) == set(lme.index):
            ibic.append(float(g.ibic))
            ibic_se.append(float(g.ibic_se))
        else:
            if not math.isnan(g.ibic):
                warnings.warn(
                    f"{name}: its iBIC leaves out or takes in other participants than those compared "
                    f"(here {len(lme)}); its ibic is NaN",
                    stacklevel=2,
                )
            ibic.append(math.nan)
            ibic_se.append(math.nan)
    notes = []
    for i in range(len(names)):
        for j in range(i + 1, len(names)):
            gap, noise = abs(ibic[i] - ibic[j]), math.hypot(ibic_se[i], ibic_se[j])
            if gap < _NOISE_SES * noise:
                notes.append(
                    f"the iBICs of {names[i]} and {names[j]} differ by {gap:.3g}, less than twice the "
                    f"standard error of their difference ({noise:.3g}): the sampling cannot tell them apart"
                )
    for note in notes:
        warnings.warn(note, stacklevel=2)
    selection = bms(lme.to_numpy()) if not any(kinds) else None
    return Comparison(
        tuple(names), lme, bic, excluded, tuple(ibic), tuple(ibic_se), tuple(kinds), tuple(notes), selection
    )


def _marked_as_group(table: Any) -> bool:
    """Whether a participants' table is a group fit's (fit_group marks it, and the mark survives a CSV file)."""
    if GROUP_COLUMN not in getattr(table, "columns", ()):
        return False
    return bool(table[GROUP_COLUMN].map(lambda v: v is True or str(v).strip().lower() in ("true", "1")).any())


def _group_members(group: Any, subject: str | None) -> set[Any]:
    """The participants a group fit's estimate and integrated likelihood rest on."""
    table = group.participants
    return set(table[subject or table.attrs.get("subject", "subject")]) - set(group.excluded)


def _aligned(
    tables: Iterable[pandas.DataFrame], names: list[str], subject: str | None
) -> tuple[pandas.DataFrame, pandas.DataFrame]:
    import pandas as pd

    lme, bic, keys = {}, {}, None
    for name, table in zip(names, tables):
        column = subject or table.attrs.get("subject", "subject")
        _require_columns(table, {"subject": column, "lme": "lme", "bic": "bic"})
        if table[column].duplicated().any():
            raise ValueError(
                f"{name}: participant {table[column][table[column].duplicated()].iloc[0]!r} appears more than once"
            )
        indexed = table.set_index(column)
        if keys is None:
            keys = indexed.index
        elif set(indexed.index) != set(keys):
            only = sorted(map(repr, set(indexed.index) ^ set(keys)))[:3]
            raise ValueError(f"{name} was fitted to other participants than {names[0]} (e.g. {', '.join(only)})")
        lme[name] = pd.to_numeric(indexed["lme"], errors="coerce").reindex(keys)
        bic[name] = pd.to_numeric(indexed["bic"], errors="coerce").reindex(keys)
    return pd.DataFrame(lme), pd.DataFrame(bic)
