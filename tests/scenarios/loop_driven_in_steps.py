"""The home loop is driven in steps (run_until_complete, again and again)
while a worker thread without a loop logs and sends: each record and each
alert once, in order per thread.

    SINK=http://127.0.0.1:PORT python tests/scenarios/loop_driven_in_steps.py
"""

import asyncio
import threading
import time

from prelude import messenger, new_loop, setup_logger

log = setup_logger("svc", True, "INFO")
alerts = messenger()
loop = new_loop()


def worker():
    for i in range(60):
        alerts.send_message(f"worker {i}", 1)
        log.warning(f"worker {i}")
        time.sleep(0.005)


async def step(n):
    alerts.send_message(f"loop {n}", 1)
    log.warning(f"loop {n}")
    await asyncio.sleep(0.01)


loop.run_until_complete(step(0))
thread = threading.Thread(target=worker)
thread.start()
n = 1
while thread.is_alive():
    loop.run_until_complete(step(n))
    n += 1


async def settle():
    await asyncio.wait_for(alerts.log_queue.join(), 10)
    await asyncio.wait_for(log.log_queue.join(), 10)


loop.run_until_complete(settle())
loop.run_until_complete(loop.shutdown_asyncgens())
loop.close()
