"""A short walkthrough of the package as a service uses it.

Run with `make demo`. Exits non-zero if any step does not work.
"""

import sys


def section(title: str) -> None:
    print(f"\n=== {title} ===", flush=True)


def kafka_settings() -> None:
    from veltrano_python_configuration.broker_setup import KafkaConfigurationBuilder

    section("Kafka settings from a settings dictionary")

    class KafkaConfig:
        pass

    config = KafkaConfig()
    settings = {"broker": "127.0.0.1:9092", "push_topic": "orders.out", "read_topic": "orders.in"}
    KafkaConfigurationBuilder(config).build(settings)
    for name, value in vars(config).items():
        print(f"  {name} = {value!r}")
    assert config._broker == "127.0.0.1:9092" and config._dead_letter_topic_name is None


def main() -> int:
    kafka_settings()
    print("\nwalkthrough finished: every step worked")
    return 0


if __name__ == "__main__":
    sys.exit(main())
