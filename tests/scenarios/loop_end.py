"""A coroutine logs 50 records, sends five alerts to a messenger with room
for two, logs an error with its traceback, and ends in one of four ways:
everything accepted before the loop's end is written and posted.

    SINK=http://127.0.0.1:PORT LOOP=asyncio python tests/scenarios/loop_end.py --ending=ENDING

ENDING is return, SystemExit, KeyboardInterrupt or ValueError; the exit
status is then 0, 3, -2 (the interrupt) or 1.
"""

from prelude import RUN, arguments, messenger, setup_logger

ending = arguments(ending="return").ending
ENDINGS = {"SystemExit": SystemExit(3), "KeyboardInterrupt": KeyboardInterrupt(), "ValueError": ValueError("bad")}


async def main():
    log = setup_logger("svc", True)
    alerts = messenger(size=2, logger=log)
    for i in range(50):
        log.info("record %s", i)
    for i in range(5):
        alerts.send_message(f"alert {i}", 0)  # three of them wait for room
    try:
        raise RuntimeError("cause")
    except RuntimeError:
        log.error("fatal: giving up")
        if ending != "return":
            raise ENDINGS[ending]  # noqa: B904 (the service ends while handling the error)


RUN(main())
