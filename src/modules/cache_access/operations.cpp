// cache_access: IRedisClient and BaseRedisClient, whose Redis operations log
// their failures and return a fallback value instead of raising.
#include "cache_access.hpp"

#include <string>
#include <utility>
#include <vector>

namespace cache_access {
namespace {

Name n_client("client");
Name n_connect("connect");
Name n_DEFAULT_TTL("DEFAULT_TTL");
Name n_get("get");
Name n_set("set");
Name n_delete("delete");
Name n_ex("ex");

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

// increment_category_counts(self, operation_id, batch_data): add one per
// category node to the operation's hash and renew its three-hour expiry, all
// in one pipeline and one `execute()` (count_batch); a failure is logged.
Ref base_increment(const Args& a) {
    Handle self = a[0], operation_id = a[1], batch = a[2];
    Ref key = format("Mod:RetagOperations:%U:category_counts", operation_id.ptr());
    return guarded(
        [&] {
            count_batch(getattr(self, n_client), key, batch);
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

}  // namespace

Ref add_base_classes(Module m) {
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
    return base;
}

}  // namespace cache_access
