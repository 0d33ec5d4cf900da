# Redis clients that log their own failures through the service's logger and
# return a fallback value instead of raising.
from typing import Any, Literal, TypeAlias, Union as Union, overload

import redis as redis
from redis.cluster import RedisCluster

# The cluster class, under the name the module binds it to.
RedisClusterClient = RedisCluster

# The connection objects that the clients wrap and initialize_redis returns.
_Connection: TypeAlias = redis.Redis | RedisClusterClient

def initialize_redis(url: str, environ: str, logger: Any = None, decode_responses: bool = True) -> _Connection:
    """Simple Redis initialization."""

class IRedisClient:
    """Interface for Redis clients."""

    def get(self, key: str) -> str | None: ...
    def set(self, key: str, value: str, ex: int = 0) -> bool: ...
    # The number of keys removed (0 or 1), or False after a logged failure.
    def delete(self, key: str) -> int: ...
    def increment_category_counts(self, operation_id: str, batch_data: list[dict[str, Any]]) -> None: ...

class BaseRedisClient(IRedisClient):
    """Base Redis client with common functionality and error handling."""

    DEFAULT_TTL: int
    url: str
    logger: Any
    decode_responses: bool
    client: _Connection
    def __init__(self, url: str, logger: Any, decode_responses: bool = True) -> None: ...
    def connect(self) -> _Connection:
        """Override this method in subclasses to implement connection logic."""

class ProductionRedisClient(BaseRedisClient):
    """Production Redis client using Redis Cluster."""

    client: RedisClusterClient
    def connect(self) -> RedisClusterClient: ...
    def _parse_url(self, url: str) -> tuple[str, int]: ...

class DevelopmentRedisClient(BaseRedisClient):
    """Development Redis client using redis-py."""

    client: redis.Redis
    def connect(self) -> redis.Redis: ...

class RedisClientFactory:
    """Factory for creating Redis clients."""

    # client_type 1 gives the library's own connection (initialize_redis);
    # every other number gives a ProductionRedisClient or DevelopmentRedisClient.
    @overload
    @staticmethod
    def create(
        url: str, environ: str, client_type: Literal[1], logger: Any = None, decode_responses: bool = True
    ) -> _Connection: ...
    @overload
    @staticmethod
    def create(
        url: str, environ: str, client_type: Literal[2] = 2, logger: Any = None, decode_responses: bool = True
    ) -> ProductionRedisClient | DevelopmentRedisClient: ...
    @overload
    @staticmethod
    def create(
        url: str, environ: str, client_type: int = 2, logger: Any = None, decode_responses: bool = True
    ) -> ProductionRedisClient | DevelopmentRedisClient | _Connection: ...
