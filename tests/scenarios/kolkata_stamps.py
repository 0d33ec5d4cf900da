"""Records on stderr carry Asia/Kolkata time whatever the host's zone (TZ),
and so does the time of an unrelated logging.Formatter. Prints the Kolkata
time before, the other formatter's stamp, and the Kolkata time after.

    TZ=America/New_York python tests/scenarios/kolkata_stamps.py
"""

import datetime
import logging

import pytz

from veltrano_python_configuration.journal_setup import setup_logger


def stamp():
    return datetime.datetime.now(pytz.timezone("Asia/Kolkata")).strftime("%m/%d/%Y %H:%M:%S")


print(stamp())
log = setup_logger("svc")
log.info("started")
log.debug("value %s of %d", "x", 5)
other = logging.Formatter("%(asctime)s", datefmt="%m/%d/%Y %H:%M:%S")  # unrelated code's formatter
print(other.format(logging.makeLogRecord({})))
print(stamp())
