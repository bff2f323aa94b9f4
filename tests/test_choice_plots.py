"""Choices drawn and compared: the command line's pictures and plot_choices. Pure Python over the
engine, and they need matplotlib, so they run once, with the whole suite, not with the C-API tests."""

import subprocess
import sys

import pandas as pd
import pytest
from test_choices import OFFERS, study

import velmora


def test_command_line_goes_from_a_csv_of_choices_to_a_comparison_and_a_picture(tmp_path):
    study("discount", [0.99, 0.995, 0.98, 0.999, 0.97, 0.99]).to_csv(tmp_path / "choices.csv", index=False)

    def velmora_cli(*args):
        return subprocess.run(
            [sys.executable, "-m", "velmora", *args], cwd=tmp_path, capture_output=True, text=True, timeout=300
        )

    for model in ("discount", "hyperbolic"):
        run = velmora_cli(
            "fit", "choices.csv", "--model", model, "-o", f"{model}.csv", "--plot", f"{model}.png", "--no-progress"
        )
        assert run.returncode == 0, run.stderr
        assert (tmp_path / f"{model}.png").read_bytes().startswith(b"\x89PNG")
    run = velmora_cli("compare", "discount.csv", "hyperbolic.csv")
    assert run.returncode == 0 and run.stdout.startswith("model,"), run.stderr


def test_plot_choices_refuses_what_it_cannot_draw_and_keeps_a_large_study_drawable(monkeypatch):
    data = study("discount", [0.99] * 6)
    fits = velmora.fit_many(data, "discount")
    with monkeypatch.context() as patch:
        patch.setitem(sys.modules, "matplotlib.figure", None)
        with pytest.raises(ImportError, match="plot_choices needs matplotlib"):
            velmora.plot_choices(data, fits, "discount")
    for args, kwargs, fragment in [
        ((data, velmora.fit_many(data, "hyperbolic"), "discount"), {}, "no estimate of discount_factor"),
        ((data, fits, "discount"), {"columns": 0}, "columns must be a positive integer"),
    ]:
        with pytest.raises((ValueError, KeyError), match=fragment):
            velmora.plot_choices(*args, **kwargs)
    missed = data.assign(response=data.response.where(data.trial % 2 == 0))
    later, sooner = velmora.plot_choices(missed, fits, "discount").axes[0].lines[:2]  # every participant's
    assert (
        len(later.get_xdata()) == (missed.response == 1).sum()
        and len(sooner.get_xdata()) == (missed.response == 0).sum()
    )
    keys = pd.DataFrame({"subject": range(300), "discount_factor": 0.99, "beta": 0.2, "bias": 0.0})
    many = velmora.simulate_many("discount", keys, OFFERS[:5])
    width, height = velmora.plot_choices(many, keys, "discount").get_size_inches()
    assert height <= width < 60  # a grid as wide as it is tall, not 38 rows of 8
