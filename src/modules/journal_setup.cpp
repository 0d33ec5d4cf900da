// veltrano_python_configuration.journal_setup: loggers that write every record
// to standard error in one layout, timestamped with the wall-clock time in
// Asia/Kolkata; either a synchronous CustomLogger or an AsyncLogger that hands
// its records through an asyncio queue to one.
#include "binding/lifecycle.hpp"
#include "binding/names.hpp"
#include "service/channel.hpp"

#include <array>
#include <optional>

using namespace binding;
using namespace service;

namespace {

// Module globals, looked up at each call.
Name n_logging("logging");
Name n_ThreadPoolExecutor("ThreadPoolExecutor");
Name n_datetime("datetime");
Name n_timezone("timezone");
Name n_CustomLogger("CustomLogger");
Name n_AsyncLogger("AsyncLogger");
Name n_setup_base_logger("setup_base_logger");
Name n_setup_sync_logger("setup_sync_logger");
Name n_setup_async_logger("setup_async_logger");
Name n_get_log_level_from_string("get_log_level_from_string");
Name n_print("print");

// Attributes and methods of the libraries.
Name n_now("now");
Name n_timetuple("timetuple");
Name n_converter("converter");
Name n_setLoggerClass("setLoggerClass");
Name n_getLogger("getLogger");
Name n_setLevel("setLevel");
Name n_StreamHandler("StreamHandler");
Name n_Formatter("Formatter");
Name n_datefmt("datefmt");
Name n_setFormatter("setFormatter");
Name n_addHandler("addHandler");
Name n_upper("upper");
Name n_DEBUG("DEBUG");
Name n_INFO("INFO");
Name n_WARNING("WARNING");
Name n_ERROR("ERROR");
Name n_CRITICAL("CRITICAL");
Name n_set_event_loop("set_event_loop");
Name n_qsize("qsize");

// Level words: the keys of log_methods, the first field of a queue item, and
// the names of the logger methods they select (error and info are shared names).
Name n_warning("warning");
Name n_debug("debug");

// AsyncLogger's attributes and methods.
Name n_executor("executor");
Name n_log_level("log_level");
Name n_log_methods("log_methods");
Name n_consumer_tasks("_consumer_tasks");

// Fixed texts of the record layout.
Name s_zone("Asia/Kolkata");
Name s_record_format("\n%(levelname)s - %(asctime)s - %(message)s\n");
Name s_date_format("%m/%d/%Y %H:%M:%S");

// --- the module's state -------------------------------------------------------
//
// Process-wide objects, made once by exec(). Plain statics serve as the
// module's state: the module is initialised once per process and into one
// interpreter only (binding/module.hpp refuses a second initialisation and a
// second interpreter), and every use holds the interpreter lock.
struct State {
    Forever module;         // this module, whose globals the logger's callbacks read at each use
    Forever str_upper;      // str.upper (get_log_level_from_string's argument is exactly a str)
    Forever made_loops;     // a WeakSet of the loops _ensure_queue_processing made, closed at exit unless running
    Forever parents_loops;  // in a forked child: the loops the parent made, kept as they are (a list)
} state;

// --- the clock ---------------------------------------------------------------

// time_tz(*args): the present moment in Asia/Kolkata as a time tuple. It is
// logging.Formatter.converter, so formatters call it as a bound method with
// the record's creation time: both arguments are ignored on purpose, the
// record shows the time at which it is formatted.
Ref time_tz(const Args& a) {
    Ref now = getattr(a.global(n_datetime), n_now);
    Ref zone = call(a.global(n_timezone), s_zone);
    return call_method(call(now, zone), n_timetuple);
}

const FunctionSpec time_tz_spec{
    .name = "time_tz",
    .doc = "Get the current time in the Asia/Kolkata timezone.",
    .varargs = "args",
    .varargs_annotation = "Any",
    .returns = "datetime.timetuple",
    .body = time_tz,
};

// --- CustomLogger ------------------------------------------------------------

// CustomLogger.error: attach exception information unless the caller decided,
// then hand over to the next class's error in the instance's MRO.
Ref custom_error(const Args& a) {
    Handle self = a[0], msg = a[1];
    Handle kwargs = a.kwargs();  // this call's own dict: safe to extend
    if (!contains(kwargs, n_exc_info)) set_item(kwargs, n_exc_info, py_bool(true));
    Ref next_error = getattr(super(a.owner_class(), self), n_error);
    call_star(next_error, {msg}, a.varargs(), kwargs);
    return none().ref();
}

const FunctionSpec custom_error_spec{
    .name = "error",
    .qualname = "CustomLogger.error",
    .params = {{"self"}, {"msg", "str", ExactType::Str}},
    .varargs = "args",
    .varargs_annotation = "Any",
    .kwargs = "kwargs",
    .kwargs_annotation = "Any",
    .returns = "None",
    .body = custom_error,
};

// --- the setup functions -----------------------------------------------------

// setup_base_logger(service_name, log_level): make CustomLogger the library's
// logger class, then give the named logger the level and one more stream
// handler in the system's layout. Existing handlers are left as they are.
Ref setup_base_logger(const Args& a) {
    Handle service_name = a[0], log_level = a[1];
    Ref logging = a.global(n_logging);
    call_method(logging, n_setLoggerClass, a.global(n_CustomLogger));
    Ref logger = call_method(logging, n_getLogger, service_name);
    call_method(logger, n_setLevel, log_level);
    Ref handler = call_method(logging, n_StreamHandler);
    call_method(handler, n_setLevel, log_level);
    Ref formatter = call_method(logging, n_Formatter, s_record_format, kw(n_datefmt, s_date_format));
    call_method(handler, n_setFormatter, formatter);
    call_method(logger, n_addHandler, handler);
    return logger;
}

const std::vector<Param> name_and_level = {{"service_name", "str", ExactType::Str},
                                           {"log_level", "int", ExactType::Int}};

const FunctionSpec setup_base_logger_spec{
    .name = "setup_base_logger",
    .params = name_and_level,
    .returns = "Logger",
    .body = setup_base_logger,
};

Ref setup_sync_logger(const Args& a) {
    Handle service_name = a[0], log_level = a[1];
    return call(a.global(n_setup_base_logger), service_name, log_level);
}

const FunctionSpec setup_sync_logger_spec{
    .name = "setup_sync_logger",
    .params = name_and_level,
    .returns = "Logger",
    .body = setup_sync_logger,
};

Ref setup_async_logger(const Args& a) {
    Handle service_name = a[0], log_level = a[1];
    return call(a.global(n_AsyncLogger), service_name, log_level);
}

const FunctionSpec setup_async_logger_spec{
    .name = "setup_async_logger",
    .params = name_and_level,
    .returns = "AsyncLogger",
    .body = setup_async_logger,
};

// logging.<LEVEL>: a level constant read from the logging module at this
// moment. For a plain module that is a read of its dict (ModuleType defines
// no descriptor under these upper-case names, so the attribute lookup would
// find the same object); anything else, or a miss, takes the full lookup.
Ref level_attr(Handle logging, const Name& name) {
    if (PyModule_CheckExact(logging.ptr())) {
        PyObject* found = nullptr;
        if (check(PyDict_GetItemRef(PyModule_GetDict(logging.ptr()), name.get().ptr(), &found)))
            return Ref::steal(found);
    }
    return getattr(logging, name);
}

// get_log_level_from_string(level_str): the level named (in any case), ERROR
// for a name outside the table. The table's five levels and the default are
// read from logging at each call, in that order; the upper-cased name is then
// matched against the table's keys (exact strings, as a dict lookup would).

Ref get_log_level_from_string(const Args& a) {
    static const Name* const table[] = {&n_DEBUG, &n_INFO, &n_WARNING, &n_ERROR, &n_CRITICAL};
    Handle level_str = a[0];
    Ref key = call(state.str_upper, level_str);
    Ref logging = a.global(n_logging);
    std::array<Ref, std::size(table)> levels;
    for (size_t i = 0; i < levels.size(); ++i) levels[i] = level_attr(logging, *table[i]);
    Ref fallback = level_attr(logging, n_ERROR);
    for (size_t i = 0; i < levels.size(); ++i)
        if (equals(key, *table[i])) return levels[i];
    return fallback;
}

const FunctionSpec get_log_level_from_string_spec{
    .name = "get_log_level_from_string",
    .doc = "Convert a log level string to a logging level int.",
    .params = {{"level_str", "str", ExactType::Str}},
    .returns = "int",
    .body = get_log_level_from_string,
};

Ref setup_logger(const Args& a) {
    Handle service_name = a[0], async_mode = a[1], log_level_str = a[2];
    Ref level = call(a.global(n_get_log_level_from_string), log_level_str);
    const Name& setup = truthy(async_mode) ? n_setup_async_logger : n_setup_sync_logger;
    return call(a.global(setup), service_name, level);
}

const FunctionSpec setup_logger_spec{
    .name = "setup_logger",
    .params = {{"service_name", "str", ExactType::Str},
               {"async_mode", "bool", ExactType::Any, default_bool(false)},
               {"log_level_str", "str", ExactType::Str, default_str("DEBUG")}},
    .returns = "Union[Logger, AsyncLogger]",
    .body = setup_logger,
};

// --- AsyncLogger -------------------------------------------------------------
//
// The records travel through the asyncio channel of the service layer
// (service/channel.hpp says where a record goes from which thread, loop or
// process, and what happens at a loop's end, at exit and in a forked child).
// What is the logger's own: a record is a 4-tuple (level word, msg, args,
// kwargs) written through the synchronous logger's method for its level; on a
// full queue an info/debug record is dropped and counted, and the count is
// reported as one WARNING record once there is room again.
//
// Besides the documented attributes, __init__ sets `_consumer_tasks`, the
// consumer tasks _ensure_queue_processing started (the finished ones are
// forgotten at the next start), and `_channel`, the channel's state.

// The four levels: the logging constant each is filtered by, and its word
// (the key of log_methods, the first field of a record).
enum class Level { Error, Warning, Info, Debug };
struct LevelNames {
    const Name& constant;
    const Name& word;
};
const LevelNames level_names[] = {{n_ERROR, n_error}, {n_WARNING, n_warning}, {n_INFO, n_info}, {n_DEBUG, n_debug}};
const LevelNames& names_of(Level level) { return level_names[static_cast<int>(level)]; }

// The consumer tasks list of the logger, made when missing (for objects whose
// __init__ did not run ours).
Ref consumer_tasks(Handle self) {
    if (Ref found = getattr_optional(self, n_consumer_tasks)) return found;
    Ref list = new_list();
    setattr(self, n_consumer_tasks, list);
    return list;
}

// log_method(msg, *args, **kwargs) for fields that may not be a tuple and a
// dict with string keys when somebody else put the item on the queue.
void call_log_method(Handle method, Handle msg, Handle args, Handle kwargs) {
    Ref positional = PyTuple_CheckExact(args.ptr()) ? args.ref() : check(PySequence_Tuple(args.ptr()));
    Ref keywords = kwargs.ref();
    if (!PyDict_CheckExact(kwargs.ptr())) {
        keywords = new_dict();
        check(PyDict_Merge(keywords.ptr(), kwargs.ptr(), 1));
    }
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(keywords.ptr(), &pos, &key, &value))
        if (!PyUnicode_Check(key)) raise(PyExc_TypeError, "keywords must be strings");
    call_star(method, {msg}, positional, keywords);
}

// Report a record that could not be written through the running loop's
// exception handler (or on stderr without a loop, at exit), as an `except`
// block around the write would.
void report_failed_record(const PyError& error, Handle item, const std::array<Ref, 4>* fields) {
    HandledScope scope(error);
    Ref message;
    try {
        if (fields)
            message = format("AsyncLogger could not write the %R record %R", (*fields)[0].ptr(), (*fields)[1].ptr());
        else
            message = format("AsyncLogger could not write the malformed queue item %R", item.ptr());
    } catch (PyError&) {
        // Only a queue item put by other code can have a failing repr(); the
        // report goes out without it rather than ending the consumer.
        message = new_str("AsyncLogger could not write a queue item");
    }
    Ref loop;
    try {
        loop = call_method(module_global(state.module, n_asyncio), n_get_running_loop);
    } catch (PyError& e) {
        if (!e.matches(PyExc_RuntimeError)) throw;
        PySys_FormatStderr("%U\n", message.ptr());
        PyErr_DisplayException(error.value().ptr());
        return;
    }
    call_method(loop, n_call_exception_handler, dict_of({{n_message, message}, {n_exception, error.value()}}));
}

// Write one record through the synchronous logger. A failure (a bad keyword
// for the logger method, a malformed item) is reported and the consumer goes
// on: one bad record must not silence the logger.
void write_record(Handle self, Handle item) {
    std::optional<std::array<Ref, 4>> fields;
    try {
        fields = unpack<4>(item);
        auto& [level, msg, args, kwargs] = *fields;
        Ref log_method = call_method(getattr(self, n_log_methods), n_get, level);
        if (truthy(log_method)) call_log_method(log_method, msg, args, kwargs);
    } catch (PyError& e) {
        if (!e.matches(PyExc_Exception)) throw;
        report_failed_record(e, item, fields ? &*fields : nullptr);
    }
}

// What the channel needs of an AsyncLogger.
struct LoggerKind final : ChannelKind {
    constexpr LoggerKind() : ChannelKind(true) {}
    void start_consumer(Handle self) const override { call_method(self, n_ensure_queue_processing); }
    void forget_consumers(Handle self) const override {
        Ref tasks = ::consumer_tasks(self);
        check(PyList_SetSlice(tasks.ptr(), 0, PY_SSIZE_T_MAX, nullptr));
    }
    Ref handle(Handle self, Handle item) const override {
        write_record(self, item);
        return Ref();
    }
    // info and debug records are dropped on a full queue; the others wait.
    bool waits_for_room(Handle item) const override {
        Handle word(PyTuple_GET_ITEM(item.ptr(), 0));
        return !equals(word, n_info) && !equals(word, n_debug);
    }
    Ref drop_report(Py_ssize_t count) const override {
        static Name s_drop_report("Log queue was full: %d info/debug records dropped");
        return new_tuple({n_warning, s_drop_report, new_tuple({new_int(count)}), new_dict()});
    }
};
const LoggerKind logger_kind;

Ref init(const Args& a) {
    Handle self = a[0], service_name = a[1], log_level = a[2], max_queue_size = a[3];
    setattr(self, n_logger, call(a.global(n_setup_base_logger), service_name, log_level));
    setattr(self, n_log_queue, call(getattr(a.global(n_asyncio), n_Queue), max_queue_size));
    setattr(self, n_executor, call(a.global(n_ThreadPoolExecutor)));
    setattr(self, n_log_level, log_level);
    Ref methods = new_dict();
    for (const LevelNames& level : level_names)
        set_item(methods, level.word, getattr(getattr(self, n_logger), level.word));
    setattr(self, n_log_methods, methods);
    setattr(self, n_consumer_tasks, new_list());
    channel::attach(self);
    call_method(self, n_ensure_queue_processing);
    return none().ref();
}

const FunctionSpec init_spec{
    .name = "__init__",
    .qualname = "AsyncLogger.__init__",
    .params = {{"self"},
               {"service_name", "str", ExactType::Str},
               {"log_level", "int", ExactType::Int},
               {"max_queue_size", "int", ExactType::Int, default_int(100)}},
    .returns = "None",
    .body = init,
};

// _ensure_queue_processing(self): start one more consumer task, on the running
// loop, or else on a new loop that becomes the thread's current one (it runs
// when somebody runs that loop).
Ref ensure_queue_processing(const Args& a) {
    Handle self = a[0];
    Ref asyncio = a.global(n_asyncio);
    Ref loop = channel::running_loop(asyncio);
    if (!loop) {
        loop = call_method(asyncio, n_new_event_loop);
        call_method(asyncio, n_set_event_loop, loop);
        call_method(state.made_loops, n_add, loop);
    }
    Ref task = channel::consumer_task(self, loop, call_method(self, n_process_log_queue));
    Ref tasks = consumer_tasks(self);
    Ref alive = new_list();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(tasks.ptr()); ++i) {
        Handle t(PyList_GET_ITEM(tasks.ptr(), i));
        if (!truthy(call_method(t, n_done))) list_append(alive, t);
    }
    if (task) list_append(alive, task);
    check(PyList_SetSlice(tasks.ptr(), 0, PY_SSIZE_T_MAX, alive.ptr()));
    return none().ref();
}

const FunctionSpec ensure_queue_processing_spec{
    .name = "_ensure_queue_processing",
    .qualname = "AsyncLogger._ensure_queue_processing",
    .params = {{"self"}},
    .returns = "None",
    .body = ensure_queue_processing,
};

// _log_message(self, level, msg, *args, **kwargs): put one record on the
// queue, waiting for room when it is full (first come, first served); an
// info or debug record that finds it full is dropped and counted instead.
Async log_message(const Args& a) {
    Handle level = a[1], msg = a[2];
    return channel::put(a, new_tuple({level, msg, a.varargs(), a.kwargs()}));
}

const FunctionSpec log_message_spec{
    .name = "_log_message",
    .qualname = "AsyncLogger._log_message",
    .params = {{"self"}, {"level", "str", ExactType::Str}, {"msg", "str", ExactType::Str}},
    .varargs = "args",
    .varargs_annotation = "Any",
    .kwargs = "kwargs",
    .kwargs_annotation = "Any",
    .returns = "None",
    .async_body = log_message,
};

// _process_log_queue(self): the consumer. It writes the records in queue order
// and marks each done, for as long as its loop runs.
Async process_log_queue(const Args& a) { return channel::consume(a); }

const FunctionSpec process_log_queue_spec{
    .name = "_process_log_queue",
    .qualname = "AsyncLogger._process_log_queue",
    .params = {{"self"}},
    .returns = "None",
    .async_body = process_log_queue,
};

// An exc_info that asks for the current exception (True, or another true
// value that is neither an exception nor a tuple) becomes, inside an except
// block, the exception being handled: the record is written later, by the
// consumer, which handles none. `error` attaches it when exc_info is not
// given at all, as CustomLogger.error would at this moment.
void take_callers_exception(Handle kwargs, Level level) {
    PyObject* found = nullptr;
    check(PyDict_GetItemRef(kwargs.ptr(), n_exc_info.get().ptr(), &found));
    Ref given = Ref::steal(found);
    if (given ? !truthy(given) || PyExceptionInstance_Check(given.ptr()) || PyTuple_Check(given.ptr())
              : level != Level::Error)
        return;
    Ref handled = Ref::steal(PyErr_GetHandledException());
    if (handled && !handled.is_none()) set_item(kwargs, n_exc_info, handled);
}

// error/warning/info/debug: a record that passes the level filter goes to
// the channel during the call (no coroutine or future per record). From a
// thread with no running loop it is handed to the home loop when that runs
// in another thread, else written before the call returns.
Ref log_at(const Args& a, Level level) {
    Handle self = a[0], msg = a[1];
    Ref limit = level_attr(a.global(n_logging), names_of(level).constant);
    if (!check(PyObject_RichCompareBool(getattr(self, n_log_level).ptr(), limit.ptr(), Py_LE))) return none().ref();
    Ref asyncio = a.global(n_asyncio);
    Ref loop = channel::running_loop(asyncio);
    Handle kwargs = a.kwargs();  // this call's own dict
    take_callers_exception(kwargs, level);
    channel::submit(self, new_tuple({names_of(level).word, msg, a.varargs(), kwargs}), loop, asyncio);
    return none().ref();
}

Ref log_error(const Args& a) { return log_at(a, Level::Error); }
Ref log_info(const Args& a) { return log_at(a, Level::Info); }
Ref log_debug(const Args& a) { return log_at(a, Level::Debug); }
Ref log_warning(const Args& a) { return log_at(a, Level::Warning); }

FunctionSpec log_spec(const char* name, const char* qualname, SyncBody body) {
    return FunctionSpec{
        .name = name,
        .qualname = qualname,
        .params = {{"self"}, {"msg", "str", ExactType::Str}},
        .varargs = "args",
        .varargs_annotation = "Any",
        .kwargs = "kwargs",
        .kwargs_annotation = "Any",
        .returns = "None",
        .body = body,
    };
}

const FunctionSpec error_spec = log_spec("error", "AsyncLogger.error", log_error);
const FunctionSpec info_spec = log_spec("info", "AsyncLogger.info", log_info);
const FunctionSpec debug_spec = log_spec("debug", "AsyncLogger.debug", log_debug);
const FunctionSpec warning_spec = log_spec("warning", "AsyncLogger.warning", log_warning);

Ref print_queue_length(const Args& a) {
    Handle self = a[0];
    Ref size = call_method(getattr(self, n_log_queue), n_qsize);
    call(a.global(n_print), format("Log queue length: %S", size.ptr()));
    return none().ref();
}

const FunctionSpec print_queue_length_spec{
    .name = "print_queue_length",
    .qualname = "AsyncLogger.print_queue_length",
    .doc = "Print the current length of the log queue.",
    .params = {{"self"}},
    .returns = "None",
    .body = print_queue_length,
};

// At interpreter exit, before the channels write what they hold: the loops
// made for loggers built outside any loop, which nobody ran, are closed
// rather than reported unclosed when they are collected.
void close_made_loops() {
    Ref loops = check(PySequence_List(state.made_loops.ptr()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(loops.ptr()); ++i) {
        Handle loop(PyList_GET_ITEM(loops.ptr(), i));
        if (!truthy(call_method(loop, n_is_running)) && !truthy(call_method(loop, n_is_closed)))
            call_method(loop, n_close);
    }
}

// The loops this process makes for loggers built outside any loop.
void new_made_loops() { state.made_loops.set(call(getattr(import("weakref"), n_WeakSet))); }

// In a forked child the parent's loops are not the child's to close (closing
// one would unregister the parent's descriptors from the epoll instance they
// share), nor to leave to the collector (which would report them unclosed):
// the child keeps them as they are for the rest of its life (the list, like
// a grandparent's before it, is never released).
void leave_made_loops_to_the_parent() {
    state.parents_loops.set(check(PySequence_List(state.made_loops.ptr())));
    new_made_loops();
}

// --- the module --------------------------------------------------------------

void exec(Module m) {
    state.module.set(Ref::borrow(m.ptr()));
    m.add("asyncio", import("asyncio"));
    Ref logging = import("logging");
    m.add("logging", logging);
    m.add("ThreadPoolExecutor", getattr(import("concurrent.futures"), "ThreadPoolExecutor"));
    m.add("datetime", getattr(import("datetime"), "datetime"));
    Ref logger_class = getattr(logging, "Logger");
    m.add("Logger", logger_class);
    Ref typing = import("typing");
    for (const char* name : {"Union", "Callable", "Optional", "Dict", "Any"}) m.add(name, getattr(typing, name));
    m.add("timezone", getattr(import("pytz"), "timezone"));
    Ref clock = m.function(time_tz_spec);
    m.add("time_tz", clock);
    // Every formatter of the process that has no converter of its own now
    // shows Asia/Kolkata time.
    setattr(getattr(logging, "Formatter"), n_converter, clock);
    m.add("CustomLogger",
          make_class(m, "CustomLogger", {logger_class}, nullptr, {{"error", m.function(custom_error_spec)}}));
    m.add("AsyncLogger", make_class(m, "AsyncLogger", {}, nullptr,
                                    {
                                        {"__init__", m.function(init_spec)},
                                        {"_ensure_queue_processing", m.function(ensure_queue_processing_spec)},
                                        {"_log_message", m.function(log_message_spec)},
                                        {"_process_log_queue", m.function(process_log_queue_spec)},
                                        {"error", m.function(error_spec)},
                                        {"info", m.function(info_spec)},
                                        {"debug", m.function(debug_spec)},
                                        {"warning", m.function(warning_spec)},
                                        {"print_queue_length", m.function(print_queue_length_spec)},
                                    }));
    state.str_upper.set(getattr(Handle(reinterpret_cast<PyObject*>(&PyUnicode_Type)), n_upper));
    new_made_loops();
    at_exit(close_made_loops);  // before the channels deliver what they hold
    at_fork_child(leave_made_loops_to_the_parent);
    channel::install(m, logger_kind);
    m.add("setup_base_logger", m.function(setup_base_logger_spec));
    m.add("setup_sync_logger", m.function(setup_sync_logger_spec));
    m.add("setup_async_logger", m.function(setup_async_logger_spec));
    m.add("get_log_level_from_string", m.function(get_log_level_from_string_spec));
    m.add("setup_logger", m.function(setup_logger_spec));
}

}  // namespace

BINDING_MODULE(journal_setup, exec)
