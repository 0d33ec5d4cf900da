"""Threads without a loop send alerts while no loop serves the messenger:
each call returns only once its own alert is posted (the sink takes 0.2 s
per post), whichever thread posts it. Prints the alerts whose call returned
sooner.

    SINK=http://127.0.0.1:PORT python tests/scenarios/threads_without_a_loop.py
"""

import threading
import time

from prelude import messenger

alerts = messenger()
early = []


def sender(name):
    for i in range(2):
        started = time.monotonic()
        alerts.send_message(f"{name} {i}", 1)
        if time.monotonic() - started < 0.15:
            early.append(f"{name} {i}")


threads = [threading.Thread(target=sender, args=(f"thread {n}",)) for n in range(3)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
print(early)
