"""The group model's coefficients with their tests, in the original units of the covariates."""

from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np

from velmora._group.mstep import group_errors

if TYPE_CHECKING:
    import pandas  # type: ignore[import-untyped,unused-ignore]


def coefficient_table(
    x: np.ndarray,
    terms: list[str],
    names: list[str],
    b: np.ndarray,
    sigma: np.ndarray,
    post_cov: np.ndarray,
    undo: np.ndarray,
) -> tuple[pandas.DataFrame, np.ndarray, np.ndarray]:
    """One row per parameter and term: the estimate, its standard error, t statistic and two-sided
    p-value (t with participants - terms degrees of freedom), for the design ``x`` of the participants
    kept (centred and scaled; ``undo`` maps its coefficients back). Also the coefficients mapped back
    (terms x parameters) and each group SD's standard error."""
    import pandas as pd
    from scipy import stats  # type: ignore[import-untyped,unused-ignore]

    df = max(len(x) - len(terms), 1)
    se_b, se_sd = group_errors(x, sigma, post_cov, undo)
    b = undo @ b
    records = []
    for j, name in enumerate(names):
        for t, term in enumerate(terms):
            spread = float(se_b[t, j])
            estimate = float(b[t, j])
            records.append(
                {
                    "parameter": name,
                    "term": term,
                    "estimate": estimate,
                    "se": spread,
                    "t": estimate / spread,
                    "p_value": float(2 * stats.t.sf(abs(estimate / spread), df)),
                }
            )
    return pd.DataFrame(records), b, se_sd
