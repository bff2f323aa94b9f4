"""The command line, run as a user runs it: in a separate process, on small CSV files."""

import csv
import importlib.metadata
import importlib.util
import io
import os
import shutil
import subprocess
import sys

import pytest

import velmora

# Values whose text form is easy to get wrong: a rounding artefact, a subnormal, a third.
INPUT = [0.1 + 0.2, -2.5, 5e-324, 1 / 3, 3.0, 2.9]

MODELS = {  # command: (options, the same computation in Python, CSV header)
    "kalman": (
        "--initial-mean -1e-3 --initial-var 1 --process-noise 0.05 --obs-noise 0.25 --prior-precision-cap 8",
        lambda xs: velmora.kalman_run(-1e-3, 1.0, xs, 0.05, 0.25, 8.0),
        "mean,var",
    ),
    "hgf": (
        "--obs-noise 0.25 --precision-flexibility 1 --mu1 0.5",
        lambda xs: velmora.hgf_run(xs, 0.25, 1.0, mu1=0.5),
        "t,prediction,observation,precision,prediction_error,learning_rate,volatility",
    ),
    "td": (
        "--initial-value 0 --learning-rate 0.3 --discount-factor 0.9 --rpe-noise-std 0.1 --seed 18446744073709551615",
        lambda xs: [(v,) for v in velmora.td_learn_sequence(0.0, xs, 0.3, 0.9, 0.1, 2**64 - 1)],
        "value",
    ),
    "discounted-value": (
        "--reward 10 --discount-factor 0.9",
        lambda xs: [(d, velmora.discounted_value(10.0, d, 0.9)) for d in xs],
        "delay,value",
    ),
    "forward": (
        "--update-rate 0.5 --injury-noise-std 0.05 --sensory-gain 2 --seed 3",
        lambda xs: velmora.forward_simulate(xs, 0.5, 0.05, 2.0, 3),
        "t,predicted,actual,mismatch",
    ),
}
K = MODELS["kalman"][0]
HAS_MATPLOTLIB = importlib.util.find_spec("matplotlib") is not None
CONSOLE_SCRIPT = shutil.which("velmora", path=os.path.dirname(sys.executable))


def run(*args, stdin="", cwd=None, launcher=(sys.executable, "-m", "velmora")):
    return subprocess.run([*launcher, *args], input=stdin, capture_output=True, text=True, cwd=cwd, timeout=300)


def column_csv(values):
    return "".join(f"{line}\n" for line in ["x", *map(repr, values)])


def parse(text):
    header, *rows = list(csv.reader(io.StringIO(text)))
    return ",".join(header), [tuple(float(x) for x in row) for row in rows]


@pytest.mark.parametrize("command", MODELS)
def test_each_model_writes_its_fields_every_bit_and_its_plot(command, tmp_path, assert_same):
    options, compute, header = MODELS[command]
    (tmp_path / "in.csv").write_text(column_csv(INPUT))
    plot = ["--plot", "plot.png"] if HAS_MATPLOTLIB else []
    result = run(command, "in.csv", *options.split(), *plot, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert_same(parse(result.stdout), (header, list(map(tuple, compute(INPUT)))))
    assert not plot or (tmp_path / "plot.png").read_bytes().startswith(b"\x89PNG\r\n\x1a\n")


@pytest.mark.parametrize(
    "args, text",
    [
        ([], "".join(f"{x!r}\n" for x in INPUT)),
        (["-"], column_csv(INPUT)),
        (["in.csv", "-o", "/dev/stdout"], "\ufeffobs\r\n" + "".join(f"{x!r}\r\n" for x in INPUT) + "\r\n"),
        (["in.csv", "--column", "obs"], "id,obs,note\n" + "".join(f"{i},{x!r},a b\n" for i, x in enumerate(INPUT))),
    ],
    ids=["stdin-without-header", "stdin-dash-with-header", "byte-order-mark-crlf-blank-line-to-device", "column"],
)
def test_input_forms_give_the_same_rows(args, text, tmp_path):
    # The text is both in in.csv and on standard input; the arguments say which is read.
    (tmp_path / "in.csv").write_text(text, newline="")
    result = run("kalman", *args, *K.split(), stdin=text, cwd=tmp_path)
    assert (result.returncode, parse(result.stdout)[1]) == (0, MODELS["kalman"][1](INPUT)), result.stderr


@pytest.mark.parametrize(
    "delay",
    [
        ["--delay", "-2.5"],
        ["--delay", "-1E-3"],
        ["--del", "-Infinity"],
        ["--delay=-.5"],
        ["--delay", "-nan"],
        ["--delay", "1.e+3"],
    ],
)
def test_negative_and_special_option_values(delay, assert_same):
    result = run("discounted-value", "--reward", "-10", "--discount-factor", "0.9", *delay)
    assert result.returncode == 0, result.stderr
    d = float(delay[-1].split("=")[-1])
    assert_same(parse(result.stdout), ("delay,value", [(d, velmora.discounted_value(-10.0, d, 0.9))]))


@pytest.mark.parametrize("name", ["data.csv", "link.csv"])
def test_rewritten_output_keeps_its_mode_and_its_symlink(name, tmp_path):
    target = tmp_path / "data.csv"
    target.touch(mode=0o600)
    (tmp_path / "link.csv").symlink_to(target)
    result = run(*"discounted-value --reward 1 --discount-factor 0.5 --delay 3 -o".split(), name, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert parse(target.read_text())[1] == [(3.0, velmora.discounted_value(1.0, 3.0, 0.5))]
    assert (target.stat().st_mode & 0o777, sorted(os.listdir(tmp_path)), (tmp_path / "link.csv").is_symlink()) == (
        0o600,
        ["data.csv", "link.csv"],
        True,
    )


def test_plot_without_matplotlib_says_how_to_install_it(tmp_path):
    # Hiding matplotlib from the import system makes this run as if it were not installed.
    code = "import sys; sys.modules['matplotlib'] = None; from velmora.cli import main; sys.exit(main(sys.argv[1:]))"
    result = run(
        "kalman",
        *K.split(),
        "--plot",
        "p.png",
        "-o",
        "out.csv",
        stdin="1\n",
        cwd=tmp_path,
        launcher=(sys.executable, "-c", code),
    )
    assert result.returncode == 1 and list(tmp_path.iterdir()) == []
    assert "pip install 'velmora[plot]'" in result.stderr and "Traceback" not in result.stderr


NEEDS_MATPLOTLIB = pytest.mark.skipif(not HAS_MATPLOTLIB, reason="matplotlib is not installed")


@pytest.mark.parametrize(
    "args, content, status, message",
    [
        (f"kalman {K} --process-noise abc", "1\n", 2, "argument --process-noise: 'abc' is not a number"),
        ("kalman --initial-mean 0 --initial-var 1 --process-noise 0", "1\n", 2, "required: --obs-noise"),
        (
            "td --initial-value 0 --learning-rate 0.3 --discount-factor 0.9 --rpe-noise-std 0 --seed -1",
            "1\n",
            2,
            "argument --seed: -1 is outside 0 to 2**64-1",
        ),
        (f"kalman {K} missing.csv", None, 1, "cannot read missing.csv: No such file or directory"),
        (f"kalman {K}", b"obs\n\xff\n", 1, "cannot read in.csv: it is not UTF-8 text"),
        (f"kalman {K}", "obs\n1.5\n\n2,5\n", 1, "in.csv line 4: 2 cells where one column was expected"),
        (f"kalman {K}", "obs\n1.5\n1_000\n", 1, "in.csv line 3, column 1 (obs): '1_000' is not a number"),
        (f"kalman {K} --column b", "a,b\n1, 2\n3,\n", 1, "in.csv line 2, column 2 (b): ' 2' is not a number"),
        (f"kalman {K} --column c", "a,b\n1,2\n", 1, "in.csv has no column 'c'"),
        (f"kalman {K}", "a,b\n1,2\n", 1, "in.csv has 2 columns on line 1: choose one with --column NAME"),
        (f"kalman {K}", "", 1, "in.csv is empty"),
        (f"kalman {K}", "obs\n\n", 1, "in.csv holds a header line but no numbers"),
        (f"kalman {K} --process-noise -1", "1\n", 2, "invalid parameter 'process_noise': -1 (must be finite"),
        (
            "forward --update-rate 0.5 --injury-noise-std 0 --sensory-gain 1 --seed 0",
            "1\ninf\n",
            1,
            "numerical divergence in forward_model::simulate estimate",
        ),
        ("discounted-value --reward 1 --discount-factor 0.5 --delay 1", "1\n", 1, "either --delay or an input file"),
        (f"kalman {K} -o no/such/out.csv", "1\n", 2, "cannot write no/such/out.csv: No such file or directory"),
        (f"kalman {K} -o read-only.csv", "1\n", 2, "cannot write read-only.csv: Permission denied"),
        ("fit --model kalman --n-starts 0", "1\n", 2, "argument --n-starts: 0 is not a positive integer"),
        ("fit-group --model kalman --n-samples 1", "1\n", 2, "argument --n-samples: 1 is not an integer of at least 2"),
        ("fit --model kalman --fixed bogus=1", "1\n", 2, "velmora fit: model 'kalman' has no parameter 'bogus'"),
        ("compare in.csv", "1\n", 2, "velmora compare: in.csv is given twice"),
        ("compare --names a out.csv", "1\n", 2, "velmora compare: --names gives 1 name for 2 files"),
        ("compare", "1\n", 2, "velmora compare: give the fits of at least two models"),
        (f"kalman {K} --plot -", "1\n", 2, "--plot needs a file name: standard output carries the table"),
        (
            "forward --update-rate 2 --injury-noise-std 0 --sensory-gain 1 --seed 0",
            "1\n",
            2,
            "invalid parameter 'update_rate'",
        ),
        (
            "fit --model kalman -o no/such/fits.csv",
            "subject,input,response\na,1,1\n",
            2,
            "cannot write no/such/fits.csv: No such file or directory (--output)",
        ),
        ("fit --model kalman --fixed obs_noise=1 --fixed obs_noise=2", "1\n", 2, "--fixed gives 'obs_noise' more than"),
        ("fit --model kalman --prior obs_noise=0,1 --prior obs_noise=1,1", "1\n", 2, "--prior gives 'obs_noise' more"),
        ("fit --model kalman --prior obs_noise=1", "1\n", 2, "'obs_noise=1' is not NAME=MEAN,VARIANCE"),
        ("fit --model kalman --prior obs_noise=0,1e-320", "1\n", 2, "a variance of 1e-320 has no finite precision"),
        ("fit --model kalman --subject-column lme", "1\n", 2, "--subject-column 'lme' is the name of a column"),
        ("fit --model hgf --subject-column se_zeta", "1\n", 2, "--subject-column 'se_zeta' is the name of a column"),
        ("fit --model kalman --no-responses --subject-column nll", "1\n", 2, "'nll' is the name of a column"),
        ("fit-group --model kalman --subject-column converged", "1\n", 2, "'converged' is the name of a column"),
        ("fit-group --model kalman --group no/g.csv", "1\n", 2, "cannot write no/g.csv: No such file or directory"),
        ("fit-group --model kalman --group dir", "1\n", 2, "cannot write dir: Is a directory (--group)"),
        ("fit-group --model kalman --group out.csv", "1\n", 2, "--group out.csv names the same file as --output"),
        (
            "simulate --model kalman --params in.csv --inputs in.csv --subject-column trial",
            None,
            2,
            "--subject-column 'trial' is the name of another column",
        ),
        ("fit --model kalman", "subject,input,response,input\na,1,1,2\n", 2, "in.csv has 2 columns named 'input'"),
        (f"kalman {K} --plot dir/../out.csv", "1\n", 2, "--plot dir/../out.csv names the same file as --output"),
        pytest.param(f"kalman {K} --plot p.xyz", "1\n", 2, "cannot draw a .xyz file", marks=NEEDS_MATPLOTLIB),
        pytest.param(f"kalman {K} --plot dir", "1\n", 2, "cannot write dir: Is a directory", marks=NEEDS_MATPLOTLIB),
        pytest.param(f"kalman {K} --plot no/p.png", "1\n", 2, "cannot write no/p.png", marks=NEEDS_MATPLOTLIB),
    ],
)
def test_errors_end_in_one_line_and_leave_the_files_alone(args, content, status, message, tmp_path):
    command, *args = args.split()
    (tmp_path / "dir").mkdir()
    (tmp_path / "out.csv").write_text("old\n")
    (tmp_path / "read-only.csv").write_text("old\n")
    (tmp_path / "read-only.csv").chmod(0o444)  # refused even to root, whom a shell would let write it
    if content is not None:
        (tmp_path / "in.csv").write_bytes(content if isinstance(content, bytes) else content.encode())
        args.append("in.csv")
    before = sorted(tmp_path.rglob("*"))
    result = run(command, "-o", "out.csv", *args, cwd=tmp_path)  # a later -o wins
    assert (result.returncode, result.stdout, (tmp_path / "out.csv").read_text()) == (status, "", "old\n")
    assert (tmp_path / "read-only.csv").read_text() == "old\n"
    assert sorted(tmp_path.rglob("*")) == before
    assert result.stderr.count("\n") == 1 and message in result.stderr, result.stderr


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs a POSIX shell and /dev/full")
@pytest.mark.parametrize(
    "command, redirect, message",
    [
        (f"kalman {K}", "<&-", "cannot read standard input: it is closed"),
        (f"kalman {K} in.csv", ">&-", "cannot write standard output: it is closed"),
        ("demo", ">&-", "cannot write standard output: it is closed"),
        pytest.param(
            f"kalman {K} in.csv --plot p.png",
            ">/dev/full",
            "cannot write standard output: No space left on device",
            marks=NEEDS_MATPLOTLIB,
        ),
        ("demo", ">/dev/full", "cannot write standard output: No space left on device"),
        (f"kalman {K}", "</dev/zero", "standard input line 1 is longer than 1048576 characters"),
    ],
)
def test_closed_full_or_endless_standard_streams_end_in_one_line(command, redirect, message, tmp_path):
    (tmp_path / "in.csv").write_text("1\n")
    result = subprocess.run(
        f'"{sys.executable}" -m velmora {command} {redirect}',
        shell=True,
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
    )
    # The whole of standard error: no traceback, not even one at exit from flushing standard output;
    # and no picture either.
    expected = (1, f"velmora {command.split()[0]}: {message}\n", ["in.csv"])
    assert (result.returncode, result.stderr, os.listdir(tmp_path)) == expected


@pytest.mark.parametrize(
    "launcher", [(sys.executable, "-m", "velmora"), (CONSOLE_SCRIPT,)], ids=["python-m", "console-script"]
)
def test_demo_runs_every_model_and_version_names_the_release(launcher):
    if launcher == (None,):
        pytest.skip("the velmora console script is not installed beside this Python")
    result = run("demo", launcher=launcher)
    assert result.returncode == 0 and all(
        name in result.stdout for name in velmora._core.__all__ if name[0].islower()
    ), result.stderr + result.stdout
    assert run("--version", launcher=launcher).stdout == f"velmora {importlib.metadata.version('velmora')}\n"
