"""Hostile argument objects shared by the tests and the memcheck driver, and every path through a
call: valid arguments, each binding and conversion failure, each computation error."""

import inspect
from math import inf, nan

from velmora import InvalidParameter, NumericalDivergence, discounted_value, forward_simulate, hgf_run, kalman_run
from velmora import td_learn_sequence


class Boom(Exception):
    """What the hostile objects raise; it must leave the call unchanged."""


def boom(*_):
    raise Boom


def caused_type_error(_):
    raise TypeError("odd \ud800 text \x00 kept") from ValueError("root")


def hostile(*bases, **methods):
    return type("Hostile", bases, methods)


Real, BoomFloat, FloatGivesStr, OddTypeError = (
    hostile(__float__=method) for method in (lambda _: 0.25, boom, lambda _: "1.0", caused_type_error)
)
Index, BoomIndex, IndexGivesFloat = (hostile(__index__=method) for method in (lambda _: 3, boom, lambda _: 1.5))
# A sequence by __getitem__ alone; the subclasses' protocol methods lie or fail.
Seq = hostile(object, __init__=lambda s, items: setattr(s, "items", items), __getitem__=lambda s, i: s.items[i])

LenHigh, LenLow, LenHuge = (hostile(Seq, __len__=lambda _, n=n: n) for n in (2**62, 0, 2**70))
LenBoom, LenGivesStr = hostile(Seq, __len__=boom), hostile(Seq, __len__=lambda _: "many")
IterBoom, IterGivesInt = hostile(Seq, __iter__=boom), hostile(Seq, __iter__=lambda _: 5)
FailsAtTwo = hostile(Seq, __getitem__=lambda s, i: boom() if i == 2 else s.items[i])
ListSub = hostile(list)


class Mutator:
    """An item whose conversion changes, once, the list that holds it (its owner)."""

    def __init__(self, action):
        self.action, self.owner = action, None

    def __float__(self):
        owner, self.owner = self.owner, None
        owner is not None and self.action(owner, self)
        return 0.5


class Dropper(Mutator):
    """Removes itself from its list, which it empties when it is freed."""

    def __init__(self):
        super().__init__(lambda owner, me: setattr(me, "victim", owner) or owner.remove(me))
        self.victim = []

    def __del__(self):
        self.victim.clear()


MUTATIONS = [lambda o, me: o.clear(), lambda o, me: o.pop(), lambda o, me: o.append(1.0), lambda o, me: o.remove(me)]


def kind(name):
    return (
        "sequence" if name in ("observations", "rewards", "motor_command") else "seed" if name == "seed" else "double"
    )


VALID = {
    kalman_run: (0.0, 1.0, [1.0, Real(), 3], 0.1, 0.5, 4.0),
    hgf_run: ((1.0, 2.0, 0.5), 0.5, 1.0, 0.01, 0.0, 1.0, 0.0, 1.0),
    td_learn_sequence: (0.0, [1.0, 0.0, True], 0.3, 0.9, 0.5, 7),
    discounted_value: (10.0, 2.0, 0.5),
    forward_simulate: (range(3), 0.5, 0.2, 1.0, 2**64 - 1),
}
BAD = {
    "double": [("x", TypeError), (BoomFloat(), Boom), (10**400, OverflowError), (OddTypeError(), TypeError)],
    "sequence": [
        ("abc", TypeError),
        ({1.0}, TypeError),
        ([1.0, "x"], TypeError),
        ([1.0, BoomFloat()], Boom),
        (FailsAtTwo([1.0] * 5), Boom),
        (IterGivesInt([]), TypeError),
    ],
    "seed": [(1.0, TypeError), (-1, OverflowError), (2**64, OverflowError), (BoomIndex(), Boom)],
}
IP, ND = InvalidParameter, NumericalDivergence
COMPUTATION_ERRORS = [
    (kalman_run, (0.0, 1.0, [1.0], -1.0, 1.0), IP),
    (kalman_run, (0.0, 1.0, [1.0, nan], 0.0, 1.0), IP),
    (kalman_run, (0.0, 1.0, [1.0], 0.0, -1.0), IP),
    (kalman_run, (0.0, 1.0, [1.0], 0.0, 1.0, 0.0), IP),
    (kalman_run, (inf, 1.0, [1.0], 0.0, 1.0), ND),
    (hgf_run, ([1.0, nan], 0.5, 1.0), IP),
    (hgf_run, ([1.0], 0.5, -1.0), IP),
    (hgf_run, ([1.0, 2.0], 0.5, 1.0, 0.01, inf), ND),
    (td_learn_sequence, (0.0, [1.0], 2.0, 0.9, 0.0, 1), IP),
    (td_learn_sequence, (0.0, [1.0], 0.5, 0.9, -1.0, 1), IP),
    (forward_simulate, ([1.0], 2.0, 0.0, 1.0, 1), IP),
    (forward_simulate, ([1.0], 0.5, -1.0, 1.0, 1), IP),
    (forward_simulate, ([1.0, 1e308], 0.5, 0.0, 10.0, 1), ND),
]


def cases():
    for f, valid in VALID.items():
        names, n = list(inspect.signature(f).parameters), f.__name__
        yield from [
            (f"{n}-valid", f, valid, {}, None),
            (f"{n}-positional", f, valid + (1.0,), {}, TypeError),
            (f"{n}-missing", f, (), {}, TypeError),
            (f"{n}-unexpected", f, valid, {"bogus": 1.0}, TypeError),
            (f"{n}-duplicate", f, valid, {names[0]: valid[0]}, TypeError),
        ]
        for name in names:
            for j, (value, error) in enumerate(BAD[kind(name)]):
                # By keyword, so that converted values and the bound dictionary both get released.
                yield f"{n}-{name}-{j}", f, (), dict(zip(names, valid)) | {name: value}, error
    for f, args, error in COMPUTATION_ERRORS:
        yield f"{f.__name__}-{error.__name__}-{args}", f, args, {}, error


def engine_cases():
    """The array functions' paths: single and batched, threaded, and each way they fail."""
    import numpy as np

    import velmora.arrays as va
    from velmora import _engine

    # Just over the size at which the engine starts worker threads.
    batch, seeds, ragged = np.ones((40, 3300)), va.seeds(40, 1), [np.ones(3), np.ones(5)]
    yield from [
        ("arrays-kalman", va.kalman_run, (0.0, 1.0, np.arange(5.0), 0.1, 0.5, 2.0), {}, None),
        ("arrays-kalman-threads", va.kalman_run, (0.0, 1.0, batch, np.full(40, 0.1), 0.5), {"threads": 2}, None),
        ("arrays-hgf-list", va.hgf_run, ([1.0, 2.0, 0.5], 0.5, 1.0), {}, None),
        ("arrays-td-ragged", va.td_learn_sequence, (0.0, ragged, 0.3, 0.9, 0.5, va.seeds(2, 0)), {}, None),
        ("arrays-forward-threads", va.forward_simulate, (batch, 0.5, 0.2, 1.0, seeds), {}, None),
        ("arrays-normal", va.normal, ((3, 4), 10**6 + 7), {}, None),
        ("arrays-subject-fails", va.hgf_run, (batch[:, :10], 0.5, np.r_[np.ones(39), -1.0]), {}, InvalidParameter),
        ("arrays-single-fails", va.kalman_run, (0.0, 1.0, [1.0, float("nan")], 0.1, 0.5), {}, InvalidParameter),
        ("arrays-bad-number", va.kalman_run, ("x", 1.0, [1.0], 0.1, 0.5), {}, TypeError),
        ("arrays-bad-sequence", va.kalman_run, (0.0, 1.0, [1.0, "x"], 0.1, 0.5), {}, TypeError),
        ("arrays-bad-shape", va.kalman_run, (0.0, 1.0, batch, [0.1, 0.2], 0.5), {}, ValueError),
        ("arrays-bad-seeds", va.forward_simulate, (batch, 0.5, 0.2, 1.0, 7), {}, ValueError),
        ("arrays-bad-seed", va.td_learn_sequence, (0.0, [1.0], 0.3, 0.9, 0.5, 2**64), {}, OverflowError),
        ("engine-models", _engine.models, (), {}, None),
        ("arrays-fit", va.fit, ("kalman", batch[:4, :30] + np.arange(30.0)), {"n_starts": 2, "threads": 2}, None),
        ("arrays-fit-responses", va.fit, ("td", ragged, [np.ones(3), np.full(5, 0.5)]), {"n_starts": 1}, None),
        ("arrays-fit-no-estimate", va.fit, ("td", [0.0, 1.0], [1e200, 0.5]), {"n_starts": 1}, None),
        ("arrays-fit-bad-data", va.fit, ("kalman", [np.ones(3), [1.0, float("nan")]]), {}, InvalidParameter),
        (
            "engine-fit-bad-layout",
            _engine.fit,
            (
                "kalman",
                "gaussian",
                np.ones(3),
                np.zeros(1, np.int64),
                np.array([4]),
                np.ones(3),
            ),
            {
                "params": np.ones(5),
                "free": np.zeros(0, np.int64),
                "transforms": np.zeros(0, np.int64),
                "prior_mean": np.zeros(0),
                "prior_var": np.zeros(0),
                "seeds": np.zeros(1, np.uint64),
                "n_starts": 1,
                "threads": 1,
                "natural": np.empty(5),
                "se": np.empty(0),
                "stats": np.empty(5),
                "status": np.empty(1, np.int64),
            },
            ValueError,
        ),
        (
            "engine-objective-bad-given",
            _engine.objective,
            ("hgf", "gaussian", np.ones(3), np.ones(3)),
            {"params": np.ones(7), "free": np.zeros(0, np.int64), "gradient": np.zeros(0), "optional": 1},
            ValueError,
        ),
    ]


CASES = list(cases()) + list(engine_cases())


def call(f, args, kwargs):
    try:
        f(*args, **kwargs)
    except Exception as error:  # noqa: BLE001 - the class is checked once, outside the loop
        return type(error)
    return None
