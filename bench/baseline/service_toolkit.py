"""Baseline of service_toolkit: singletons, schema extension, Google Chat messengers."""

import asyncio
import json
import logging
from typing import Any, Dict, Optional, Union

import aiohttp
import requests

from ._argcheck import refuse


def add_extra_properties_to_schema(schema: "Dict[str, Any]", appsettings_path: "str") -> "Dict[str, Any]":
    if type(schema) is not dict:
        raise refuse("schema", dict, schema)
    if type(appsettings_path) is not str:
        raise refuse("appsettings_path", str, appsettings_path)
    with open(appsettings_path, "r") as settings_file:
        appsettings = json.load(settings_file)
    extra_properties = {}
    type_mapping = {
        "str": "string",
        "int": "integer",
        "float": "number",
        "bool": "boolean",
        "list": "array",
        "dict": "object",
        "NoneType": "null",
    }
    for key, value in appsettings.items():
        if key in schema["properties"]:
            continue
        extra_properties[key] = {"type": type_mapping.get(type(value).__name__, "string")}
    if extra_properties:
        schema["properties"]["extra"] = {"type": "object", "properties": extra_properties}
    return schema


class SingletonMeta(type):
    """
    This is a thread-safe implementation of Singleton.
    """

    _instances: "Dict[type, Any]" = {}

    def __call__(cls, *args: "Any", **kwargs: "Any") -> "Any":
        if cls not in cls._instances:
            instance = super().__call__(*args, **kwargs)
            cls._instances[cls] = instance
        return cls._instances[cls]


def check_messenger_arguments(service_name, g_chat_webhook, g_chat_error_webhook, environ, log_enabled) -> "None":
    """The argument checks that both messengers' constructors and setup_google_chat_messenger make, in this order."""
    if type(service_name) is not str:
        raise refuse("service_name", str, service_name)
    if type(g_chat_webhook) is not str:
        raise refuse("g_chat_webhook", str, g_chat_webhook)
    if type(g_chat_error_webhook) is not str:
        raise refuse("g_chat_error_webhook", str, g_chat_error_webhook)
    if type(environ) is not str:
        raise refuse("environ", str, environ)
    if log_enabled is not None and type(log_enabled) is not list:
        raise refuse("log_enabled", list, log_enabled)


class GoogleChatSyncMessenger(metaclass=SingletonMeta):
    def __init__(
        self,
        service_name: "str",
        g_chat_webhook: "str",
        g_chat_error_webhook: "str",
        environ: "str",
        log_enabled: "Optional[list[str]]" = None,
        logger: "Optional[logging.Logger]" = None,
    ) -> "None":
        check_messenger_arguments(service_name, g_chat_webhook, g_chat_error_webhook, environ, log_enabled)
        if log_enabled is None:
            log_enabled = ["PRODUCTION", "production"]
        self.service_name = service_name
        self.default_g_chat_webhook = g_chat_webhook
        self.default_g_chat_error_webhook = g_chat_error_webhook if g_chat_error_webhook else g_chat_webhook
        self.environ = environ
        self.log_enabled = log_enabled
        self.logger = logger
        self.color_dict = {1: "#008000", 0: "#FF0000"}

    def send_message(self, text_message: "str", message_type: "int" = 1, webhook_url: "Optional[str]" = None) -> "None":
        """Send a message to Google Chat synchronously, allowing dynamic webhook overrides."""
        if type(text_message) is not str:
            raise refuse("text_message", str, text_message)
        if type(message_type) is not int:
            raise refuse("message_type", int, message_type)
        if webhook_url is not None and type(webhook_url) is not str:
            raise refuse("webhook_url", str, webhook_url)
        try:
            message_headers = {"Content-Type": "application/json; charset=UTF-8"}
            if self.environ not in self.log_enabled:
                return None
            color = self.color_dict.get(message_type, "#000000")
            if webhook_url:
                url = webhook_url
            elif message_type == 0:
                url = self.default_g_chat_error_webhook
            else:
                url = self.default_g_chat_webhook
            bot_message = {
                "cards": [
                    {
                        "header": {"title": f"*{self.service_name}*", "subtitle": f"_{self.environ}_"},
                        "sections": [
                            {"widgets": [{"textParagraph": {"text": f"<font color='{color}'>{text_message}</font>"}}]}
                        ],
                    }
                ]
            }
            # As the compiled module: a post that cannot hang forever, and an
            # HTTP error status counted as a failure.
            response = requests.post(url=url, headers=message_headers, data=json.dumps(bot_message), timeout=10)
            response.raise_for_status()
        except Exception:
            if self.logger:
                self.logger.error("Error in webhookApi", exc_info=True)
        return None


class GoogleChatAsyncMessenger(metaclass=SingletonMeta):
    def __init__(
        self,
        service_name: "str",
        g_chat_webhook: "str",
        g_chat_error_webhook: "str",
        environ: "str",
        log_enabled: "Optional[list[str]]" = None,
        logger: "Optional[logging.Logger]" = None,
        max_queue_size: "int" = 100,
    ) -> "None":
        check_messenger_arguments(service_name, g_chat_webhook, g_chat_error_webhook, environ, log_enabled)
        if type(max_queue_size) is not int:
            raise refuse("max_queue_size", int, max_queue_size)
        if log_enabled is None:
            log_enabled = ["PRODUCTION"]
        self.g_chat_error_webhook = g_chat_error_webhook if g_chat_error_webhook else g_chat_webhook
        self.service_name = service_name
        self.g_chat_webhook = g_chat_webhook
        self.environ = environ
        self.log_enabled = log_enabled
        self.logger = logger
        self.color_dict = {1: "#008000", 0: "#FF0000"}
        self.log_queue = asyncio.Queue(max_queue_size)
        self.queue_task = None
        # As the compiled module: the consumer's loop is the home; a call from
        # another thread while it runs hands the put over to it.
        self._home = None

    def _ensure_queue_processing(self) -> "None":
        if not self.queue_task or self.queue_task.done():
            loop = asyncio.get_event_loop()
            self.queue_task = loop.create_task(self._process_log_queue())
            self._home = loop

    async def _enqueue_message(self, text_message: "str", message_type: "int") -> "None":
        if type(text_message) is not str:
            raise refuse("text_message", str, text_message)
        if type(message_type) is not int:
            raise refuse("message_type", int, message_type)
        await self.log_queue.put((text_message, message_type))

    async def _process_log_queue(self) -> "None":
        while True:
            text_message, message_type = await self.log_queue.get()
            await self._send_message_async(text_message, message_type)
            self.log_queue.task_done()

    def send_message(self, text_message: "str", message_type: "int" = None) -> "None":
        """Send message to Google Chat, either synchronously or asynchronously."""
        if type(text_message) is not str:
            raise refuse("text_message", str, text_message)
        if message_type is not None and type(message_type) is not int:
            raise refuse("message_type", int, message_type)
        home = self._home
        if home is not None and home is not asyncio._get_running_loop() and home.is_running():
            asyncio.run_coroutine_threadsafe(self._enqueue_message(text_message, message_type), home)
            return
        self._ensure_queue_processing()
        try:
            loop = asyncio.get_running_loop()
            asyncio.run_coroutine_threadsafe(self._enqueue_message(text_message, message_type), loop)
        except RuntimeError:
            loop = asyncio.new_event_loop()
            asyncio.set_event_loop(loop)
            loop.run_until_complete(self._enqueue_message(text_message, message_type))

    async def _send_message_async(self, text_message: "str", message_type: "int") -> "None":
        """Send message to Google Chat asynchronously."""
        if type(text_message) is not str:
            raise refuse("text_message", str, text_message)
        if type(message_type) is not int:
            raise refuse("message_type", int, message_type)
        try:
            message_headers = {"Content-Type": "application/json; charset=UTF-8"}
            if self.environ not in self.log_enabled:
                return None
            color = self.color_dict.get(message_type, "#000000")
            url = self.g_chat_error_webhook if message_type == 0 else self.g_chat_webhook
            bot_message = {
                "cards": [
                    {
                        "header": {"title": f"*{self.service_name}*", "subtitle": f"_{self.environ}_"},
                        "sections": [
                            {"widgets": [{"textParagraph": {"text": f"<font color='{color}'>{text_message}</font>"}}]}
                        ],
                    }
                ]
            }
            async with aiohttp.ClientSession() as session:
                async with session.post(url=url, headers=message_headers, data=json.dumps(bot_message)) as response:
                    response.raise_for_status()
        except Exception:
            if self.logger:
                self.logger.error("Error in webhookApi", exc_info=True)
        return None


def setup_google_chat_messenger(
    service_name: "str",
    g_chat_webhook: "str",
    g_chat_error_webhook: "str",
    environ: "str",
    async_mode: "bool" = False,
    log_enabled: "Optional[list[str]]" = None,
    logger: "Optional[logging.Logger]" = None,
) -> "Union[GoogleChatSyncMessenger, GoogleChatAsyncMessenger]":
    check_messenger_arguments(service_name, g_chat_webhook, g_chat_error_webhook, environ, log_enabled)
    if async_mode:
        return GoogleChatAsyncMessenger(
            service_name, g_chat_webhook, g_chat_error_webhook, environ, log_enabled, logger
        )
    return GoogleChatSyncMessenger(service_name, g_chat_webhook, g_chat_error_webhook, environ, log_enabled, logger)
