"""Command line of velmora: run one model over a column of numbers, or tour all five models.

Each model subcommand reads its input sequence from a CSV file (standard input when the file is
omitted or "-"), takes the model's parameters as options named like the Python parameters, and
writes one CSV row per step. Numbers are written in their shortest round-trip form, so reading
the output back gives the very same doubles.

Exit status: 0 on success, 1 when the input cannot be read or the model rejects it, 2 for a
command line that cannot be parsed.
"""

from __future__ import annotations

import argparse
import csv
import inspect
import io
import math
import os
import re
import sys
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import IO, TYPE_CHECKING, Any, NoReturn

import velmora
from velmora import demo

if TYPE_CHECKING:
    from matplotlib.figure import Figure

PLOT_INSTALL_HINT = "pip install 'velmora[plot]'"
SEED_LIMIT = 2**64


class CommandError(Exception):
    """A failure that ends the command with a one-line message and exit status 1."""


Row = tuple[float, ...]


@dataclass(frozen=True)
class Model:
    function: Callable[..., Any]
    sequence: str  # the Python parameter that the input column feeds
    fields: tuple[str, ...]
    summary: str
    help: dict[str, str]
    plot: Callable[[Figure, list[float], list[Row]], None]


class _Parser(argparse.ArgumentParser):
    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        # argparse takes "-1e-3" or "-inf" for an option name; no option of ours looks like a
        # number, so let every number through as a value.
        self._negative_number_matcher = re.compile(r"^-(\d|\.\d|inf|nan)", re.IGNORECASE)

    def error(self, message: str) -> NoReturn:
        # One line, without the usage block: the message names the argument.
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def _number(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None


def _seed(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not an integer") from None
    if not 0 <= value < SEED_LIMIT:
        raise argparse.ArgumentTypeError(f"{value} is outside 0 to 2**64-1")
    return value


# --- input -------------------------------------------------------------------------------------


def _is_number(text: str) -> bool:
    try:
        float(text)
    except ValueError:
        return False
    return True


def _parse_column(stream: IO[str], name: str, column: str | None) -> list[float]:
    reader = csv.reader(stream)
    rows = ((reader.line_num, cells) for cells in reader if any(cell.strip() for cell in cells))
    first = next(rows, None)
    if first is None:
        raise CommandError(f"{name} is empty: there are no numbers to read")
    line, cells = first
    pending: list[tuple[int, list[str]]] = []
    if column is None:
        if len(cells) != 1:
            raise CommandError(f"{name} has {len(cells)} columns on line {line}: choose one with --column NAME")
        index, label = 0, ""
        if _is_number(cells[0]):
            pending.append(first)
        else:
            label = f" ({cells[0].strip()})"
    else:
        header = [cell.strip() for cell in cells]
        if column not in header:
            raise CommandError(f"{name} has no column {column!r}; its first line reads: {','.join(header)}")
        index, label = header.index(column), f" ({column})"

    values: list[float] = []
    for line, cells in (*pending, *rows):
        if column is None and len(cells) != 1:
            raise CommandError(f"{name} line {line}: {len(cells)} cells where one column was expected")
        if index >= len(cells):
            raise CommandError(f"{name} line {line}: no cell in column {index + 1}{label}")
        try:
            values.append(float(cells[index]))
        except ValueError:
            where = f"{name} line {line}, column {index + 1}{label}"
            raise CommandError(f"{where}: {cells[index]!r} is not a number") from None
    if not values:
        raise CommandError(f"{name} holds a header line but no numbers")
    return values


def read_column(source: str, column: str | None) -> list[float]:
    """The numbers of one CSV column; `source` is a path or "-" for standard input."""
    name = "standard input" if source == "-" else source
    try:
        # utf-8-sig: spreadsheet programs often put a byte-order mark before the header.
        if source == "-":
            if sys.stdin.isatty():
                print("reading numbers from standard input (end with Ctrl-D)", file=sys.stderr)
            stream = io.TextIOWrapper(sys.stdin.buffer, encoding="utf-8-sig", newline="")
            return _parse_column(stream, name, column)
        with open(source, encoding="utf-8-sig", newline="") as stream:
            return _parse_column(stream, name, column)
    except OSError as error:
        raise CommandError(f"cannot read {name}: {error.strerror or error}") from None
    except UnicodeDecodeError:
        raise CommandError(f"cannot read {name}: it is not UTF-8 text") from None
    except csv.Error as error:
        raise CommandError(f"cannot read {name}: {error}") from None


# --- output ------------------------------------------------------------------------------------


def to_csv(fields: Sequence[str], rows: Iterable[Row]) -> str:
    buffer = io.StringIO()
    writer = csv.writer(buffer, lineterminator="\n")
    writer.writerow(fields)
    # repr gives the shortest text that reads back as the same double.
    writer.writerows([repr(x) for x in row] for row in rows)
    return buffer.getvalue()


def write_file(path: str, data: bytes) -> None:
    """Write all of `data` to `path` or nothing: a failed write leaves no partial file behind."""
    target = Path(path)
    temporary = target.with_name(f".{target.name}.{os.getpid()}.tmp")
    try:
        if target.exists() and not target.is_file():  # a device or a pipe cannot be replaced
            with open(target, "wb") as stream:
                stream.write(data)
            return
        try:
            with open(temporary, "xb") as stream:
                stream.write(data)
            os.replace(temporary, target)
        except BaseException:
            temporary.unlink(missing_ok=True)
            raise
    except OSError as error:
        raise CommandError(f"cannot write {path}: {error.strerror or error}") from None


# --- plots -------------------------------------------------------------------------------------


def _new_figure(panels: int) -> Figure:
    try:
        from matplotlib.figure import Figure
    except ImportError:
        raise CommandError(f"--plot needs matplotlib, which is not installed: {PLOT_INSTALL_HINT}") from None
    # A bare Figure draws without pyplot, so no display or GUI backend is ever involved.
    return Figure(figsize=(8, 2.2 + 2.2 * panels), layout="constrained")


def _plot_kalman(figure: Figure, observations: list[float], rows: list[Row]) -> None:
    steps = range(len(rows))
    mean = [m for m, _ in rows]
    sd = [math.sqrt(v) for _, v in rows]
    ax = figure.subplots()
    ax.fill_between(steps, [m - 2 * s for m, s in zip(mean, sd)], [m + 2 * s for m, s in zip(mean, sd)],
                    alpha=0.25, label="mean ± 2 sd (posterior)")
    ax.plot(steps, mean, label="posterior mean")
    ax.plot(steps, observations, "o", markersize=4, color="black", label="observation")
    ax.set(title="Kalman filter", xlabel="step", ylabel="value")
    ax.legend()


def _plot_hgf(figure: Figure, observations: list[float], rows: list[Row]) -> None:
    top, middle, bottom = figure.subplots(3, sharex=True)
    steps = [row[0] for row in rows]
    top.plot(steps, [row[1] for row in rows], label="prediction")
    top.plot(steps, observations, "o", markersize=4, color="black", label="observation")
    top.set(title="Hierarchical Gaussian filter", ylabel="value")
    top.legend()
    middle.plot(steps, [row[5] for row in rows], color="tab:green")
    middle.set(ylabel="learning rate")
    bottom.plot(steps, [row[6] for row in rows], color="tab:red")
    bottom.set(ylabel="volatility", xlabel="step")


def _plot_td(figure: Figure, rewards: list[float], rows: list[Row]) -> None:
    steps = range(len(rows))
    ax = figure.subplots()
    ax.plot(steps, rewards, "o", markersize=4, color="black", label="reward")
    ax.plot(steps, [value for (value,) in rows], label="value estimate")
    ax.set(title="Temporal-difference value learning", xlabel="trial", ylabel="value")
    ax.legend()


def _plot_forward(figure: Figure, commands: list[float], rows: list[Row]) -> None:
    top, bottom = figure.subplots(2, sharex=True)
    steps = [row[0] for row in rows]
    top.plot(steps, [row[1] for row in rows], label="predicted")
    top.plot(steps, [row[2] for row in rows], label="actual (sensed)")
    top.set(title="Forward model of self-motion", ylabel="movement")
    top.legend()
    bottom.bar(steps, [row[3] for row in rows], color="tab:red")
    bottom.axhline(0.0, color="black", linewidth=0.8)
    bottom.set(ylabel="mismatch", xlabel="step")


def _plot_discount(figure: Figure, delays: list[float], rows: list[Row]) -> None:
    ordered = sorted(rows)
    ax = figure.subplots()
    ax.plot([d for d, _ in ordered], [v for _, v in ordered], "o-")
    ax.set(title="Exponential discounting", xlabel="delay (steps)", ylabel="discounted value")


def _check_plot_format(figure: Figure, path: str) -> str:
    kind = Path(path).suffix.lstrip(".").lower() or "png"
    supported = figure.canvas.get_supported_filetypes()
    if kind not in supported:
        raise CommandError(f"cannot draw a .{kind} file; --plot writes {', '.join('.' + k for k in sorted(supported))}")
    return kind


# --- the models --------------------------------------------------------------------------------


def _discount_rows(delay: list[float], reward: float, discount_factor: float) -> list[Row]:
    return [(d, velmora.discounted_value(reward, d, discount_factor)) for d in delay]


def _td_rows(**arguments: Any) -> list[Row]:
    return [(value,) for value in velmora.td_learn_sequence(**arguments)]


_SEED_HELP = "seed of the noise generator, an integer from 0 to 2**64-1; equal seeds give equal noise"

MODELS = {
    "kalman": Model(
        velmora.kalman_run, "observations", ("mean", "var"),
        "1-D Kalman filter over a column of observations; writes mean,var per observation",
        {
            "initial_mean": "mean of the belief before the first observation",
            "initial_var": "variance of the belief before the first observation",
            "process_noise": "variance added to the belief before each observation (>= 0)",
            "obs_noise": "variance of an observation (>= 0)",
            "prior_precision_cap": "upper bound on the precision of each prediction (> 0; default: no cap)",
        },
        _plot_kalman,
    ),
    "hgf": Model(
        velmora.hgf_run, "observations",
        ("t", "prediction", "observation", "precision", "prediction_error", "learning_rate", "volatility"),
        "two-level hierarchical Gaussian filter over a column of observations",
        {
            "obs_noise": "variance of an observation",
            "precision_flexibility": "how much the volatility estimate adds to the process variance (>= 0)",
            "base_process_noise": "process variance added at every step whatever the volatility",
            "mu1": "initial estimate of the hidden quantity (level 1 mean)",
            "var1": "initial variance of that estimate (level 1)",
            "mu2": "initial volatility estimate (level 2 mean)",
            "var2": "initial level 2 variance; accepted for the interface, it does not change the results",
        },
        _plot_hgf,
    ),
    "td": Model(
        _td_rows, "rewards", ("value",),
        "temporal-difference learning of a value over a column of rewards; writes the value per reward",
        {
            "initial_value": "value estimate before the first reward",
            "learning_rate": "step size of each update, in [0, 1]",
            "discount_factor": "accepted for the interface; it does not change the values",
            "rpe_noise_std": "standard deviation of the noise on each reward-prediction error (>= 0; 0 for none)",
            "seed": _SEED_HELP,
        },
        _plot_td,
    ),
    "discount": Model(
        _discount_rows, "delay", ("delay", "value"),
        "exponentially discounted value of a reward after each delay of a column (or one --delay)",
        {
            "reward": "the undiscounted reward",
            "discount_factor": "factor applied per step of delay",
        },
        _plot_discount,
    ),
    "forward": Model(
        velmora.forward_simulate, "motor_command", ("t", "predicted", "actual", "mismatch"),
        "forward model of self-motion driven by a column of motor commands",
        {
            "update_rate": "fraction of the mismatch by which the estimate moves each step, in [0, 1]",
            "injury_noise_std": "standard deviation of the noise on each sensed movement (>= 0; 0 for none)",
            "sensory_gain": "factor from motor command to sensed movement",
            "seed": _SEED_HELP,
        },
        _plot_forward,
    ),
}

# Options follow the Python signatures, so a parameter with a default is an optional option.
_SIGNATURES = {
    "kalman": inspect.signature(velmora.kalman_run),
    "hgf": inspect.signature(velmora.hgf_run),
    "td": inspect.signature(velmora.td_learn_sequence),
    "discount": inspect.signature(_discount_rows),
    "forward": inspect.signature(velmora.forward_simulate),
}


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="velmora", description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    commands.add_parser("demo", help="run every model on small built-in example data and print a summary")
    for command, model in MODELS.items():
        sub = commands.add_parser(command, help=model.summary, description=model.summary)
        sub.add_argument("input", nargs="?", default="-", metavar="FILE",
                         help=f"CSV file of the {model.sequence} ('-' or none: standard input)")
        sub.add_argument("--column", metavar="NAME", help="the column to read, named on the header line")
        if command == "discount":
            sub.add_argument("--delay", type=_number, help="one delay instead of a column of delays")
        for parameter in _SIGNATURES[command].parameters.values():
            if parameter.name == model.sequence:
                continue
            text = model.help[parameter.name]
            options: dict[str, Any] = {"type": _seed if parameter.name == "seed" else _number}
            if parameter.default is inspect.Parameter.empty:
                options["required"] = True
            else:
                options["default"] = parameter.default
                if parameter.default is not None:
                    text += " (default: %(default)s)"
            sub.add_argument("--" + parameter.name.replace("_", "-"), dest=parameter.name, help=text,
                             metavar="SEED" if parameter.name == "seed" else "X", **options)
        sub.add_argument("--output", "-o", metavar="FILE", default="-",
                         help="CSV file to write ('-' or none: standard output)")
        sub.add_argument("--plot", metavar="FILE.png",
                         help=f"also draw the trajectory into this image (needs matplotlib: {PLOT_INSTALL_HINT})")
    return parser


def run_model(command: str, args: argparse.Namespace) -> None:
    model = MODELS[command]
    figure = None
    if args.plot:  # checked first, so that a plot that cannot be made costs no work
        figure = _new_figure({"hgf": 3, "forward": 2}.get(command, 1))
        plot_format = _check_plot_format(figure, args.plot)
    if command == "discount" and args.delay is not None:
        if args.input != "-" or args.column is not None:
            raise CommandError("give either --delay or a file of delays, not both")
        sequence = [args.delay]
    else:
        sequence = read_column(args.input, args.column)
    parameters = {name: getattr(args, name) for name in _SIGNATURES[command].parameters if name != model.sequence}
    rows = model.function(**{model.sequence: sequence}, **parameters)

    # Everything is rendered before anything is written, so a failure leaves no file behind.
    table = to_csv(model.fields, rows).encode()
    image = io.BytesIO()
    if figure is not None:
        model.plot(figure, sequence, rows)
        figure.savefig(image, format=plot_format, dpi=100)
    if args.output == "-":
        sys.stdout.buffer.write(table)
        sys.stdout.flush()
    else:
        write_file(args.output, table)
    if figure is not None:
        write_file(args.plot, image.getvalue())


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        if args.command == "demo":
            print(demo.summary())
        else:
            run_model(args.command, args)
    except (CommandError, velmora.VelmoraException) as error:
        print(f"velmora {args.command}: {error}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader of our output went away (as `| head` does): stop quietly, as other tools do.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        return 130
    return 0
