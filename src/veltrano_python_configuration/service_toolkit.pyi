# A process-wide singleton metaclass, JSON-schema extension from a settings
# file, and Google Chat messengers that post card alerts to webhooks.
import asyncio as asyncio
import json as json
import logging as logging
from typing import Any as Any, ClassVar, Dict as Dict, Literal, NoReturn, Optional as Optional, Protocol, Union as Union, overload

import aiohttp as aiohttp
import requests as requests

# What the messengers need of a logger: error("Error in webhookApi",
# exc_info=True). A logging.Logger and the AsyncLogger of journal_setup fit.
class _ErrorLogger(Protocol):
    def error(self, msg: str, /, *, exc_info: bool = ...) -> object: ...

class SingletonMeta(type):
    """
    This is a thread-safe implementation of Singleton.
    """

    # One registry for the whole process: class -> its one instance.
    _instances: ClassVar[dict[type, Any]]
    def __call__(cls, *args: Any, **kwargs: Any) -> Any: ...

def add_extra_properties_to_schema(schema: dict[str, Any], appsettings_path: str) -> dict[str, Any]: ...

class GoogleChatSyncMessenger(metaclass=SingletonMeta):
    service_name: str
    default_g_chat_webhook: str
    default_g_chat_error_webhook: str
    environ: str
    log_enabled: list[str]
    logger: _ErrorLogger | None
    color_dict: dict[int, str]
    def __init__(
        self,
        service_name: str,
        g_chat_webhook: str,
        g_chat_error_webhook: str,
        environ: str,
        log_enabled: list[str] | None = None,
        logger: _ErrorLogger | None = None,
    ) -> None: ...
    def send_message(self, text_message: str, message_type: int = 1, webhook_url: str | None = None) -> None:
        """Send a message to Google Chat synchronously, allowing dynamic webhook overrides."""

class GoogleChatAsyncMessenger(metaclass=SingletonMeta):
    g_chat_error_webhook: str
    service_name: str
    g_chat_webhook: str
    environ: str
    log_enabled: list[str]
    logger: _ErrorLogger | None
    color_dict: dict[int, str]
    # Items are (text_message, message_type); a message_type of None is
    # posted as an "other" message (black, ordinary webhook).
    log_queue: asyncio.Queue[tuple[str, int | None]]
    queue_task: asyncio.Task[NoReturn] | None
    def __init__(
        self,
        service_name: str,
        g_chat_webhook: str,
        g_chat_error_webhook: str,
        environ: str,
        log_enabled: list[str] | None = None,
        logger: _ErrorLogger | None = None,
        max_queue_size: int = 100,
    ) -> None: ...
    def _ensure_queue_processing(self) -> None: ...
    async def _enqueue_message(self, text_message: str, message_type: int | None) -> None: ...
    # The consumer loop: ends only by cancellation or an escaping exception.
    async def _process_log_queue(self) -> NoReturn: ...
    def send_message(self, text_message: str, message_type: int | None = None) -> None:
        """Send message to Google Chat, either synchronously or asynchronously."""
    async def _send_message_async(self, text_message: str, message_type: int | None) -> None:
        """Send message to Google Chat asynchronously."""

@overload
def setup_google_chat_messenger(
    service_name: str,
    g_chat_webhook: str,
    g_chat_error_webhook: str,
    environ: str,
    async_mode: Literal[False] = False,
    log_enabled: list[str] | None = None,
    logger: _ErrorLogger | None = None,
) -> GoogleChatSyncMessenger: ...
@overload
def setup_google_chat_messenger(
    service_name: str,
    g_chat_webhook: str,
    g_chat_error_webhook: str,
    environ: str,
    async_mode: Literal[True],
    log_enabled: list[str] | None = None,
    logger: _ErrorLogger | None = None,
) -> GoogleChatAsyncMessenger: ...
@overload
def setup_google_chat_messenger(
    service_name: str,
    g_chat_webhook: str,
    g_chat_error_webhook: str,
    environ: str,
    async_mode: bool = False,
    log_enabled: list[str] | None = None,
    logger: _ErrorLogger | None = None,
) -> GoogleChatSyncMessenger | GoogleChatAsyncMessenger: ...
