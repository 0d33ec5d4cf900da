// cache_access: the connections, each bounded in time, and what builds them:
// ProductionRedisClient (a Redis Cluster through one node),
// DevelopmentRedisClient (one server by URL), initialize_redis and
// RedisClientFactory.
#include "cache_access.hpp"
#include "service/mask.hpp"

#include <string_view>

namespace cache_access {
using namespace service;
namespace {

// Module globals.
Name n_redis("redis");
Name n_RedisClusterClient("RedisClusterClient");
Name n_initialize_redis("initialize_redis");
Name n_ProductionRedisClient("ProductionRedisClient");
Name n_DevelopmentRedisClient("DevelopmentRedisClient");

// Attributes of the clients.
Name n_parse_url("_parse_url");

// Methods and keywords of the redis library and str.
Name n_Redis("Redis");
Name n_from_url("from_url");
Name n_host("host");
Name n_port("port");
Name n_get_nodes("get_nodes");
Name n_lower("lower");
Name n_socket_timeout("socket_timeout");
Name n_socket_connect_timeout("socket_connect_timeout");
Name n_retry("retry");
Name n_cluster_error_retry_attempts("cluster_error_retry_attempts");
Name n_VERSION("VERSION");
Name n_Retry("Retry");
Name n_NoBackoff("NoBackoff");

// Fixed texts.
Name s_redis_prefix("redis://");
Name s_production("production");
Name s_colon(":");

// How long every connection the module builds waits for the server: to
// connect, and for each reply. redis-py up to 7.x waits forever by default,
// so a server that keeps its port open but stops answering (a stopped
// process, a paused machine, a lost route) would hold the service's call
// for good. A development URL can set its own in its query
// ("?socket_timeout=1&socket_connect_timeout=1"): redis-py lets the query
// override these keywords. With one retry on a cluster (cluster_client), no
// call waits more than about twice this.
constexpr double redis_timeout_seconds = 5.0;

// ---------------------------------------------------------------------------
// Connection failures

// Log the failure `e` of a connection to the client's URL as "Error
// connecting to <kind> Redis at '<url>': <error>", with the URL's secrets
// (service/mask.hpp) shown as "***" in the line and in the exception chain
// the logger sees: a URL with a password may reach either client, the
// production one by mistake too. The caller still gets the original.
void log_connect_error(Handle self, const PyError& e, const char* kind) {
    HandledScope scope(e);
    Ref method = getattr(getattr(self, n_logger), n_error);
    SecretMask mask;
    Ref url = mask.add_url(getattr(self, n_url));
    Ref message = format("Error connecting to %s Redis at '%U': %U", kind, url.ptr(), mask.hide(str(e.value())).ptr());
    // The logger may print the handled exception: show it a copy of the
    // chain with the secrets hidden.
    PyError shown = mask.hide_in(e);
    HandledScope hidden(shown);
    call(method, message);
}

// ---------------------------------------------------------------------------
// Building connections

Ref timeout_seconds() { return check(PyFloat_FromDouble(redis_timeout_seconds)); }

// A cluster connection through the node host:port, through `cluster_class`
// (the module's RedisClusterClient). Every node connection gets the timeouts,
// and a command whose node failed is retried once, after redis-py has rebuilt
// its slot table: that retry is how a warm client reaches the replica
// promoted in place of a failed master on its first call, and one is all
// that fits in the bound (redis-py's own three retries up to 7.x, ten with
// back-off in 8.x, make a call on a stopped node wait up to a minute and
// more). redis-py takes that count from a `retry` object since 6.0; before,
// it gave `retry` to the node connections and took the count from
// `cluster_error_retry_attempts`, which 6.0 deprecated.
Ref cluster_client(Handle cluster_class, Handle host, Handle port, Handle decode) {
    Ref timeout = timeout_seconds();
    Ref one = new_int(1);
    Ref version = getattr(import("redis"), n_VERSION);
    Ref major = check(PySequence_GetItem(version.ptr(), 0));
    int overflow = 0;
    if (PyLong_CheckExact(major.ptr()) && PyLong_AsLongAndOverflow(major.ptr(), &overflow) < 6 && !overflow)
        return call(cluster_class, kw(n_host, host), kw(n_port, port), kw(n_decode_responses, decode),
                    kw(n_socket_timeout, timeout), kw(n_socket_connect_timeout, timeout),
                    kw(n_cluster_error_retry_attempts, one));
    Ref retry = call(import_from("redis.retry", n_Retry), call(import_from("redis.backoff", n_NoBackoff)), one);
    return call(cluster_class, kw(n_host, host), kw(n_port, port), kw(n_decode_responses, decode),
                kw(n_socket_timeout, timeout), kw(n_socket_connect_timeout, timeout), kw(n_retry, retry));
}

// True when `url` begins with one of the schemes redis-py reads, in any
// letter case: "redis://", "rediss://" (TLS) or "unix://" (a socket path).
bool has_redis_scheme(Handle url) {
    static constexpr std::string_view schemes[] = {"redis://", "rediss://", "unix://"};
    PyObject* text = url.ptr();
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    for (std::string_view scheme : schemes) {
        if (length < static_cast<Py_ssize_t>(scheme.size())) continue;
        bool same = true;
        for (size_t i = 0; same && i < scheme.size(); ++i) {
            Py_UCS4 c = PyUnicode_READ(kind, data, static_cast<Py_ssize_t>(i));
            if (c >= 'A' && c <= 'Z') c += 'a' - 'A';
            same = c == static_cast<Py_UCS4>(scheme[i]);
        }
        if (same) return true;
    }
    return false;
}

// The URL handed to redis-py for a single server: `url` unchanged when it
// names a scheme (has_redis_scheme), else "redis://" followed by its text.
Ref single_server_url(Handle url) {
    Ref text = PyUnicode_Check(url.ptr()) ? url.ref() : str(url);
    if (has_redis_scheme(text)) return text;
    return check(PyUnicode_Concat(s_redis_prefix.get().ptr(), text.ptr()));
}

// ---------------------------------------------------------------------------
// ProductionRedisClient

// _parse_url(self, url): (host, port) from "host:port". The host is the
// text before the first ":"; the port is the text between the first and the
// second ":" when it is all digits (str.isdigit), converted as int() does,
// else 6379.
Ref production_parse_url(const Args& a) {
    Handle url = a[1];
    PyObject* text = url.ptr();
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    Py_ssize_t colon = 0;
    while (colon < length && PyUnicode_READ(kind, data, colon) != ':') ++colon;
    Ref host = colon == length ? url.ref() : check(PyUnicode_Substring(text, 0, colon));
    if (colon == length) return new_tuple({host, new_int(default_port)});

    Py_ssize_t start = colon + 1, stop = start;
    bool digits = true, ascii = true;
    for (; stop < length; ++stop) {
        Py_UCS4 c = PyUnicode_READ(kind, data, stop);
        if (c == ':') break;
        if (c < '0' || c > '9') ascii = false;
        if (!Py_UNICODE_ISDIGIT(c)) digits = false;
    }
    Ref port;
    if (stop == start || !digits) {
        port = new_int(default_port);
    } else if (ascii && stop - start <= 18) {
        long long value = 0;
        for (Py_ssize_t i = start; i < stop; ++i) value = value * 10 + (PyUnicode_READ(kind, data, i) - '0');
        port = new_int(value);
    } else {
        // Other digits (and long runs) go through int()'s own conversion,
        // which accepts decimal digits of any script and refuses the rest
        // (superscripts, say) with its ValueError.
        Ref digits_text = check(PyUnicode_Substring(text, start, stop));
        port = check(PyLong_FromUnicodeObject(digits_text.ptr(), 10));
    }
    return new_tuple({host, port});
}

const FunctionSpec production_parse_url_spec{
    .name = "_parse_url",
    .qualname = "ProductionRedisClient._parse_url",
    .params = {{"self"}, {"url", "str", ExactType::Str}},
    .body = production_parse_url,
};

// connect(self): a cluster connection through the node in `url`; a failure
// is logged (log_connect_error) and raised again.
Ref production_connect(const Args& a) {
    Handle self = a[0];
    try {
        Ref url = getattr(self, n_url);
        Ref parsed = call_method(self, n_parse_url, url);
        auto [host, port] = unpack<2>(parsed);
        Ref cluster = a.global(n_RedisClusterClient);
        Ref decode = getattr(self, n_decode_responses);
        return cluster_client(cluster, host, port, decode);
    } catch (PyError& e) {
        if (!e.matches(PyExc_Exception)) throw;
        log_connect_error(self, e, "Production");
        throw;
    }
}

const FunctionSpec production_connect_spec{
    .name = "connect",
    .qualname = "ProductionRedisClient.connect",
    .params = {{"self"}},
    .body = production_connect,
};

// ---------------------------------------------------------------------------
// DevelopmentRedisClient

// connect(self): a single-server connection by URL (single_server_url),
// with the timeouts unless the URL's query sets its own. A failure is logged
// (log_connect_error) and raised again.
Ref development_connect(const Args& a) {
    Handle self = a[0];
    try {
        Ref url = getattr(self, n_url);
        Ref target = single_server_url(url);
        Ref from_url = getattr(getattr(a.global(n_redis), n_Redis), n_from_url);
        Ref decode = getattr(self, n_decode_responses);
        Ref timeout = timeout_seconds();
        return call(from_url, target, kw(n_decode_responses, decode), kw(n_socket_timeout, timeout),
                    kw(n_socket_connect_timeout, timeout));
    } catch (PyError& e) {
        if (!e.matches(PyExc_Exception)) throw;
        log_connect_error(self, e, "Development");
        throw;
    }
}

const FunctionSpec development_connect_spec{
    .name = "connect",
    .qualname = "DevelopmentRedisClient.connect",
    .params = {{"self"}},
    .body = development_connect,
};

// ---------------------------------------------------------------------------
// initialize_redis and RedisClientFactory

bool is_production(Handle environ) { return equals(call_method(environ, n_lower), s_production); }

// initialize_redis(url, environ, logger=None, decode_responses=True): the
// redis library's connection, bounded in time as the clients' are: a cluster
// connection for "production" (with four info lines, the URL's secrets shown
// as "***" in those that quote it or its host part), else a single server at
// single_server_url(url).
Ref initialize_redis(const Args& a) {
    Handle url = a[0], environ = a[1], logger = a[2], decode = a[3];
    if (!is_production(environ)) {
        Ref from_url = getattr(getattr(a.global(n_redis), n_Redis), n_from_url);
        Ref target = single_server_url(url);
        Ref timeout = timeout_seconds();
        return call(from_url, kw(n_url, target), kw(n_decode_responses, decode), kw(n_socket_timeout, timeout),
                    kw(n_socket_connect_timeout, timeout));
    }
    SecretMask mask;
    Ref shown_url = mask.add_url(url);
    {
        Ref info = getattr(logger, n_info);
        call(info, format("Url received for redis prod is %U", shown_url.ptr()));
    }
    Ref parts = check(PyUnicode_Split(url.ptr(), s_colon.get().ptr(), -1));
    auto [host, port_text] = unpack<2>(parts);
    Ref port = Ref::steal(PyLong_FromUnicodeObject(port_text.ptr(), 10));
    if (!port) {
        PyError error = PyError::fetch();
        if (!error.matches(PyExc_ValueError)) throw std::move(error);
        port = new_int(default_port);
    }
    {
        Ref info = getattr(logger, n_info);
        call(info, format("After splitting %U", mask.hide(host).ptr()));
    }
    Ref cluster = cluster_client(a.global(n_RedisClusterClient), host, port, decode);
    {
        Ref info = getattr(logger, n_info);
        call(info, call_method(cluster, n_get_nodes));
    }
    {
        Ref info = getattr(logger, n_info);
        call(info, new_str("Connection to redis is successful"));
    }
    return cluster;
}

const FunctionSpec initialize_redis_spec{
    .name = "initialize_redis",
    .doc = "Simple Redis initialization.\n\n"
           "For an environment named \"production\" (in any case) `url` is one cluster node as\n"
           "host:port and a cluster connection is returned; otherwise a single-server\n"
           "connection to url, with \"redis://\" put in front unless it begins with\n"
           "redis://, rediss:// or unix:// (in any letter case). Either connection waits\n"
           "a bounded time to connect and for each reply.",
    .params = {{"url", "str", ExactType::Str},
               {"environ", "str", ExactType::Str},
               {"logger", nullptr, ExactType::Any, default_none},
               {"decode_responses", "bool", ExactType::Any, default_bool(true)}},
    .body = initialize_redis,
};

// RedisClientFactory.create(url, environ, client_type=2, logger=None, decode_responses=True)
Ref factory_create(const Args& a) {
    Handle url = a[0], environ = a[1], client_type = a[2], logger = a[3], decode = a[4];
    if (equals(client_type, new_int(1))) return call(a.global(n_initialize_redis), url, environ, logger, decode);
    Ref cls = a.global(is_production(environ) ? n_ProductionRedisClient : n_DevelopmentRedisClient);
    return call(cls, url, logger, decode);
}

const FunctionSpec factory_create_spec{
    .name = "create",
    .qualname = "RedisClientFactory.create",
    .doc = "Create a Redis client instance.\n- client_type: 1 for simple implementation, 2 for advanced (default).",
    .params = {{"url", "str", ExactType::Str},
               {"environ", "str", ExactType::Str},
               {"client_type", "int", ExactType::Int, default_int(2)},
               {"logger", "any", ExactType::Any, default_none},
               {"decode_responses", "bool", ExactType::Any, default_bool(true)}},
    .returns = "Union[IRedisClient, object]",
    .body = factory_create,
};

}  // namespace

void add_initialize_redis(Module m) { m.add("initialize_redis", m.function(initialize_redis_spec)); }

void add_server_clients(Module m, Handle base) {
    m.add("ProductionRedisClient",
          make_class(m, "ProductionRedisClient", {base}, "Production Redis client using Redis Cluster.",
                     {{"connect", m.function(production_connect_spec)},
                      {"_parse_url", m.function(production_parse_url_spec)}}));
    m.add("DevelopmentRedisClient",
          make_class(m, "DevelopmentRedisClient", {base}, "Development Redis client using redis-py.",
                     {{"connect", m.function(development_connect_spec)}}));
}

void add_factory(Module m) {
    Ref create = check(PyStaticMethod_New(m.function(factory_create_spec).ptr()));
    m.add("RedisClientFactory",
          make_class(m, "RedisClientFactory", {}, "Factory for creating Redis clients.", {{"create", create}}));
}

}  // namespace cache_access
