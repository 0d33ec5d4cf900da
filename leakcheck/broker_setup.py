"""The leak check's broker_setup operations: the error, the builder and its build."""

from harness import DictSub, expect, nothing, operation
from veltrano_python_configuration import broker_setup


class Config:
    pass


class ReadOnlyTopic:
    @property
    def _read_topic(self):
        return None


class FailingKey(str):
    """A key equal to "broker" by hash whose comparison raises."""

    def __hash__(self):
        return hash("broker")

    def __eq__(self, other):
        raise RuntimeError("no comparison")


@operation("broker_setup", "InvalidKafkaConfigurationError")
def op_kafka_error(env):
    def call(i):
        try:
            raise broker_setup.InvalidKafkaConfigurationError("bad", i)
        except broker_setup.InvalidKafkaConfigurationError as e:
            assert e.args == ("bad", i)

    return call, nothing


@operation("broker_setup", "KafkaConfigurationBuilder()")
def op_kafka_builder(env):
    def call(i):
        if i % 3 == 2:
            expect(TypeError, broker_setup.KafkaConfigurationBuilder)
        else:
            broker_setup.KafkaConfigurationBuilder(config=Config())

    return call, nothing


@operation("broker_setup", "KafkaConfigurationBuilder.build")
def op_kafka_build(env):
    builders = [
        broker_setup.KafkaConfigurationBuilder(Config()),
        broker_setup.KafkaConfigurationBuilder(ReadOnlyTopic()),
    ]
    data = {"broker": "b:9092", "push_topic": "p", "read_topic": "r", "dead_letter_topic_name": "d", "x": [1]}

    def call(i):
        v = i % 6
        if v == 0:
            builders[0].build(data)
        elif v == 1:
            builders[0].build(data={"broker": str(i)})
        elif v == 2:
            expect(TypeError, builders[0].build, None)
        elif v == 3:
            expect(TypeError, builders[0].build, DictSub(data))
        elif v == 4:
            expect(AttributeError, builders[1].build, data)
        else:
            expect(RuntimeError, builders[0].build, {FailingKey("k"): 1})

    return call, nothing
