"""The logger's queue (room for three) is full when the loop ends: i0 e0 i1
fill it, e1..e5 wait for room, i2..i5 are dropped and counted in a warning.

    LOOP=asyncio python tests/scenarios/full_queue_at_loop_end.py
"""

import asyncio

from prelude import RUN, setup_logger


async def main():
    log = setup_logger("svc", True)
    log.log_queue = asyncio.Queue(3)
    for i in range(6):
        log.info(f"i{i}")
        log.error(f"e{i}", exc_info=False)


RUN(main())
