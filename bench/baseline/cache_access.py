"""Baseline of cache_access: logged Redis clients and category counting."""

from typing import Union

import redis
from redis.cluster import RedisCluster as RedisClusterClient

from ._argcheck import refuse


def initialize_redis(url: "str", environ: "str", logger=None, decode_responses: "bool" = True):
    """Simple Redis initialization."""
    if type(url) is not str:
        raise refuse("url", str, url)
    if type(environ) is not str:
        raise refuse("environ", str, environ)
    if environ.lower() == "production":
        logger.info("Url received for redis prod is " + url)
        host, port_text = url.split(":")
        try:
            port = int(port_text)
        except ValueError:
            port = 6379
        logger.info("After splitting " + host)
        client = RedisClusterClient(host=host, port=port, decode_responses=decode_responses)
        logger.info(client.get_nodes())
        logger.info("Connection to redis is successful")
        return client
    return redis.Redis.from_url(url="redis://" + url, decode_responses=decode_responses)


class IRedisClient:
    """Interface for Redis clients."""

    def get(self, key: "str") -> "Union[str, None]":
        if type(key) is not str:
            raise refuse("key", str, key)
        raise NotImplementedError

    def set(self, key: "str", value: "str", ex: "int" = 0) -> "bool":
        if type(key) is not str:
            raise refuse("key", str, key)
        if type(value) is not str:
            raise refuse("value", str, value)
        if type(ex) is not int:
            raise refuse("ex", int, ex)
        raise NotImplementedError

    def delete(self, key: "str") -> "bool":
        if type(key) is not str:
            raise refuse("key", str, key)
        raise NotImplementedError

    def increment_category_counts(self, operation_id: "str", batch_data: "list"):
        if type(operation_id) is not str:
            raise refuse("operation_id", str, operation_id)
        if type(batch_data) is not list:
            raise refuse("batch_data", list, batch_data)
        raise NotImplementedError


class BaseRedisClient(IRedisClient):
    """Base Redis client with common functionality and error handling."""

    DEFAULT_TTL = 604800

    def __init__(self, url: "str", logger: "any", decode_responses: "bool" = True):
        if type(url) is not str:
            raise refuse("url", str, url)
        self.url = url
        self.logger = logger
        self.decode_responses = decode_responses
        self.client = self.connect()

    def connect(self):
        """Override this method in subclasses to implement connection logic."""
        raise NotImplementedError

    def get(self, key: "str") -> "Union[str, None]":
        if type(key) is not str:
            raise refuse("key", str, key)
        try:
            result = self.client.get(key)
            if result is not None and not isinstance(result, str):
                raise TypeError("Expected %s, got %.200s" % ("str", type(result).__name__))
            return result
        except Exception as e:
            self.logger.error("Error getting key '" + key + "': " + str(e))
            return None

    def set(self, key: "str", value: "str", ex: "int" = 0) -> "bool":
        if type(key) is not str:
            raise refuse("key", str, key)
        if type(value) is not str:
            raise refuse("value", str, value)
        if type(ex) is not int:
            raise refuse("ex", int, ex)
        try:
            ttl = ex if ex != 0 else self.DEFAULT_TTL
            return self.client.set(key, value, ex=ttl)
        except Exception as e:
            self.logger.error("Error setting key '" + key + "': " + str(e))
            return False

    def delete(self, key: "str") -> "bool":
        if type(key) is not str:
            raise refuse("key", str, key)
        try:
            return self.client.delete(key)
        except Exception as e:
            self.logger.error("Error deleting key '" + key + "': " + str(e))
            return False

    def increment_category_counts(self, operation_id: "str", batch_data: "list"):
        if type(operation_id) is not str:
            raise refuse("operation_id", str, operation_id)
        if type(batch_data) is not list:
            raise refuse("batch_data", list, batch_data)
        key = "Mod:RetagOperations:" + operation_id + ":category_counts"
        try:
            pipe = self.client.pipeline()
            # As the compiled module: hincrby fetched once per call, and the
            # expiry queued after the increments, so that it also holds on the
            # call that creates the hash (EXPIRE of a missing key does nothing).
            hincrby = pipe.hincrby
            for category in batch_data:
                hincrby(key, str(category.get("id")), 1)
                for subcategory in category.get("subCategories", []):
                    hincrby(key, str(subcategory.get("id")), 1)
                    for subsubcategory in subcategory.get("subSubCategories", []):
                        hincrby(key, str(subsubcategory.get("id")), 1)
            pipe.expire(key, 10800)
            pipe.execute()
        except Exception as e:
            self.logger.error("Error incrementing category counts for operation '" + operation_id + "': " + str(e))


class ProductionRedisClient(BaseRedisClient):
    """Production Redis client using Redis Cluster."""

    def connect(self):
        try:
            host, port = self._parse_url(self.url)
            return RedisClusterClient(host=host, port=port, decode_responses=self.decode_responses)
        except Exception as e:
            self.logger.error("Error connecting to Production Redis at '" + str(self.url) + "': " + str(e))
            raise

    def _parse_url(self, url: "str"):
        if type(url) is not str:
            raise refuse("url", str, url)
        parts = url.split(":")
        host = parts[0]
        port = int(parts[1]) if len(parts) > 1 and parts[1].isdigit() else 6379
        return host, port


class DevelopmentRedisClient(BaseRedisClient):
    """Development Redis client using redis-py."""

    def connect(self):
        try:
            url = self.url if self.url.startswith("redis://") else "redis://" + str(self.url)
            return redis.Redis.from_url(url, decode_responses=self.decode_responses)
        except Exception as e:
            self.logger.error("Error connecting to Development Redis at '" + str(self.url) + "': " + str(e))
            raise


class RedisClientFactory:
    """Factory for creating Redis clients."""

    @staticmethod
    def create(
        url: "str", environ: "str", client_type: "int" = 2, logger: "any" = None, decode_responses: "bool" = True
    ) -> "Union[IRedisClient, object]":
        """Create a Redis client instance.
        - client_type: 1 for simple implementation, 2 for advanced (default).
        """
        if type(url) is not str:
            raise refuse("url", str, url)
        if type(environ) is not str:
            raise refuse("environ", str, environ)
        if type(client_type) is not int:
            raise refuse("client_type", int, client_type)
        if client_type == 1:
            return initialize_redis(url, environ, logger, decode_responses)
        if environ.lower() == "production":
            return ProductionRedisClient(url, logger, decode_responses)
        return DevelopmentRedisClient(url, logger, decode_responses)
