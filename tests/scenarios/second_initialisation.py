"""A module imported a second time into the same process (its entry in
sys.modules removed) refuses: prints the error's message.

    python tests/scenarios/second_initialisation.py --module=broker_setup
"""

import importlib
import sys

from prelude import arguments

name = "veltrano_python_configuration." + arguments(module="broker_setup").module
importlib.import_module(name)
del sys.modules[name]
try:
    importlib.import_module(name)
except RuntimeError as e:
    print(e)
