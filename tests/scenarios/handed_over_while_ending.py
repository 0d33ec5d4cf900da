"""While the home loop ends, a thread without a loop and a thread with a
loop of its own go on logging warnings: each thread's records come out in
order, each once.

    LOOP=asyncio python tests/scenarios/handed_over_while_ending.py
"""

import asyncio
import threading

from prelude import RUN, setup_logger

log = setup_logger("svc", True, "INFO")
COUNT = 1500


def plain(name):
    for i in range(COUNT):
        log.warning(f"{name} {i}")


async def own_loop(name):
    for i in range(COUNT):
        log.warning(f"{name} {i}")
        if i % 10 == 0:
            await asyncio.sleep(0)


threads = [threading.Thread(target=plain, args=("plain",)), threading.Thread(target=RUN, args=(own_loop("own"),))]


async def main():
    log.warning("home 0")
    for thread in threads:
        thread.start()
    await asyncio.sleep(0.005)  # the loop ends while they log


RUN(main())
for thread in threads:
    thread.join()
