"""A logger set up before any loop runs writes from inside asyncio.run: three
records on stderr, and one consumer task on the loop (printed).

    python tests/scenarios/logger_before_loop.py
"""

import asyncio

from veltrano_python_configuration.journal_setup import setup_logger

log = setup_logger("svc", True, "INFO")  # no loop runs yet


async def main():
    for i in range(3):
        log.info("record %s", i)
        await asyncio.sleep(0)
    log.debug("filtered")
    await asyncio.sleep(0.02)
    print(sum(1 for t in asyncio.all_tasks() if t.get_coro().__qualname__ == "AsyncLogger._process_log_queue"))


asyncio.run(main())
