"""Property-based tests: arbitrary objects at every checked parameter, and
arbitrary documents, URLs and level names at the parsing functions. Each call
gives the result a plain model computes or raises the error the model
expects; nothing crashes, and the modules keep working afterwards."""

import contextlib
import copy
import ctypes
import json
import logging
import os
import sys
import tempfile
import time

import pytest
import redis
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

from veltrano_python_configuration import broker_setup, cache_access, journal_setup, service_toolkit

SETTINGS = settings(deadline=None, max_examples=40, database=None, suppress_health_check=[HealthCheck.too_slow])
FEW = settings(SETTINGS, max_examples=15)

# --- arbitrary objects ---------------------------------------------------------------------------


class StrSub(str):
    pass


class IntSub(int):
    pass


class ListSub(list):
    pass


class DictSub(dict):
    pass


class PosesAsStr:
    """isinstance() believes it is a str; its type says otherwise."""

    __class__ = property(lambda self: str)


class Unequal:
    def __eq__(self, other):
        raise RuntimeError("no comparison")

    __hash__ = object.__hash__


class_names = st.text(st.characters(exclude_categories=("Cs",), exclude_characters="\x00"), min_size=1, max_size=260)

objects = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(),
    st.floats(),
    st.complex_numbers(),
    st.text(max_size=20),
    st.binary(max_size=10),
    st.lists(st.integers(), max_size=3),
    st.tuples(st.integers()),
    st.dictionaries(st.text(max_size=3), st.integers(), max_size=3),
    st.sets(st.integers(), max_size=3),
    st.frozensets(st.integers(), max_size=3),
    st.decimals(allow_nan=False),
    st.fractions(),
    st.builds(StrSub, st.text(max_size=5)),
    st.builds(IntSub, st.integers()),
    st.builds(ListSub),
    st.builds(DictSub),
    st.builds(PosesAsStr),
    st.builds(Unequal),
    st.builds(object),
    st.builds(bytearray),
    st.sampled_from([str, int, list, dict, NotImplemented, Ellipsis, range(3), print, sys]),
    class_names.map(lambda name: type(name, (), {})()),  # a class of any name, long and non-ASCII too
)


def type_name(obj):
    """The C-level name of the object's type (tp_name), as the TypeError shows it."""
    return ctypes.c_char_p.from_address(id(type(obj)) + 3 * ctypes.sizeof(ctypes.c_void_p)).value.decode()


class Accepted(BaseException):
    """Raised by a stand-in that the body reaches only when every argument was accepted."""


def accepted(*args, **kwargs):
    raise Accepted


class Raising:
    """A module global whose every use means the body began."""

    def __getattr__(self, name):
        raise Accepted

    __call__ = accepted


class Poison:
    """Refused by every checked parameter."""


@contextlib.contextmanager
def patched(*replacements):
    saved = []
    try:
        for owner, name, value in replacements:
            saved.append((owner, name, owner.__dict__.get(name, Poison)))
            setattr(owner, name, value)
        yield
    finally:
        for owner, name, value in reversed(saved):
            if value is Poison:
                delattr(owner, name)
            else:
                setattr(owner, name, value)


# --- the checked parameters ------------------------------------------------------------------

S, I, L, D = str, int, list, dict  # noqa: E741 (short names for the tables below)


def gated_sync():
    service_toolkit.SingletonMeta._instances.pop(service_toolkit.GoogleChatSyncMessenger, None)
    return service_toolkit.GoogleChatSyncMessenger("svc", "http://127.0.0.1:9/x", "", "staging")


def async_messenger():
    service_toolkit.SingletonMeta._instances.pop(service_toolkit.GoogleChatAsyncMessenger, None)
    messenger = service_toolkit.GoogleChatAsyncMessenger("svc", "http://127.0.0.1:9/x", "", "staging")
    messenger._ensure_queue_processing = accepted  # the body's first step
    return messenger


def base_client():
    client = cache_access.BaseRedisClient.__new__(cache_access.DevelopmentRedisClient)
    client.client, client.logger = Raising(), None
    return client


def fresh_singletons():
    for cls in (service_toolkit.GoogleChatSyncMessenger, service_toolkit.GoogleChatAsyncMessenger):
        service_toolkit.SingletonMeta._instances.pop(cls, None)


def closing(coroutine):
    coroutine.close()
    raise Accepted


j, c, t = journal_setup, cache_access, service_toolkit
silent = journal_setup.CustomLogger("properties-silent")  # made directly: in no registry

# (name, how to call it, the checked parameters in order as (name, type, None accepted),
#  valid values by name, the module globals that the body reaches first)
TARGETS = [
    (
        "get_log_level_from_string",
        lambda **k: j.get_log_level_from_string(**k),
        [("level_str", S, False)],
        {"level_str": "info"},
        [],
    ),
    (
        "setup_base_logger",
        lambda **k: j.setup_base_logger(**k),
        [("service_name", S, False), ("log_level", I, False)],
        {"service_name": "p", "log_level": 10},
        [(j, "logging")],
    ),
    (
        "setup_sync_logger",
        lambda **k: j.setup_sync_logger(**k),
        [("service_name", S, False), ("log_level", I, False)],
        {"service_name": "p", "log_level": 10},
        [(j, "setup_base_logger")],
    ),
    (
        "setup_async_logger",
        lambda **k: j.setup_async_logger(**k),
        [("service_name", S, False), ("log_level", I, False)],
        {"service_name": "p", "log_level": 10},
        [(j, "AsyncLogger")],
    ),
    (
        "setup_logger",
        lambda **k: j.setup_logger(**k),
        [("service_name", S, False), ("log_level_str", S, False)],
        {"service_name": "p", "async_mode": False, "log_level_str": "info"},
        [(j, "get_log_level_from_string")],
    ),
    (
        "AsyncLogger",
        lambda **k: j.AsyncLogger(**k),
        [("service_name", S, False), ("log_level", I, False), ("max_queue_size", I, False)],
        {"service_name": "p", "log_level": 10, "max_queue_size": 5},
        [(j, "setup_base_logger")],
    ),
    (
        "AsyncLogger._log_message",
        lambda **k: closing(j.AsyncLogger._log_message(None, **k)),
        [("level", S, False), ("msg", S, False)],
        {"level": "info", "msg": "m"},
        [],
    ),
    (
        "CustomLogger.error",
        lambda **k: j.CustomLogger.error(silent, **k),
        [("msg", S, False)],
        {"msg": "m"},
        [(logging.Logger, "error")],
    ),
    (
        "IRedisClient.set",
        lambda **k: c.IRedisClient().set(**k),
        [("key", S, False), ("value", S, False), ("ex", I, False)],
        {"key": "k", "value": "v", "ex": 0},
        [],
    ),
    (
        "BaseRedisClient.increment_category_counts",
        lambda **k: base_client().increment_category_counts(**k),
        [("operation_id", S, False), ("batch_data", L, False)],
        {"operation_id": "o", "batch_data": []},
        [],
    ),
    ("BaseRedisClient.get", lambda **k: base_client().get(**k), [("key", S, False)], {"key": "k"}, []),
    (
        "BaseRedisClient.__init__",
        lambda **k: c.DevelopmentRedisClient(**k),
        [("url", S, False)],
        {"url": "u", "logger": None},
        [(c.DevelopmentRedisClient, "connect")],
    ),
    (
        "RedisClientFactory.create",
        lambda **k: c.RedisClientFactory.create(**k),
        [("url", S, False), ("environ", S, False), ("client_type", I, False)],
        {"url": "u", "environ": "dev", "client_type": 2},
        [(c, "initialize_redis"), (c, "DevelopmentRedisClient"), (c, "ProductionRedisClient")],
    ),
    (
        "initialize_redis",
        lambda **k: c.initialize_redis(**k),
        [("url", S, False), ("environ", S, False)],
        {"url": "u", "environ": "dev"},
        [(c, "redis")],
    ),
    (
        "add_extra_properties_to_schema",
        lambda **k: t.add_extra_properties_to_schema(**k),
        [("schema", D, False), ("appsettings_path", S, False)],
        {"schema": {}, "appsettings_path": "p"},
        [(t, "open")],
    ),
    (
        "GoogleChatSyncMessenger",
        lambda **k: (fresh_singletons(), t.GoogleChatSyncMessenger(**k), closing_sync()),
        [
            ("service_name", S, False),
            ("g_chat_webhook", S, False),
            ("g_chat_error_webhook", S, False),
            ("environ", S, False),
            ("log_enabled", L, True),
        ],
        {"service_name": "s", "g_chat_webhook": "w", "g_chat_error_webhook": "e", "environ": "v"},
        [],
    ),
    (
        "GoogleChatSyncMessenger.send_message",
        lambda **k: gated_sync().send_message(**k),
        [("text_message", S, False), ("message_type", I, False), ("webhook_url", S, True)],
        {"text_message": "m"},
        [(t, "json"), (t, "requests")],
    ),
    (
        "GoogleChatAsyncMessenger",
        lambda **k: (fresh_singletons(), t.GoogleChatAsyncMessenger(**k), closing_sync()),
        [
            ("service_name", S, False),
            ("g_chat_webhook", S, False),
            ("g_chat_error_webhook", S, False),
            ("environ", S, False),
            ("log_enabled", L, True),
            ("max_queue_size", I, False),
        ],
        {"service_name": "s", "g_chat_webhook": "w", "g_chat_error_webhook": "e", "environ": "v"},
        [],
    ),
    (
        "GoogleChatAsyncMessenger.send_message",
        lambda **k: async_messenger().send_message(**k),
        [("text_message", S, False), ("message_type", I, True)],
        {"text_message": "m"},
        [],
    ),
    (
        "GoogleChatAsyncMessenger._send_message_async",
        lambda **k: closing(t.GoogleChatAsyncMessenger._send_message_async(None, **k)),
        [("text_message", S, False), ("message_type", I, True)],
        {"text_message": "m", "message_type": 1},
        [],
    ),
    (
        "setup_google_chat_messenger",
        lambda **k: t.setup_google_chat_messenger(**k),
        [
            ("service_name", S, False),
            ("g_chat_webhook", S, False),
            ("g_chat_error_webhook", S, False),
            ("environ", S, False),
            ("log_enabled", L, True),
        ],
        {"service_name": "s", "g_chat_webhook": "w", "g_chat_error_webhook": "e", "environ": "v"},
        [(t, "GoogleChatSyncMessenger"), (t, "GoogleChatAsyncMessenger")],
    ),
    (
        "KafkaConfigurationBuilder.build",
        lambda **k: broker_setup.KafkaConfigurationBuilder(Raising()).build(**k),
        [("data", D, False)],
        {"data": {}},
        [],
    ),
]


def closing_sync():
    fresh_singletons()
    raise Accepted


CASES = [
    (name, call, params, valid, first, index)
    for name, call, params, valid, first in TARGETS
    for index in range(len(params))
]


def expected_refusal(param, want, none_ok, value):
    """The TypeError message and whether it carries a note, or None when `value` is accepted."""
    kind = type(value)
    if kind is want or (none_ok and value is None):
        return None
    name = type_name(value)[:200]
    return f"Argument '{param}' has incorrect type (expected {want.__name__}, got {name})", issubclass(kind, want)


@pytest.mark.parametrize(
    "name, call, params, valid, first, index", CASES, ids=[f"{case[0]}:{case[2][case[5]][0]}" for case in CASES]
)
@SETTINGS
@given(value=objects)
@example(value=type("\u00e4" * 150 + "x", (), {})())  # a long non-ASCII type name: cut at 200 characters
@example(value=True)
def test_each_checked_parameter_takes_exactly_its_type(name, call, params, valid, first, index, value):
    param, want, none_ok = params[index]
    kwargs = dict(valid, **{param: value})
    later = params[index + 1 :]
    if later:  # a refused argument after this one shows that this one was accepted
        kwargs[later[0][0]] = Poison()
    refusal = expected_refusal(param, want, none_ok, value)
    if refusal is None:
        refusal = (
            (f"Argument '{later[0][0]}' has incorrect type (expected {later[0][1].__name__}, got Poison)", False)
            if later
            else None
        )
    with patched(*[(owner, attr, Raising()) for owner, attr in first]):
        try:
            call(**kwargs)
        except TypeError as e:
            assert refusal is not None, f"{name} refused {value!r}: {e}"
            assert (str(e), bool(getattr(e, "__notes__", None))) == refusal
        except (Accepted, NotImplementedError):
            assert refusal is None, f"{name} accepted {value!r}"
        else:
            assert refusal is None, f"{name} accepted {value!r}"
    fresh_singletons()
    assert journal_setup.get_log_level_from_string("warning") == logging.WARNING  # still working


@pytest.mark.parametrize(
    "name, shown",
    [
        ("x" * 300, "x" * 200),
        ("\u00e4" * 150 + "x", "\u00e4" * 150 + "x"),  # 301 bytes, 151 characters: shown whole
        ("a" + "\u00e4" * 250, "a" + "\u00e4" * 199),  # cut between characters, never inside one
    ],
)
def test_a_refused_type_name_is_cut_at_200_characters(name, shown):
    with pytest.raises(TypeError) as info:
        journal_setup.get_log_level_from_string(type(name, (), {})())
    assert str(info.value) == f"Argument 'level_str' has incorrect type (expected str, got {shown})"


# --- the parsing functions ------------------------------------------------------------------

LEVELS = {"DEBUG": 10, "INFO": 20, "WARNING": 30, "ERROR": 40, "CRITICAL": 50}


@SETTINGS
@given(
    st.one_of(
        st.text(),
        st.sampled_from(["debug", "Info", "WARNING", " info", "warn", "\u0131nfo", "critical", "de\u0299ug"]).map(
            lambda s: s.swapcase()
        ),
    )
)
def test_level_from_any_string(text):
    assert journal_setup.get_log_level_from_string(text) == LEVELS.get(text.upper(), logging.ERROR)


def parse_url_model(url):
    parts = url.split(":")
    if len(parts) >= 2 and parts[1] and parts[1].isdigit():
        return parts[0], int(parts[1])  # int() may refuse a digit (a superscript, say): ValueError
    return parts[0], 6379


digits = st.text(st.characters(categories=("Nd", "No")), max_size=6) | st.text("0123456789", max_size=25)
url_like = (
    st.builds(lambda host, port, rest: f"{host}:{port}{rest}", st.text(max_size=12), digits, st.text(max_size=8))
    | st.text()
    | st.just("h:" + "7" * 5000)
)


@SETTINGS
@given(url_like)
@example("redis://cache-1:700")
@example("h:\u00b2")
def test_parse_url_matches_the_model(url):
    client = cache_access.ProductionRedisClient.__new__(cache_access.ProductionRedisClient)
    try:
        expected = parse_url_model(url)
    except ValueError:
        with pytest.raises(ValueError):
            client._parse_url(url)
        return
    result = client._parse_url(url)
    assert result == expected and type(result) is tuple and type(result[1]) is int


class Lines:
    def __init__(self):
        self.errors = []

    def error(self, message):
        self.errors.append(message)


url_text = st.text(st.characters(exclude_categories=("Cs",)), max_size=30)
PREFIX = "Error connecting to Development Redis at '"


def connect_like_the_library(url):
    """What redis.Redis.from_url does with the URL the client connects to: None or its error."""
    schemes = ("redis://", "rediss://", "unix://")
    target = url if any(url[: len(s)].lower() == s for s in schemes) else "redis://" + url
    try:
        redis.Redis.from_url(target, decode_responses=True).close()
    except Exception as e:
        return e
    return None


@SETTINGS
@given(url_text)
@example("redis://h:bad")
@example("localhost:6379")
def test_development_client_with_any_url(url):
    """The client connects as the redis library does with the same URL; a
    failure is logged in one line and raised unchanged."""
    expected, logger = connect_like_the_library(url), Lines()
    try:
        client = cache_access.DevelopmentRedisClient(url, logger)
    except Exception as e:
        assert expected is not None and (type(e), str(e)) == (type(expected), str(expected))
        (line,) = logger.errors
        assert line.startswith(PREFIX)
        return
    assert expected is None and logger.errors == []
    client.client.close()


@SETTINGS
@given(
    scheme=st.sampled_from(["", "redis://", "rediss://", "unix://"]),
    user=st.text(st.characters(exclude_categories=("Cs",), exclude_characters="@/?#"), max_size=6),
    password=st.text(st.characters(exclude_categories=("Cs",), exclude_characters="@/?#:"), min_size=4, max_size=10),
    host=st.text(st.characters(exclude_categories=("Cs",), exclude_characters="@"), max_size=10),
    port=st.sampled_from(["", ":6379", ":bad", ":-1", ":99999"]),
    rest=st.sampled_from(["", "/0", "/x", "?db=z", "/0?password=", "#f"]),
)
@example(scheme="redis://", user="user", password="s3cret", host="h", port=":bad", rest="/0?password=s3cret")
def test_a_failed_connection_never_logs_the_password(scheme, user, password, host, port, rest):
    url = f"{scheme}{user}:{password}@{host}{port}{rest}"
    if rest.endswith("password="):
        url += password
    others = scheme + user + host + port + rest
    if password in others or any(part in password for part in ("redis", "Redis")):
        return  # the text is also elsewhere in the URL, where it is not a secret
    logger = Lines()
    try:
        cache_access.DevelopmentRedisClient(url, logger).client.close()
    except Exception:
        (line,) = logger.errors
        assert line.startswith(PREFIX) and password not in line, line
    else:
        assert logger.errors == []


json_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats() | st.text(max_size=8),
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=6), inner, max_size=3),
    max_leaves=8,
)
documents = st.one_of(
    st.dictionaries(st.text(max_size=6), json_values, max_size=6).map(json.dumps),
    json_values.map(json.dumps),
    st.text(max_size=40),
)
TYPES = {
    "str": "string",
    "int": "integer",
    "float": "number",
    "bool": "boolean",
    "list": "array",
    "dict": "object",
    "NoneType": "null",
}


def schema_model(schema, document):
    extra = {}
    for key, value in document.items():
        if key in schema["properties"]:
            continue
        extra[key] = {"type": TYPES.get(type(value).__name__, "string")}
    if extra:
        schema["properties"]["extra"] = {"type": "object", "properties": extra}
    return schema


SETTINGS_DIR = tempfile.mkdtemp(prefix="properties-")


@SETTINGS
@given(
    document=documents,
    declared=st.lists(st.text(max_size=6), max_size=4),
    has_properties=st.booleans(),
    extra_declared=st.booleans(),
)
def test_schema_extension_from_any_document(document, declared, has_properties, extra_declared):
    path = os.path.join(SETTINGS_DIR, "appsettings.json")
    with open(path, "w") as f:
        f.write(document)
    schema = {"title": "t"}
    if has_properties:
        schema["properties"] = {key: {"type": "string"} for key in declared}
        if extra_declared:
            schema["properties"]["extra"] = {"old": True}
    before = copy.deepcopy(schema)
    with open(path) as f:
        text = f.read()  # what the module reads, newlines translated as it does
    try:
        expected = schema_model(copy.deepcopy(schema), json.loads(text))
    except Exception as e:
        with pytest.raises(type(e)):
            service_toolkit.add_extra_properties_to_schema(schema, path)
        assert schema == before  # left untouched
        return
    result = service_toolkit.add_extra_properties_to_schema(schema, path)
    assert result is schema
    assert json.dumps(result) == json.dumps(expected)  # equal, in the same key order


class Config:
    pass


settings_keys = st.sampled_from(["broker", "push_topic", "read_topic", "dead_letter_topic_name"])


@SETTINGS
@given(
    st.dictionaries(settings_keys | st.text(max_size=4) | st.integers(), objects, max_size=6),
    st.one_of(json_values, st.dictionaries(settings_keys, json_values)),
)
def test_build_copies_exactly_the_four_settings(data, document):
    config = Config()
    builder = broker_setup.KafkaConfigurationBuilder(config)
    snapshot = list(data.items())
    builder.build(data)
    assert list(data.items()) == snapshot
    for key in ("broker", "push_topic", "read_topic", "dead_letter_topic_name"):
        assert getattr(config, "_" + key) is data.get(key)
    if type(document) is dict:
        builder.build(document)
        assert [getattr(config, "_" + k) for k in ("broker", "push_topic", "read_topic", "dead_letter_topic_name")] == [
            document.get(k) for k in ("broker", "push_topic", "read_topic", "dead_letter_topic_name")
        ]
    else:
        with pytest.raises(TypeError):
            builder.build(document)
    assert vars(config).keys() <= {"_broker", "_push_topic", "_read_topic", "_dead_letter_topic_name"}


@FEW
@given(st.lists(objects, max_size=4))
def test_time_tz_ignores_any_positional_arguments(args):
    result = journal_setup.time_tz(*args)
    assert isinstance(result, time.struct_time) and result.tm_year >= 2024
