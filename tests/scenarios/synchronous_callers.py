"""A messenger used from plain synchronous code, with an event loop set but
not running: each alert is posted before send_message returns, and no
consumer task is made.

    SINK=http://127.0.0.1:PORT python tests/scenarios/synchronous_callers.py
"""

import asyncio

from prelude import messenger

current = asyncio.new_event_loop()
asyncio.set_event_loop(current)
alerts = messenger()
for i in range(3):
    alerts.send_message(f"sync {i}", 0)
assert asyncio.get_event_loop() is current and alerts.queue_task is None
