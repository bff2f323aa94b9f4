"""Conditions a user must be able to handle: exhausted memory, interrupts, released buffers."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from velmora import hgf_run, kalman_run

UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer reserves more address space than any limit allows")
@pytest.mark.parametrize("call", ["kalman_run(0.0, 1.0, x, 0.1, 1.0)", "hgf_run(x, 0.5, 1.0)"])
def test_exhausted_memory_is_a_memory_error(call):  # the input fits under the limit, the result not
    script = textwrap.dedent(f"""
        import resource, numpy as np
        from velmora import hgf_run, kalman_run
        x = np.ones(10**8)
        size = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (size + 600 * 2**20, resource.RLIM_INFINITY))
        try:
            {call}
        except MemoryError:
            print("MemoryError")
    """)
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert run.stdout.strip() == "MemoryError", run.stderr


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer reserves more address space than any limit allows")
def test_threads_the_system_refuses_leave_the_work_to_the_calling_thread():
    script = textwrap.dedent("""
        import resource, signal, time, numpy as np, velmora, velmora.arrays as va
        x, long = np.random.default_rng(0).normal(size=400_000), np.zeros(2 * 10**7)  # both start threads
        expected = np.array(velmora.kalman_run(0.0, 1.0, x.tolist(), 0.1, 1.0))  # starts no thread
        size = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
        # Room for the longer result and a little more, not for a thread's stack.
        resource.setrlimit(resource.RLIMIT_AS, (size + 8 * long.size + 2**20, resource.RLIM_INFINITY))
        start = time.perf_counter()
        va.td_learn_sequence(0.0, long, 0.5, 0.9, 0.5, 0, threads=4)
        whole = time.perf_counter() - start
        signal.signal(signal.SIGALRM, signal.default_int_handler)  # as Ctrl-C would
        signal.setitimer(signal.ITIMER_REAL, whole / 10)
        start = time.perf_counter()
        try:
            va.td_learn_sequence(0.0, long, 0.5, 0.9, 0.5, 0, threads=4)
        except KeyboardInterrupt:
            print(time.perf_counter() - start < whole / 2)
        r = va.kalman_run(0.0, 1.0, x, 0.1, 1.0, threads=4)
        print((r.mean == expected[:, 0]).all() and (r.var == expected[:, 1]).all())
    """)
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert run.stdout.split() == ["True", "True"], run.stderr


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
def test_an_interrupt_while_reading_a_sequence_propagates(error):
    stops_in_len = type("StopsInLen", (list,), {"__len__": lambda self: (_ for _ in ()).throw(error)})
    with pytest.raises(error):
        kalman_run(0.0, 1.0, stops_in_len([1.0, 2.0]), 0.1, 1.0)


@pytest.mark.parametrize("call", [lambda v: kalman_run(0.0, 1.0, v, 0.1, 1.0), lambda v: hgf_run(v, 0.5, 1.0)])
def test_a_released_memoryview_reports_its_own_error(call):
    view = memoryview(np.arange(3.0))
    view.release()
    with pytest.raises(ValueError, match="released memoryview"):
        call(view)
