"""A function's __code__, made on first use, when its __module__ was set to
an int, to a str that cannot be encoded, or deleted. Prints the file name of
the first, "refused" for the second, and the module and file name of the
third. Needs the test-only _binding_probe module.

    python tests/scenarios/function_code_module.py
"""

from veltrano_python_configuration import _binding_probe as probe

probe.bind.__module__ = 10**30
print(probe.bind.__code__.co_filename)
probe.handled.__module__ = "\udc80"
try:
    _ = probe.handled.__code__
except UnicodeEncodeError:
    print("refused")
del probe.await_value.__module__  # leaves None, as for a Python function
print(probe.await_value.__module__, probe.await_value.__code__.co_filename)
