"""KafkaConfigurationBuilder and InvalidKafkaConfigurationError."""

import inspect

import pytest

from veltrano_python_configuration import broker_setup
from veltrano_python_configuration.broker_setup import InvalidKafkaConfigurationError, KafkaConfigurationBuilder

ATTRS = ("_broker", "_push_topic", "_read_topic", "_dead_letter_topic_name")


class Config:
    pass


def test_module_attributes_in_order():
    names = [n for n in vars(broker_setup) if not n.startswith("__")]
    assert names == ["Any", "Dict", "InvalidKafkaConfigurationError", "KafkaConfigurationBuilder"]
    import typing

    assert broker_setup.Any is typing.Any and broker_setup.Dict is typing.Dict  # noqa: UP006 (the object, not a type hint)


def test_build_copies_values_and_resets_missing_ones():
    config = Config()
    builder = KafkaConfigurationBuilder(config)
    topics = ["a-list"]
    data = {"broker": "b:9092", "push_topic": topics, "read_topic": 7, "dead_letter_topic_name": "dlq", "extra": 1}
    snapshot = dict(data)
    assert builder.build(data) is None
    assert [getattr(config, a) for a in ATTRS] == ["b:9092", topics, 7, "dlq"]
    assert config._push_topic is topics
    assert data == snapshot
    builder.build({"broker": "other"})
    assert [getattr(config, a) for a in ATTRS] == ["other", None, None, None]
    builder.build(data={"broker": None})
    assert all(getattr(config, a) is None for a in ATTRS)


def test_keywords_and_config_held_by_reference():
    config = Config()
    builder = KafkaConfigurationBuilder(config=config)
    assert builder._config is config
    builder.build(data={})
    assert all(getattr(config, a) is None for a in ATTRS)


class DictSub(dict):
    pass


@pytest.mark.parametrize(
    "data, got, note",
    [(None, "NoneType", False), ([], "list", False), (DictSub(broker="x"), "DictSub", True)],
)
def test_build_refuses_anything_but_a_plain_dict(data, got, note):
    config = Config()
    with pytest.raises(TypeError) as info:
        KafkaConfigurationBuilder(config).build(data)
    assert str(info.value) == f"Argument 'data' has incorrect type (expected dict, got {got})"
    assert bool(getattr(info.value, "__notes__", None)) is note
    assert not any(hasattr(config, a) for a in ATTRS)


def test_assignment_order_and_no_rollback():
    class ReadOnlyRead:
        _dead_letter_topic_name = "old"

        @property
        def _read_topic(self):
            return "fixed"

    config = ReadOnlyRead()
    with pytest.raises(AttributeError):
        KafkaConfigurationBuilder(config).build(
            {"broker": 1, "push_topic": 2, "read_topic": 3, "dead_letter_topic_name": 4}
        )
    assert (config._broker, config._push_topic, config._dead_letter_topic_name) == (1, 2, "old")

    seen = []

    class Recorder:
        def __setattr__(self, name, value):
            seen.append(name)

    KafkaConfigurationBuilder(Recorder()).build({})
    assert seen == list(ATTRS)


def test_build_without_init_reports_missing_config():
    builder = KafkaConfigurationBuilder.__new__(KafkaConfigurationBuilder)
    with pytest.raises(AttributeError):
        builder.build({})


def test_class_shapes_and_signatures():
    assert KafkaConfigurationBuilder.__bases__ == (object,)
    assert type(KafkaConfigurationBuilder) is type and KafkaConfigurationBuilder.__doc__ is None
    assert InvalidKafkaConfigurationError.__bases__ == (Exception,)
    err = InvalidKafkaConfigurationError("bad broker")
    assert str(err) == "bad broker" and err.args == ("bad broker",)
    assert KafkaConfigurationBuilder.__init__.__annotations__ == {"config": "Any", "return": "None"}
    assert KafkaConfigurationBuilder.build.__annotations__ == {"data": "Dict[str, Any]", "return": "None"}
    assert str(inspect.signature(KafkaConfigurationBuilder.build)) == "(self, data: 'Dict[str, Any]') -> 'None'"
    assert str(inspect.signature(KafkaConfigurationBuilder)) == "(config: 'Any') -> 'None'"


def test_subclass_and_monkeypatch_behave_like_python_classes(monkeypatch):
    class Mine(KafkaConfigurationBuilder):
        def build(self, data):
            super().build(data)
            self._config.extra = True

    config = Config()
    Mine(config).build({"broker": "x"})
    assert config._broker == "x" and config.extra is True
    monkeypatch.setattr(KafkaConfigurationBuilder, "build", lambda self, data: "patched")
    assert KafkaConfigurationBuilder(config).build({}) == "patched"
