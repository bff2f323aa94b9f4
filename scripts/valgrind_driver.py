"""Calls every function once on each path of the leak test (valid arguments, every binding,
conversion and computation error) and on the hostile sequences of the fuzz test, then the array
engine (threads, errors) and the native fit; scripts/valgrind
runs it under memcheck (--calls; needs tests/ on sys.path) and then judges memcheck's XML log
(--report LOG MODULE_FILE)."""

import array
import sys
import xml.etree.ElementTree as ET


def with_item(container, item):
    out = container([1.0, item, 2.0, 3.0])
    item.owner = out
    return out


def calls():
    import hostile as h
    import numpy as np

    from velmora import kalman_run

    for name, f, args, kwargs, error in h.CASES:
        assert h.call(f, args, kwargs) is error, name

    sequences = [
        np.arange(5.0),
        np.arange(5.0)[::2],
        np.arange(5, dtype=">f8"),
        np.arange(5, dtype="f4"),
        np.zeros((2, 2)),
        memoryview(array.array("d", [1.0, 2.0])),
        b"\x01\x02",
        range(4),
        h.LenHigh([1.0, 2.0]),
        h.LenBoom([1.0]),
        h.LenHuge([1.0]),
        h.IterGivesInt([]),
        h.FailsAtTwo([1.0] * 4),
        with_item(list, h.Dropper()),
        with_item(h.ListSub, h.Dropper()),
        *(with_item(c, h.Mutator(m)) for c in (list, h.ListSub) for m in h.MUTATIONS),
    ]
    for observations in sequences:
        try:
            kalman_run(0.0, 1.0, observations, 0.1, 0.5)
        except (TypeError, h.Boom):
            pass
    engine = engine_calls()
    print(f"{len(h.CASES) + len(sequences) + engine} calls under memcheck")


def engine_calls():
    """The array engine over ragged subjects on two threads, its errors, and the native fit: small,
    as memcheck runs them some fifty times slower."""
    import numpy as np

    import velmora
    import velmora.arrays as va

    observations = np.sin(np.arange(30.0))
    va.kalman_run(0.0, 1.0, [observations, observations[:7]], 0.1, [0.5, 0.7], threads=2)
    va.hgf_run([observations, observations[:11]], 0.5, 1.0, threads=2)
    for bad in ([observations, np.array([1.0, np.nan])], [observations, "x"]):
        try:
            va.kalman_run(0.0, 1.0, bad, 0.1, 0.5, threads=2)
        except (ValueError, TypeError, velmora.VelmoraException):
            pass
    velmora.fit("kalman", observations, n_starts=2)
    rewards = (np.arange(24) % 3 == 0).astype(float)
    velmora.fit("td", rewards, 0.3 + 0.4 * rewards, n_starts=2)
    return 6


def report(log, modules):
    """Fails on any error whose stack passes through our modules (comma-separated paths); the
    interpreter's own are counted."""
    ours, theirs, modules = [], 0, set(modules.split(","))
    for error in ET.parse(log).getroot().iter("error"):
        if error.findtext("kind").startswith("Leak_"):
            continue  # the module, its classes and functions live as long as the process, by design
        frames = error.find("stack").iter("frame")
        if any(frame.findtext("obj") in modules for frame in frames):
            ours.append(error)
        else:
            theirs += 1
    for error in ours:
        print(error.findtext("kind"), error.findtext("what") or error.find("xwhat").findtext("text"))
        for frame in error.find("stack").iter("frame"):
            print("   ", frame.findtext("fn"), frame.findtext("obj"))
    print(f"valgrind: {len(ours)} errors through velmora's modules, {theirs} in the interpreter's own code")
    return 1 if ours else 0


if __name__ == "__main__":
    if sys.argv[1:] == ["--calls"]:
        calls()
    elif sys.argv[1:2] == ["--report"]:
        sys.exit(report(*sys.argv[2:]))
    else:
        sys.exit(__doc__)
