"""A module imported into a second interpreter of the process refuses:
prints the error's type and message as the second interpreter reports them.

    python tests/scenarios/second_interpreter.py
"""

import _interpreters

import veltrano_python_configuration.broker_setup  # noqa: F401

interp = _interpreters.create("legacy")
err = _interpreters.exec(interp, "import veltrano_python_configuration.broker_setup")
print(err.type.__name__, err.msg, sep=": ")
