// veltrano_python_configuration.service_toolkit: a process-wide singleton
// metaclass, the extension of a JSON schema with the undeclared keys of an
// application-settings file, and two Google Chat messengers that post a
// coloured card to a room's incoming webhook (one on the caller's thread with
// requests, one from an asyncio consumer task with aiohttp).
#include "binding/coroutine.hpp"
#include "service/handover.hpp"
#include "service/mask.hpp"
#include "binding/module.hpp"

#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

using namespace binding;
using namespace service;

namespace {

// --- names ---------------------------------------------------------------------

// Module globals, looked up at each call.
Name n_asyncio("asyncio");
Name n_json("json");
Name n_aiohttp("aiohttp");
Name n_requests("requests");
Name n_open("open");
Name n_sync_messenger("GoogleChatSyncMessenger");
Name n_async_messenger("GoogleChatAsyncMessenger");

// Attributes and methods of other objects.
Name n_instances("_instances");
Name n_dunder_call("__call__");
Name n_dunder_name("__name__");
Name n_enter("__enter__");
Name n_exit("__exit__");
Name n_aenter("__aenter__");
Name n_aexit("__aexit__");
Name n_load("load");
Name n_dumps("dumps");
Name n_items("items");
Name n_get("get");
Name n_post("post");
Name n_raise_for_status("raise_for_status");
Name n_error("error");
Name n_queue("Queue");
Name n_full("full");
Name n_put("put");
Name n_task_done("task_done");
Name n_done("done");
Name n_get_event_loop("get_event_loop");
Name n_get_running_loop("get_running_loop");
Name n_new_event_loop("new_event_loop");
Name n_create_task("create_task");
Name n_create_future("create_future");
Name n_set_result("set_result");
Name n_append("append");
Name n_get_loop("get_loop");
Name n_is_closed("is_closed");
Name n_client_session("ClientSession");
Name n_ensure_queue_processing("_ensure_queue_processing");
Name n_enqueue_message("_enqueue_message");
Name n_process_log_queue("_process_log_queue");
Name n_send_message_async("_send_message_async");

// Keyword names.
Name n_url("url");
Name n_headers("headers");
Name n_data("data");
Name n_timeout("timeout");
Name n_exc_info("exc_info");

// Messenger instance attributes.
Name n_service_name("service_name");
Name n_default_g_chat_webhook("default_g_chat_webhook");
Name n_default_g_chat_error_webhook("default_g_chat_error_webhook");
Name n_g_chat_webhook("g_chat_webhook");
Name n_g_chat_error_webhook("g_chat_error_webhook");
Name n_environ("environ");
Name n_log_enabled("log_enabled");
Name n_logger("logger");
Name n_color_dict("color_dict");
Name n_log_queue("log_queue");
Name n_queue_task("queue_task");
Name n_enqueue_waiters("_enqueue_waiters");
Name n_alerts_waiting("_alerts_waiting");
Name n_post_answered("_post_answered");
Name n_alert_in_hand("_alert_in_hand");

// asyncio and other library names used by the hand-over and the drain.
Name n_sleep("sleep");
Name n_maxsize("maxsize");
Name n_empty("empty");
Name n_Runner("Runner");
Name n_run("run");
Name n_close("close");
Name n_loop_factory("loop_factory");
Name n_CancelledError("CancelledError");
Name n_WeakSet("WeakSet");
Name n_add("add");
Name n_register("register");
Name n_write("write");
Name n_stderr("stderr");

// Texts: schema keys and JSON-schema type names.
Name s_properties("properties");
Name s_extra("extra");
Name s_type("type");
Name s_object("object");
Name s_string("string");
Name s_read_mode("r");

// Texts: the card message, its header and colours.
Name s_cards("cards");
Name s_header("header");
Name s_title("title");
Name s_subtitle("subtitle");
Name s_sections("sections");
Name s_widgets("widgets");
Name s_text_paragraph("textParagraph");
Name s_text("text");
Name s_star("*");
Name s_underscore("_");
Name s_font_open("<font color='");
Name s_font_middle("'>");
Name s_font_close("</font>");
Name s_content_type("Content-Type");
Name s_json_utf8("application/json; charset=UTF-8");
Name s_green("#008000");
Name s_red("#FF0000");
Name s_black("#000000");
Name s_production_upper("PRODUCTION");
Name s_production_lower("production");
Name s_webhook_error("Error in webhookApi");
Name s_newline("\n");

// Seconds the synchronous messenger waits for a webhook before giving up.
constexpr long long post_timeout_seconds = 10;

// --- small helpers ----------------------------------------------------------------

Ref getitem(Handle container, Handle key) { return check(PyObject_GetItem(container.ptr(), key.ptr())); }

// The string form an f-string gives: a str unchanged, anything else through format(obj, "").
Ref formatted(Handle obj) {
    if (PyUnicode_CheckExact(obj.ptr())) return obj.ref();
    return check(PyObject_Format(obj.ptr(), nullptr));
}

Ref type_of(Handle obj) { return Ref::borrow(reinterpret_cast<PyObject*>(obj.type())); }

// The next item of an iterator, or a null Ref at its end.
Ref next(Handle iterator) {
    PyObject* item = PyIter_Next(iterator.ptr());
    if (!item && PyErr_Occurred()) rethrow();
    return Ref::steal(item);
}

// `a, b = obj`: exactly two items, with the interpreter's messages otherwise.
std::pair<Ref, Ref> unpack_pair(Handle obj) {
    if (PyTuple_CheckExact(obj.ptr()) && PyTuple_GET_SIZE(obj.ptr()) == 2)
        return {Ref::borrow(PyTuple_GET_ITEM(obj.ptr(), 0)), Ref::borrow(PyTuple_GET_ITEM(obj.ptr(), 1))};
    PyObject* it = PyObject_GetIter(obj.ptr());
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !obj.type()->tp_iter && !PySequence_Check(obj.ptr())) {
            PyErr_Clear();
            raise(PyExc_TypeError, "cannot unpack non-iterable %.200s object", obj.type()->tp_name);
        }
        rethrow();
    }
    Ref iterator = Ref::steal(it);
    Ref first = next(iterator);
    if (!first) raise(PyExc_ValueError, "not enough values to unpack (expected 2, got 0)");
    Ref second = next(iterator);
    if (!second) raise(PyExc_ValueError, "not enough values to unpack (expected 2, got 1)");
    if (next(iterator)) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    return {std::move(first), std::move(second)};
}

// The (type, value, traceback) triple that __exit__/__aexit__ receive.
struct ExcTriple {
    Ref type, value, traceback;
};
ExcTriple triple(const std::optional<PyError>& error) {
    if (!error) return {none().ref(), none().ref(), none().ref()};
    Handle value = error->value();
    Ref tb = Ref::steal(PyException_GetTraceback(value.ptr()));
    return {type_of(value), value.ref(), tb ? std::move(tb) : none().ref()};
}

// A context manager's special method, looked up on its type as `with` does.
Ref special_method(Handle manager, const Name& name) { return getattr(type_of(manager), name); }

// `with manager as entered: return body(entered)`.
template <class Body>
Ref with_block(Handle manager, Body&& body) {
    Ref exit = special_method(manager, n_exit);
    Ref entered = call(special_method(manager, n_enter), manager);
    Ref result;
    try {
        result = body(Handle(entered));
    } catch (PyError& e) {
        bool suppressed;
        {
            HandledScope scope(e);  // as inside the `with` statement's own except clause
            ExcTriple t = triple(e);
            suppressed = truthy(call(exit, manager, t.type, t.value, t.traceback));
        }
        if (!suppressed) throw;
        return none().ref();
    }
    call(exit, manager, none(), none(), none());
    return result;
}

// After `await manager.__aexit__(...)` returned `result`: re-raise the body's
// exception unless the manager suppressed it.
void reraise_unless_suppressed(Handle result, std::optional<PyError>& error) {
    if (error && !truthy(result)) throw std::move(*error);
}

// The failure path of both messengers: `self.logger.error("Error in webhookApi",
// exc_info=True)` while the failure is the handled exception, so its traceback
// is attached to the record. The logger sees a copy of the failure's chain with
// the secrets of `webhook` (the URL posted to; may be null) and of any URL the
// texts quote shown as "***" (service/mask.hpp). Nothing is logged when the
// logger is false.
void log_webhook_failure(Handle self, const PyError& error, Handle webhook) {
    Ref logger = getattr(self, n_logger);
    if (!truthy(logger)) return;
    SecretMask mask;
    if (webhook) {
        try {
            mask.add_url(webhook);
        } catch (PyError& e) {  // a webhook without a str() form has nothing to show
            if (!e.matches(PyExc_Exception)) throw;
        }
    }
    PyError shown = mask.hide_in(error);
    HandledScope scope(shown);
    call_method(logger, n_error, s_webhook_error, kw(n_exc_info, py_bool(true)));
}

// --- SingletonMeta -----------------------------------------------------------------

// First constructions of a class are serialised by a lock of that class, so
// that concurrent first calls make one instance. The lock is recursive (a
// class whose __init__ calls the class again on the same thread goes on),
// and a waiting thread releases the interpreter lock while it waits.
// Entries are keyed by the class object, which the waiting callers keep
// alive, and are dropped when their last user leaves. The table is touched
// only while the interpreter lock is held; it is never destroyed, as threads
// may still be waiting on a lock when the process exits.
struct ClassLock {
    std::recursive_mutex mutex;
    size_t users = 0;
};
auto& class_locks = *new std::unordered_map<PyObject*, std::unique_ptr<ClassLock>>();

class ClassLockGuard {
public:
    explicit ClassLockGuard(Handle cls) : key_(cls.ptr()) {
        auto slot = class_locks.try_emplace(key_).first;
        if (!slot->second) slot->second = std::make_unique<ClassLock>();
        lock_ = slot->second.get();
        ++lock_->users;
        if (lock_->mutex.try_lock()) return;
        bool locked = false;
        Py_BEGIN_ALLOW_THREADS
        try {
            lock_->mutex.lock();
            locked = true;
        } catch (...) {
        }
        Py_END_ALLOW_THREADS
        if (!locked) {
            leave();
            raise(PyExc_RuntimeError, "could not take the construction lock of a singleton class");
        }
    }
    ~ClassLockGuard() {
        lock_->mutex.unlock();
        leave();
    }
    ClassLockGuard(const ClassLockGuard&) = delete;
    ClassLockGuard& operator=(const ClassLockGuard&) = delete;

private:
    void leave() noexcept {
        if (--lock_->users == 0) class_locks.erase(key_);
    }
    PyObject* key_;
    ClassLock* lock_;
};

// SingletonMeta.__call__(cls, *args, **kwargs): the one instance of `cls`,
// constructed by type.__call__ on the first call and stored in the registry.
Ref singleton_call(const Args& a) {
    Handle cls = a[0];
    if (!contains(getattr(cls, n_instances), cls)) {
        ClassLockGuard guard(cls);
        if (!contains(getattr(cls, n_instances), cls)) {
            Ref construct = getattr(super(a.owner_class(), cls), n_dunder_call);
            Ref instance = call_star(construct, {}, a.varargs(), a.kwargs_if_any());
            set_item(getattr(cls, n_instances), cls, instance);
        }
        return getitem(getattr(cls, n_instances), cls);
    }
    return getitem(getattr(cls, n_instances), cls);
}

const FunctionSpec singleton_call_spec{
    .name = "__call__",
    .qualname = "SingletonMeta.__call__",
    .params = {{"cls"}},
    .varargs = "args",
    .varargs_annotation = "Any",
    .kwargs = "kwargs",
    .kwargs_annotation = "Any",
    .returns = "Any",
    .body = singleton_call,
};

// --- add_extra_properties_to_schema ------------------------------------------------

// JSON-schema type of a settings value, by the name of the value's type.
const char* const type_table[][2] = {
    {"str", "string"}, {"int", "integer"}, {"float", "number"}, {"bool", "boolean"},
    {"list", "array"}, {"dict", "object"}, {"NoneType", "null"},
};
Name json_types[] = {Name("string"), Name("integer"), Name("number"), Name("boolean"),
                     Name("array"), Name("object"), Name("null")};

Ref make_type_mapping() {
    Ref mapping = new_dict();
    for (const auto& row : type_table) set_item(mapping, new_str(row[0]), new_str(row[1]));
    return mapping;
}

// The JSON type of `value`. The built-in types of the table cannot be renamed,
// so for them the answer is known without reading `__name__`; any other type
// is looked up by its name in the table (built once per call, on first need).
Ref json_type_of(Handle value, Ref& type_mapping) {
    PyTypeObject* const builtins[] = {&PyUnicode_Type, &PyLong_Type, &PyFloat_Type, &PyBool_Type,
                                      &PyList_Type,    &PyDict_Type, Py_TYPE(Py_None)};
    for (size_t i = 0; i < std::size(builtins); ++i)
        if (value.type() == builtins[i]) return json_types[i].get().ref();
    if (!type_mapping) type_mapping = make_type_mapping();
    Ref type_name = getattr(type_of(value), n_dunder_name);
    return call_method(type_mapping, n_get, type_name, s_string);
}

// Describe every settings key that schema["properties"] does not declare, in
// file order, under schema["properties"]["extra"]; that assignment, made only
// when there is something to add, is the one change made to `schema`.
Ref add_extra_properties_to_schema(const Args& a) {
    Handle schema = a[0], appsettings_path = a[1];
    Ref file = call(a.global(n_open), appsettings_path, s_read_mode);
    Ref appsettings = with_block(file, [&](Handle f) { return call_method(a.global(n_json), n_load, f); });

    Ref extra_properties = new_dict();
    Ref type_mapping;
    auto describe = [&](Handle key, Handle value) {
        if (contains(getitem(schema, s_properties), key)) return;
        check(PyDict_SetItem(extra_properties.ptr(), key.ptr(), dict_of({{s_type, json_type_of(value, type_mapping)}}).ptr()));
    };
    if (PyDict_CheckExact(appsettings.ptr())) {
        // What iterating dict.items() gives, without the view and the pair tuples.
        Py_ssize_t pos = 0, size = PyDict_GET_SIZE(appsettings.ptr());
        PyObject *key, *value;
        while (PyDict_Next(appsettings.ptr(), &pos, &key, &value)) {
            Ref k = Ref::borrow(key), v = Ref::borrow(value);  // held: the loop body runs Python code
            describe(k, v);
            if (PyDict_GET_SIZE(appsettings.ptr()) != size)
                raise(PyExc_RuntimeError, "dictionary changed size during iteration");
        }
    } else {
        Ref items = check(PyObject_GetIter(call_method(appsettings, n_items).ptr()));
        while (Ref item = next(items)) {
            auto [key, value] = unpack_pair(item);
            describe(key, value);
        }
    }
    if (truthy(extra_properties)) {
        Ref block = new_dict();
        set_item(block, s_type, s_object);
        set_item(block, s_properties, extra_properties);
        set_item(getitem(schema, s_properties), s_extra, block);
    }
    return schema.ref();
}

const FunctionSpec add_extra_properties_spec{
    .name = "add_extra_properties_to_schema",
    .params = {{"schema", "Dict[str, Any]", Check::Dict}, {"appsettings_path", "str", Check::Str}},
    .returns = "Dict[str, Any]",
    .body = add_extra_properties_to_schema,
};

// --- the card message ----------------------------------------------------------------

Ref make_headers() {
    Ref headers = new_dict();
    set_item(headers, s_content_type, s_json_utf8);
    return headers;
}

Ref make_color_dict() {
    Ref colors = new_dict();
    set_item(colors, new_int(1), s_green);
    set_item(colors, new_int(0), s_red);
    return colors;
}

// {"cards": [{"header": {"title": "*<service>*", "subtitle": "_<environ>_"},
//             "sections": [{"widgets": [{"textParagraph": {"text": "<font color='<color>'><text></font>"}}]}]}]}
Ref make_card(Handle service_name, Handle environ, Handle color, Handle text) {
    Ref header = dict_of({{s_title, concat({s_star, formatted(service_name), s_star})},
                          {s_subtitle, concat({s_underscore, formatted(environ), s_underscore})}});
    Ref paragraph = dict_of({{s_text, concat({s_font_open, formatted(color), s_font_middle, formatted(text), s_font_close})}});
    Ref section = dict_of({{s_widgets, list_of({dict_of({{s_text_paragraph, paragraph}})})}});
    Ref card = dict_of({{s_header, header}, {s_sections, list_of({section})}});
    return dict_of({{s_cards, list_of({card})}});
}

bool is_error_type(Handle message_type) { return equals(message_type, new_int(0)); }

// The webhook the asynchronous messenger posts a message of `message_type`
// to, read again for a logged failure (null when it cannot be read).
Ref async_webhook(Handle self, Handle message_type) {
    try {
        return is_error_type(message_type) ? getattr(self, n_g_chat_error_webhook) : getattr(self, n_g_chat_webhook);
    } catch (PyError& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return Ref();
    }
}

// --- GoogleChatSyncMessenger -----------------------------------------------------

Ref default_enabled(std::initializer_list<Handle> names) {
    Ref list = new_list();
    for (Handle n : names) list_append(list, n);
    return list;
}

// __init__(self, service_name, g_chat_webhook, g_chat_error_webhook, environ, log_enabled=None, logger=None)
Ref sync_init(const Args& a) {
    Handle self = a[0], service_name = a[1], webhook = a[2], error_webhook = a[3], environ = a[4];
    Ref log_enabled = a[5].is_none() ? default_enabled({s_production_upper, s_production_lower}) : a[5].ref();
    setattr(self, n_service_name, service_name);
    setattr(self, n_default_g_chat_webhook, webhook);
    setattr(self, n_default_g_chat_error_webhook, truthy(error_webhook) ? error_webhook : webhook);
    setattr(self, n_environ, environ);
    setattr(self, n_log_enabled, log_enabled);
    setattr(self, n_logger, a[6]);
    setattr(self, n_color_dict, make_color_dict());
    return none().ref();
}

// The constructor parameters the two messengers share, then their own.
std::vector<Param> constructor_params(std::initializer_list<Param> own) {
    std::vector<Param> params = {{"self"},
               {"service_name", "str", Check::Str},
               {"g_chat_webhook", "str", Check::Str},
               {"g_chat_error_webhook", "str", Check::Str},
               {"environ", "str", Check::Str},
               {"log_enabled", "Optional[list[str]]", Check::List, default_none, true},
               {"logger", "Optional[logging.Logger]", Check::Any, default_none}};
    params.insert(params.end(), own);
    return params;
}

const FunctionSpec sync_init_spec{
    .name = "__init__",
    .qualname = "GoogleChatSyncMessenger.__init__",
    .params = constructor_params({}),
    .returns = "None",
    .body = sync_init,
};

// send_message(self, text_message, message_type=1, webhook_url=None): post the
// card on this thread. Every failure, an HTTP error status and a timeout
// included, is logged (when there is a logger) and never raised.
Ref sync_send_message(const Args& a) {
    Handle self = a[0], text_message = a[1], message_type = a[2], webhook_url = a[3];
    Ref url;  // the webhook posted to, once chosen: its secrets are hidden in a logged failure
    try {
        Ref headers = make_headers();
        Ref environ = getattr(self, n_environ);
        if (!contains(getattr(self, n_log_enabled), environ)) return none().ref();
        Ref color = call_method(getattr(self, n_color_dict), n_get, message_type, s_black);
        url = truthy(webhook_url)           ? webhook_url.ref()
              : is_error_type(message_type) ? getattr(self, n_default_g_chat_error_webhook)
                                            : getattr(self, n_default_g_chat_webhook);
        Ref card = make_card(getattr(self, n_service_name), getattr(self, n_environ), color, text_message);
        Ref data = call_method(a.global(n_json), n_dumps, card);
        Ref response = call_method(a.global(n_requests), n_post, kw(n_url, url), kw(n_headers, headers),
                                   kw(n_data, data), kw(n_timeout, new_int(post_timeout_seconds)));
        call_method(response, n_raise_for_status);
    } catch (PyError& e) {
        if (!e.matches(PyExc_Exception)) throw;
        log_webhook_failure(self, e, url);
    }
    return none().ref();
}

const FunctionSpec sync_send_message_spec{
    .name = "send_message",
    .qualname = "GoogleChatSyncMessenger.send_message",
    .doc = "Send a message to Google Chat synchronously, allowing dynamic webhook overrides.",
    .params = {{"self"},
               {"text_message", "str", Check::Str},
               {"message_type", "int", Check::Int, default_int(1)},
               {"webhook_url", "Optional[str]", Check::Str, default_none, true}},
    .returns = "None",
    .body = sync_send_message,
};

// --- GoogleChatAsyncMessenger ----------------------------------------------------

// __init__(self, service_name, g_chat_webhook, g_chat_error_webhook, environ,
//          log_enabled=None, logger=None, max_queue_size=100)
// Besides the public attributes, `_enqueue_waiters` holds the futures of the
// awaited _enqueue_message calls waiting, in arrival order, for room in a full
// queue, `_alerts_waiting` the alerts of send_message calls that found the
// queue full, as data (tied to no coroutine or loop), in arrival order, and
// `_alert_in_hand` the message the consumer is posting (None between posts),
// so that a consumer abandoned with its loop does not take it along.
//
// Nothing accepted is silently lost. send_message puts the alert into the
// queue during the call; the consumer, cancelled when its loop ends, posts
// every alert still queued or waiting (the one whose post was cut short
// first) within ten seconds in all, and logs each one it could not post as
// undelivered. Alerts left by a loop that ended otherwise are posted by the
// next send_message, before its own alert, or at interpreter exit.
Forever live_messengers;  // a WeakSet of the asynchronous messengers, for the exit
Forever cancelled_error;  // asyncio.CancelledError
Forever deliver_pending;  // the coroutine function that posts what a messenger holds

Ref async_init(const Args& a) {
    Handle self = a[0], service_name = a[1], webhook = a[2], error_webhook = a[3], environ = a[4];
    Ref log_enabled = a[5].is_none() ? default_enabled({s_production_upper}) : a[5].ref();
    setattr(self, n_g_chat_error_webhook, truthy(error_webhook) ? error_webhook : webhook);
    setattr(self, n_service_name, service_name);
    setattr(self, n_g_chat_webhook, webhook);
    setattr(self, n_environ, environ);
    setattr(self, n_log_enabled, log_enabled);
    setattr(self, n_logger, a[6]);
    setattr(self, n_color_dict, make_color_dict());
    setattr(self, n_log_queue, call_method(a.global(n_asyncio), n_queue, a[7]));
    setattr(self, n_queue_task, none());
    setattr(self, n_enqueue_waiters, new_list());
    setattr(self, n_alerts_waiting, new_list());
    setattr(self, n_alert_in_hand, none());
    setattr(self, n_post_answered, py_bool(false));
    call_method(live_messengers, n_add, self);
    return none().ref();
}

const FunctionSpec async_init_spec{
    .name = "__init__",
    .qualname = "GoogleChatAsyncMessenger.__init__",
    .params = constructor_params({{"max_queue_size", "int", Check::Int, default_int(100)}}),
    .returns = "None",
    .body = async_init,
};

// The loop running in this thread, or null.
Ref running_loop(const Args& a) {
    try {
        return call_method(a.global(n_asyncio), n_get_running_loop);
    } catch (PyError& e) {
        if (!e.matches(PyExc_RuntimeError)) throw;
        return Ref();
    }
}

// A consumer task serves the running loop unless it is done or belongs to
// another loop (one that ended without cancelling it, or is not running now).
bool serves(const Args& a, Handle task) {
    if (!truthy(task) || truthy(call_method(task, n_done))) return false;
    Ref loop = running_loop(a);
    return !loop || call_method(task, n_get_loop).is(loop);
}

// Start a consumer task on the thread's current event loop unless a live one
// serves it. The consumer is run up to its first await at once, so that a
// cancellation before the task's first turn still reaches it.
Ref ensure_queue_processing(const Args& a) {
    Handle self = a[0];
    if (!serves(a, getattr(self, n_queue_task))) {
        Ref loop = call_method(a.global(n_asyncio), n_get_event_loop);
        Ref consumer = call_method(self, n_process_log_queue);
        handover::start_eagerly(consumer);
        Ref task = call_method(loop, n_create_task, consumer);
        handover::may_be_abandoned(task);
        setattr(self, n_queue_task, task);
    }
    return none().ref();
}

const FunctionSpec ensure_queue_processing_spec{
    .name = "_ensure_queue_processing",
    .qualname = "GoogleChatAsyncMessenger._ensure_queue_processing",
    .params = {{"self"}},
    .returns = "None",
    .body = ensure_queue_processing,
};

// Messages waiting for room form a line per event loop: an asyncio queue and
// its futures serve one loop, so waiters left on a loop that no longer runs
// must not hold up the messages sent on another.
bool on_loop(Handle future, Handle loop) { return call_method(future, n_get_loop).is(loop); }

// Index of the first waiter of `loop` in the line, or -1.
Py_ssize_t first_waiter(Handle waiters, Handle loop) {
    const Py_ssize_t n = length(waiters);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (on_loop(check(PySequence_GetItem(waiters.ptr(), i)), loop)) return i;
    return -1;
}

// Leave the line; the first waiter of the loop hands the turn to the next one
// of the same loop (unless the loop is closed, as when an abandoned loop's
// coroutines are closed: nothing can resume a waiter there).
void leave_line(Handle waiters, Handle turn, Handle loop) {
    const Py_ssize_t first = first_waiter(waiters, loop);
    const Py_ssize_t n = length(waiters);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!check(PySequence_GetItem(waiters.ptr(), i)).is(turn)) continue;
        check(PySequence_DelItem(waiters.ptr(), i));
        if (i != first) return;
        const Py_ssize_t next = first_waiter(waiters, loop);
        if (next < 0 || truthy(call_method(loop, n_is_closed))) return;
        Ref head = check(PySequence_GetItem(waiters.ptr(), next));
        if (!truthy(call_method(head, n_done))) call_method(head, n_set_result, none());
        return;
    }
}

// Awaitables built in helpers, so that no temporary of the `co_await`
// expression (the queue) stays in the coroutine frame while it waits, out of
// the garbage collector's sight.
Ref queue_put(Handle self, Handle item) { return call_method(getattr(self, n_log_queue), n_put, item); }
Ref queue_get(Handle self) { return call_method(getattr(self, n_log_queue), n_get); }

// async _enqueue_message(self, text_message, message_type): put the item,
// waiting for room when the queue is full. Waiting messages enter first come,
// first served: a message that arrives while others of its loop wait joins
// the end of their line, and only the first of the line waits in the queue's
// own put, so a newcomer cannot take a slot freed for an earlier message.
Async enqueue_message(const Args& a) {
    Handle self = a[0];
    Ref item = new_tuple({a[1], a[2]});
    // The line, the loop and our place in the line lead back to this coroutine
    // (the futures' callbacks wake the task running it): kept where the
    // collector sees them.
    Handle waiters = co_await hold(getattr(self, n_enqueue_waiters));
    Handle loop = co_await hold(call_method(a.global(n_asyncio), n_get_running_loop));
    if (first_waiter(waiters, loop) < 0 && !truthy(call_method(getattr(self, n_log_queue), n_full))) {
        co_await queue_put(self, item);  // room and nobody ahead: completes at once
        co_return none();
    }
    Handle turn = co_await hold(call_method(loop, n_create_future));
    call_method(waiters, n_append, turn);
    std::optional<PyError> failure;
    try {
        if (!check(PySequence_GetItem(waiters.ptr(), first_waiter(waiters, loop))).is(turn)) co_await turn;
        co_await queue_put(self, item);
    } catch (PyError& e) {
        failure.emplace(std::move(e));
    }
    leave_line(waiters, turn, loop);
    if (failure) throw std::move(*failure);
    co_return none();
}

const FunctionSpec enqueue_message_spec{
    .name = "_enqueue_message",
    .qualname = "GoogleChatAsyncMessenger._enqueue_message",
    // None is accepted as "no message type": it is posted as an "other" message.
    .params = {{"self"}, {"text_message", "str", Check::Str}, {"message_type", "int", Check::Int, no_default, true}},
    .returns = "None",
    .async_body = enqueue_message,
};

// After the consumer freed a slot: move the alerts waiting as data into the
// queue, in order, once no awaited _enqueue_message of this loop waits before
// them (those wait in log_queue.put themselves).
void admit_waiting(const Args& a, Handle self, Handle queue) {
    Ref loop = running_loop(a);
    if (loop && first_waiter(getattr(self, n_enqueue_waiters), loop) >= 0) return;
    handover::admit(queue, getattr(self, n_alerts_waiting));
}

// async _process_log_queue(self): post the queued messages one at a time, in
// queue order, for as long as the task lives. Cancelled (as asyncio.run
// cancels every task when its main coroutine ends), it first posts what the
// messenger still holds, the message in hand included, then ends cancelled.
Async process_log_queue(const Args& a) {
    Handle self = a[0];
    Ref item;  // the message in hand, taken from the queue
    std::optional<PyError> stopped;
    try {
        co_await call(getattr(a.global(n_asyncio), n_sleep), new_int(0));
        for (;;) {
            item = co_await queue_get(self);
            setattr(self, n_alert_in_hand, item);
            auto [text_message, message_type] = unpack_pair(item);
            setattr(self, n_post_answered, py_bool(false));
            co_await call_method(self, n_send_message_async, text_message, message_type);
            item.reset();
            setattr(self, n_alert_in_hand, none());
            Ref queue = getattr(self, n_log_queue);
            call_method(queue, n_task_done);
            admit_waiting(a, self, queue);
        }
    } catch (PyError& e) {
        stopped.emplace(std::move(e));
    }
    if (item) setattr(self, n_alert_in_hand, none());  // the drain below takes it over
    if (item && truthy(getattr(self, n_post_answered))) {  // cut short after the webhook had answered
        item.reset();
        call_method(getattr(self, n_log_queue), n_task_done);
    }
    if (stopped->matches(cancelled_error.ptr()))
        co_await call(deliver_pending, self, item ? Handle(item) : none());
    throw std::move(*stopped);
}

const FunctionSpec process_log_queue_spec{
    .name = "_process_log_queue",
    .qualname = "GoogleChatAsyncMessenger._process_log_queue",
    .params = {{"self"}},
    .returns = "None",
    .async_body = process_log_queue,
};

// Post, on this thread and before returning, everything the messenger holds
// (alerts left by a loop that ended), on a private event loop that is closed
// afterwards; the thread's current loop is left as it was.
void deliver_here(const Args& a, Handle self) {
    Ref in_hand = getattr(self, n_alert_in_hand);  // held by a consumer whose loop no longer runs
    setattr(self, n_alert_in_hand, none());
    Ref asyncio = a.global(n_asyncio);
    Ref runner = call(getattr(asyncio, n_Runner), kw(n_loop_factory, getattr(asyncio, n_new_event_loop)));
    std::optional<PyError> failure;
    try {
        call_method(runner, n_run, call(deliver_pending, self, in_hand));
    } catch (PyError& e) {
        failure.emplace(std::move(e));
    }
    call_method(runner, n_close);
    if (failure) throw std::move(*failure);
}

// Take over from a consumer of another loop: the message it held goes first,
// then, when its queue is bound to that loop, that queue's messages, which a
// fresh queue of the same size replaces; then the messages waiting for room.
void take_over(const Args& a, Handle self, Handle loop, bool new_consumer) {
    Ref old = getattr(self, n_log_queue);
    const bool rebind = handover::bound_elsewhere(old, loop);
    Ref in_hand = new_consumer ? getattr(self, n_alert_in_hand) : none().ref();
    if (!rebind && in_hand.is_none()) return;
    Ref moved = new_list();
    if (!in_hand.is_none()) {
        list_append(moved, in_hand);
        setattr(self, n_alert_in_hand, none());
    }
    for (Ref item; rebind && (item = handover::take_queued(old));) {
        list_append(moved, item);
        call_method(old, n_task_done);
    }
    Ref line = getattr(self, n_alerts_waiting);
    check(PySequence_SetSlice(line.ptr(), 0, 0, moved.ptr()));
    if (rebind) setattr(self, n_log_queue, call(getattr(a.global(n_asyncio), n_queue), getattr(old, n_maxsize)));
    handover::admit(getattr(self, n_log_queue), line);
}

// send_message(self, text_message, message_type=None). On the thread's
// running loop the message enters the queue during the call (or, when the
// queue is full, waits for room as data); the consumer posts it. With no
// running loop it is posted before the call returns, after any messages left
// by a loop that ended.
Ref async_send_message(const Args& a) {
    Handle self = a[0];
    Ref item = new_tuple({a[1], a[2]});
    Ref loop = running_loop(a);
    if (!loop) {
        list_append(getattr(self, n_alerts_waiting), item);
        deliver_here(a, self);
        return none().ref();
    }
    Ref consumer = getattr(self, n_queue_task);
    call_method(self, n_ensure_queue_processing);
    take_over(a, self, loop, !getattr(self, n_queue_task).is(consumer));
    Ref line = getattr(self, n_alerts_waiting);
    if (first_waiter(getattr(self, n_enqueue_waiters), loop) >= 0 ||
        !handover::offer(getattr(self, n_log_queue), line, item))
        list_append(line, item);
    return none().ref();
}

const FunctionSpec async_send_message_spec{
    .name = "send_message",
    .qualname = "GoogleChatAsyncMessenger.send_message",
    .doc = "Send message to Google Chat, either synchronously or asynchronously.",
    .params = {{"self"},
               {"text_message", "str", Check::Str},
               {"message_type", "int", Check::Int, default_none, true}},
    .returns = "None",
    .body = async_send_message,
};

// The awaitable of `manager.__aexit__(...)` for the outcome of an `async with` body.
Ref aexit_call(Handle exit, Handle manager, const std::optional<PyError>& error) {
    ExcTriple t = triple(error);
    return call(exit, manager, t.type, t.value, t.traceback);
}

// async _send_message_async(self, text_message, message_type): post one card
// with aiohttp. Every failure, an HTTP error status included, is logged (when
// there is a logger) and swallowed, so the consumer goes on.
Async send_message_async(const Args& a) {
    Handle self = a[0], text_message = a[1], message_type = a[2];
    std::optional<PyError> failure;
    try {
        Ref headers = make_headers();
        Ref environ = getattr(self, n_environ);
        if (!contains(getattr(self, n_log_enabled), environ)) co_return none();
        Ref color = call_method(getattr(self, n_color_dict), n_get, message_type, s_black);
        Ref url = is_error_type(message_type) ? getattr(self, n_g_chat_error_webhook) : getattr(self, n_g_chat_webhook);
        Ref card = make_card(getattr(self, n_service_name), getattr(self, n_environ), color, text_message);

        // async with asyncio.timeout(10): the post is bounded from outside the
        // HTTP library's calls, which stay exactly as they are. A timeout
        // leaves the block as TimeoutError, logged as any other failure.
        Handle deadline = co_await hold(call(getattr(a.global(n_asyncio), n_timeout), new_int(post_timeout_seconds)));
        Ref deadline_exit = special_method(deadline, n_aexit);
        co_await call(special_method(deadline, n_aenter), deadline);
        std::optional<PyError> post_error;
        try {
            // async with aiohttp.ClientSession() as session:
            // The session, the request and the response are kept where the collector
            // sees them: through the connection's futures they lead back to this coroutine.
            Handle session_manager = co_await hold(call_method(a.global(n_aiohttp), n_client_session));
            Ref session_exit = special_method(session_manager, n_aexit);
            Handle session = co_await hold(co_await call(special_method(session_manager, n_aenter), session_manager));
            std::optional<PyError> session_error;
            try {
                Ref data = call_method(a.global(n_json), n_dumps, card);
                // async with session.post(url=..., headers=..., data=...) as response:
                Handle request = co_await hold(
                    call_method(session, n_post, kw(n_url, url), kw(n_headers, headers), kw(n_data, data)));
                Ref request_exit = special_method(request, n_aexit);
                Handle response = co_await hold(co_await call(special_method(request, n_aenter), request));
                std::optional<PyError> request_error;
                try {
                    call_method(response, n_raise_for_status);
                    // Delivered: a cancellation during the exits that follow
                    // must not make the consumer post this message again.
                    setattr(self, n_post_answered, py_bool(true));
                } catch (PyError& e) {
                    request_error.emplace(std::move(e));
                }
                Ref request_exited = co_await aexit_call(request_exit, request, request_error);
                reraise_unless_suppressed(request_exited, request_error);
            } catch (PyError& e) {
                session_error.emplace(std::move(e));
            }
            Ref session_exited = co_await aexit_call(session_exit, session_manager, session_error);
            reraise_unless_suppressed(session_exited, session_error);
        } catch (PyError& e) {
            post_error.emplace(std::move(e));
        }
        Ref deadline_exited = co_await aexit_call(deadline_exit, deadline, post_error);
        reraise_unless_suppressed(deadline_exited, post_error);
    } catch (PyError& e) {
        if (!e.matches(PyExc_Exception)) throw;
        failure.emplace(std::move(e));
    }
    if (failure) log_webhook_failure(self, *failure, async_webhook(self, message_type));
    co_return none();
}

const FunctionSpec send_message_async_spec{
    .name = "_send_message_async",
    .qualname = "GoogleChatAsyncMessenger._send_message_async",
    .doc = "Send message to Google Chat asynchronously.",
    .params = {{"self"}, {"text_message", "str", Check::Str}, {"message_type", "int", Check::Int, no_default, true}},
    .returns = "None",
    .async_body = send_message_async,
};

// An alert that could not be posted: one error record through the messenger's
// logger, or the same line on stderr without one.
void log_undelivered(Handle self, Handle item) {
    Ref text;
    try {
        text = unpack_pair(item).first;
    } catch (PyError& e) {
        if (!e.matches(PyExc_Exception)) throw;
        text = item.ref();  // a malformed queue item is shown whole
    }
    Ref line = format("Undelivered Google Chat alert: %S", text.ptr());
    Ref logger = getattr(self, n_logger);
    if (truthy(logger)) {
        call_method(logger, n_error, line, kw(n_exc_info, py_bool(false)));  // the line says it all
        return;
    }
    PyObject* stderr_stream = PySys_GetObject("stderr");  // borrowed
    if (stderr_stream && stderr_stream != Py_None) call_method(Handle(stderr_stream), n_write, concat({line, s_newline}));
}

// The next message the messenger holds: from the queue (from_queue set: the
// caller marks it done), else from the alerts waiting for room; null when none.
Ref next_pending(Handle self, bool& from_queue) {
    Ref item = handover::take_queued(getattr(self, n_log_queue));
    from_queue = bool(item);
    return item ? item : handover::take_waiting(getattr(self, n_alerts_waiting));
}

// async deliver(self, current): post `current` (a message taken from the
// queue, or None), then every message the messenger holds, in order, within
// ten seconds in all. What the deadline (or another cancellation) cuts off is
// logged as undelivered, one record per message. Used when the consumer's loop
// ends, and on a private loop by send_message without a running loop.
Async deliver_body(const Args& a) {
    Handle self = a[0];
    Ref item = a[1].is_none() ? Ref() : a[1].ref();
    bool from_queue = bool(item);
    Handle deadline = co_await hold(call(getattr(a.global(n_asyncio), n_timeout), new_int(post_timeout_seconds)));
    Ref deadline_exit = special_method(deadline, n_aexit);
    co_await call(special_method(deadline, n_aenter), deadline);
    std::optional<PyError> cut;
    try {
        for (;; item.reset()) {
            if (!item && !(item = next_pending(self, from_queue))) break;
            auto [text_message, message_type] = unpack_pair(item);
            co_await call_method(self, n_send_message_async, text_message, message_type);
            if (from_queue) call_method(getattr(self, n_log_queue), n_task_done);
        }
    } catch (PyError& e) {
        cut.emplace(std::move(e));
    }
    std::optional<PyError> ended;
    try {
        Ref exited = co_await aexit_call(deadline_exit, deadline, cut);
        reraise_unless_suppressed(exited, cut);
    } catch (PyError& e) {
        ended.emplace(std::move(e));
    }
    if (!ended) co_return none();
    if (item) {
        log_undelivered(self, item);
        if (from_queue) call_method(getattr(self, n_log_queue), n_task_done);
    }
    while ((item = next_pending(self, from_queue))) {
        log_undelivered(self, item);
        if (from_queue) call_method(getattr(self, n_log_queue), n_task_done);
    }
    if (!ended->matches(PyExc_TimeoutError)) throw std::move(*ended);
    co_return none();
}

const FunctionSpec deliver_spec{
    .name = "_deliver_pending",
    .qualname = "GoogleChatAsyncMessenger._deliver_pending",
    .params = {{"self"}, {"current"}},
    .returns = "None",
    .async_body = deliver_body,
};

// At interpreter exit: post what any messenger still holds (messages queued
// on a loop that was stopped and closed without cancelling its tasks).
Ref deliver_at_exit(const Args& a) {
    handover::for_each_at_exit(live_messengers, [&](Handle self) {
        const bool idle = truthy(call_method(getattr(self, n_log_queue), n_empty)) &&
                          length(getattr(self, n_alerts_waiting)) == 0 &&
                          getattr(self, n_alert_in_hand).is_none();
        if (!idle) deliver_here(a, self);
        handover::close_abandoned(getattr(self, n_queue_task));
    });
    return none().ref();
}

const FunctionSpec deliver_at_exit_spec{
    .name = "_deliver_at_exit",
    .qualname = "_deliver_at_exit",
    .returns = "None",
    .body = deliver_at_exit,
};

// --- setup_google_chat_messenger -----------------------------------------------------

Ref setup_google_chat_messenger(const Args& a) {
    Ref cls = truthy(a[4]) ? a.global(n_async_messenger) : a.global(n_sync_messenger);
    return call(cls, a[0], a[1], a[2], a[3], a[5], a[6]);
}

const FunctionSpec setup_spec{
    .name = "setup_google_chat_messenger",
    .params = {{"service_name", "str", Check::Str},
               {"g_chat_webhook", "str", Check::Str},
               {"g_chat_error_webhook", "str", Check::Str},
               {"environ", "str", Check::Str},
               {"async_mode", "bool", Check::Any, default_bool(false)},
               {"log_enabled", "Optional[list[str]]", Check::List, default_none, true},
               {"logger", "Optional[logging.Logger]", Check::Any, default_none}},
    .returns = "Union[GoogleChatSyncMessenger, GoogleChatAsyncMessenger]",
    .body = setup_google_chat_messenger,
};

// --- the module ------------------------------------------------------------------------

constexpr const char* singleton_doc = "\n    This is a thread-safe implementation of Singleton.\n    ";

void exec(Module m) {
    m.add("asyncio", import("asyncio"));
    m.add("json", import("json"));
    m.add("logging", import("logging"));
    Ref typing = import("typing");
    for (const char* name : {"Optional", "Union", "Dict", "Any"}) m.add(name, getattr(typing, name));
    m.add("aiohttp", import("aiohttp"));
    m.add("requests", import("requests"));
    m.add("add_extra_properties_to_schema", m.function(add_extra_properties_spec));

    Ref annotations = new_dict();
    set_item(annotations, n_instances, new_str("Dict[type, Any]"));
    m.add("SingletonMeta", make_class(m, "SingletonMeta", {Handle(reinterpret_cast<PyObject*>(&PyType_Type))},
                                      singleton_doc,
                                      {{"__annotations__", annotations},
                                       {"_instances", new_dict()},
                                       {"__call__", m.function(singleton_call_spec)}}));

    m.add("GoogleChatSyncMessenger",
          make_class(m, "GoogleChatSyncMessenger", {}, nullptr,
                     {{"__init__", m.function(sync_init_spec)}, {"send_message", m.function(sync_send_message_spec)}},
                     m.attr("SingletonMeta")));
    m.add("GoogleChatAsyncMessenger",
          make_class(m, "GoogleChatAsyncMessenger", {}, nullptr,
                     {{"__init__", m.function(async_init_spec)},
                      {"_ensure_queue_processing", m.function(ensure_queue_processing_spec)},
                      {"_enqueue_message", m.function(enqueue_message_spec)},
                      {"_process_log_queue", m.function(process_log_queue_spec)},
                      {"send_message", m.function(async_send_message_spec)},
                      {"_send_message_async", m.function(send_message_async_spec)}},
                     m.attr("SingletonMeta")));
    m.add("setup_google_chat_messenger", m.function(setup_spec));

    cancelled_error.set(getattr(import("asyncio"), n_CancelledError));
    live_messengers.set(call(getattr(import("weakref"), n_WeakSet)));
    deliver_pending.set(m.function(deliver_spec));
    call_method(import("atexit"), n_register, m.function(deliver_at_exit_spec));
}

}  // namespace

BINDING_MODULE(service_toolkit, exec)
