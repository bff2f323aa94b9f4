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
def test_exhausted_memory_is_a_memory_error(call):
    # The input fits under the limit, the result does not.
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


class StopsInLen(list):
    def __init__(self, values, error):
        super().__init__(values)
        self.error = error

    def __len__(self):
        raise self.error


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
def test_an_interrupt_while_reading_a_sequence_propagates(error):
    with pytest.raises(error):
        kalman_run(0.0, 1.0, StopsInLen([1.0, 2.0], error), 0.1, 1.0)


def test_a_released_memoryview_reports_its_own_error():
    view = memoryview(np.arange(3.0))
    view.release()
    with pytest.raises(ValueError, match="released memoryview"):
        kalman_run(0.0, 1.0, view, 0.1, 1.0)
    with pytest.raises(ValueError, match="released memoryview"):
        hgf_run(view, 0.5, 1.0)
