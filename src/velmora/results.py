"""What a fit returns: :class:`FitResult` for one participant, :class:`FitArrays` for many."""

from __future__ import annotations

import math
from dataclasses import dataclass, field, fields
from typing import TYPE_CHECKING, Any

import numpy as np

from velmora.deprecation import warn_renamed
from velmora.models import ENGINE, SELF_FIT

if TYPE_CHECKING:
    import pandas  # type: ignore[import-untyped,unused-ignore]

    from velmora.trajectories import Trajectories

__all__ = ["FitResult", "FitArrays", "NO_ESTIMATE"]

NO_ESTIMATE = "no estimate: the model failed, or its likelihood was not finite, at every starting point"
# The engine's status of each participant's fit, by code. Only code 0 is converged: the gradient test
# holds at the estimate (max |gradient| <= 1e-5 in the transformed space, or, where the objective
# stops decreasing first, a Newton step from the curvature there would gain at most 1e-8) and the
# curvature there is positive definite. Every other code but 2 still reports the best point found.
STATUS = (
    "converged: the gradient test holds and the Hessian is positive definite",
    "not converged: iteration limit reached",
    NO_ESTIMATE,
    "interrupted",
    "not converged: evaluation limit reached",
    "not converged: no progress, no lower point found while the gradient is above tolerance",
    "not converged: the gradient test holds but the Hessian is not positive definite (no standard errors or evidence)",
    "not converged: a cusp, the curvature depends on the difference step (no standard errors or evidence)",
)
NO_ESTIMATE_CODE = 2
# The criteria FitResult reports beside its estimates, in the order of its row.
_CRITERIA = ("nll", "neg_log_joint", "lme", "aic", "bic", "n_trials", "converged", "message")


def aic_of(nll: Any, k: int) -> Any:
    return 2.0 * nll + 2.0 * k


def bic_of(nll: Any, k: int, n_trials: Any) -> Any:
    with np.errstate(divide="ignore"):  # no trial in the likelihood: no criterion either
        return 2.0 * nll + k * np.log(n_trials)


@dataclass(kw_only=True)
class FitResult:
    """A model fitted to one participant's data.

    Two results are equal when every field is, NaN where the other has NaN. A fit that found no
    feasible point (the model failed, or its likelihood overflowed, at every start) has no estimate: its
    free parameters, standard errors and criteria are NaN, ``converged`` is False, ``message`` says so
    and ``trajectory`` is None.

    Attributes
    ----------
    model : str
        The model fitted.
    response_model : str
        The response model, or ``"observations"`` for a fit to the inputs themselves (``response``,
        its former name, still reads it, with a DeprecationWarning).
    params : dict of str to float or None
        Every parameter at the estimate, natural units (held ones included).
    se : dict of str to float
        The standard error of each free parameter, from the Hessian of the negative log-joint in
        transformed space mapped back by the delta method; NaN for a parameter the likelihood is flat
        in on one side of the estimate (not identified, as ``process_noise`` under a binding
        ``prior_precision_cap``), and for every parameter where the Hessian over the identified ones is
        not positive definite.
    free : tuple of str
        The free parameters' names.
    nll : float
        The negative log-likelihood at the estimate.
    neg_log_joint : float
        ``nll`` plus the negative log prior.
    lme : float
        Laplace approximation of the log model evidence, an unidentified parameter integrated against
        its prior alone (NaN with the standard errors).
    aic : float
        2 nll + 2k for k free parameters.
    bic : float
        2 nll + k log n for k free parameters and n = ``n_trials`` trials in the likelihood. In both
        criteria the ``nll`` is the one at the MAP estimate, not at the maximum-likelihood one (as the
        HGF toolboxes report them), so both are somewhat larger than their textbook values, by how much
        the prior pulls the estimate.
    n_trials : int
        The trials in the likelihood (missed ones are not).
    converged : bool
        Whether the estimate is a verified optimum: the gradient test holds there (largest gradient
        component at most 1e-5 in the transformed space or, where the objective stops decreasing
        first, a Newton step would gain at most 1e-8 nats) and the Hessian is positive definite.
    message : str
        Why the fit ended: converged, iteration or evaluation limit, no progress, a Hessian that is
        not positive definite, a cusp (curvature that depends on the difference step), or no estimate.
    trajectory : Trajectories or None
        The array engine's result at the estimate.
    """

    model: str
    response_model: str
    params: dict[str, float | None]
    se: dict[str, float]
    free: tuple[str, ...]
    nll: float
    neg_log_joint: float
    lme: float
    n_trials: int
    converged: bool
    message: str
    trajectory: Trajectories | None = field(repr=False)

    @property
    def aic(self) -> float:
        return float(aic_of(self.nll, len(self.free)))

    @property
    def bic(self) -> float:
        return float(bic_of(self.nll, len(self.free), self.n_trials))

    @property
    def response(self) -> str:
        """Deprecated: ``response_model``."""
        warn_renamed(type(self).__name__, ".response", ".response_model", stacklevel=3)
        return self.response_model

    def __eq__(self, other: object) -> bool:
        if type(other) is not type(self):
            return NotImplemented
        return all(_same(getattr(self, f.name), getattr(other, f.name)) for f in fields(self))

    def to_dict(self) -> dict[str, Any]:
        """One flat row: model, response_model, each parameter, ``se_<name>`` per free one, the criteria."""
        row: dict[str, Any] = {"model": self.model, "response_model": self.response_model}
        row.update(self.params)
        row.update({f"se_{name}": value for name, value in self.se.items()})
        row.update({name: getattr(self, name) for name in _CRITERIA})
        return row

    def to_frame(self) -> pandas.DataFrame:
        """``to_dict()`` as a one-row DataFrame, ready to concatenate across participants."""
        import pandas as pd

        return pd.DataFrame([self.to_dict()])

    def summary(self) -> str:
        source = SELF_FIT if self.response_model == SELF_FIT else f"responses ({self.response_model})"
        lines = [
            f"velmora fit: {self.model} to {source}, {self.n_trials} trials",
            f"converged: {self.converged} ({self.message})",
            f"{'parameter':<24}{'estimate':>12}{'se':>12}",
        ]
        for name, value in self.params.items():
            se = f"{self.se[name]:12.4g}" if name in self.se else f"{'held':>12}"
            shown = f"{value:12.4g}" if value is not None else f"{'none':>12}"
            lines.append(f"{name:<24}{shown}{se}")
        lines.append(
            f"nll {self.nll:.4f}  neg_log_joint {self.neg_log_joint:.4f}  lme {self.lme:.4f}  "
            f"aic {self.aic:.4f}  bic {self.bic:.4f}"
        )
        return "\n".join(lines)

    def __repr__(self) -> str:
        return self.summary()

    def _repr_html_(self) -> str:
        import html

        return f"<pre>{html.escape(self.summary())}</pre>"


def _same(a: Any, b: Any) -> bool:
    """Equal, with NaN equal to NaN (a value that is not there), also within dicts."""
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return True
    if isinstance(a, dict) and isinstance(b, dict):
        return a.keys() == b.keys() and all(_same(a[k], b[k]) for k in a)
    return bool(a == b)


@dataclass(eq=False)
class FitArrays:
    """Many participants fitted in one call: one entry per participant in every array.

    ``to_frame()`` gives one row per participant; ``result(i)`` participant ``i``'s
    :class:`FitResult`. ``aic`` and ``bic`` are as in :class:`FitResult`.

    Attributes
    ----------
    model : str
        The model fitted.
    response_model : str
        The response model, as in :class:`FitResult` (``response``, its former name, still reads it,
        with a DeprecationWarning).
    params : dict of str to numpy.ndarray
        Each parameter's estimates in natural units (held ones included; NaN for a fit with no
        estimate, and for an optional parameter left out).
    se : dict of str to numpy.ndarray
        Each free parameter's standard errors.
    free : tuple of str
        The free parameters' names.
    nll : numpy.ndarray
        Each fit's negative log-likelihood at the estimate.
    neg_log_joint : numpy.ndarray
        ``nll`` plus the negative log prior.
    lme : numpy.ndarray
        Each fit's Laplace approximation of the log model evidence, as in :class:`FitResult`.
    n_trials : numpy.ndarray
        Each participant's trials in the likelihood.
    converged : numpy.ndarray
        Whether each fit converged (``status`` 0).
    status : numpy.ndarray
        The engine's code of each fit: 0 converged, 1 iteration limit, 2 no estimate, 3 interrupted,
        4 evaluation limit, 5 no progress, 6 Hessian not positive definite, 7 cusp (see ``message``).
    message : list of str
        Each status in words.
    error : list of str
        ``message`` where a fit has no estimate, empty elsewhere.
    iterations : numpy.ndarray
        The optimiser's iterations per fit.
    evaluations : numpy.ndarray
        The optimiser's evaluations of the objective per fit.
    """

    model: str
    response_model: str
    params: dict[str, np.ndarray]
    se: dict[str, np.ndarray]
    free: tuple[str, ...]
    nll: np.ndarray
    neg_log_joint: np.ndarray
    lme: np.ndarray
    n_trials: np.ndarray
    status: np.ndarray
    iterations: np.ndarray
    evaluations: np.ndarray

    @property
    def response(self) -> str:
        """Deprecated: ``response_model``."""
        warn_renamed(type(self).__name__, ".response", ".response_model", stacklevel=3)
        return self.response_model

    def __len__(self) -> int:
        return int(self.nll.size)

    @property
    def converged(self) -> np.ndarray:
        return np.asarray(self.status == 0)

    @property
    def aic(self) -> np.ndarray:
        """2 nll + 2k, with the nll at the MAP estimate (see :class:`FitResult`)."""
        return np.asarray(aic_of(self.nll, len(self.free)))

    @property
    def bic(self) -> np.ndarray:
        """2 nll + k log n, with the nll at the MAP estimate and n the trials in the likelihood."""
        return np.asarray(bic_of(self.nll, len(self.free), self.n_trials))

    @property
    def message(self) -> list[str]:
        return [STATUS[code] for code in self.status]

    @property
    def error(self) -> list[str]:
        return [STATUS[code] if code == NO_ESTIMATE_CODE else "" for code in self.status]

    def to_frame(self) -> pandas.DataFrame:
        """One row per participant: the estimates, ``se_<name>`` per free parameter, the criteria,
        ``n_trials``, ``converged``, ``message`` and ``error``."""
        import pandas as pd

        columns: dict[str, Any] = dict(self.params)
        columns.update({f"se_{name}": values for name, values in self.se.items()})
        columns.update(
            nll=self.nll,
            neg_log_joint=self.neg_log_joint,
            lme=self.lme,
            aic=self.aic,
            bic=self.bic,
            n_trials=self.n_trials,
            converged=self.converged,
            message=self.message,
            error=self.error,
        )
        return pd.DataFrame(columns)

    def result(self, i: int, trajectory: Trajectories | None = None) -> FitResult:
        """Participant ``i``'s fit as a :class:`FitResult`; an optional parameter left out is None."""
        optional = ENGINE[self.model].optional
        params: dict[str, float | None] = {
            name: None if name in optional and math.isnan(values[i]) else float(values[i])
            for name, values in self.params.items()
        }
        return FitResult(
            model=self.model,
            response_model=self.response_model,
            params=params,
            se={name: float(v[i]) for name, v in self.se.items()},
            free=self.free,
            nll=float(self.nll[i]),
            neg_log_joint=float(self.neg_log_joint[i]),
            lme=float(self.lme[i]),
            n_trials=int(self.n_trials[i]),
            converged=bool(self.converged[i]),
            message=self.message[i],
            trajectory=trajectory,
        )
