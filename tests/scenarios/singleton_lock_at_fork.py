"""A thread holds a SingletonMeta class's construction lock when the process
forks: in the child, where that thread does not exist, the class and another
one are still constructed. The child prints both class names.

    python tests/scenarios/singleton_lock_at_fork.py
"""

import os
import threading
import time

from veltrano_python_configuration.service_toolkit import SingletonMeta

entered = threading.Event()


class Slow(metaclass=SingletonMeta):
    def __init__(self):
        entered.set()
        time.sleep(0.5)  # holds the class's construction lock


class Other(metaclass=SingletonMeta):
    pass


threading.Thread(target=Slow).start()
entered.wait()
pid = os.fork()
if pid == 0:  # the lock's holder does not exist here
    print(type(Slow()).__name__, type(Other()).__name__, flush=True)
    os._exit(0)
os.waitpid(pid, 0)
