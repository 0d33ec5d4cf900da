"""A loop stopped and closed by hand: the logger's consumer never ran and was
never cancelled; its three records are written at the interpreter's exit
(on uvloop, which runs the consumer's first step before it stops, before the
close). Prints "closed" on stderr once the loop is closed.

    LOOP=asyncio python tests/scenarios/loop_stopped_by_hand.py
"""

import sys

from prelude import new_loop, setup_logger


def log_and_stop():
    log = setup_logger("svc", True)
    for i in range(3):
        log.warning(f"w{i}")
    loop.stop()


loop = new_loop()
loop.call_soon(log_and_stop)
loop.run_forever()
loop.close()
print("closed", file=sys.stderr)
