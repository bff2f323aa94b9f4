"""The result of a group fit."""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import numpy as np

from velmora.problem import natural_of

if TYPE_CHECKING:
    import pandas  # type: ignore[import-untyped,unused-ignore]


@dataclass(eq=False)
class GroupFit:
    """The result of :func:`fit_group`.

    ``mean`` and ``cov``: the group distribution of the free parameters in their transformed space
    (log, logit or identity, as :func:`velmora.fit` optimises them), at the covariates' zero when
    there are covariates; ``natural_mean`` maps ``mean`` back (the group median of each parameter).
    ``coefficients``: one row per parameter and term (``intercept``, the group mean without
    covariates, and each covariate) with its estimate, standard error, t statistic and two-sided
    p-value, in the transformed space. ``participants``: one row per participant with the columns of
    :func:`velmora.fit_many` (estimates under the fitted group prior, their standard errors,
    ``nll``, ``lme``, ...; with ``method="sampling"`` the estimates are posterior means, ``nll``,
    ``aic`` and ``bic`` the likelihood at them and ``lme`` the sampled log marginal likelihood).
    ``log_likelihood``: the data's log-likelihood integrated over the group prior, by importance
    sampling from each participant's posterior approximation, and ``log_likelihood_se`` its Monte
    Carlo standard error; ``ibic`` the integrated BIC: -2 log_likelihood + k log(trials) for the k
    group parameters (``ibic_se`` its standard error). ``sd_se``: the standard error of each group
    SD. ``passes``, ``converged`` and ``history`` (the summed log joint per pass) describe the EM run;
    ``excluded`` maps each participant left out of the group estimate to why, ``unconverged`` each
    one kept whose own fit under the group prior did not converge or has no standard errors.
    ``message`` says why the run stopped, and names any group SD still heading for 0 when it stopped
    unconverged (a boundary that more passes only creep towards).
    """

    model: str
    response_model: str
    method: str
    covariance: str
    free: tuple[str, ...]
    transforms: tuple[str, ...]
    mean: pandas.Series
    cov: pandas.DataFrame
    coefficients: pandas.DataFrame
    participants: pandas.DataFrame = field(repr=False)
    log_likelihood: float
    ibic: float
    n_group_params: int
    n_trials: int
    passes: int
    converged: bool
    history: list[float] = field(repr=False)
    excluded: dict[Any, str] = field(default_factory=dict)
    log_likelihood_se: float = math.nan
    unconverged: dict[Any, str] = field(default_factory=dict)
    sd_se: pandas.Series | None = None
    message: str = ""

    @property
    def ibic_se(self) -> float:
        """The Monte Carlo standard error of ``ibic``: twice that of ``log_likelihood``."""
        return 2.0 * self.log_likelihood_se

    @property
    def natural_mean(self) -> pandas.Series:
        import pandas as pd

        return pd.Series(
            {name: float(natural_of(t, np.array([self.mean[name]]))[0]) for name, t in zip(self.free, self.transforms)}
        )

    @property
    def sd(self) -> pandas.Series:
        """The group standard deviation of each transformed parameter."""
        import pandas as pd

        return pd.Series(np.sqrt(np.diag(self.cov.to_numpy())), index=list(self.free))

    def to_frame(self) -> pandas.DataFrame:
        """The participants' table (as :func:`velmora.fit_many` returns), which :func:`velmora.compare` reads."""
        return self.participants

    def group_frame(self) -> pandas.DataFrame:
        """The group estimates as one table: the coefficients, then each parameter's group ``sd``."""
        import pandas as pd

        spread = pd.DataFrame(
            {
                "parameter": list(self.free),
                "term": "sd",
                "estimate": self.sd.to_numpy(),
                "se": math.nan if self.sd_se is None else self.sd_se.to_numpy(),
            }
        )
        return pd.concat([self.coefficients, spread], ignore_index=True)

    def summary(self) -> str:
        lines = [
            f"velmora fit_group: {self.model}, response {self.response_model}, {self.method} E-step, "
            f"{self.covariance} covariance",
            f"{len(self.participants) - len(self.excluded)} participants, {self.n_trials} trials; {self.passes} "
            f"passes, converged: {self.converged}" + (f" ({self.message})" if self.message else ""),
            f"{'parameter':<24}{'mean (t)':>12}{'sd (t)':>12}{'median':>12}",
        ]
        natural = self.natural_mean
        for name in self.free:
            lines.append(f"{name:<24}{self.mean[name]:12.4g}{self.sd[name]:12.4g}{natural[name]:12.4g}")
        if len(self.coefficients) > len(self.free):
            lines.append(self.coefficients.to_string(index=False, float_format=lambda x: f"{x:.4g}"))
        lines.append(
            f"integrated log-likelihood {self.log_likelihood:.4f} (Monte Carlo se "
            f"{self.log_likelihood_se:.2g})  iBIC {self.ibic:.4f}"
        )
        if self.unconverged:
            lines.append(
                f"not converged under the group prior: {len(self.unconverged)} participant(s), e.g. "
                f"{next(iter(self.unconverged.items()))}"
            )
        if self.excluded:
            lines.append(f"excluded: {len(self.excluded)} participant(s), e.g. {next(iter(self.excluded.items()))}")
        return "\n".join(lines)

    def __repr__(self) -> str:
        return self.summary()
