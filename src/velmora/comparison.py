"""Models compared over the same participants: summed evidence, each participant's best model and
random-effects Bayesian model selection (:mod:`velmora.bms`)."""

from __future__ import annotations

import math
import warnings
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

from velmora.tables import _require_columns

if TYPE_CHECKING:
    import pandas  # type: ignore[import-untyped,unused-ignore]

__all__ = ["compare", "Comparison"]


@dataclass(frozen=True)
class Comparison:
    """Models compared over the same participants; ``to_frame()`` gives one row per model.

    ``lme`` and ``bic`` are participants x models tables; ``best`` each participant's model of
    highest evidence; ``alpha``, ``expected_frequency``, ``exceedance`` and ``protected_exceedance``
    the random-effects selection (``bor``: the posterior probability that all models are equally
    frequent). Participants whose fit failed under any model are left out and listed in ``excluded``.
    ``ibic``: the integrated BIC of each model given as a :class:`velmora.GroupFit` (evidence at the
    group level; lower is better), NaN for the others, and NaN (with a warning) for a group fit whose
    estimate rests on other participants than those compared: iBICs over different participants
    do not compare.
    """

    names: tuple[str, ...]
    lme: pandas.DataFrame
    bic: pandas.DataFrame
    alpha: np.ndarray
    exceedance: np.ndarray
    protected_exceedance: np.ndarray
    bor: float
    excluded: tuple[Any, ...]
    ibic: tuple[float, ...] = ()

    @property
    def best(self) -> pandas.Series:
        best: pandas.Series = self.lme.idxmax(axis=1)
        return best

    @property
    def expected_frequency(self) -> np.ndarray:
        frequency: np.ndarray = self.alpha / self.alpha.sum()
        return frequency

    def to_frame(self) -> pandas.DataFrame:
        import pandas as pd

        # A participant whose best evidence several models share counts for each of them, not for
        # whichever comes first.
        tied = self.lme.eq(self.lme.max(axis=1), axis=0)
        return pd.DataFrame({
            "model": list(self.names),
            "sum_lme": self.lme.sum().to_numpy(),
            "sum_bic": self.bic.sum().to_numpy(),
            "n_best": [int(tied[name].sum()) for name in self.names],
            "alpha": self.alpha,
            "expected_frequency": self.expected_frequency,
            "exceedance": self.exceedance,
            **({"ibic": list(self.ibic)} if self.ibic else {}),
            "protected_exceedance": self.protected_exceedance,
        })


def compare(*results: Any, names: Sequence[str] | None = None, subject: str | None = None) -> Comparison:
    """Compare models fitted to the same participants.

    Summed evidence, each participant's best model and random-effects Bayesian model selection. A
    group fit takes part through its participants' evidence under its group prior, and adds its
    integrated BIC. Participants whose fit failed under any model are left out and listed in
    ``excluded``.

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
    from velmora.group import GroupFit

    if len(results) == 1 and isinstance(results[0], Mapping):
        if names is not None:
            raise TypeError("give the names either as the dict's keys or as names=, not both")
        names, tables = list(results[0]), list(results[0].values())
    else:
        tables = list(results)  # type: ignore[arg-type,unused-ignore]
        if names is None:
            names = [t.model if isinstance(t, GroupFit) else t.attrs.get("model", f"model {i + 1}")
                     for i, t in enumerate(tables)]
            if len(set(names)) != len(names):
                names = [f"model {i + 1}" for i in range(len(tables))]
    names = [str(n) for n in names]
    groups = [t if isinstance(t, GroupFit) else None for t in tables]
    tables = [t.participants if isinstance(t, GroupFit) else t for t in tables]
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
    selection = bms(lme.to_numpy())
    ibic = tuple(math.nan if g is None else g.ibic if _group_members(g, subject) == set(lme.index) else math.nan
                 for g in groups)
    for name, g, value in zip(names, groups, ibic):
        if g is not None and math.isnan(value) and not math.isnan(g.ibic):
            warnings.warn(f"{name}: its iBIC leaves out or takes in other participants than those compared "
                          f"(here {len(lme)}); its ibic is NaN", stacklevel=2)
    return Comparison(tuple(names), lme, bic, selection.alpha, selection.exceedance, selection.protected_exceedance,
                      selection.bor, excluded, ibic if any(np.isfinite(ibic)) else ())


def _group_members(group: Any, subject: str | None) -> set[Any]:
    """The participants a group fit's estimate and integrated likelihood rest on."""
    table = group.participants
    return set(table[subject or table.attrs.get("subject", "subject")]) - set(group.excluded)


def _aligned(tables: Iterable[pandas.DataFrame], names: list[str],
             subject: str | None) -> tuple[pandas.DataFrame, pandas.DataFrame]:
    import pandas as pd

    lme, bic, keys = {}, {}, None
    for name, table in zip(names, tables):
        column = subject or table.attrs.get("subject", "subject")
        _require_columns(table, {"subject": column, "lme": "lme", "bic": "bic"})
        if table[column].duplicated().any():
            raise ValueError(f"{name}: participant {table[column][table[column].duplicated()].iloc[0]!r} "
                             "appears more than once")
        indexed = table.set_index(column)
        if keys is None:
            keys = indexed.index
        elif set(indexed.index) != set(keys):
            only = sorted(map(repr, set(indexed.index) ^ set(keys)))[:3]
            raise ValueError(f"{name} was fitted to other participants than {names[0]} (e.g. {', '.join(only)})")
        lme[name] = pd.to_numeric(indexed["lme"], errors="coerce").reindex(keys)
        bic[name] = pd.to_numeric(indexed["bic"], errors="coerce").reindex(keys)
    return pd.DataFrame(lme), pd.DataFrame(bic)
