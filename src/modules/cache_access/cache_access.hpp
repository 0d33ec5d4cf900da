// veltrano_python_configuration.cache_access: what its units share.
//
// A production client talks to a Redis Cluster through one node address, a
// development client to one server by URL; both log their failures through
// the logger the service hands in and return a fallback value instead of
// raising (only a failed connection is logged and raised). A factory picks
// between them, and `initialize_redis` returns the redis library's own
// connection. Per-operation category counters live in one Redis hash.
//
// The units: operations.cpp (IRedisClient and BaseRedisClient, the logged
// get/set/delete/increment_category_counts), counts.cpp (how one batch of
// categories is counted in a pipeline), connections.cpp (the connections,
// bounded in time, the two client classes, initialize_redis and
// RedisClientFactory) and module.cpp (the module's attributes, in order).
//
// The redis library is reached through the module attributes `redis` and
// `RedisClusterClient`, looked up at every call.
#pragma once

#include "binding/module.hpp"
#include "binding/names.hpp"

namespace cache_access {
using namespace binding;

// The client attribute that operations.cpp stores and connections.cpp reads.
inline Name n_decode_responses("decode_responses");

// The port of a node or URL that names none.
constexpr long long default_port = 6379;

// operations.cpp: IRedisClient and BaseRedisClient (returned, for the
// client classes of connections.cpp).
Ref add_base_classes(Module m);

// counts.cpp: ready the counting (its table of id texts, and the class that
// tells a cluster connection) once, before any batch.
void prepare_counts(Handle cluster_class);
// counts.cpp: one `hincrby(key, str(id), 1)` per category node of `batch`,
// then the expiry of `key`, in one pipeline of `client`, sent once.
void count_batch(Handle client, Handle key, Handle batch);

// connections.cpp: initialize_redis.
void add_initialize_redis(Module m);
// connections.cpp: ProductionRedisClient and DevelopmentRedisClient, on `base`.
void add_server_clients(Module m, Handle base);
// connections.cpp: RedisClientFactory.
void add_factory(Module m);

}  // namespace cache_access
