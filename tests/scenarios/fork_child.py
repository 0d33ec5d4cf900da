"""A child forked (os.fork, or multiprocessing with the fork start method)
while the parent's logger and messenger hold queued records and alerts: the
child writes and posts its own, nothing of the parent's, also at its exit.

    SINK=http://127.0.0.1:PORT LOOP=asyncio python tests/scenarios/fork_child.py --how=os.fork|multiprocessing
"""

import atexit
import gc
import multiprocessing
import os

from prelude import RUN, arguments, messenger, setup_logger

how = arguments(how="os.fork").how
log = setup_logger("svc", True)  # outside any loop: it makes one
alerts = messenger(logger=log)


def child():  # its own records and alerts, as in any process; nothing of the parent's
    async def child_main():
        log.info("child record")

    RUN(child_main())
    alerts.send_message("child alert", 1)
    gc.collect()  # nothing of the parent's (the loop the logger made there, say) is finalised here


def fork_and_wait():
    if how == "multiprocessing":
        worker = multiprocessing.get_context("fork").Process(target=child)
        worker.start()
        worker.join()
    elif (pid := os.fork()) == 0:
        child()
        atexit._run_exitfuncs()  # the child's exit: writes and posts nothing of the parent's
        os._exit(0)
    else:
        os.waitpid(pid, 0)


async def main():
    for i in range(20):
        log.info(f"parent record {i}")
    for i in range(3):
        alerts.send_message(f"parent alert {i}", 1)
    fork_and_wait()  # with all of them still queued
    log.info("parent after the fork")


RUN(main())
