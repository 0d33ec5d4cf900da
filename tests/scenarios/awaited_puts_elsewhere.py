"""Two threads, each running a loop of its own, await the logger's
_log_message while its home loop runs in the main thread and its queue is
small: every record is written once, in order per loop, and none waits.

    LOOP=asyncio python tests/scenarios/awaited_puts_elsewhere.py
"""

import asyncio

from prelude import RUN, setup_logger

log = setup_logger("svc", True, "INFO")
log.log_queue = asyncio.Queue(5)


async def other(name):
    for i in range(300):
        await log._log_message("warning", f"{name} {i}")


async def main():
    log.warning("home 0")
    await asyncio.sleep(0)
    await asyncio.wait_for(asyncio.gather(*(asyncio.to_thread(RUN, other(f"loop {n}")) for n in range(2))), 10)
    await asyncio.wait_for(log.log_queue.join(), 5)


RUN(main())
