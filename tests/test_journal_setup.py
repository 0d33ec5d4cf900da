"""journal_setup: the module's attributes, the Asia/Kolkata clock, CustomLogger,
the setup functions and the level table."""

import asyncio
import datetime
import inspect
import logging
import re
import sys
import time

import pytest
import pytz

from support.logs import KOLKATA, kolkata_now, parse_stamp, record, unique_name
from support.programs import run_scenario
from veltrano_python_configuration import journal_setup as js
from veltrano_python_configuration.journal_setup import AsyncLogger, CustomLogger, setup_logger, time_tz


def test_module_attributes_and_classes():
    names = [n for n in vars(js) if not n.startswith("__")]
    assert names == [
        "asyncio", "logging", "ThreadPoolExecutor", "datetime", "Logger", "Union", "Callable", "Optional", "Dict",
        "Any", "timezone", "time_tz", "CustomLogger", "AsyncLogger", "setup_base_logger", "setup_sync_logger",
        "setup_async_logger", "get_log_level_from_string", "setup_logger",
    ]  # fmt: skip
    assert js.datetime is datetime.datetime and js.timezone is pytz.timezone
    assert logging.Formatter.__dict__["converter"] is time_tz
    assert CustomLogger.__bases__ == (logging.Logger,) and [n for n in vars(CustomLogger) if n[0] != "_"] == ["error"]
    assert inspect.iscoroutinefunction(AsyncLogger._log_message)
    assert inspect.iscoroutinefunction(AsyncLogger._process_log_queue)


@pytest.mark.parametrize("tz", ["UTC", "America/New_York"])
def test_records_on_stderr_byte_for_byte_in_kolkata_time_whatever_the_host_zone(tz):
    _, err, out = run_scenario("kolkata_stamps", env={"TZ": tz})
    match = re.fullmatch(record("INFO", "started") + record("DEBUG", "value x of 5"), err)
    assert match, err
    before, other, after = map(parse_stamp, out.split("\n")[:3])
    assert all(before <= stamp <= after for stamp in [*map(parse_stamp, match.groups()), other])


def test_custom_logger_error_shows_the_handled_exception_on_stderr(capfd):
    log = setup_logger(unique_name())
    capfd.readouterr()
    try:
        raise ValueError("boom")
    except ValueError:
        log.error("failed %s", 1)
    log.error("no traceback", exc_info=False)
    traceback = r"Traceback \(most recent call last\):\n.*raise ValueError\(\"boom\"\)\nValueError: boom"
    err = capfd.readouterr().err
    assert re.fullmatch(record("ERROR", "failed 1", traceback) + record("ERROR", "no traceback"), err, re.S), err


def test_custom_logger_error_adds_exc_info_and_calls_the_next_class_in_the_mro():
    calls = []

    class Recording(logging.Logger):
        def error(self, msg, *args, **kwargs):
            calls.append((msg, args, kwargs))

    class Combined(CustomLogger, Recording):
        pass

    given = ValueError("given")
    assert Combined("x").error("m %s", 1, stacklevel=2) is None
    for exc_info in (False, None, given):
        Combined("x").error("n", exc_info=exc_info)
    assert calls == [("m %s", (1,), {"stacklevel": 2, "exc_info": True})] + [
        ("n", (), {"exc_info": e}) for e in (False, None, given)
    ]


def test_setup_base_logger_configures_and_accumulates_handlers(capfd):
    name = unique_name()
    first = setup_logger(name)
    assert logging.getLoggerClass() is CustomLogger
    assert type(first) is CustomLogger and first.level == logging.DEBUG
    (handler,) = first.handlers
    assert type(handler) is logging.StreamHandler and handler.stream is sys.stderr and handler.level == logging.DEBUG
    second = setup_logger(name, log_level_str="nonsense")
    assert second is first and len(first.handlers) == 2 and first.level == logging.ERROR
    capfd.readouterr()
    first.critical("twice")
    assert re.fullmatch(record("CRITICAL", "twice") * 2, capfd.readouterr().err)


@pytest.mark.parametrize(
    "text, level",
    [("debug", "DEBUG"), ("Debug", "DEBUG"), ("info", "INFO"), ("Warning", "WARNING"), ("critical", "CRITICAL"),
     ("warn", "ERROR"), ("fatal", "ERROR"), ("notset", "ERROR"), ("", "ERROR"), (" info", "ERROR")],
)  # fmt: skip
def test_level_table(text, level):
    assert js.get_log_level_from_string(text) == getattr(logging, level)


@pytest.mark.parametrize("async_mode, asynchronous", [(1, True), ("no", True), (0, False), ("", False), (None, False)])
def test_setup_logger_chooses_by_truth_value(async_mode, asynchronous):
    async def make():  # inside a loop, so that an AsyncLogger makes no loop of its own
        return setup_logger(unique_name(), async_mode, "info")

    made = asyncio.run(make())
    assert isinstance(made, AsyncLogger) is asynchronous
    assert (made.logger if asynchronous else made).level == logging.INFO


def test_module_globals_are_looked_up_at_each_call(monkeypatch):
    monkeypatch.setattr(js, "timezone", lambda name: pytz.utc)
    assert abs(time.mktime(time_tz()) - time.mktime(datetime.datetime.now(pytz.utc).timetuple())) <= 2
    monkeypatch.setattr(js, "AsyncLogger", lambda *args: ("made", args))
    assert setup_logger("svc", True, "warning") == ("made", ("svc", logging.WARNING))
    monkeypatch.setattr(logging, "ERROR", 41)  # the levels too are read at each call
    assert [js.get_log_level_from_string(s) for s in ("error", "nonsense")] == [41, 41]
    monkeypatch.setattr(js, "logging", type("Levels", (), dict(DEBUG=1, INFO=2, WARNING=3, ERROR=4, CRITICAL=5)))
    assert [js.get_log_level_from_string(s) for s in ("critical", "nonsense")] == [5, 4]


def test_time_tz_ignores_positional_arguments_and_refuses_keywords():
    for args in [(), (1.5,), (object(), 1.5)]:
        before, now, after = kolkata_now(), time_tz(*args), kolkata_now()
        assert isinstance(now, time.struct_time)
        assert before <= KOLKATA.localize(datetime.datetime(*now[:6])) <= after
    with pytest.raises(TypeError, match=r"^time_tz\(\) got an unexpected keyword argument 'created'$"):
        time_tz(created=1.0)


class StrSub(str):
    pass


@pytest.mark.parametrize(
    "call, name, got",
    [
        (lambda: setup_logger("svc", True, 10), "log_level_str", "int"),
        (lambda: js.setup_base_logger("svc", True), "log_level", "bool"),
        (lambda: js.setup_base_logger(None, 10), "service_name", "NoneType"),
        (lambda: js.setup_async_logger(StrSub("svc"), 10), "service_name", "StrSub"),
        (lambda: js.setup_sync_logger(unique_name(), 10).error(ValueError("x")), "msg", "ValueError"),
    ],
)
def test_exact_argument_types(call, name, got):
    with pytest.raises(TypeError) as info:
        call()
    assert re.fullmatch(rf"Argument '{name}' has incorrect type \(expected \w+, got {got}\)", str(info.value))
    assert bool(getattr(info.value, "__notes__", None)) is (got in ("bool", "StrSub"))
