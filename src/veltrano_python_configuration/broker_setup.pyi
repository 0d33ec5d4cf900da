# Kafka settings: copies the broker address and topic names from a settings
# dictionary onto the service's own Kafka configuration object.
from typing import Any as Any, Dict as Dict

class InvalidKafkaConfigurationError(Exception): ...

class KafkaConfigurationBuilder:
    _config: Any
    def __init__(self, config: Any) -> None: ...
    def build(self, data: dict[str, Any]) -> None: ...
