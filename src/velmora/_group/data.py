"""The group fit's data: the participants with usable data in the engine's layout, and the design
matrix of the group model (an intercept, then the covariates) in their order."""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

from velmora._group.engine import transform_codes
from velmora.tables import _Participant

if TYPE_CHECKING:
    from velmora.problem import Problem

# Added to Sigma's diagonal so that a parameter every participant pins down exactly keeps a prior.
JITTER = 1e-8
# The names of the terms the group model has besides the covariates': the intercept, and each SD.
RESERVED_TERMS = ("intercept", "sd")


@dataclass(frozen=True, eq=False)
class GroupData:
    """What every pass reads: the model's problem (names, free indices, transforms, held values), the
    usable participants' data in the engine's layout (inputs end to end, each one's first trial and
    length, responses, seeds, trials with a response), the design (centred and scaled) and how to run."""

    model: str
    problem: Problem
    values: np.ndarray
    starts: np.ndarray
    lengths: np.ndarray
    responses: np.ndarray | None
    seeds: np.ndarray
    n_trials: np.ndarray
    x: np.ndarray
    full: bool
    covariates: bool
    workers: int
    transforms: np.ndarray
    # Where the E-step's fits run: None here, on ``workers`` threads; else an executor, in chunks.
    executor: Any = None

    @property
    def n(self) -> int:
        """Participants."""
        return len(self.lengths)

    @property
    def m(self) -> int:
        """Free parameters."""
        return len(self.problem.free)

    @property
    def k(self) -> int:
        """Parameters, held ones included."""
        return len(self.problem.values)


def pack(
    model: str,
    problem: Problem,
    participants: list[_Participant],
    x: np.ndarray,
    *,
    with_responses: bool,
    full: bool,
    covariates: bool,
    workers: int,
) -> GroupData:
    """The participants (each with usable data) end to end in the engine's layout, with design ``x``."""
    values = np.concatenate([p.inputs.reshape(-1) for p in participants])  # type: ignore[union-attr]
    lengths = np.array([len(p.inputs) for p in participants], dtype=np.int64)  # type: ignore[arg-type]
    starts = np.cumsum(lengths) - lengths
    responses = np.concatenate([p.responses for p in participants]) if with_responses else None  # type: ignore[misc,unused-ignore]
    seeds = np.array([p.seed for p in participants], dtype=np.uint64)
    n_trials = lengths if responses is None else np.add.reduceat(~np.isnan(responses), starts, dtype=np.int64)
    return GroupData(
        model=model,
        problem=problem.with_data(values, starts, lengths, responses),
        values=values,
        starts=starts,
        lengths=lengths,
        responses=responses,
        seeds=seeds,
        n_trials=n_trials,
        x=x,
        full=full,
        covariates=covariates,
        workers=workers,
        transforms=transform_codes(problem.transforms),
    )


def standardised(x: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The design with its covariates centred and scaled, and the map back: b = undo @ b_scaled. The EM
    runs on it so that the rank check and the regression see columns of one size whatever their units
    (a covariate near 1e13 would otherwise pass for a multiple of the intercept)."""
    center, scale = x[:, 1:].mean(axis=0), x[:, 1:].std(axis=0)
    scale[scale == 0.0] = 1.0
    x = np.column_stack([x[:, 0], (x[:, 1:] - center) / scale])
    undo = np.eye(x.shape[1])
    undo[0, 1:], undo[1:, 1:] = -center / scale, np.diag(1.0 / scale)
    return x, undo


def design(covariates: Any, keys: list[Any], subject: str) -> tuple[np.ndarray, list[str]]:
    """The design matrix (an intercept, then the covariates; categories as indicator columns) in the
    participants' order, and its terms' names."""
    import pandas as pd  # type: ignore[import-untyped,unused-ignore]

    if covariates is None:
        return np.ones((len(keys), 1)), ["intercept"]
    if not isinstance(covariates, pd.DataFrame):
        raise TypeError(
            f"covariates must be a pandas DataFrame with one row per participant, got {type(covariates).__name__}"
        )
    table = covariates.set_index(subject) if subject in covariates.columns else covariates
    if table.index.duplicated().any():
        raise ValueError(f"covariates: participant {table.index[table.index.duplicated()][0]!r} has more than one row")
    missing = [k for k in keys if k not in table.index]
    if missing:
        raise ValueError(f"covariates: no row for participant {missing[0]!r}")
    if table.shape[1] == 0:
        raise ValueError("covariates: no column besides the participants' keys")
    rows = table.loc[keys].copy()
    absent = rows.isna().to_numpy()  # a blank would otherwise join the first category, or fail later as NaN
    if absent.any():
        at = np.argwhere(absent)[0]
        raise ValueError(f"covariates: participant {keys[at[0]]!r} has no value of {rows.columns[at[1]]!r}")
    reserved = [name for name in rows.columns if str(name) in RESERVED_TERMS]
    if reserved:
        raise ValueError(
            f"covariates: a column may not be named {reserved[0]!r}, which names a term of the group "
            f"model ({' and '.join(map(repr, RESERVED_TERMS))}); rename it"
        )
    for name in rows.columns:
        column = rows[name]
        text = not isinstance(column.dtype, pd.CategoricalDtype) and column.dtype.kind in "OUST"
        if (
            text
            and column.map(lambda v: isinstance(v, str)).all()
            and pd.to_numeric(column, errors="coerce").notna().all()
        ):
            raise ValueError(
                f"covariates: column {name!r} holds numbers written as text (e.g. {column.iloc[0]!r}): "
                "give it as numbers (pandas.to_numeric) to use it as a number, or as a "
                "pandas.Categorical to use its values as categories"
            )
        if isinstance(column.dtype, pd.CategoricalDtype):  # levels no participant has are no indicator
            rows[name] = column = column.cat.remove_unused_categories()
        if column.dtype.kind not in "biuf" and column.nunique() < 2:  # its indicators would all be dropped
            raise ValueError(
                f"covariates: column {name!r} has the one value {column.iloc[0]!r} for every "
                "participant; it cannot explain a difference between them"
            )
    numeric = pd.get_dummies(rows, drop_first=True, dtype=np.float64)
    other = [f"{name!r} ({dtype})" for name, dtype in numeric.dtypes.items() if dtype.kind not in "biuf"]
    if other:  # dates and complex numbers would otherwise be read as nanoseconds or their real part
        raise ValueError(f"covariates: every column must be numeric or categorical, not {other[0]}")
    names = [str(name) for name in numeric.columns]
    again = next((name for name in names if names.count(name) > 1), None)
    if again is not None:  # a numeric g_b beside category b of a categorical g
        raise ValueError(
            f"covariates: two terms would be named {again!r} (a column of that name and a category of "
            "another column's indicator); rename one of the columns"
        )
    x = numeric.to_numpy(dtype=np.float64)
    if not np.isfinite(x).all():
        at = np.argwhere(~np.isfinite(x))[0]
        raise ValueError(f"covariates: participant {keys[at[0]]!r} has no finite value of {numeric.columns[at[1]]!r}")
    return np.column_stack([np.ones(len(keys)), x]), ["intercept", *names]


def check_design(x: np.ndarray, what: str) -> None:
    """ValueError unless the participants' rows of the design determine the regression with some
    spread left: as many terms as participants would fit every estimate exactly and take the group
    variance to nothing."""
    if len(x) <= x.shape[1]:
        if x.shape[1] == 1:
            raise ValueError(f"a group model needs at least two {what}, got {len(x)}")
        raise ValueError(
            f"covariates: {x.shape[1]} terms (the intercept and {x.shape[1] - 1} covariate columns) "
            f"for {len(x)} {what}: the group model needs more {what} than terms"
        )
    if np.linalg.matrix_rank(x) < x.shape[1]:
        raise ValueError(
            f"covariates: over the {what}, the intercept and the covariates are linearly dependent (a "
            "constant or repeated column, or a category none of them is in)"
        )
