"""An alert to a webhook that never answers, either while the loop goes on
(the post's own ten-second bound) or left to the loop's end (the drain gives
up after ten seconds in all). Prints the seconds the run took.

    SINK=http://127.0.0.1:PORT LOOP=asyncio python tests/scenarios/webhook_never_answers.py --at-loop-end=false|true
"""

import asyncio
import time

from prelude import RUN, arguments, messenger, setup_logger

at_loop_end = arguments(at_loop_end=False).at_loop_end
log = setup_logger("svc", False)


async def main():
    messenger(logger=log).send_message("stuck", 1)
    if not at_loop_end:
        await asyncio.sleep(10.5)


started = time.monotonic()
RUN(main())
print(time.monotonic() - started)
