"""velmora: precision-weighted Bayesian inference and models of learning and self-motion.

The numerical work is done by the compiled module :mod:`velmora._core`; this package re-exports
its five functions and its exception classes.
"""

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
]
