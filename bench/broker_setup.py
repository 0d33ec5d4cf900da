"""The benchmark's broker_setup operation: the Kafka configuration build."""

from harness import OWN, Context, Op, module_side, timed


def ops(ctx: Context) -> list:
    base = ctx.baseline("broker_setup")

    class KafkaConfig:
        pass

    data = {
        "broker": "127.0.0.1:9092",
        "push_topic": "push",
        "read_topic": "read",
        "dead_letter_topic_name": "dead-letters",
        "group_id": "bench",
    }
    op = Op("KafkaConfigurationBuilder.build", OWN, "four dict lookups and four attribute stores on a Python object")
    op.baseline = timed("b.build(d)", b=base.KafkaConfigurationBuilder(KafkaConfig()), d=data)
    module_side(
        op, lambda: timed("b.build(d)", b=ctx.attr("broker_setup", "KafkaConfigurationBuilder")(KafkaConfig()), d=data)
    )

    def check_build():
        got, want = KafkaConfig(), KafkaConfig()
        ctx.attr("broker_setup", "KafkaConfigurationBuilder")(got).build(data)
        base.KafkaConfigurationBuilder(want).build(data)
        return None if vars(got) == vars(want) else "build: module %r, baseline %r" % (vars(got), vars(want))

    op.check = check_build
    return [op]
