// veltrano_python_configuration.journal_setup: loggers that write every record
// to standard error in one layout, timestamped with the wall-clock time in
// Asia/Kolkata; either a synchronous CustomLogger or an AsyncLogger that hands
// its records through an asyncio queue to one.
#include "binding/coroutine.hpp"
#include "service/handover.hpp"
#include "binding/module.hpp"

#include <array>
#include <optional>

using namespace binding;
using namespace service;

namespace {

// Module globals, looked up at each call.
Name n_asyncio("asyncio");
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
Name n_Queue("Queue");
Name n_get_running_loop("get_running_loop");
Name n_new_event_loop("new_event_loop");
Name n_set_event_loop("set_event_loop");
Name n_create_task("create_task");
Name n_create_future("create_future");
Name n_call_exception_handler("call_exception_handler");
Name n_get_loop("get_loop");
Name n_done("done");
Name n_set_result("set_result");
Name n_full("full");
Name n_put("put");
Name n_get("get");
Name n_task_done("task_done");
Name n_qsize("qsize");
Name n_message("message");
Name n_exception("exception");
Name n_sleep("sleep");
Name n_maxsize("maxsize");
Name n_CancelledError("CancelledError");
Name n_WeakSet("WeakSet");
Name n_add("add");
Name n_register("register");
Name n_is_running("is_running");
Name n_is_closed("is_closed");
Name n_close("close");

// Level words: the keys of log_methods, the first field of a queue item, and
// the names of the logger methods they select.
Name n_error("error");
Name n_warning("warning");
Name n_info("info");
Name n_debug("debug");
Name n_exc_info("exc_info");

// AsyncLogger's attributes and methods.
Name n_logger("logger");
Name n_log_queue("log_queue");
Name n_executor("executor");
Name n_log_level("log_level");
Name n_log_methods("log_methods");
Name n_consumer_tasks("_consumer_tasks");
Name n_waiting_for_room("_waiting_for_room");
Name n_records_waiting("_records_waiting");
Name n_dropped("_dropped");
Name n_ensure_queue_processing("_ensure_queue_processing");
Name n_log_message("_log_message");
Name n_process_log_queue("_process_log_queue");

// Fixed values of the record layout.
Name zone_name("Asia/Kolkata");
Name record_format("\n%(levelname)s - %(asctime)s - %(message)s\n");
Name date_format("%m/%d/%Y %H:%M:%S");

// --- the clock ---------------------------------------------------------------

// time_tz(*args): the present moment in Asia/Kolkata as a time tuple. It is
// logging.Formatter.converter, so formatters call it as a bound method with
// the record's creation time: both arguments are ignored on purpose, the
// record shows the time at which it is formatted.
Ref time_tz(const Args& a) {
    Ref now = getattr(a.global(n_datetime), n_now);
    Ref zone = call(a.global(n_timezone), zone_name);
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
    Handle kwargs = a.kwargs();  // this call's own dict: safe to extend
    if (!contains(kwargs, n_exc_info)) set_item(kwargs, n_exc_info, py_bool(true));
    Ref next_error = getattr(super(a.owner_class(), a[0]), n_error);
    call_star(next_error, {a[1]}, a.varargs(), kwargs);
    return none().ref();
}

const FunctionSpec custom_error_spec{
    .name = "error",
    .qualname = "CustomLogger.error",
    .params = {{"self"}, {"msg", "str", Check::Str}},
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
    Ref formatter = call_method(logging, n_Formatter, record_format, kw(n_datefmt, date_format));
    call_method(handler, n_setFormatter, formatter);
    call_method(logger, n_addHandler, handler);
    return logger;
}

const std::vector<Param> name_and_level = {{"service_name", "str", Check::Str}, {"log_level", "int", Check::Int}};

const FunctionSpec setup_base_logger_spec{
    .name = "setup_base_logger",
    .params = name_and_level,
    .returns = "Logger",
    .body = setup_base_logger,
};

Ref setup_sync_logger(const Args& a) { return call(a.global(n_setup_base_logger), a[0], a[1]); }

const FunctionSpec setup_sync_logger_spec{
    .name = "setup_sync_logger",
    .params = name_and_level,
    .returns = "Logger",
    .body = setup_sync_logger,
};

Ref setup_async_logger(const Args& a) { return call(a.global(n_AsyncLogger), a[0], a[1]); }

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
Forever str_upper;  // str.upper: the argument is exactly a str

Ref get_log_level_from_string(const Args& a) {
    static const Name* const table[] = {&n_DEBUG, &n_INFO, &n_WARNING, &n_ERROR, &n_CRITICAL};
    Ref key = call(str_upper, a[0]);
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
    .params = {{"level_str", "str", Check::Str}},
    .returns = "int",
    .body = get_log_level_from_string,
};

Ref setup_logger(const Args& a) {
    Ref level = call(a.global(n_get_log_level_from_string), a[2]);
    const Name& setup = truthy(a[1]) ? n_setup_async_logger : n_setup_sync_logger;
    return call(a.global(setup), a[0], level);
}

const FunctionSpec setup_logger_spec{
    .name = "setup_logger",
    .params = {{"service_name", "str", Check::Str},
               {"async_mode", "bool", Check::Any, default_bool(false)},
               {"log_level_str", "str", Check::Str, default_str("DEBUG")}},
    .returns = "Union[Logger, AsyncLogger]",
    .body = setup_logger,
};

// --- AsyncLogger -------------------------------------------------------------
//
// A logging call hands its record over during the call: it enters log_queue
// at once when the queue has room and nothing waits before it. Records never
// depend on a pending coroutine, so nothing accepted is lost when the loop
// ends: the consumer, cancelled with its loop, writes everything still queued
// or waiting before it ends; a record logged on another loop first writes the
// leftovers of the previous one; and whatever is left at interpreter exit is
// written then.
//
// Besides the documented attributes, an AsyncLogger keeps private state, set
// by __init__ after the others:
//   _consumer_tasks    the consumer tasks _ensure_queue_processing started, so
//                      that a logging call can tell whether one is alive on
//                      its running loop (a logger built before the loop ran
//                      would otherwise queue records nobody ever writes);
//   _waiting_for_room  one future per error/warning record of an awaited
//                      _log_message that found the queue full, in arrival
//                      order. Only the first of them waits in log_queue.put;
//                      it wakes the next when it is done;
//   _records_waiting   the error/warning records of logging calls that found
//                      the queue full, as data, in arrival order; the consumer
//                      moves them into the queue as room appears;
//   _dropped           the number of info/debug records dropped on a full
//                      queue since the last report of them.

// A private list attribute of the logger, made when missing (for objects
// whose __init__ did not run ours).
Ref private_list(Handle self, const Name& name) {
    PyObject* found = nullptr;
    if (check(PyObject_GetOptionalAttr(self.ptr(), name.get().ptr(), &found))) return Ref::steal(found);
    Ref list = new_list();
    setattr(self, name, list);
    return list;
}

// The first element of a non-empty sequence is `obj`.
bool heads(Handle sequence, Handle obj) { return check(PySequence_GetItem(sequence.ptr(), 0)).is(obj); }

// The loggers alive in the process, for the write-out at exit (a WeakSet).
Forever live_loggers;
Forever cancelled_error;  // asyncio.CancelledError
Forever made_loops;       // a WeakSet of the loops _ensure_queue_processing made, closed at exit unless running

Ref init(const Args& a) {
    Handle self = a[0], service_name = a[1], log_level = a[2], max_queue_size = a[3];
    setattr(self, n_logger, call(a.global(n_setup_base_logger), service_name, log_level));
    setattr(self, n_log_queue, call(getattr(a.global(n_asyncio), n_Queue), max_queue_size));
    setattr(self, n_executor, call(a.global(n_ThreadPoolExecutor)));
    setattr(self, n_log_level, log_level);
    Ref methods = new_dict();
    for (const Name* word : {&n_error, &n_warning, &n_info, &n_debug})
        set_item(methods, *word, getattr(getattr(self, n_logger), *word));
    setattr(self, n_log_methods, methods);
    setattr(self, n_consumer_tasks, new_list());
    setattr(self, n_waiting_for_room, new_list());
    setattr(self, n_records_waiting, new_list());
    setattr(self, n_dropped, new_int(0));
    call_method(live_loggers, n_add, self);
    call_method(self, n_ensure_queue_processing);
    return none().ref();
}

const FunctionSpec init_spec{
    .name = "__init__",
    .qualname = "AsyncLogger.__init__",
    .params = {{"self"},
               {"service_name", "str", Check::Str},
               {"log_level", "int", Check::Int},
               {"max_queue_size", "int", Check::Int, default_int(100)}},
    .returns = "None",
    .body = init,
};

// _ensure_queue_processing(self): start one more consumer task, on the running
// loop, or else on a new loop that becomes the thread's current one (it runs
// when somebody runs that loop).
Ref ensure_queue_processing(const Args& a) {
    Handle self = a[0];
    Ref asyncio = a.global(n_asyncio);
    Ref loop;
    try {
        loop = call_method(asyncio, n_get_running_loop);
    } catch (PyError& e) {
        if (!e.matches(PyExc_RuntimeError)) throw;
        loop = call_method(asyncio, n_new_event_loop);
        call_method(asyncio, n_set_event_loop, loop);
        call_method(made_loops, n_add, loop);
    }
    Ref consumer = call_method(self, n_process_log_queue);
    handover::start_eagerly(consumer);  // a cancellation before its first turn still lets it write what is queued
    Ref task = call_method(loop, n_create_task, consumer);
    handover::may_be_abandoned(task);
    list_append(private_list(self, n_consumer_tasks), task);
    return none().ref();
}

const FunctionSpec ensure_queue_processing_spec{
    .name = "_ensure_queue_processing",
    .qualname = "AsyncLogger._ensure_queue_processing",
    .params = {{"self"}},
    .returns = "None",
    .body = ensure_queue_processing,
};

// Leave the line of records waiting for room; when `turn` was at its head,
// the next one in line gets its turn.
void leave_line(Handle line, Handle turn) {
    if (length(line) == 0) return;
    Py_ssize_t i = 0;  // normally the record at the head leaves
    if (!heads(line, turn)) {
        i = PySequence_Index(line.ptr(), turn.ptr());
        if (i < 0) {
            if (!PyErr_ExceptionMatches(PyExc_ValueError)) rethrow();
            PyErr_Clear();
            return;
        }
    }
    check(PySequence_DelItem(line.ptr(), i));
    if (i != 0 || length(line) == 0) return;
    Ref next = check(PySequence_GetItem(line.ptr(), 0));
    if (!truthy(call_method(next, n_done))) call_method(next, n_set_result, none());
}

// The awaitable of `self.log_queue.put((level, msg, args, kwargs))`. The
// coroutine bodies build their awaitables in helpers like this one, so that
// nothing but the awaitable itself stays in their frame while they wait
// (a reference there is invisible to the garbage collector).
Ref put_record(const Args& a) {
    Ref item = new_tuple({a[1], a[2], a.varargs(), a.kwargs()});
    return call_method(getattr(a[0], n_log_queue), n_put, item);
}

// The number of records dropped since the last report (0 for an object whose
// __init__ did not run ours).
Ref dropped(Handle self) {
    PyObject* found = nullptr;
    if (check(PyObject_GetOptionalAttr(self.ptr(), n_dropped.get().ptr(), &found))) return Ref::steal(found);
    return new_int(0);
}

void count_drop(Handle self) {
    Ref count = check(PyNumber_Add(dropped(self).ptr(), new_int(1).ptr()));
    setattr(self, n_dropped, count);
}

// A record has to wait for room when the queue is full or others already wait.
bool must_wait(Handle self) {
    const bool full = truthy(call_method(getattr(self, n_log_queue), n_full));
    return full || length(private_list(self, n_waiting_for_room)) != 0;
}

// Join the end of the line of records waiting for room: a new future of the
// running loop, resolved when the record before it has been put.
Ref join_line(const Args& a) {
    Ref loop = call_method(a.global(n_asyncio), n_get_running_loop);
    Ref turn = call_method(loop, n_create_future);
    list_append(private_list(a[0], n_waiting_for_room), turn);
    return turn;
}

// _log_message(self, level, msg, *args, **kwargs): put one record on the queue.
//
// While the queue has room and no record is waiting for it, the record goes
// straight in. Otherwise an "info" or "debug" record is dropped, and any other
// record queues up behind those already waiting, and only the first in line
// waits in log_queue.put: a bare Queue.put would let a newcomer take a freed
// slot before the woken waiter runs, and records would be written out of
// order. The coroutine never runs a consumer itself.
Async log_message(const Args& a) {
    Handle self = a[0], level = a[1];
    if (!must_wait(self)) {
        co_await put_record(a);
        co_return none();
    }
    if (equals(level, n_info) || equals(level, n_debug)) {
        count_drop(self);
        co_return none();
    }

    Handle turn = co_await hold(join_line(a));
    const bool first = heads(private_list(self, n_waiting_for_room), turn);
    std::optional<PyError> failure;
    try {
        if (!first) co_await turn;
        co_await put_record(a);
    } catch (PyError& e) {
        failure.emplace(std::move(e));  // cancelled or closed: still leave the line
    }
    try {
        leave_line(private_list(self, n_waiting_for_room), turn);
    } catch (PyError&) {
        // Waking the next waiter fails only when its loop is closed, and then
        // none of them will run again; the original failure matters more.
        if (!failure) throw;
    }
    if (failure) throw std::move(*failure);
    co_return none();
}

const FunctionSpec log_message_spec{
    .name = "_log_message",
    .qualname = "AsyncLogger._log_message",
    .params = {{"self"}, {"level", "str", Check::Str}, {"msg", "str", Check::Str}},
    .varargs = "args",
    .varargs_annotation = "Any",
    .kwargs = "kwargs",
    .kwargs_annotation = "Any",
    .returns = "None",
    .async_body = log_message,
};

// The four fields of a queue item, unpacked as `level, msg, args, kwargs = item`.
std::array<Ref, 4> unpack_item(Handle item) {
    Ref it = Ref::steal(PyObject_GetIter(item.ptr()));
    if (!it) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) rethrow();
        PyErr_Clear();
        raise(PyExc_TypeError, "cannot unpack non-iterable %.200s object", item.type()->tp_name);
    }
    std::array<Ref, 4> fields;
    for (size_t i = 0; i < fields.size(); ++i) {
        fields[i] = Ref::steal(PyIter_Next(it.ptr()));
        if (fields[i]) continue;
        if (PyErr_Occurred()) rethrow();
        raise(PyExc_ValueError, "not enough values to unpack (expected 4, got %zd)", static_cast<Py_ssize_t>(i));
    }
    Ref extra = Ref::steal(PyIter_Next(it.ptr()));
    if (extra) raise(PyExc_ValueError, "too many values to unpack (expected 4)");
    if (PyErr_Occurred()) rethrow();
    return fields;
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

// Report a record the consumer could not write through the loop's exception
// handler, as an `except` block around the write would.
void report_failed_record(const Args& a, const PyError& error, Handle item, const std::array<Ref, 4>* fields) {
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
        loop = call_method(a.global(n_asyncio), n_get_running_loop);
    } catch (PyError& e) {
        if (!e.matches(PyExc_RuntimeError)) throw;
        // Written out at interpreter exit, with no loop: straight to stderr.
        PySys_FormatStderr("%U\n", message.ptr());
        PyErr_DisplayException(error.value().ptr());
        return;
    }
    Ref context = new_dict();
    set_item(context, n_message, message);
    set_item(context, n_exception, error.value());
    call_method(loop, n_call_exception_handler, context);
}

// Write one queue item through the synchronous logger. A failure (a bad
// keyword for the logger method, a malformed item) is reported and the
// consumer goes on: one bad record must not silence the logger.
void write_record(const Args& a, Handle self, Handle item) {
    std::optional<std::array<Ref, 4>> fields;
    try {
        fields = unpack_item(item);
        auto& [level, msg, args, kwargs] = *fields;
        Ref log_method = call_method(getattr(self, n_log_methods), n_get, level);
        if (truthy(log_method)) call_log_method(log_method, msg, args, kwargs);
    } catch (PyError& e) {
        if (!e.matches(PyExc_Exception)) throw;
        report_failed_record(a, e, item, fields ? &*fields : nullptr);
    }
}

// The record that reports info/debug records dropped on a full queue.
Ref drop_report(Handle count) {
    static Name text("Log queue was full: %d info/debug records dropped");
    return new_tuple({n_warning, text, new_tuple({count}), new_dict()});
}

// After the consumer freed a slot, or before a new record is offered: move the
// error/warning records waiting as data into the queue, in order (after those
// of awaited _log_message calls, which wait in log_queue.put themselves), and
// once none waits and the queue has room, report the dropped records.
void settle(Handle self, Handle queue) {
    if (length(private_list(self, n_waiting_for_room)) != 0) return;
    Ref line = private_list(self, n_records_waiting);
    handover::admit(queue, line);
    Ref count = dropped(self);
    if (!truthy(count) || length(line) != 0) return;
    if (handover::offer(queue, line, drop_report(count))) setattr(self, n_dropped, new_int(0));
}

// Write, now, every record the logger still holds: those in the queue, then
// the error/warning records waiting for room, then the report of dropped
// records. Runs when the consumer is cancelled (its loop is ending), when the
// records move to another loop, and at interpreter exit.
void write_out(const Args& a, Handle self) {
    for (Ref item; (item = handover::take_queued(getattr(self, n_log_queue)));) {
        write_record(a, self, item);
        call_method(getattr(self, n_log_queue), n_task_done);
    }
    for (Ref item; (item = handover::take_waiting(private_list(self, n_records_waiting)));)
        write_record(a, self, item);
    Ref count = dropped(self);
    if (!truthy(count)) return;
    setattr(self, n_dropped, new_int(0));
    write_record(a, self, drop_report(count));
}

// The awaitable of `self.log_queue.get()` (made outside the body, as put_record).
Ref queue_get(Handle self) { return call_method(getattr(self, n_log_queue), n_get); }

// _process_log_queue(self): the consumer. It writes the records in queue order
// and marks each done, for as long as its loop runs; what is queued already
// is taken without waiting. Cancelled (as asyncio.run cancels every task when
// its main coroutine ends), it first writes out everything the logger holds.
// _ensure_queue_processing runs it up to its first await at once, so even a
// cancellation before the task's first turn reaches this body.
Async process_log_queue(const Args& a) {
    Handle self = a[0];
    std::optional<PyError> stopped;
    try {
        co_await call(getattr(a.global(n_asyncio), n_sleep), new_int(0));
        for (;;) {
            Ref item = co_await queue_get(self);
            for (; item; item = handover::take_queued(getattr(self, n_log_queue))) {
                write_record(a, self, item);
                Ref queue = getattr(self, n_log_queue);
                call_method(queue, n_task_done);
                settle(self, queue);
            }
        }
    } catch (PyError& e) {
        stopped.emplace(std::move(e));
    }
    if (stopped->matches(cancelled_error.ptr())) write_out(a, self);
    throw std::move(*stopped);
}

const FunctionSpec process_log_queue_spec{
    .name = "_process_log_queue",
    .qualname = "AsyncLogger._process_log_queue",
    .params = {{"self"}},
    .returns = "None",
    .async_body = process_log_queue,
};

// Make sure a consumer of this logger is alive on `loop`, starting one when
// none is. Finished consumers (cancelled with their loop, for instance) are
// forgotten on the way, so the list stays as short as the live ones. This runs
// for every record: the usual case (one live consumer) allocates nothing.
void ensure_consumer_on(const Args& a, Handle self, Handle loop) {
    Ref tasks = private_list(self, n_consumer_tasks);
    bool found = false, finished = false;
    const Py_ssize_t n = length(tasks);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref task = check(PySequence_GetItem(tasks.ptr(), i));
        if (truthy(call_method(task, n_done)))
            finished = true;
        else if (call_method(task, n_get_loop).is(loop))
            found = true;
    }
    if (finished) {
        Ref snapshot = check(PySequence_Tuple(tasks.ptr()));
        Ref alive = new_list();
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(snapshot.ptr()); ++i) {
            Handle task(PyTuple_GET_ITEM(snapshot.ptr(), i));
            if (!truthy(call_method(task, n_done))) list_append(alive, task);
        }
        check(PySequence_SetSlice(tasks.ptr(), 0, PY_SSIZE_T_MAX, alive.ptr()));
    }
    if (found) return;
    // Records left by a loop that ended (or by consumers that were cancelled)
    // are written before this loop's; a queue bound to the other loop cannot
    // serve this one, so a fresh one of the same size takes its place.
    write_out(a, self);
    Ref queue = getattr(self, n_log_queue);
    if (handover::bound_elsewhere(queue, loop))
        setattr(self, n_log_queue, call(getattr(a.global(n_asyncio), n_Queue), getattr(queue, n_maxsize)));
    call_method(self, n_ensure_queue_processing);
}

// error/warning/info/debug: a record that passes the level filter enters the
// queue during the call (no coroutine or future per record); on a full queue
// an error/warning record waits for room as data and an info/debug record is
// dropped and counted. The caller never waits.
Ref log_at(const Args& a, const Name& level, const Name& word, bool attach_handled = false) {
    Handle self = a[0], msg = a[1];
    Ref limit = level_attr(a.global(n_logging), level);
    if (!check(PyObject_RichCompareBool(getattr(self, n_log_level).ptr(), limit.ptr(), Py_LE)))
        return none().ref();
    Ref loop = call_method(a.global(n_asyncio), n_get_running_loop);
    ensure_consumer_on(a, self, loop);
    Handle kwargs = a.kwargs();
    if (attach_handled && !contains(kwargs, n_exc_info)) {
        // The exception the caller is handling belongs to the record; the
        // consumer, which writes it later, is handling none.
        Ref handled = Ref::steal(PyErr_GetHandledException());
        if (handled && !handled.is_none()) set_item(kwargs, n_exc_info, handled);
    }
    Ref item = new_tuple({word, msg, a.varargs(), kwargs});
    Ref queue = getattr(self, n_log_queue);
    if (truthy(dropped(self))) settle(self, queue);  // a full spell may be over
    Ref line = private_list(self, n_records_waiting);
    if (length(private_list(self, n_waiting_for_room)) == 0 && handover::offer(queue, line, item))
        return none().ref();
    // The queue is full, or records wait for room already.
    if (&word == &n_info || &word == &n_debug)
        count_drop(self);
    else
        list_append(line, item);
    return none().ref();
}

Ref log_error(const Args& a) { return log_at(a, n_ERROR, n_error, true); }
Ref log_info(const Args& a) { return log_at(a, n_INFO, n_info); }
Ref log_debug(const Args& a) { return log_at(a, n_DEBUG, n_debug); }
Ref log_warning(const Args& a) { return log_at(a, n_WARNING, n_warning); }

FunctionSpec log_spec(const char* name, const char* qualname, SyncBody body) {
    return FunctionSpec{
        .name = name,
        .qualname = qualname,
        .params = {{"self"}, {"msg", "str", Check::Str}},
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
    Ref size = call_method(getattr(a[0], n_log_queue), n_qsize);
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

// At interpreter exit: write what every logger still holds (records queued on
// a loop that was stopped and closed without cancelling its tasks).
Ref write_out_at_exit(const Args& a) {
    handover::for_each_at_exit(live_loggers, [&](Handle self) {
        write_out(a, self);
        Ref tasks = private_list(self, n_consumer_tasks);
        for (Py_ssize_t t = 0; t < length(tasks); ++t) handover::close_abandoned(check(PySequence_GetItem(tasks.ptr(), t)));
    });
    // Loops made for loggers built outside any loop, which nobody ran: closed
    // now rather than reported unclosed when they are collected.
    handover::for_each_at_exit(made_loops, [](Handle loop) {
        if (!truthy(call_method(loop, n_is_running)) && !truthy(call_method(loop, n_is_closed)))
            call_method(loop, n_close);
    });
    return none().ref();
}

const FunctionSpec write_out_at_exit_spec{
    .name = "_write_out_at_exit",
    .qualname = "_write_out_at_exit",
    .returns = "None",
    .body = write_out_at_exit,
};

// --- the module --------------------------------------------------------------

void exec(Module m) {
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
    str_upper.set(getattr(Handle(reinterpret_cast<PyObject*>(&PyUnicode_Type)), n_upper));
    cancelled_error.set(getattr(import("asyncio"), n_CancelledError));
    live_loggers.set(call(getattr(import("weakref"), n_WeakSet)));
    made_loops.set(call(getattr(import("weakref"), n_WeakSet)));
    call_method(import("atexit"), n_register, m.function(write_out_at_exit_spec));
    m.add("setup_base_logger", m.function(setup_base_logger_spec));
    m.add("setup_sync_logger", m.function(setup_sync_logger_spec));
    m.add("setup_async_logger", m.function(setup_async_logger_spec));
    m.add("get_log_level_from_string", m.function(get_log_level_from_string_spec));
    m.add("setup_logger", m.function(setup_logger_spec));
}

}  // namespace

BINDING_MODULE(journal_setup, exec)
