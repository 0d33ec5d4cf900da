"""GoogleChatSyncMessenger with an AsyncLogger as its logger, called from
worker threads while the webhook fails: every failure is logged, and no call
raises. Prints "no call raised".

    SINK=http://127.0.0.1:PORT LOOP=asyncio python tests/scenarios/sync_messenger_in_workers.py
"""

import asyncio

from prelude import RUN, URL, setup_logger
from veltrano_python_configuration.service_toolkit import GoogleChatSyncMessenger

log = setup_logger("svc", True, "INFO")
sync = GoogleChatSyncMessenger("svc", URL + "/fail", URL + "/fail", "PRODUCTION", logger=log)


async def main():
    loop = asyncio.get_running_loop()
    calls = [asyncio.to_thread(sync.send_message, f"t{i}", 1) for i in range(3)]
    calls += [loop.run_in_executor(None, sync.send_message, f"e{i}", 1) for i in range(3)]
    await asyncio.gather(*calls)
    print("no call raised")


RUN(main())
