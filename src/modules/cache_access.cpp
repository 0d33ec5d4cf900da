// veltrano_python_configuration.cache_access: Redis clients for the services.
//
// A production client talks to a Redis Cluster through one node address, a
// development client to one server by URL; both log their failures through
// the logger the service hands in and return a fallback value instead of
// raising (only a failed connection is logged and raised). A factory picks
// between them, and `initialize_redis` returns the redis library's own
// connection. Per-operation category counters live in one Redis hash.
//
// The redis library is reached through the module attributes `redis` and
// `RedisClusterClient`, looked up at every call. Every connection the module
// builds is bounded in time (redis_timeout_seconds).
#include "binding/module.hpp"
#include "binding/names.hpp"
#include "service/mask.hpp"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

using namespace binding;
using namespace service;

namespace {

// Module globals.
Name n_redis("redis");
Name n_RedisClusterClient("RedisClusterClient");
Name n_initialize_redis("initialize_redis");
Name n_ProductionRedisClient("ProductionRedisClient");
Name n_DevelopmentRedisClient("DevelopmentRedisClient");

// Attributes of the clients.
Name n_decode_responses("decode_responses");
Name n_client("client");
Name n_connect("connect");
Name n_parse_url("_parse_url");
Name n_DEFAULT_TTL("DEFAULT_TTL");

// Methods and keywords of the redis library, the logger and str.
Name n_Redis("Redis");
Name n_from_url("from_url");
Name n_set("set");
Name n_delete("delete");
Name n_ex("ex");
Name n_host("host");
Name n_port("port");
Name n_get_nodes("get_nodes");
Name n_pipeline("pipeline");
Name n_expire("expire");
Name n_hincrby("hincrby");
Name n_execute("execute");
Name n_lower("lower");
Name n_socket_timeout("socket_timeout");
Name n_socket_connect_timeout("socket_connect_timeout");
Name n_retry("retry");
Name n_cluster_error_retry_attempts("cluster_error_retry_attempts");
Name n_VERSION("VERSION");
Name n_Retry("Retry");
Name n_NoBackoff("NoBackoff");
Name n_get_node_from_key("get_node_from_key");
Name n_get_redis_connection("get_redis_connection");
Name n_nodes_manager("nodes_manager");
Name n_initialize("initialize");

// Keys of a category entry.
Name n_id("id");
Name n_subCategories("subCategories");
Name n_subSubCategories("subSubCategories");

// Fixed texts.
Name s_redis_prefix("redis://");
Name s_production("production");
Name s_colon(":");

constexpr long long default_port = 6379;
constexpr long long counts_ttl = 10800;  // three hours

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
// Failure logging

// Call `owner.logger.error(message())` while `error` is the handled exception,
// as inside an `except` block: a logger that attaches exception information
// then shows the caught failure, and an exception raised by the logger call
// carries the caught one as its context. The logger and its method are looked
// up before the message is built, as `self.logger.error(f"...")` does.
template <class Message>
void log_error(Handle owner, const PyError& error, Message&& message) {
    HandledScope scope(error);
    Ref logger = getattr(owner, n_logger);
    Ref method = getattr(logger, n_error);
    Ref text = message();
    call(method, text);
}

// Run `body`; an `Exception` it raises (anything else passes through) goes
// to `on_failure`, whose result is returned instead.
template <class Body, class OnFailure>
Ref guarded(Body&& body, OnFailure&& on_failure) {
    try {
        return body();
    } catch (PyError& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return on_failure(e);
    }
}

// ---------------------------------------------------------------------------
// The Redis operations

Ref not_implemented(const Args&) { raise_object(Handle(PyExc_NotImplementedError)); }

// A Redis operation, written once beside its body: `method` is the method of
// BaseRedisClient, and IRedisClient gets a method of the same signature that
// only raises NotImplementedError (each named "<class>.<name>"). Both classes
// list the operations in the order they are defined in this file.
class RedisOperation {
public:
    explicit RedisOperation(FunctionSpec method)
        : base_qualname_(std::string("BaseRedisClient.") + method.name),
          abstract_qualname_(std::string("IRedisClient.") + method.name),
          base_(std::move(method)),
          abstract_(base_) {
        base_.qualname = base_qualname_.c_str();
        abstract_.qualname = abstract_qualname_.c_str();
        abstract_.body = not_implemented;
        registry().push_back(this);
    }
    RedisOperation(const RedisOperation&) = delete;
    RedisOperation& operator=(const RedisOperation&) = delete;

    const FunctionSpec& base() const noexcept { return base_; }
    const FunctionSpec& abstract() const noexcept { return abstract_; }
    // Every operation, in the order of definition.
    static const std::vector<const RedisOperation*>& all() { return registry(); }

private:
    static std::vector<const RedisOperation*>& registry() {
        static std::vector<const RedisOperation*> operations;
        return operations;
    }
    std::string base_qualname_, abstract_qualname_;
    FunctionSpec base_, abstract_;
};

// ---------------------------------------------------------------------------
// BaseRedisClient

// __init__(self, url, logger, decode_responses=True): store the settings,
// then connect through the subclass's `connect`.
Ref base_init(const Args& a) {
    Handle self = a[0], url = a[1], logger = a[2], decode_responses = a[3];
    setattr(self, n_url, url);
    setattr(self, n_logger, logger);
    setattr(self, n_decode_responses, decode_responses);
    Ref client = call_method(self, n_connect);
    setattr(self, n_client, client);
    return none().ref();
}

const FunctionSpec base_init_spec{
    .name = "__init__",
    .qualname = "BaseRedisClient.__init__",
    .params = {{"self"},
               {"url", "str", ExactType::Str},
               {"logger", "any"},
               {"decode_responses", "bool", ExactType::Any, default_bool(true)}},
    .body = base_init,
};

const FunctionSpec base_connect_spec{
    .name = "connect",
    .qualname = "BaseRedisClient.connect",
    .doc = "Override this method in subclasses to implement connection logic.",
    .params = {{"self"}},
    .body = not_implemented,
};

// get(self, key): the stored string, or None when the key is missing or the
// read fails (logged). A reply that is not a str (bytes from a client built
// with decode_responses False) counts as a failure.
Ref base_get(const Args& a) {
    Handle self = a[0], key = a[1];
    return guarded(
        [&] {
            Ref result = call_method(getattr(self, n_client), n_get, key);
            if (!PyUnicode_Check(result.ptr()) && !result.is_none())
                raise(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(result.ptr())->tp_name);
            return result;
        },
        [&](const PyError& e) {
            log_error(self, e, [&] { return format("Error getting key '%U': %S", key.ptr(), e.value().ptr()); });
            return none().ref();
        });
}

const RedisOperation get_operation{{
    .name = "get",
    .params = {{"self"}, {"key", "str", ExactType::Str}},
    .returns = "Union[str, None]",
    .body = base_get,
}};

// set(self, key, value, ex=0): write with an expiry, `ex` seconds or, when 0,
// the instance's DEFAULT_TTL; the client's result, or False on a logged failure.
Ref base_set(const Args& a) {
    Handle self = a[0], key = a[1], value = a[2], ex = a[3];
    return guarded(
        [&] {
            Ref expiry = truthy(ex) ? ex.ref() : getattr(self, n_DEFAULT_TTL);
            return call_method(getattr(self, n_client), n_set, key, value, kw(n_ex, expiry));
        },
        [&](const PyError& e) {
            log_error(self, e, [&] { return format("Error setting key '%U': %S", key.ptr(), e.value().ptr()); });
            return py_bool(false).ref();
        });
}

const RedisOperation set_operation{{
    .name = "set",
    .params = {{"self"},
               {"key", "str", ExactType::Str},
               {"value", "str", ExactType::Str},
               {"ex", "int", ExactType::Int, default_int(0)}},
    .returns = "bool",
    .body = base_set,
}};

// delete(self, key): the client's result (the number of keys removed), or
// False on a logged failure.
Ref base_delete(const Args& a) {
    Handle self = a[0], key = a[1];
    return guarded([&] { return call_method(getattr(self, n_client), n_delete, key); },
                   [&](const PyError& e) {
                       log_error(self, e,
                                 [&] { return format("Error deleting key '%U': %S", key.ptr(), e.value().ptr()); });
                       return py_bool(false).ref();
                   });
}

const RedisOperation delete_operation{{
    .name = "delete",
    .params = {{"self"}, {"key", "str", ExactType::Str}},
    .returns = "bool",
    .body = base_delete,
}};

// ---------------------------------------------------------------------------
// Category counts

// entry.get(name): a plain dict is read directly (its `get` cannot be
// replaced), anything else through its `get` method.
Ref entry_get(Handle entry, const Name& name) {
    if (PyDict_CheckExact(entry.ptr())) {
        PyObject* found = nullptr;
        if (check(PyDict_GetItemRef(entry.ptr(), name.get().ptr(), &found))) return Ref::steal(found);
        return none().ref();
    }
    return call_method(entry, n_get, name);
}

// entry.get(name, []); an empty Ref when a plain dict lacks the key (an
// empty list, so nothing to walk).
Ref entry_children(Handle entry, const Name& name) {
    if (PyDict_CheckExact(entry.ptr())) {
        PyObject* found = nullptr;
        if (check(PyDict_GetItemRef(entry.ptr(), name.get().ptr(), &found))) return Ref::steal(found);
        return Ref();
    }
    Ref empty = new_list();
    return call_method(entry, n_get, name, empty);
}

// Call `visit` for each item of `items` in iteration order. A list is read
// by index with its current length at each step, as the list iterator does.
template <class Visit>
void for_each(Handle items, Visit&& visit) {
    PyObject* v = items.ptr();
    if (PyList_CheckExact(v)) {
        // The entries of a large batch are mostly out of the CPU caches: ask
        // for the next few ahead of time, so that their loads overlap.
        constexpr Py_ssize_t ahead = 4;
        for (Py_ssize_t i = 0; i < ahead && i < PyList_GET_SIZE(v); ++i) __builtin_prefetch(PyList_GET_ITEM(v, i));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); ++i) {
            if (i + ahead < PyList_GET_SIZE(v)) __builtin_prefetch(PyList_GET_ITEM(v, i + ahead));
            visit(Handle(Ref::borrow(PyList_GET_ITEM(v, i))));
        }
    } else if (PyTuple_CheckExact(v)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(v); ++i) visit(Handle(PyTuple_GET_ITEM(v, i)));
    } else {
        Ref it = check(PyObject_GetIter(v));
        while (Ref item = Ref::steal(PyIter_Next(it.ptr()))) visit(Handle(item));
        if (PyErr_Occurred()) rethrow();
    }
}

// The decimal text of a machine-size int, as str() writes it.
Ref decimal_text(long long value) {
    char digits[24];
    char* end = digits + sizeof digits;
    char* p = end;
    unsigned long long rest = value < 0 ? 0ULL - static_cast<unsigned long long>(value) : value;
    do {
        *--p = static_cast<char>('0' + rest % 10);
        rest /= 10;
    } while (rest);
    if (value < 0) *--p = '-';
    Ref text = check(PyUnicode_New(end - p, 127));
    std::copy(p, end, static_cast<char*>(PyUnicode_DATA(text.ptr())));
    return text;
}

// The text of a category id, as str() gives it. Ids are often ints, and
// often the same ones from batch to batch: the texts of exact ints are made
// directly and kept in a small direct-mapped table (a slot keeps the first
// int that lands in it), which is bounded and, as str() of an int has no
// side effects, indistinguishable from making the text again.
constexpr size_t int_text_slots = 4096;

// The module's state, made once by exec(). Plain statics serve as the
// module's state: the module is initialised once per process and into one
// interpreter only (binding/module.hpp refuses a second initialisation and a
// second interpreter), and every use holds the interpreter lock.
struct State {
    long long int_text_values[int_text_slots];  // the int each slot of int_texts holds the text of
    Forever int_texts;                          // a list of int_text_slots texts (None where empty)
    Forever cluster_class;                      // redis.cluster.RedisCluster, to recognise a cluster connection
} state;

Ref id_text(Handle id) {
    if (!PyLong_CheckExact(id.ptr())) return str(id);
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(id.ptr(), &overflow);
    if (overflow) return str(id);
    if (value == -1 && PyErr_Occurred()) rethrow();
    size_t slot = static_cast<size_t>(value) & (int_text_slots - 1);
    PyObject* cached = PyList_GET_ITEM(state.int_texts.ptr(), slot);
    if (cached == Py_None) {
        Ref text = decimal_text(value);
        check(PyList_SetItem(state.int_texts.ptr(), static_cast<Py_ssize_t>(slot), text.ref().release()));
        state.int_text_values[slot] = value;
        return text;
    }
    if (state.int_text_values[slot] == value) return Ref::borrow(cached);
    return decimal_text(value);
}

// The pipeline's `hincrby`, fetched once per call. A bound method is split
// into its function and instance, so each call goes straight to the
// function with the instance in front, as the method object would do.
class Increment {
public:
    explicit Increment(Ref method) {
        if (PyMethod_Check(method.ptr())) {
            function_ = Ref::borrow(PyMethod_GET_FUNCTION(method.ptr()));
            self_ = Ref::borrow(PyMethod_GET_SELF(method.ptr()));
        } else {
            function_ = std::move(method);
        }
    }
    void operator()(Handle key, Handle field, Handle one) const {
        if (self_)
            call(function_, self_, key, field, one);
        else
            call(function_, key, field, one);
    }

private:
    Ref function_;
    Ref self_;
};

// The depth-first, pre-order walk of one batch: one `hincrby(key, str(id), 1)`
// per category node.
struct CountWalk {
    Handle key;
    Increment hincrby;
    Handle one;

    void count(Handle entry) const {
        Ref id = entry_get(entry, n_id);
        if (PyUnicode_CheckExact(id.ptr()))
            hincrby(key, id, one);  // str() of a str is the str itself
        else
            hincrby(key, id_text(id), one);
    }

    void subcategory(Handle entry) const {
        count(entry);
        if (Ref children = entry_children(entry, n_subSubCategories))
            for_each(children, [this](Handle leaf) { count(leaf); });
    }

    void category(Handle entry) const {
        count(entry);
        if (Ref children = entry_children(entry, n_subCategories))
            for_each(children, [this](Handle sub) { subcategory(sub); });
    }
};

// Counts on a cluster. redis-py's cluster pipeline sends the commands of a
// batch whose node failed or timed out again, one by one, each with the
// client's retries: a batch whose reply timed out, which the node may well
// have applied, would be counted twice, and the wait would grow with the
// batch. So a batch goes, at most once, as the plain pipeline (MULTI/EXEC,
// as on a single server) of the node that owns the hash's slot; all its
// commands use the one key, hence that one slot. Such a pipeline does not
// follow a MOVED or ASK answer (a reshard under way): the batch fails, is
// logged, and nothing of it is applied.

// Run `exchange` with the cluster connection `client`; when it fails, rebuild
// the client's slot table before the failure goes on, as redis-py does after
// a failed command, so that the next batch goes to the slot's current owner
// (the replica promoted in place of a failed master, the new owner after a
// reshard). A refresh that fails too is left to the next call to meet.
template <class Exchange>
void with_slot_refresh(Handle client, Exchange&& exchange) {
    try {
        exchange();
    } catch (PyError& e) {
        if (!e.matches(PyExc_Exception)) throw;
        try {
            call_method(getattr(client, n_nodes_manager), n_initialize);
        } catch (PyError& refresh) {
            if (!refresh.matches(PyExc_Exception)) throw;
        }
        throw;
    }
}

// The pipeline of one batch: the connection's own, or on a cluster that of
// the node that owns `key`'s slot.
Ref counts_pipeline(Handle client, Handle key, bool cluster) {
    if (!cluster) return call_method(client, n_pipeline);
    Ref pipeline;
    with_slot_refresh(client, [&] {
        Ref node = call_method(client, n_get_node_from_key, key);
        pipeline = call_method(call_method(client, n_get_redis_connection, node), n_pipeline);
    });
    return pipeline;
}

// increment_category_counts(self, operation_id, batch_data): add one per
// category node to the operation's hash and renew its three-hour expiry, all
// in one pipeline and one `execute()`. The expiry is queued after the
// increments so that it also holds on the call that creates the hash (an
// EXPIRE of a missing key does nothing). A failure part-way is logged and the
// pipeline dropped unsent; a batch is never sent twice.
Ref base_increment(const Args& a) {
    Handle self = a[0], operation_id = a[1], batch = a[2];
    Ref key = format("Mod:RetagOperations:%U:category_counts", operation_id.ptr());
    return guarded(
        [&] {
            Ref client = getattr(self, n_client);
            const bool cluster = check(PyObject_IsInstance(client.ptr(), state.cluster_class.ptr())) != 0;
            Ref pipeline = counts_pipeline(client, key, cluster);
            Ref one = new_int(1);
            CountWalk walk{key, Increment(getattr(pipeline, n_hincrby)), one};
            for_each(batch, [&walk](Handle category) { walk.category(category); });
            Ref ttl = new_int(counts_ttl);
            call_method(pipeline, n_expire, key, ttl);
            if (cluster)
                with_slot_refresh(client, [&] { call_method(pipeline, n_execute); });
            else
                call_method(pipeline, n_execute);
            return none().ref();
        },
        [&](const PyError& e) {
            log_error(self, e, [&] {
                return format("Error incrementing category counts for operation '%U': %S", operation_id.ptr(),
                              e.value().ptr());
            });
            return none().ref();
        });
}

const RedisOperation increment_operation{{
    .name = "increment_category_counts",
    .params = {{"self"}, {"operation_id", "str", ExactType::Str}, {"batch_data", "list", ExactType::List}},
    .body = base_increment,
}};

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

// ---------------------------------------------------------------------------

void exec(Module m) {
    Ref texts = check(PyList_New(int_text_slots));
    for (size_t i = 0; i < int_text_slots; ++i) check(PyList_SetItem(texts.ptr(), i, none().ref().release()));
    state.int_texts.set(std::move(texts));

    m.add("Union", getattr(import("typing"), "Union"));
    m.add("redis", import("redis"));
    Ref cluster_class = getattr(import("redis.cluster"), "RedisCluster");
    state.cluster_class.set(cluster_class.ref());
    m.add("RedisClusterClient", cluster_class);
    m.add("initialize_redis", m.function(initialize_redis_spec));

    std::vector<Member> abstract_methods;
    for (const RedisOperation* op : RedisOperation::all())
        abstract_methods.push_back({op->abstract().name, m.function(op->abstract())});
    Ref interface = make_class(m, "IRedisClient", {}, "Interface for Redis clients.", abstract_methods);
    m.add("IRedisClient", interface);

    std::vector<Member> base_members = {{"DEFAULT_TTL", new_int(604800)},
                                        {"__init__", m.function(base_init_spec)},
                                        {"connect", m.function(base_connect_spec)}};
    for (const RedisOperation* op : RedisOperation::all())
        base_members.push_back({op->base().name, m.function(op->base())});
    Ref base = make_class(m, "BaseRedisClient", {interface},
                          "Base Redis client with common functionality and error handling.", base_members);
    m.add("BaseRedisClient", base);

    m.add("ProductionRedisClient",
          make_class(m, "ProductionRedisClient", {base}, "Production Redis client using Redis Cluster.",
                     {{"connect", m.function(production_connect_spec)},
                      {"_parse_url", m.function(production_parse_url_spec)}}));
    m.add("DevelopmentRedisClient",
          make_class(m, "DevelopmentRedisClient", {base}, "Development Redis client using redis-py.",
                     {{"connect", m.function(development_connect_spec)}}));

    Ref create = check(PyStaticMethod_New(m.function(factory_create_spec).ptr()));
    m.add("RedisClientFactory",
          make_class(m, "RedisClientFactory", {}, "Factory for creating Redis clients.", {{"create", create}}));
}

}  // namespace

BINDING_MODULE(cache_access, exec)
