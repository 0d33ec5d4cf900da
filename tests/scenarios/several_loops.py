"""One logger and one messenger, made before any loop runs, used by three
loops one after the other; each loop's clean-up task logs after the
consumer has gone. Prints "loop N ended" on stderr after each, with the
tasks still pending on it (none).

    SINK=http://127.0.0.1:PORT LOOP=asyncio python tests/scenarios/several_loops.py
"""

import asyncio
import sys

from prelude import RUN, messenger, setup_logger

log = setup_logger("svc", True)  # no loop runs yet
alerts = messenger(size=1)


async def cleanup(n):
    try:
        await asyncio.sleep(60)
    finally:  # cancelled when the loop ends; logs once the consumer has gone
        await asyncio.sleep(0)
        log.warning(f"loop {n} cleaned up")


async def main(n):
    loops.append(asyncio.get_running_loop())
    loops[-1].create_task(cleanup(n))
    for i in range(3):
        log.info(f"loop {n} record {i}")
        alerts.send_message(f"loop {n} alert {i}", 1)
    await asyncio.sleep(0)


loops = []
for n in range(3):
    RUN(main(n))
    pending = [t for t in asyncio.all_tasks(loops[-1]) if not t.done()]
    print(f"loop {n} ended", pending or "", file=sys.stderr)
