"""The array functions: the list functions' results bit for bit, one subject or many, any thread count."""

import inspect
import os
import signal
import threading
import time
import warnings

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import velmora
import velmora.models
import velmora.trajectories
import velmora.arrays as va

MODELS = {  # list function, arguments before and after the sequence, its fields in tuple order
    "kalman_run": ((0.3, 2.0), (0.1, 0.5), ("mean", "var")),
    "hgf_run": ((), (0.5, 1.0, 0.02, 0.1, 1.5, 0.3, 1.0), va.HgfTrajectories.fields[:7]),
    "td_learn_sequence": ((0.2,), (0.3, 0.9, 0.5, 11), ("value",)),
    "forward_simulate": ((), (0.4, 0.6, 1.5, 11), va.ForwardTrajectories.fields),
}
numbers = st.floats(-1e3, 1e3, allow_nan=False)


def list_columns(name, args):
    rows = np.array(getattr(velmora, name)(*args), dtype=float)
    return rows.reshape(len(rows), len(MODELS[name][2])).T


def call(name, before, sequence, after, **kwargs):
    return getattr(va, name)(*before, sequence, *after, **kwargs)


@settings(max_examples=150, deadline=None)
@given(st.sampled_from(sorted(MODELS)), st.lists(numbers, max_size=60))
def test_one_sequence_equals_the_list_function(name, values):
    before, after, fields = MODELS[name]
    result = call(name, before, np.array(values), after)
    expected = list_columns(name, (*before, values, *after))
    for field, column in zip(fields, expected):
        np.testing.assert_array_equal(getattr(result, field), column)


@settings(max_examples=40, deadline=None)
@given(
    st.sampled_from(sorted(MODELS)),
    st.lists(st.lists(numbers, max_size=40), min_size=1, max_size=6),
    st.sampled_from([1, 2, 3]),
)
def test_each_subject_equals_its_single_call(name, subjects, threads):
    before, after, fields = MODELS[name]
    n = len(subjects)
    # Every parameter varies per subject, so a mixed-up row or column shows.
    per_subject = [np.array([a * (1 + 0.1 * i) for i in range(n)]) for a in after]
    if name in ("td_learn_sequence", "forward_simulate"):
        per_subject[-1] = va.seeds(n, 5)
    result = call(name, before, [np.array(s) for s in subjects], per_subject, threads=threads)
    for i, values in enumerate(subjects):
        single = call(name, before, np.array(values), [p[i] for p in per_subject])
        assert result.lengths[i] == len(values)
        for field in (*fields, *(("loglik",) if name in ("kalman_run", "hgf_run") else ())):
            row = getattr(result, field)[i]
            np.testing.assert_array_equal(row[: len(values)], getattr(single, field))
            assert np.isnan(row[len(values) :]).all()


@pytest.mark.parametrize("name", sorted(MODELS))
def test_large_batches_do_not_depend_on_the_thread_count(name):
    before, after, fields = MODELS[name]
    data = np.random.default_rng(3).normal(size=(300, 700))  # enough trials to run on worker threads
    seeds = va.seeds(300, 1)
    after = (*after[:-1], seeds) if name in ("td_learn_sequence", "forward_simulate") else after
    results = [call(name, before, data, after, threads=t) for t in (1, 2, 5)]
    for field in fields:
        for other in results[1:]:
            np.testing.assert_array_equal(getattr(results[0], field), getattr(other, field))


def test_kalman_loglik_agrees_with_statsmodels():
    structural = pytest.importorskip("statsmodels.tsa.statespace.structural")
    y = np.random.default_rng(0).normal(size=300).cumsum()
    for initial_mean, initial_var, process_noise, obs_noise in [(0.3, 2.0, 0.5, 1.5), (-1.0, 0.2, 0.05, 3.0)]:
        model = structural.UnobservedComponents(y, "local level")
        model.initialize_known(np.array([initial_mean]), np.array([[initial_var + process_noise]]))
        model.loglikelihood_burn = 0
        model.ssm.tolerance = 0  # by default it switches to a steady-state gain, an approximation, once converged
        expected = model.loglikeobs([obs_noise, process_noise]).sum()
        got = va.kalman_run(initial_mean, initial_var, y, process_noise, obs_noise).loglik.sum()
        assert got == pytest.approx(expected, rel=1e-10)


def test_hgf_loglik_is_the_gaussian_density_of_the_prediction_error():
    y = np.random.default_rng(1).normal(size=200)
    obs_noise = 0.4
    r = va.hgf_run(y, obs_noise, 1.3)
    predicted_precision = r.precision - 1 / obs_noise
    s = 1 / predicted_precision + obs_noise
    np.testing.assert_allclose(r.loglik, -0.5 * (np.log(2 * np.pi * s) + r.prediction_error**2 / s), rtol=1e-12)


@pytest.mark.parametrize(
    "name, args",
    [
        ("kalman_run", ("x", 1.0, [1.0], 0.1, 0.5)),
        ("kalman_run", (0.0, 1.0, "abc", 0.1, 0.5)),
        ("kalman_run", (0.0, 1.0, [1.0, np.nan], 0.1, 0.5)),
        ("kalman_run", (0.0, 1.0, np.array(1.0), 0.1, 0.5)),  # a 0-d array is no sequence
        ("kalman_run", (0.0, 1.0, [1.0], 0.1, 0.5, 0.0)),
        ("kalman_run", (np.inf, 1.0, [1.0], 0.0, 1.0)),
        ("hgf_run", ([1.0, 2.0], 0.5, -1.0)),
        ("hgf_run", ([1.0, 2.0], 0.5, 1.0, 0.01, np.inf)),
        ("hgf_run", ([1.0], 0.5, 1.0, 0.01, 0.0, 1.0, 0.0, "x")),
        ("td_learn_sequence", (0.0, [1.0], 2.0, 0.9, 0.0, 1)),
        ("td_learn_sequence", (0.0, [1.0], 0.5, 0.9, 0.1, -1)),
        ("forward_simulate", ([], 2.0, 0.0, 1.0, 1)),
        ("forward_simulate", ([1.0, 1e308], 0.5, 0.0, 10.0, 1)),
    ],
)
def test_single_sequences_fail_as_the_list_functions_do(name, args):
    with pytest.raises(BaseException) as expected:
        getattr(velmora, name)(*args)
    with pytest.raises(type(expected.value)) as got:
        getattr(va, name)(*args)
    assert got.value.args == expected.value.args


def test_a_failing_subject_is_the_lowest_one_whatever_the_threads():
    # Threads take about 65 subjects of 500 trials at a time: 65 ends the first such chunk and is
    # reached last, 66 starts the second and is reached at once.
    data = np.ones((400, 500))
    noise = np.full(400, 0.1)
    noise[[350, 66, 65, 200]] = -1.0
    for threads in (1, 2, 4):
        with pytest.raises(velmora.InvalidParameter, match=r"^subject 65: invalid parameter 'process_noise': -1 "):
            va.kalman_run(0.0, 1.0, data, noise, 0.5, threads=threads)


KALMAN, FORWARD = va.kalman_run, va.forward_simulate


@pytest.mark.parametrize(
    "f, args, kwargs, error, text",
    [
        (KALMAN, (0.0, 1.0, np.ones((2, 2, 2)), 0.1, 0.5), {}, ValueError, "observations"),
        (KALMAN, (0.0, 1.0, np.ones((3, 4)), [0.1, 0.2], 0.5), {}, ValueError, "process_noise"),
        (KALMAN, (0.0, 1.0, [np.ones(3), 1.0], 0.1, 0.5), {}, TypeError, "observations"),
        (KALMAN, (0.0, 1.0, [np.ones(3), np.ones((2, 2))], 0.1, 0.5), {}, ValueError, "observations"),
        (KALMAN, (0.0, 1.0, np.ones(3), 0.1, 0.5), {"threads": 0}, ValueError, "threads"),
        # A noisy batch needs one valid seed per subject.
        *(
            (FORWARD, (np.ones((3, 4)), 0.5, 0.2, 1.0, seed), {}, error, "seed")
            for seed, error in [
                (7, ValueError),
                (np.array([1, 2]), ValueError),
                (np.array([1, -2, 3]), ValueError),
                ([1, 2**64, 3], ValueError),
                ([1, -1, 3], ValueError),
                ([1, 2.0, 3], TypeError),
                (np.array([1.0, 2.0, 3.0]), TypeError),
            ]
        ),
        # Values read as the list functions read them: no parsing of text, no None as NaN, no dropped imaginary part.
        (KALMAN, (0.0, 1.0, np.array([["1", "2"]]), 0.1, 0.5), {}, TypeError, "subject 0: .* not numpy.str_"),
        (KALMAN, (0.0, 1.0, np.array([["2020-01-01"]], dtype="datetime64[D]"), 0.1, 0.5), {}, TypeError, "subject 0"),
        (KALMAN, (0.0, 1.0, [np.ones(2), [1.0, None]], 0.1, 0.5), {}, TypeError, "subject 1: .* not NoneType"),
        (KALMAN, (0.0, 1.0, np.ones((2, 3)), [0.1, None], 0.5), {}, TypeError, "'process_noise': .* not NoneType"),
        (KALMAN, (0.0, 1.0, np.array([1 + 2j, 3]), 0.1, 0.5), {}, TypeError, "'observations': complex"),
        (KALMAN, (0.0, 1.0, np.ones((2, 3)) * 1j, 0.1, 0.5), {}, TypeError, "'observations': complex"),
        (KALMAN, (0.0, 1.0, np.ones((2, 3)), np.array([0.1j, 0.2]), 0.5), {}, TypeError, "'process_noise': complex"),
        (KALMAN, (0.0, 1.0, np.ones(3), 0.1, 0.5), {"threads": True}, TypeError, "threads must be a positive integer"),
        (
            KALMAN,
            (0.0, 1.0, np.ones(3), 0.1, 0.5),
            {"threads": 10**30},
            ValueError,
            "threads must be a positive integer",
        ),
    ],
)
def test_bad_shapes_and_seeds_are_named(f, args, kwargs, error, text):
    with pytest.raises(error, match=text):
        f(*args, **kwargs)


def test_pandas_objects_and_python_int_seeds_are_read_by_value():
    pd = pytest.importorskip("pandas")
    data, rates, seeds = np.random.default_rng(2).normal(size=(4, 6)), np.linspace(0.2, 0.5, 4), va.seeds(4, 0)
    assert max(seeds.tolist()) >= 2**63  # NumPy would make such a list float64
    expected = va.td_learn_sequence(0.0, data, rates, 0.9, 0.3, seeds)
    for rewards, rate, seed in [
        (pd.DataFrame(data), pd.Series(rates), pd.Series(seeds)),
        ([pd.Series(row) for row in data], list(rates), seeds.tolist()),
        (pd.Series(list(data)), tuple(rates), tuple(seeds.tolist())),
    ]:
        assert va.td_learn_sequence(0.0, rewards, rate, 0.9, 0.3, seed) == expected
    assert va.kalman_run(0.0, 1.0, pd.Series(data[0]), 0.1, 0.5) == va.kalman_run(0.0, 1.0, data[0], 0.1, 0.5)


def test_a_result_mostly_padding_warns_once_naming_both_sizes(monkeypatch):
    monkeypatch.setattr(velmora.trajectories, "_PADDING_WARN_BYTES", 10_000)  # where the runner warns
    with pytest.warns(
        RuntimeWarning,
        match=r"pads 31 subjects .* 2000 trials: it takes 484.4 KiB to hold 18.0 KiB "
        r"of values; call the longest subject\(s\) on their own",
    ) as caught:
        result = va.td_learn_sequence(0.0, [np.ones(10)] * 30 + [np.ones(2000)], 0.5, 0.9, 0.0, 0)
    assert len(caught) == 1 and caught[0].filename == __file__ and np.isnan(result.value[0, 10:]).all()
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # a padding below 8 times the values is not worth a word
        va.td_learn_sequence(0.0, [np.ones(300)] * 30 + [np.ones(2000)], 0.5, 0.9, 0.0, 0)


def test_the_normal_stream_is_the_models_noise_and_seeds_are_distinct():
    # A zero command's sensed movement is 0 + (0 + 0.5 z): exactly the stream's 0 + 0.5 z.
    actual = np.array(velmora.forward_simulate(np.zeros(1000), 0.0, 0.5, 1.0, 42))[:, 2]
    np.testing.assert_array_equal(va.normal(1000, 42, scale=0.5), actual)
    assert np.unique(va.seeds(100_000, 3)).size == 100_000


def test_long_format_frame():
    pytest.importorskip("pandas")
    frame = va.td_learn_sequence(0.0, [np.ones(2), np.ones(3)], 0.5, 0.9, 0.0, 0).to_frame()
    assert list(frame.columns) == ["subject", "trial", "value"]
    assert frame[["subject", "trial"]].values.tolist() == [[0, 0], [0, 1], [1, 0], [1, 1], [1, 2]]
    np.testing.assert_array_equal(frame["value"], [0.5, 0.75, 0.5, 0.75, 0.875])


def test_threads_beyond_what_helps_are_not_started():
    tasks, done = [], threading.Event()

    def watch():
        while not done.is_set():
            tasks.append(len(os.listdir("/proc/self/task")))
            time.sleep(0.001)

    before = len(os.listdir("/proc/self/task"))
    watcher = threading.Thread(target=watch)
    watcher.start()
    va.td_learn_sequence(0.0, np.zeros((400, 20_000)), 0.5, 0.9, 0.5, va.seeds(400, 0), threads=10**6)
    done.set()
    watcher.join()
    assert max(tasks) <= before + 1 + 2 * len(os.sched_getaffinity(0))  # the watcher, two workers per CPU


# Ragged: most of the call pads 19 short subjects to the long one's 3 * 10**6 trials (long enough
# that the fixed cost of answering the signal stays well inside half the call, under ASan too).
@pytest.mark.parametrize(
    "data",
    [np.zeros(3 * 10**7), np.zeros((6, 5 * 10**6)), [np.zeros(3 * 10**6)] + [np.zeros(10)] * 19],
    ids=["one", "many", "ragged"],
)
def test_ctrl_c_stops_a_long_call_early_and_leaves_no_thread(data):
    args = (0.0, data, 0.5, 0.9, 0.5, 0 if isinstance(data, np.ndarray) and data.ndim == 1 else va.seeds(len(data), 0))
    start = time.perf_counter()
    va.td_learn_sequence(*args, threads=2)
    whole = time.perf_counter() - start
    tasks = len(os.listdir("/proc/self/task"))
    timer = threading.Timer(whole / 10, os.kill, (os.getpid(), signal.SIGINT))
    start = time.perf_counter()
    timer.start()
    # Calls again until the signal lands, so that a repeat that happens to outrun the timer on a
    # loaded machine cannot let the signal escape the test; a call that ignores it still runs whole.
    with pytest.raises(KeyboardInterrupt):
        while True:
            va.td_learn_sequence(*args, threads=2)
    # Relative to the uninterrupted call, so that a slow machine or a sanitizer build cannot fail it.
    assert time.perf_counter() - start < whole / 2
    timer.join()
    assert len(os.listdir("/proc/self/task")) == tasks


# A model that chooses learns from choices, which a run over inputs alone does not have.
@pytest.mark.parametrize("model", [m for m, described in velmora.models.ENGINE.items() if not described.chooses])
def test_a_model_without_a_declared_result_class_gets_one_from_the_engines_fields(model, monkeypatch):
    width = velmora.models.ENGINE[model].width
    inputs = np.linspace(0.1, 0.9, 5 * width).reshape(5, width) if width > 1 else np.linspace(0.1, 0.9, 5)
    if velmora.models.ENGINE[model].binary_inputs:
        inputs = np.round(inputs)
    params = {name: 0.5 for name in velmora.models.ENGINE[model].params}
    declared = velmora.trajectories.run_model(model, inputs, params, seed=3)
    monkeypatch.delitem(velmora.trajectories._DECLARED, model)
    made = velmora.trajectories.run_model(model, inputs, params, seed=3)
    assert type(made) is not type(declared) and type(made).fields == velmora.models.ENGINE[model].fields
    assert all(np.array_equal(made[f], declared[f], equal_nan=True) for f in type(made).fields)


@pytest.mark.parametrize(
    "function, model",
    [(va.kalman_run, "kalman"), (va.hgf_run, "hgf"), (va.td_learn_sequence, "td"), (va.forward_simulate, "forward")],
)
def test_each_per_model_function_takes_every_parameter_the_engine_declares(function, model):
    described = velmora.models.ENGINE[model]
    signature = inspect.signature(function).parameters
    assert set(described.params) <= set(signature)
    assert ("seed" in signature) == described.seeded
