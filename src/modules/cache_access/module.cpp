// veltrano_python_configuration.cache_access: the module's attributes, bound
// in order (cache_access.hpp says which unit holds what).
#include "cache_access.hpp"

namespace cache_access {
namespace {

void exec(Module m) {
    m.add("Union", getattr(import("typing"), "Union"));
    m.add("redis", import("redis"));
    Ref cluster_class = getattr(import("redis.cluster"), "RedisCluster");
    prepare_counts(cluster_class);
    m.add("RedisClusterClient", cluster_class);
    add_initialize_redis(m);
    Ref base = add_base_classes(m);
    add_server_clients(m, base);
    add_factory(m);
}

}  // namespace
}  // namespace cache_access

BINDING_MODULE(cache_access, cache_access::exec)
