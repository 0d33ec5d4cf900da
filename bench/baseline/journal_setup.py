"""Baseline of journal_setup: loggers writing to standard error with Asia/Kolkata time."""

import asyncio
import logging
import sys
from concurrent.futures import ThreadPoolExecutor
from datetime import datetime
from logging import Logger
from typing import Any, Callable, Dict, Optional, Union

from pytz import timezone

from ._argcheck import refuse


def time_tz(*args: "Any") -> "datetime.timetuple":
    """Get the current time in the Asia/Kolkata timezone."""
    return datetime.now(timezone("Asia/Kolkata")).timetuple()


logging.Formatter.converter = time_tz


class CustomLogger(logging.Logger):
    def error(self, msg: "str", *args: "Any", **kwargs: "Any") -> "None":
        if type(msg) is not str:
            raise refuse("msg", str, msg)
        if "exc_info" not in kwargs:
            kwargs["exc_info"] = True
        super().error(msg, *args, **kwargs)


class AsyncLogger:
    # As the compiled module, besides the documented attributes: the consumer
    # tasks started (so that a logging call can start one on its running loop
    # when none is alive there), the home loop (the last consumer's: a call
    # from another thread's loop while it runs hands the record over to it)
    # and the line of error/warning records waiting for room in a full queue
    # (so that they are put in order).
    def __init__(self, service_name: "str", log_level: "int", max_queue_size: "int" = 100) -> "None":
        if type(service_name) is not str:
            raise refuse("service_name", str, service_name)
        if type(log_level) is not int:
            raise refuse("log_level", int, log_level)
        if type(max_queue_size) is not int:
            raise refuse("max_queue_size", int, max_queue_size)
        self.logger = setup_base_logger(service_name, log_level)
        self.log_queue = asyncio.Queue(max_queue_size)
        self.executor = ThreadPoolExecutor()
        self.log_level = log_level
        self.log_methods = {
            "error": self.logger.error,
            "warning": self.logger.warning,
            "info": self.logger.info,
            "debug": self.logger.debug,
        }
        self._consumer_tasks = []
        self._home = None
        self._waiting_for_room = []
        self._ensure_queue_processing()

    def _ensure_queue_processing(self) -> "None":
        try:
            loop = asyncio.get_running_loop()
        except RuntimeError:
            loop = asyncio.new_event_loop()
            asyncio.set_event_loop(loop)
        self._consumer_tasks.append(loop.create_task(self._process_log_queue()))
        self._home = loop

    def _loop_for(self, loop):
        """The loop whose queue takes a record logged on `loop`: the home loop while it runs in another thread."""
        home = self._home
        if home is not loop and home is not None and home.is_running():
            return home
        tasks = self._consumer_tasks
        alive = [task for task in tuple(tasks) if not task.done()]
        if len(alive) != len(tasks):
            tasks[:] = alive
        if not any(task.get_loop() is loop for task in alive):
            self._ensure_queue_processing()
        return loop

    async def _log_message(self, level: "str", msg: "str", *args: "Any", **kwargs: "Any") -> "None":
        if type(level) is not str:
            raise refuse("level", str, level)
        if type(msg) is not str:
            raise refuse("msg", str, msg)
        line = self._waiting_for_room
        if not self.log_queue.full() and not line:
            await self.log_queue.put((level, msg, args, kwargs))
            return None
        if level == "info" or level == "debug":
            return None
        turn = asyncio.get_running_loop().create_future()
        line.append(turn)
        try:
            if line[0] is not turn:
                await turn
            await self.log_queue.put((level, msg, args, kwargs))
        finally:
            first = line[0] is turn
            line.remove(turn)
            if first and line and not line[0].done():
                line[0].set_result(None)

    async def _process_log_queue(self) -> "None":
        while True:
            item = await self.log_queue.get()
            try:
                level, msg, args, kwargs = item
                log_method = self.log_methods.get(level)
                if log_method:
                    log_method(msg, *args, **kwargs)
            except Exception as error:
                asyncio.get_running_loop().call_exception_handler(
                    {"message": "AsyncLogger could not write the record %r" % (item,), "exception": error}
                )
            self.log_queue.task_done()

    def error(self, msg: "str", *args: "Any", **kwargs: "Any") -> "None":
        if type(msg) is not str:
            raise refuse("msg", str, msg)
        if self.log_level <= logging.ERROR:
            loop = self._loop_for(asyncio.get_running_loop())
            if "exc_info" not in kwargs:
                handled = sys.exception()
                if handled is not None:
                    kwargs["exc_info"] = handled
            asyncio.run_coroutine_threadsafe(self._log_message("error", msg, *args, **kwargs), loop)

    def info(self, msg: "str", *args: "Any", **kwargs: "Any") -> "None":
        if type(msg) is not str:
            raise refuse("msg", str, msg)
        if self.log_level <= logging.INFO:
            loop = self._loop_for(asyncio.get_running_loop())
            asyncio.run_coroutine_threadsafe(self._log_message("info", msg, *args, **kwargs), loop)

    def debug(self, msg: "str", *args: "Any", **kwargs: "Any") -> "None":
        if type(msg) is not str:
            raise refuse("msg", str, msg)
        if self.log_level <= logging.DEBUG:
            loop = self._loop_for(asyncio.get_running_loop())
            asyncio.run_coroutine_threadsafe(self._log_message("debug", msg, *args, **kwargs), loop)

    def warning(self, msg: "str", *args: "Any", **kwargs: "Any") -> "None":
        if type(msg) is not str:
            raise refuse("msg", str, msg)
        if self.log_level <= logging.WARNING:
            loop = self._loop_for(asyncio.get_running_loop())
            asyncio.run_coroutine_threadsafe(self._log_message("warning", msg, *args, **kwargs), loop)

    def print_queue_length(self) -> "None":
        """Print the current length of the log queue."""
        print("Log queue length: " + str(self.log_queue.qsize()))


def setup_base_logger(service_name: "str", log_level: "int") -> "Logger":
    if type(service_name) is not str:
        raise refuse("service_name", str, service_name)
    if type(log_level) is not int:
        raise refuse("log_level", int, log_level)
    logging.setLoggerClass(CustomLogger)
    logger_object = logging.getLogger(service_name)
    logger_object.setLevel(log_level)
    console_handler = logging.StreamHandler()
    console_handler.setLevel(log_level)
    formatter = logging.Formatter("\n%(levelname)s - %(asctime)s - %(message)s\n", datefmt="%m/%d/%Y %H:%M:%S")
    console_handler.setFormatter(formatter)
    logger_object.addHandler(console_handler)
    return logger_object


def setup_sync_logger(service_name: "str", log_level: "int") -> "Logger":
    if type(service_name) is not str:
        raise refuse("service_name", str, service_name)
    if type(log_level) is not int:
        raise refuse("log_level", int, log_level)
    return setup_base_logger(service_name, log_level)


def setup_async_logger(service_name: "str", log_level: "int") -> "AsyncLogger":
    if type(service_name) is not str:
        raise refuse("service_name", str, service_name)
    if type(log_level) is not int:
        raise refuse("log_level", int, log_level)
    return AsyncLogger(service_name, log_level)


def get_log_level_from_string(level_str: "str") -> "int":
    """Convert a log level string to a logging level int."""
    if type(level_str) is not str:
        raise refuse("level_str", str, level_str)
    level_str = level_str.upper()
    log_levels = {
        "DEBUG": logging.DEBUG,
        "INFO": logging.INFO,
        "WARNING": logging.WARNING,
        "ERROR": logging.ERROR,
        "CRITICAL": logging.CRITICAL,
    }
    return log_levels.get(level_str, logging.ERROR)


def setup_logger(
    service_name: "str", async_mode: "bool" = False, log_level_str: "str" = "DEBUG"
) -> "Union[Logger, AsyncLogger]":
    if type(service_name) is not str:
        raise refuse("service_name", str, service_name)
    if type(log_level_str) is not str:
        raise refuse("log_level_str", str, log_level_str)
    log_level = get_log_level_from_string(log_level_str)
    if async_mode:
        return setup_async_logger(service_name, log_level)
    return setup_sync_logger(service_name, log_level)
