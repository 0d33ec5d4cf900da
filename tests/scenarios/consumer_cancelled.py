"""The service cancels the messenger's consumer while it posts: the post in
flight finishes, the alerts queued behind it wait for the next consumer, and
the logger is drained at the loop's end before a task's clean-up logs.
Prints how many alerts waited, then the channel's tasks still pending on the
closed loop.

    SINK=http://127.0.0.1:PORT LOOP=asyncio python tests/scenarios/consumer_cancelled.py
"""

import asyncio

from prelude import RUN, messenger, setup_logger


async def main():
    log = setup_logger("svc", True)
    alerts = messenger(logger=log)
    for i in range(4):
        alerts.send_message(f"a{i}", 1)
    await asyncio.sleep(0.02)  # a0 is being posted
    alerts.queue_task.cancel()
    await asyncio.sleep(0.3)  # a0's post finishes; the other three wait for the next consumer
    print(alerts.log_queue.qsize() + len(alerts._channel.line), flush=True)
    alerts.send_message("a4", 1)  # a new consumer posts what the old one left, then this
    await alerts.log_queue.join()
    log.info("done")
    asyncio.get_running_loop().create_task(log_at_shutdown(log))


async def log_at_shutdown(log):
    try:
        await asyncio.sleep(60)
    finally:  # logged after the consumer's end drained the logger
        log.warning("shutting down")


loops = []


async def wrapped():
    loops.append(asyncio.get_running_loop())
    await main()


RUN(wrapped())
print([t for t in asyncio.all_tasks(loops[0]) if not t.done()])
