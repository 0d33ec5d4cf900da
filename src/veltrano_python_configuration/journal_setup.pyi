# Loggers that write to standard error in one layout, with the time shown in
# Asia/Kolkata: a synchronous CustomLogger, or an AsyncLogger that hands its
# records through an asyncio queue to one.
import asyncio as asyncio
import logging as logging
import time
from concurrent.futures import ThreadPoolExecutor as ThreadPoolExecutor
from datetime import datetime as datetime
from logging import Logger as Logger
from typing import Any as Any, Callable as Callable, Dict as Dict, Literal, NoReturn, Optional as Optional, Union as Union, overload

# pytz ships no annotations of its own; with types-pytz installed this is typed.
from pytz import timezone as timezone  # type: ignore[import-untyped]

def time_tz(*args: Any) -> time.struct_time:
    """Get the current time in the Asia/Kolkata timezone."""

class CustomLogger(Logger):
    # Only an exact str is accepted as the message; exc_info defaults to True.
    def error(self, msg: str, *args: Any, **kwargs: Any) -> None: ...  # type: ignore[override]

class AsyncLogger:
    logger: Logger
    # Items are (level word, message, positional args, keyword args).
    log_queue: asyncio.Queue[tuple[str, str, tuple[Any, ...], dict[str, Any]]]
    executor: ThreadPoolExecutor
    log_level: int
    log_methods: dict[str, Callable[..., None]]
    def __init__(self, service_name: str, log_level: int, max_queue_size: int = 100) -> None: ...
    def _ensure_queue_processing(self) -> None: ...
    async def _log_message(self, level: str, msg: str, *args: Any, **kwargs: Any) -> None: ...
    # The consumer loop: ends only by cancellation or an escaping exception.
    async def _process_log_queue(self) -> NoReturn: ...
    # These four need a running event loop in the calling thread once the
    # record passes the level filter (RuntimeError otherwise).
    def error(self, msg: str, *args: Any, **kwargs: Any) -> None: ...
    def info(self, msg: str, *args: Any, **kwargs: Any) -> None: ...
    def debug(self, msg: str, *args: Any, **kwargs: Any) -> None: ...
    def warning(self, msg: str, *args: Any, **kwargs: Any) -> None: ...
    def print_queue_length(self) -> None:
        """Print the current length of the log queue."""

def setup_base_logger(service_name: str, log_level: int) -> Logger: ...
def setup_sync_logger(service_name: str, log_level: int) -> Logger: ...
def setup_async_logger(service_name: str, log_level: int) -> AsyncLogger: ...
def get_log_level_from_string(level_str: str) -> int:
    """Convert a log level string to a logging level int."""

@overload
def setup_logger(service_name: str, async_mode: Literal[False] = False, log_level_str: str = "DEBUG") -> Logger: ...
@overload
def setup_logger(service_name: str, async_mode: Literal[True], log_level_str: str = "DEBUG") -> AsyncLogger: ...
@overload
def setup_logger(service_name: str, async_mode: bool = False, log_level_str: str = "DEBUG") -> Logger | AsyncLogger: ...
