"""velmora fit, simulate and compare on CSV files."""

import io

import numpy as np
import pandas as pd
import pytest

from velmora import cli
from velmora.study import SerialExecutor, compare, fit_many


def velmora(*args, capsys):
    return cli.main([str(a) for a in args]), *capsys.readouterr()


@pytest.fixture
def study(tmp_path, capsys):
    (tmp_path / "params.csv").write_text("subject,obs_noise,precision_flexibility,zeta\n"
                                         "s1,0.5,1,0.2\ns2,1.0,2,0.1\ns3,2.0,0.5,0.3\ns4,0.8,1,0.2\n")
    (tmp_path / "inputs.csv").write_text("x\n" + "".join(f"{float(v)!r}\n" for v in np.sin(np.arange(30) / 3.0)))
    status, _, err = velmora("simulate", "--model", "hgf", "--params", tmp_path / "params.csv", "--inputs",
                             tmp_path / "inputs.csv", "--seed", 4, "--output", tmp_path / "study.csv", capsys=capsys)
    assert status == 0, err
    return tmp_path / "study.csv"


def test_simulate_fit_compare_round_trip_every_bit(study, tmp_path, capsys):
    data = pd.read_csv(study, dtype={"subject": str})
    assert list(data.columns) == ["subject", "trial", "input", "response"] and len(data) == 120
    outputs = {}
    for model in ("kalman", "hgf"):
        outputs[model] = tmp_path / f"{model}.csv"
        status, _, err = velmora("fit", study, "--model", model, "--jobs", 1, "--n-starts", 2, "--seed", 1,
                                 "--output", outputs[model], capsys=capsys)
        assert status == 0 and err == "", err
        written = pd.read_csv(outputs[model], dtype={"subject": str}, keep_default_na=False, na_values=["nan"])
        direct = fit_many(data, model, executor=SerialExecutor(), n_starts=2, seed=1)
        # The shortest round-trip text reads back as the very same doubles.
        pd.testing.assert_frame_equal(written.drop(columns=["message", "error"]),
                                      direct.drop(columns=["message", "error"]), check_exact=True,
                                      check_dtype=False)
    status, out, err = velmora("compare", outputs["kalman"], outputs["hgf"], capsys=capsys)
    assert status == 0, err
    table = pd.read_csv(io.StringIO(out))
    expected = compare({m: pd.read_csv(p, dtype={"subject": str}) for m, p in outputs.items()}).to_frame()
    pd.testing.assert_frame_equal(table, expected, check_exact=False, rtol=1e-12)


@pytest.mark.parametrize("edit, message", [
    (lambda text: text.replace("\ns2,3,", "\ns2,3,x", 1), "line 35, column 3 (input): "),
    (lambda text: text.replace("response", "answer", 1), "has no column 'response'; its first line reads"),
    (lambda text: "", "is empty"),
    (lambda text: text.split("\n")[0] + "\n", "holds a header line but no rows"),
])
def test_a_broken_table_ends_with_one_line_and_writes_nothing(study, tmp_path, capsys, edit, message):
    broken = tmp_path / "broken.csv"
    broken.write_text(edit(study.read_text()))
    status, out, err = velmora("fit", broken, "--model", "kalman", "--jobs", 1, "--output", tmp_path / "fits.csv",
                               capsys=capsys)
    assert status == 1 and out == "" and err.count("\n") == 1 and message in err, err
    assert err.startswith(f"velmora fit: {broken}")
    assert not (tmp_path / "fits.csv").exists()
