"""Command line of velmora: run one model over a column of numbers, fit, simulate and compare whole
studies, or tour all five models.

Each model subcommand reads its input sequence from a CSV file (standard input when the file is
omitted or "-"), takes the model's parameters as options named like the Python parameters, and
writes one CSV row per step. Numbers are written in their shortest round-trip form, so reading
the output back gives the very same doubles.

Exit status: 0 on success; 2 for a command line that cannot be parsed or asks for what cannot be
done (a parameter the model refuses, an output that cannot be written, two outputs in one file),
found before any work; 1 when the input cannot be read or the model rejects it, when no
participant could be fitted or a group fit did not converge; 130 after Ctrl-C.
"""

from __future__ import annotations

import argparse
import functools
import inspect
import re
import sys
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, NoReturn

import velmora
from velmora import csv_io, demo, plotting
from velmora.csv_io import CommandError, Row, UsageError, notice
from velmora.cli_args import SEED_HELP, number, seed
from velmora.cli_design import DESIGN_COMMANDS, add_design_commands
from velmora.cli_study import STUDY_COMMANDS, add_study_commands
from velmora.models import ENGINE

if TYPE_CHECKING:
    from matplotlib.figure import Figure


@dataclass(frozen=True)
class Command:
    function: Callable[..., Any]
    sequence: str  # the Python parameter that the input column feeds
    fields: tuple[str, ...]  # a row's, as the function returns it
    summary: str
    help: dict[str, str]
    plot: Callable[[Figure, list[float], list[Row]], None]
    panels: int = 1
    single: str | None = None  # help of an option giving one value instead of a column, if there is one

    @property
    def parameters(self) -> list[inspect.Parameter]:
        """The model's parameters other than the sequence; each becomes an option."""
        parameters = inspect.signature(self.function).parameters.values()
        return [parameter for parameter in parameters if parameter.name != self.sequence]


# What argparse would take for an option name ("-1e-3", "-inf") although it is a value.
_NEGATIVE_NUMBER = re.compile(r"-(?:[0-9]|\.[0-9]|inf|nan)", re.IGNORECASE)
_FLAGS = ("--help", "--version")


class _Parser(argparse.ArgumentParser):
    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self.value_options: set[str] = set()  # filled by build_parser with every option that takes a value

    def error(self, message: str) -> NoReturn:
        # One line, without the usage block: the message names the argument.
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")

    def attach_negative_values(self, argv: Sequence[str]) -> list[str]:
        """Spell "--option -1e-3" as "--option=-1e-3", which every argparse reads as a value."""
        result: list[str] = []
        tokens = iter(argv)
        for token in tokens:
            if token == "--":
                return [*result, token, *tokens]
            if self._takes_value(token):
                value = next(tokens, None)
                if value is not None and _NEGATIVE_NUMBER.match(value):
                    token = f"{token}={value}" if token.startswith("--") else token + value
                elif value is not None:
                    result.append(token)
                    token = value
            result.append(token)
        return result

    def _takes_value(self, token: str) -> bool:
        if not token.startswith("--"):
            return token in self.value_options
        # argparse accepts any unambiguous prefix of a long option.
        return (
            "=" not in token
            and any(option.startswith(token) for option in self.value_options)
            and not any(flag.startswith(token) for flag in _FLAGS)
        )


def _discounted_values(delay: list[float], reward: float, discount_factor: float) -> list[Row]:
    return [(d, velmora.discounted_value(reward, d, discount_factor)) for d in delay]


@functools.wraps(velmora.td_learn_sequence)  # so that its signature gives the options
def _td_rows(*args: Any, **kwargs: Any) -> list[Row]:
    return [(value,) for value in velmora.td_learn_sequence(*args, **kwargs)]


COMMANDS = {
    "kalman": Command(
        velmora.kalman_run,
        "observations",
        ENGINE["kalman"].list_fields,
        "1-D Kalman filter over a column of observations; writes mean,var per observation",
        {
            "initial_mean": "mean of the belief before the first observation",
            "initial_var": "variance of the belief before the first observation",
            "process_noise": "variance added to the belief before each observation (>= 0)",
            "obs_noise": "variance of an observation (>= 0)",
            "prior_precision_cap": "upper bound on the precision of each prediction (> 0; default: no cap)",
        },
        plotting.kalman,
    ),
    "hgf": Command(
        velmora.hgf_run,
        "observations",
        ENGINE["hgf"].list_fields,
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
        plotting.hgf,
        panels=3,
    ),
    "td": Command(
        _td_rows,
        "rewards",
        ENGINE["td"].list_fields,
        "temporal-difference learning of a value over a column of rewards; writes the value per reward",
        {
            "initial_value": "value estimate before the first reward",
            "learning_rate": "step size of each update, in [0, 1]",
            "discount_factor": "accepted for the interface; it does not change the values",
            "rpe_noise_std": "standard deviation of the noise on each reward-prediction error (>= 0; 0 for none)",
            "seed": SEED_HELP,
        },
        plotting.td,
    ),
    "discounted-value": Command(
        _discounted_values,
        "delay",
        ("delay", "value"),
        "exponentially discounted value of a reward after each delay of a column (or one --delay)",
        {
            "reward": "the undiscounted reward",
            "discount_factor": "factor applied per step of delay",
        },
        plotting.discount,
        single="one delay instead of a column of delays",
    ),
    "forward": Command(
        velmora.forward_simulate,
        "motor_command",
        ENGINE["forward"].list_fields,
        "forward model of self-motion driven by a column of motor commands",
        {
            "update_rate": "fraction of the mismatch by which the estimate moves each step, in [0, 1]",
            "injury_noise_std": "standard deviation of the noise on each sensed movement (>= 0; 0 for none)",
            "sensory_gain": "factor from motor command to sensed movement",
            "seed": SEED_HELP,
        },
        plotting.forward,
        panels=2,
    ),
}


# Commands renamed, by their old names: each old name still runs its command, with a notice, for
# one release. `discount` computed discounted values beside the choice model `--model discount`.
_RENAMED = {"discount": "discounted-value"}


def build_parser() -> _Parser:
    parser = _Parser(prog="velmora", description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"velmora {velmora.__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    commands.add_parser("demo", help="run every model on small built-in example data and print a summary")

    def option(*names: str, **options: Any) -> None:
        parser.value_options.update(sub.add_argument(*names, **options).option_strings)

    for name, command in COMMANDS.items():
        old = [former for former, new in _RENAMED.items() if new == name]
        sub = commands.add_parser(name, aliases=old, help=command.summary, description=command.summary)
        sub.add_argument(
            "input",
            nargs="?",
            default="-",
            metavar="FILE",
            help=f"CSV file of the {command.sequence} ('-' or none: standard input)",
        )
        option("--column", metavar="NAME", help="the column to read, named on the header line")
        if command.single:
            option("--" + command.sequence, type=number, help=command.single)
        # Options follow the Python signatures, so a parameter with a default is an optional option.
        for parameter in command.parameters:
            text = command.help[parameter.name]
            options: dict[str, Any] = {"type": seed if parameter.name == "seed" else number}
            if parameter.default is inspect.Parameter.empty:
                options["required"] = True
            else:
                options["default"] = parameter.default
                if parameter.default is not None:
                    text += " (default: %(default)s)"
            option(
                "--" + parameter.name.replace("_", "-"),
                dest=parameter.name,
                help=text,
                metavar="SEED" if parameter.name == "seed" else "X",
                **options,
            )
        option("--output", "-o", metavar="FILE", default="-", help="CSV file to write ('-' or none: standard output)")
        option(
            "--plot",
            metavar="FILE.png",
            help=f"also draw the trajectory into this image (needs matplotlib: {plotting.INSTALL_HINT})",
        )

    def option_on(target: argparse.ArgumentParser, *names: str, **options: Any) -> None:
        parser.value_options.update(target.add_argument(*names, **options).option_strings)

    add_study_commands(commands, option_on)
    add_design_commands(commands, option_on)
    return parser


def _check_parameters(command: Command, parameters: dict[str, Any]) -> None:
    """The model's own refusal of a parameter, met on one stand-in step before any input is read:
    a parameter is the command line's, so its refusal is a usage error."""
    try:
        command.function(**{command.sequence: [0.0]}, **parameters)
    except velmora.InvalidParameter as error:
        raise UsageError(str(error)) from None
    except velmora.VelmoraException:  # the stand-in step's own trouble: the real input decides
        pass


def run_over_column(command: Command, args: argparse.Namespace) -> None:
    """One model over the input column (or one value): its rows as CSV, and its picture with --plot."""
    csv_io.check_outputs([("--output", args.output), ("--plot", args.plot)])
    parameters = {parameter.name: getattr(args, parameter.name) for parameter in command.parameters}
    _check_parameters(command, parameters)
    figure = None
    if args.plot:  # checked first, so that a plot that cannot be made costs no work
        figure = plotting.new_figure(command.panels)
        kind = plotting.image_format(figure, args.plot)
    if command.single and getattr(args, command.sequence) is not None:
        if args.input != "-" or args.column is not None:
            raise CommandError(f"give either --{command.sequence} or an input file, not both")
        sequence = [getattr(args, command.sequence)]
    else:
        sequence = csv_io.read_column(args.input, args.column)
    rows = command.function(**{command.sequence: sequence}, **parameters)

    # The picture is drawn before anything is written, and then everything is written or nothing.
    table = csv_io.to_csv(command.fields, rows)
    files = []
    if figure is not None:
        command.plot(figure, sequence, rows)
        files.append((args.plot, plotting.render(figure, kind)))
    if args.output != "-":
        files.append((args.output, table))
    csv_io.write_files(files, standard_output=table if args.output == "-" else None)


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(parser.attach_negative_values(sys.argv[1:] if argv is None else argv))
    if args.command in _RENAMED:
        notice(
            f"velmora {args.command}: deprecated, use 'velmora {_RENAMED[args.command]}' "
            f"(the same command; the old name goes in the next release)"
        )
    try:
        if args.command == "demo":
            csv_io.write_stdout(f"{demo.summary()}\n".encode())
        elif args.command in STUDY_COMMANDS:
            STUDY_COMMANDS[args.command](args)
        elif args.command in DESIGN_COMMANDS:
            DESIGN_COMMANDS[args.command](args)
        else:
            run_over_column(COMMANDS[_RENAMED.get(args.command, args.command)], args)
    except UsageError as error:
        notice(f"velmora {args.command}: {error}")
        return 2
    except (CommandError, velmora.VelmoraException) as error:
        notice(f"velmora {args.command}: {error}")
        return 1
    except MemoryError as error:
        # Asked for more than the machine holds (--n-samples, a huge table): a line, not a traceback.
        notice(f"velmora {args.command}: out of memory{f' ({error})' if str(error) else ''}")
        return 1
    except BrokenPipeError:
        # The reader of our output went away (as `| head` does): stop quietly, as other tools do.
        return 1
    except KeyboardInterrupt:
        return 130
    return 0
