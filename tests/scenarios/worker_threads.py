"""Worker threads (asyncio.to_thread, an executor) and threads running loops
of their own share one logger and one messenger with the loop's own code:
each writes numbered records and sends numbered alerts.

    SINK=http://127.0.0.1:PORT LOOP=asyncio python tests/scenarios/worker_threads.py
"""

import asyncio
from concurrent.futures import ThreadPoolExecutor

from prelude import RUN, messenger, setup_logger


async def main():
    log = setup_logger("svc", True, "INFO")
    alerts = messenger(size=8, logger=log)

    def worker(name):  # no loop in this thread
        for i in range(25):
            alerts.send_message(f"{name} alert {i}", 1)

    async def own_loop(name):  # a thread that runs a loop of its own
        for i in range(10):
            log.info(f"{name} record {i}")
            alerts.send_message(f"{name} alert {i}", 1)
            await asyncio.sleep(0)

    loop = asyncio.get_running_loop()
    with ThreadPoolExecutor(2) as pool:
        jobs = [
            asyncio.to_thread(worker, "to_thread 0"),
            asyncio.to_thread(worker, "to_thread 1"),
            loop.run_in_executor(pool, worker, "executor 0"),
            loop.run_in_executor(pool, worker, "executor 1"),
            asyncio.to_thread(RUN, own_loop("own loop 0")),
            asyncio.to_thread(RUN, own_loop("own loop 1")),
        ]
        for i in range(50):
            log.info(f"loop record {i}")
            alerts.send_message(f"loop alert {i}", 1)
            if i % 10 == 9:
                await asyncio.sleep(0)
        await asyncio.gather(*jobs)


RUN(main())
