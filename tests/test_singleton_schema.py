"""SingletonMeta and add_extra_properties_to_schema."""

import copy
import gc
import json
import threading
import time
import tracemalloc

import pytest

from veltrano_python_configuration import service_toolkit
from veltrano_python_configuration.service_toolkit import SingletonMeta, add_extra_properties_to_schema


@pytest.fixture
def made():
    """Classes made by a test; their registry entries are removed afterwards."""
    classes = []
    yield classes
    for cls in classes:
        SingletonMeta._instances.pop(cls, None)


def singleton_class(made, init=None, base=None):
    cls = SingletonMeta(f"C{len(made)}", (base,) if base else (), {"__init__": init} if init else {})
    made.append(cls)
    return cls


def test_module_attributes_and_metaclass_shape():
    names = [n for n in vars(service_toolkit) if not n.startswith("__")]
    assert names == [
        "asyncio",
        "json",
        "logging",
        "Optional",
        "Union",
        "Dict",
        "Any",
        "aiohttp",
        "requests",
        "add_extra_properties_to_schema",
        "SingletonMeta",
        "GoogleChatSyncMessenger",
        "GoogleChatAsyncMessenger",
        "setup_google_chat_messenger",
    ]
    assert SingletonMeta.__bases__ == (type,) and type(SingletonMeta) is type
    assert SingletonMeta.__doc__ == "\n    This is a thread-safe implementation of Singleton.\n    "
    assert SingletonMeta.__annotations__ == {"_instances": "Dict[type, Any]"}
    assert type(service_toolkit.GoogleChatAsyncMessenger) is SingletonMeta


def test_one_instance_per_exact_class_and_later_arguments_ignored(made):
    calls = []
    base = singleton_class(made, lambda self, *a, **k: calls.append((a, k)))
    sub = singleton_class(made, base=base)
    s = sub(0)  # the subclass first: the base class still has no instance
    assert base not in SingletonMeta._instances
    b = base(1, key="x")
    assert base(2) is b and sub() is s and b is not s and type(s) is sub
    assert calls == [((0,), {}), ((1,), {"key": "x"})]
    assert SingletonMeta._instances[base] is b and SingletonMeta._instances[sub] is s


def test_failed_construction_stores_nothing_and_a_removed_entry_is_rebuilt(made):
    def init(self, fail):
        if fail:
            raise ValueError("boom")

    cls = singleton_class(made, init)
    with pytest.raises(ValueError, match="boom"):
        cls(True)
    assert cls not in SingletonMeta._instances
    first = cls(False)
    assert cls(True) is first
    del SingletonMeta._instances[cls]
    assert cls(False) is not first


def test_concurrent_first_construction_makes_one_instance(made):
    inits = []
    cls = singleton_class(made, lambda self: inits.append(self) or time.sleep(0.05))
    barrier = threading.Barrier(8)
    results = []
    threads = [threading.Thread(target=lambda: (barrier.wait(), results.append(cls()))) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(10)
    assert len(inits) == 1 and len(results) == 8 and all(r is inits[0] for r in results)


def test_reentrant_construction_on_the_same_thread_does_not_deadlock(made):
    def init(self):
        if not hasattr(type(self), "building"):
            type(self).building = True
            self.inner = type(self)()

    cls = singleton_class(made, init)
    results = []
    thread = threading.Thread(target=lambda: results.append(cls()), daemon=True)
    thread.start()
    thread.join(5)
    assert not thread.is_alive(), "re-entrant construction deadlocked"
    assert cls() is results[0]


# --- add_extra_properties_to_schema ------------------------------------------------------


def settings_file(tmp_path, content):
    path = tmp_path / "appsettings.json"
    if content is not None:
        path.write_text(content if isinstance(content, str) else json.dumps(content))
    return str(path)


def test_undeclared_keys_are_typed_in_file_order(tmp_path):
    path = settings_file(
        tmp_path, '{"s": "x", "known": 1, "i": 3, "f": 1.5, "b": true, "n": null, "l": [1], "o": {"k": 1}, "extra": 0}'
    )
    schema = {"type": "object", "properties": {"known": {"type": "integer"}}}
    assert add_extra_properties_to_schema(schema, path) is schema
    block = schema["properties"]["extra"]
    assert list(block) == ["type", "properties"] and block["type"] == "object"
    assert [(k, v["type"]) for k, v in block["properties"].items()] == [
        ("s", "string"),
        ("i", "integer"),
        ("f", "number"),
        ("b", "boolean"),
        ("n", "null"),
        ("l", "array"),
        ("o", "object"),
        ("extra", "integer"),
    ]


@pytest.mark.parametrize(
    "settings, schema, expected",
    [
        ({"a": 1}, {"properties": {"a": {}}}, {"properties": {"a": {}}}),  # all declared
        ({"a": 1}, {"properties": {"a": {}, "extra": 0}}, {"properties": {"a": {}, "extra": 0}}),
        (
            {"extra": 1, "b": "x"},
            {"properties": {"extra": 0}},  # "extra" counts as declared, then is replaced
            {"properties": {"extra": {"type": "object", "properties": {"b": {"type": "string"}}}}},
        ),
        ({}, {"title": "no properties"}, {"title": "no properties"}),
    ],
)
def test_extra_block_rules(tmp_path, settings, schema, expected):
    add_extra_properties_to_schema(schema, settings_file(tmp_path, settings))
    assert schema == expected


@pytest.mark.parametrize(
    "content, schema, error, match",
    [
        ("[1, 2]", {"properties": {}}, AttributeError, "items"),
        ("7", {"properties": {}}, AttributeError, "items"),
        ("null", {"properties": {}}, AttributeError, "'NoneType' object has no attribute 'items'"),
        ("{not json", {"properties": {}}, ValueError, None),
        (None, {"properties": {}}, FileNotFoundError, None),
        ('{"a": 1}', {"title": "no properties"}, KeyError, "properties"),
        ('{"a": 1}', {"properties": 5}, TypeError, "not iterable"),
        ('{"a": 1}', [], TypeError, r"Argument 'schema' has incorrect type \(expected dict, got list\)"),
    ],
)
def test_errors_leave_the_schema_unchanged(tmp_path, content, schema, error, match):
    before = copy.deepcopy(schema)
    with pytest.raises(error, match=match):
        add_extra_properties_to_schema(schema, settings_file(tmp_path, content))
    assert schema == before


def test_file_is_closed_even_when_decoding_fails(tmp_path, monkeypatch):
    opened = []
    real_open = open
    monkeypatch.setattr("builtins.open", lambda *args: opened.append(real_open(*args)) or opened[-1])
    with pytest.raises(ValueError):
        add_extra_properties_to_schema({"properties": {}}, settings_file(tmp_path, "{oops"))
    assert opened[0].closed and opened[0].mode == "r"


def test_repeated_calls_do_not_leak(tmp_path, made):
    path = settings_file(tmp_path, {"a": 1, "b": [1], "c": None})
    cls = singleton_class(made, lambda self, *args, **kwargs: None)

    def churn(n):
        for _ in range(n):
            add_extra_properties_to_schema({"properties": {"a": {}}}, path)
            cls(1, k=2)
            SingletonMeta._instances.pop(cls)
            cls()

    churn(500)
    gc.collect()
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    churn(3000)
    gc.collect()
    grown = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    assert grown < 64 * 1024
