"""velmora: precision-weighted Bayesian inference and models of learning and self-motion.

The numerical work is done by the compiled module :mod:`velmora._core`; this package re-exports
its five functions and its exception classes, beside :func:`fit` and :func:`simulate`, which fit
the models to a participant's data and simulate participants on NumPy arrays.
"""

from collections.abc import Callable
from importlib.metadata import PackageNotFoundError, version
from typing import Any

from velmora import _core
from velmora._core import (
    DimensionMismatch,
    InvalidParameter,
    NumericalDivergence,
    SingularMatrix,
    VelmoraException,
    discounted_value,
    forward_simulate,
    hgf_run,
    kalman_run,
    td_learn_sequence,
)
from velmora.choices import payoffs
from velmora.export import regressors
from velmora.fitting import FitResult, fit
from velmora.group import GroupFit, fit_group
from velmora.option_plots import plot_option_choices
from velmora.belief_plots import plot_hgf_binary
from velmora.plotting import plot_choices
from velmora.power import Power, power
from velmora.predictive import PredictiveCheck, predictive_check
from velmora.recovery import ModelRecovery, Recovery, model_recovery, recovery
from velmora.simulation import Simulation, simulate
from velmora.study import compare, fit_many, simulate_many, to_inference_data

try:
    __version__ = version("velmora")
except PackageNotFoundError:  # imported from a source tree that was never installed
    __version__ = "0+unknown"

__all__ = [
    "VelmoraException",
    "InvalidParameter",
    "SingularMatrix",
    "NumericalDivergence",
    "DimensionMismatch",
    "kalman_run",
    "hgf_run",
    "td_learn_sequence",
    "discounted_value",
    "forward_simulate",
    "fit",
    "simulate",
    "FitResult",
    "Simulation",
    "fit_many",
    "simulate_many",
    "compare",
    "to_inference_data",
    "plot_choices",
    "plot_hgf_binary",
    "fit_group",
    "GroupFit",
    "payoffs",
    "regressors",
    "plot_option_choices",
    "recovery",
    "model_recovery",
    "power",
    "predictive_check",
    "Recovery",
    "ModelRecovery",
    "Power",
    "PredictiveCheck",
]


# The exception classes call their module "_core", a name that no import can find, so pickle cannot
# locate them by reference and an error raised in a worker process would not reach its parent.
# Each instance is therefore reduced to the class's name within velmora._core, its arguments and
# its attributes (notes included), which _restore_exception turns back into the same class. The
# reduction is the classes' own __reduce__ rather than a copyreg entry, since libraries that pickle
# tracebacks (tblib, which Dask installs) replace every exception class's copyreg entry with one
# that asks the instance's __reduce__ and would otherwise name the class by reference.
def _restore_exception(name: str, args: tuple[object, ...]) -> VelmoraException:
    cls = getattr(_core, name)
    if not (isinstance(cls, type) and issubclass(cls, VelmoraException)):
        raise TypeError(f"velmora._core has no exception class {name!r}")
    return cls(*args)


def _reduce_exception(
    error: VelmoraException,
) -> tuple[Callable[..., VelmoraException], tuple[str, tuple[Any, ...]], dict[str, Any] | None]:
    return _restore_exception, (type(error).__name__, error.args), error.__dict__ or None


for _cls in (VelmoraException, InvalidParameter, SingularMatrix, NumericalDivergence, DimensionMismatch):
    _cls.__reduce__ = _reduce_exception  # type: ignore[assignment,method-assign]
del _cls
