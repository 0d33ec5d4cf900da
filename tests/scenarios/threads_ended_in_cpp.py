"""Daemon threads that are inside the package's C++ frames (a coroutine's
body calling back into Python, under the call boundary) when the
interpreter's exit ends them. Prints "exiting"; the process must then exit
cleanly. Needs the test-only _binding_probe module.

    python tests/scenarios/threads_ended_in_cpp.py
"""

import threading

from veltrano_python_configuration import _binding_probe as probe

THREADS = 4
inside = threading.Barrier(THREADS + 1)


def spin():  # asks for the interpreter lock again and again until ended
    inside.wait()
    while True:
        pass


def step():
    probe.await_call(spin).send(None)


for _ in range(THREADS):
    threading.Thread(target=step, daemon=True).start()
inside.wait()
print("exiting")
