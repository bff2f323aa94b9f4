"""The command line's design commands: parameter recovery, model recovery and power, each writing its
table as CSV and, with --plot, its picture. :mod:`velmora.cli` adds them to its parser and runs them."""

from __future__ import annotations

import argparse
from collections.abc import Callable
from typing import Any

from velmora import csv_io, plotting
from velmora.cli_args import assignment, by_name, count, seed
from velmora.csv_io import UsageError
from velmora.models import ENGINE, FITTED

_DESIGN_MODELS = tuple(name for name in FITTED if ENGINE[name].fits_responses)
_RESPONSE_HELP = (
    "response model of the simulations and fits: gaussian, unit_square, logistic or softmax (default: the model's)"
)


def _counts(text: str) -> list[int]:
    try:
        return [count(part.strip()) for part in text.split(",")]
    except argparse.ArgumentTypeError as error:
        raise argparse.ArgumentTypeError(f"{text!r} is not a comma-separated list of positive integers ({error})")


def _design_options(sub: argparse.ArgumentParser, option: Callable[..., None], models: bool) -> None:
    if models:
        option(
            sub,
            "--models",
            required=True,
            metavar="A,B,...",
            help=f"the models to simulate and fit, at least two of {', '.join(_DESIGN_MODELS)}",
        )
    else:
        option(sub, "--model", required=True, choices=_DESIGN_MODELS, help="the model to simulate and fit")
    option(
        sub,
        "--inputs",
        required=True,
        metavar="FILE",
        help="CSV: the design every simulated participant sees, one row per trial (one column, the "
        "choice models' four input columns by name, or for a model that chooses among options what each "
        "option would pay, one column per option)",
    )
    option(sub, "--column", metavar="NAME", help="the column of --inputs to read (one-input models)")
    option(sub, "--response-model", dest="response", metavar="KIND", help=_RESPONSE_HELP)
    option(sub, "--seed", type=seed, default=0, metavar="SEED", help="seed of the truths, simulations and fits")
    option(sub, "--output", "-o", metavar="FILE", default="-", help="CSV file to write ('-' or none: standard output)")
    option(
        sub,
        "--plot",
        metavar="FILE.png",
        help=f"also draw the result's picture into this image (needs matplotlib: {plotting.INSTALL_HINT})",
    )
    option(sub, "--jobs", "-j", type=count, metavar="N", help="threads to fit on (default: every core)")
    sub.add_argument("--no-progress", action="store_true", help="no progress bar on standard error")


def add_design_commands(commands: Any, option: Callable[..., None]) -> None:
    sub = commands.add_parser(
        "recovery",
        help="parameter recovery: simulate participants with known parameters on a design, fit them",
        description="Simulate participants with known parameters (drawn over the default priors' central "
        "range) on a design, fit each and compare; writes one row per parameter: r, bias and "
        "RMSE in the transformed space, 95 %% coverage, shares converged and with a finite SE.",
    )
    _design_options(sub, option, models=False)
    option(sub, "--n", type=count, default=200, metavar="N", help="participants to simulate (default: %(default)s)")
    option(sub, "--raw", metavar="FILE", help="also write the truth and estimate of every participant here")

    sub = commands.add_parser(
        "model-recovery",
        help="model recovery: simulate under each model, fit every model, count the winners",
        description="Simulate participants under each model on a design and fit every model to each; "
        "writes the confusion matrix (rows: generating model) by best log evidence and by "
        "random-effects model selection.",
    )
    _design_options(sub, option, models=True)
    option(sub, "--n", type=count, default=100, metavar="N", help="participants per model (default: %(default)s)")

    sub = commands.add_parser(
        "power",
        help="power: how often a group difference is detected, per sample size",
        description="Simulate studies of two equal groups differing in one parameter by a number of group "
        "SDs (transformed scale), fit each and count detections; writes one row per sample size: "
        "detection rate with its 95 %% interval, coverage of the true difference, mean estimate and SE.",
    )
    _design_options(sub, option, models=False)
    option(
        sub,
        "--effect",
        required=True,
        type=assignment,
        metavar="NAME=SD",
        help="the parameter that differs and by how many group SDs",
    )
    option(
        sub,
        "--n-participants",
        type=_counts,
        default=[20, 40, 60, 80, 100],
        metavar="N,N,...",
        help="participants per study (default: 20,40,60,80,100)",
    )
    option(sub, "--n-studies", type=count, default=100, metavar="N", help="studies per size (default: %(default)s)")
    option(
        sub,
        "--method",
        choices=("group", "two-stage"),
        default="group",
        help="fit each study by fit_group with the group as covariate, or separately with a t test "
        "(default: %(default)s)",
    )


def _design_inputs(args: argparse.Namespace, model: str) -> Any:
    import numpy as np

    from velmora.tables import input_columns

    columns = input_columns(model, None)
    if ENGINE[model].chooses:  # a closed loop: what each option would pay, one column per option, in order
        name, header, rows = csv_io.read_table(args.inputs)
        return np.column_stack([csv_io.table_column(name, header, rows, c, missing=True) for c in header])
    if len(columns) == 1:
        return np.array(csv_io.read_column(args.inputs, args.column))
    name, header, rows = csv_io.read_table(args.inputs)
    return np.column_stack([csv_io.table_column(name, header, rows, c) for c in columns])


def _finish(frame: Any, result: Any, args: argparse.Namespace, also: list[tuple[str, bytes]]) -> None:
    from velmora.cli_study import _write_frame

    if args.plot:  # each picture sizes its own figure
        figure = result.plot()
        also.append((args.plot, plotting.render(figure, plotting.image_format(figure, args.plot))))
    _write_frame(frame, args.output, also)


def _checked(args: argparse.Namespace, models: list[str]) -> None:
    csv_io.check_outputs([("--output", args.output), ("--plot", args.plot), ("--raw", getattr(args, "raw", None))])
    unknown = [m for m in models if m not in _DESIGN_MODELS]
    if unknown:
        raise UsageError(f"{unknown[0]!r} is not a model fitted to responses; choose from {', '.join(_DESIGN_MODELS)}")
    if args.plot:  # checked first, so that a plot that cannot be made costs no work
        plotting.image_format(plotting.new_figure(0), args.plot)


def _call(function: Callable[..., Any], *args: Any, **kwargs: Any) -> Any:
    """A library call whose argument errors are the command line's."""
    try:
        return function(*args, **kwargs)
    except (TypeError, ValueError) as error:
        raise UsageError(str(error)) from None


def run_recovery(args: argparse.Namespace) -> None:
    from velmora.recovery import recovery

    _checked(args, [args.model])
    result = _call(
        recovery,
        args.model,
        _design_inputs(args, args.model),
        n=args.n,
        response_model=args.response,
        seed=args.seed,
        threads=args.jobs,
        progress=False if args.no_progress else None,
    )
    also = []
    if args.raw:
        raw = result.raw
        also.append((args.raw, csv_io.table_to_csv(list(raw.columns), raw.itertuples(index=False, name=None))))
    _finish(result.table, result, args, also)


def run_model_recovery(args: argparse.Namespace) -> None:
    from velmora.recovery import model_recovery

    models = [m.strip() for m in args.models.split(",")]
    _checked(args, models)
    result = _call(
        model_recovery,
        models,
        _design_inputs(args, models[0]),
        n=args.n,
        response_model=args.response,
        seed=args.seed,
        threads=args.jobs,
        progress=False if args.no_progress else None,
    )
    confusion = result.confusion.reset_index().assign(measure="best_evidence")
    selection = result.selection.reset_index().assign(measure="exceedance")
    import pandas as pd  # type: ignore[import-untyped,unused-ignore]

    table = pd.concat([confusion, selection], ignore_index=True)
    _finish(table[["measure", "generating", *models]], result, args, [])


def run_power(args: argparse.Namespace) -> None:
    from velmora.power import power

    _checked(args, [args.model])
    name, size = args.effect
    result = _call(
        power,
        args.model,
        _design_inputs(args, args.model),
        effect=by_name("--effect", [(name, size)]),
        n_participants=args.n_participants,
        n_studies=args.n_studies,
        method=args.method,
        response_model=args.response,
        seed=args.seed,
        threads=args.jobs,
        progress=False if args.no_progress else None,
    )
    _finish(result.table, result, args, [])


DESIGN_COMMANDS = {"recovery": run_recovery, "model-recovery": run_model_recovery, "power": run_power}
