// The asyncio channel (channel.hpp): each channel's state, the queue and the
// line, the hand-over between threads and loops, the private delivery, the
// exit and a fork. The consumer and the drains are in channel_consumer.cpp.
#include "service/channel_state.hpp"

#include <optional>
#include <utility>

namespace service::channel {
namespace detail {

Name n_log_queue("log_queue");
Name n_channel("_channel");
Name n_put_nowait("put_nowait");
Name n_get_nowait("get_nowait");
Name n_maxsize("maxsize");
Name n_Queue("Queue");
Name n_loop("_loop");
Name n_cancelling("cancelling");
Name n_is_running("is_running");
Name n_is_closed("is_closed");
Name n_call_soon_threadsafe("call_soon_threadsafe");
Name n_get_coro("get_coro");
Name n_empty("empty");
Name n_set_result("set_result");
Name n_Runner("Runner");
Name n_run("run");
Name n_new_event_loop("new_event_loop");
Name n_loop_factory("loop_factory");
Name n_WeakSet("WeakSet");
Name n_register_at_fork("register_at_fork");
Name n_after_in_child("after_in_child");

// Read-only views for introspection: `obj._channel.line` and the like.
template <Ref State::*field>
PyObject* get_field(PyObject* self, void*) {
    PyObject* value = (Native<State>::of(self).*field).ptr();
    return Py_NewRef(value ? value : Py_None);
}
PyGetSetDef* State::getset() {
    static PyGetSetDef defs[] = {
        {"home", get_field<&State::home>, nullptr, nullptr, nullptr},
        {"consumer", get_field<&State::consumer>, nullptr, nullptr, nullptr},
        {"inbox", get_field<&State::inbox>, nullptr, nullptr, nullptr},
        {"line", get_field<&State::line>, nullptr, nullptr, nullptr},
        {"waiters", get_field<&State::waiters>, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    return defs;
}

Chan chan(Handle self) {
    Ref object = getattr_optional(self, n_channel);
    State* s = object ? Native<State>::get(object) : nullptr;
    if (!s) {
        object = Native<State>::make();
        s = Native<State>::get(object);
        setattr(self, n_channel, object);
    }
    for (Ref* list : {&s->inbox, &s->line, &s->waiters})
        if (!*list) *list = new_list();
    return {std::move(object), s};
}

Installed installed;

// --- small asyncio helpers --------------------------------------------------------

Ref queue_of(Handle self) { return getattr(self, n_log_queue); }

}  // namespace detail

Ref running_loop(Handle asyncio) {
    try {
        return call_method(asyncio, detail::n_get_running_loop);
    } catch (PyError& e) {
        if (!e.matches(PyExc_RuntimeError)) throw;
        return Ref();
    }
}

namespace detail {

// queue.put_nowait(item); false when the queue is full.
bool put_nowait(Handle queue, Handle item) {
    try {
        call_method(queue, n_put_nowait, item);
        return true;
    } catch (PyError& e) {
        if (!e.matches(installed.queue_full.ptr())) throw;
        return false;
    }
}

// queue.get_nowait(), or null when the queue is empty.
Ref take_queued(Handle queue) {
    try {
        return call_method(queue, n_get_nowait);
    } catch (PyError& e) {
        if (!e.matches(installed.queue_empty.ptr())) throw;
        return Ref();
    }
}

// True when `queue` is an asyncio queue bound to a loop other than `loop`
// (asyncio binds a queue to the first loop on which it had to wait).
bool bound_elsewhere(Handle queue, Handle loop) {
    Ref bound = getattr_optional(queue, n_loop);
    return bound && !bound.is_none() && !bound.is(loop);
}

// True when the home loop runs, or a thread is taking the home over.
bool home_active(const Chan& c) {
    if (c->settling) return true;
    Ref home = c->home;
    return home && !truthy(call_method(home, n_is_closed)) && truthy(call_method(home, n_is_running));
}

bool is_alive(Handle task) { return task && !task.is_none() && !truthy(call_method(task, n_done)); }

// The task runs and nobody is cancelling it.
bool goes_on(Handle task) {
    return is_alive(task) && PyLong_AsLong(call_method(task, n_cancelling).ptr()) == 0;
}

// Take every element of `list` out, in order, as a new list.
Ref take_all(Handle list) {
    Ref taken = check(PyList_GetSlice(list.ptr(), 0, PY_SSIZE_T_MAX));
    check(PyList_SetSlice(list.ptr(), 0, PY_SSIZE_T_MAX, nullptr));
    return taken;
}

Ref pop_front(Handle list) {
    if (PyList_GET_SIZE(list.ptr()) == 0) return Ref();
    Ref head = Ref::borrow(PyList_GET_ITEM(list.ptr(), 0));
    check(PyList_SetSlice(list.ptr(), 0, 1, nullptr));
    return head;
}

// --- the turnstile of awaited puts ------------------------------------------------

bool on_loop(Handle future, Handle loop) { return call_method(future, n_get_loop).is(loop); }

// Index of the first awaited put of `loop`, or -1.
Py_ssize_t first_waiter(Handle waiters, Handle loop) {
    const Py_ssize_t n = PyList_GET_SIZE(waiters.ptr());
    for (Py_ssize_t i = 0; i < n; ++i)
        if (on_loop(Ref::borrow(PyList_GET_ITEM(waiters.ptr(), i)), loop)) return i;
    return -1;
}

// Leave the turnstile; the first waiter of the loop hands the turn to the
// next one of the same loop (unless the loop is closed: nothing can resume
// a waiter there).
void leave_turnstile(Handle waiters, Handle turn, Handle loop) {
    const Py_ssize_t first = first_waiter(waiters, loop);
    const Py_ssize_t at = PySequence_Index(waiters.ptr(), turn.ptr());
    if (at < 0) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) rethrow();
        PyErr_Clear();
        return;
    }
    check(PyList_SetSlice(waiters.ptr(), at, at + 1, nullptr));
    if (at != first) return;
    const Py_ssize_t next = first_waiter(waiters, loop);
    if (next < 0 || truthy(call_method(loop, n_is_closed))) return;
    Ref head = Ref::borrow(PyList_GET_ITEM(waiters.ptr(), next));
    if (!truthy(call_method(head, n_done))) call_method(head, n_set_result, none());
}

// --- the queue and the line ----------------------------------------------------------

// Move waiting items into the queue while it has room (unless awaited puts
// of `loop` wait: they go first), then report what the kind dropped.
void admit(const Chan& c, Handle queue, Handle loop) {
    if (loop && first_waiter(c->waiters, loop) >= 0) return;
    Ref line = c->line;
    while (PyList_GET_SIZE(line.ptr()) > 0) {
        if (!put_nowait(queue, Ref::borrow(PyList_GET_ITEM(line.ptr(), 0)))) return;
        check(PyList_SetSlice(line.ptr(), 0, 1, nullptr));
    }
    if (!c->dropped) return;
    Ref report = kind().drop_report(c->dropped);
    if (report && put_nowait(queue, report)) c->dropped = 0;
}

// An item on the home loop's thread: into the queue now when nothing waits
// before it; else into the line, or dropped by the kind's rule.
void offer(const Chan& c, Handle self, Handle item, Handle loop) {
    Ref queue = queue_of(self);
    admit(c, queue, loop);
    if (PyList_GET_SIZE(c->line.ptr()) == 0 && first_waiter(c->waiters, loop) < 0 && put_nowait(queue, item)) return;
    if (kind().waits_for_room(item))
        list_append(c->line, item);
    else
        ++c->dropped;
}

// Put back what a cut-short consumer or drain had in hand, in front of
// everything else (unless it was delivered), followed by what is queued, so
// that order holds; with `rebind`, `self` then gets a fresh queue of the same
// size (the old one serves another loop). Items handed over to a home that
// never took them follow the line.
void requeue(const Chan& c, Handle self, bool rebind, Handle asyncio) {
    Ref queue = queue_of(self);
    Ref moved = new_list();
    if (c->in_hand) {
        Ref item = std::exchange(c->in_hand, Ref());
        if (!c->delivered) list_append(moved, item);
        if (std::exchange(c->in_hand_queued, false)) call_method(queue, n_task_done);
    }
    if (rebind || PyList_GET_SIZE(moved.ptr()) > 0) {
        for (Ref item; (item = take_queued(queue));) {
            list_append(moved, item);
            call_method(queue, n_task_done);
        }
    }
    check(PyList_SetSlice(c->line.ptr(), 0, 0, moved.ptr()));
    Ref handed = take_all(c->inbox);
    check(PyList_SetSlice(c->line.ptr(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, handed.ptr()));
    if (rebind) setattr(self, n_log_queue, call(getattr(asyncio, n_Queue), getattr(queue, n_maxsize)));
}

// The next item `self` holds, for a drain: from the queue (`queued` set: the
// caller owes task_done), the line, the inbox; at the end the report of
// dropped items; null when nothing is left.
Ref take_next(const Chan& c, Handle self, bool& queued) {
    Ref item = take_queued(queue_of(self));
    queued = bool(item);
    if (!item) item = pop_front(c->line);
    if (!item) item = pop_front(c->inbox);
    if (!item && c->dropped) {
        item = kind().drop_report(std::exchange(c->dropped, 0));
    }
    return item;
}

// Hand the item in hand's handling is over: task_done when it came from the queue.
void finish_in_hand(const Chan& c, Handle self) {
    c->in_hand.reset();
    c->delivered = false;
    if (std::exchange(c->in_hand_queued, false)) call_method(queue_of(self), n_task_done);
}

// Write out, now, everything `self` holds (synchronous kinds).
void write_out(const Chan& c, Handle self) {
    bool queued = false;
    for (Ref item; (item = take_next(c, self, queued));) {
        kind().handle(self, item);
        if (queued) call_method(queue_of(self), n_task_done);
    }
}

// --- taking the home over --------------------------------------------------------------

// Make `loop` (running on this thread) the home, unless the channel changed
// hands since `epoch` was read or another thread is taking it over (false:
// decide again). What the old home left comes first.
bool claim(const Chan& c, Handle self, Handle loop, unsigned long long epoch, Handle asyncio) {
    if (c->settling || c->epoch != epoch) return false;  // no Python code since the check: atomic
    c->settling = true;
    ++c->epoch;
    c->home = loop.ref();
    c->ended.reset();
    c->wake_pending = false;
    struct Settled {
        const Chan& c;
        ~Settled() { c->settling = false; }
    } settled{c};
    const bool rebind = bound_elsewhere(queue_of(self), loop);
    // The consumer serves on only if it runs on this loop and reads this queue.
    if (c->consumer && (rebind || !call_method(c->consumer, n_get_loop).is(loop))) c->consumer.reset();
    requeue(c, self, rebind, asyncio);
    admit(c, queue_of(self), loop);
    return true;
}

// The loop of a call is ending: the current task is being cancelled (a
// clean-up) or there is none (a callback), and that loop's end drained the channel.
bool ending_here(const Chan& c, Handle loop, Handle asyncio) {
    return c->ended.is(loop) && !goes_on(call_method(asyncio, n_current_task));
}

// The consumer serving the home: the one last started there, or, when that
// one has ended, another the class keeps alive on the same loop (a class may
// run several consumers on one queue), which takes over; null when none is.
Handle serving_consumer(const Chan& c, Handle self, Handle loop) {
    if (is_alive(c->consumer)) return c->consumer;
    Ref tasks = kind().consumer_tasks(self);
    for (Py_ssize_t i = 0; i < length(tasks); ++i) {
        Ref task = check(PySequence_GetItem(tasks.ptr(), i));
        if (is_alive(task) && call_method(task, n_get_loop).is(loop)) {
            c->consumer = std::move(task);
            return c->consumer;
        }
    }
    return Handle();
}

// An item on the home loop's thread.
void accept_on_home(const Chan& c, Handle self, Handle item, Handle loop, Handle asyncio) {
    if (!serving_consumer(c, self, loop)) {
        if (ending_here(c, loop, asyncio)) {  // no consumer is started on an ending loop
            if (kind().synchronous) {
                write_out(c, self);
                kind().handle(self, item);
            } else {
                list_append(c->line, item);  // for the next use of the channel
            }
            return;
        }
        c->ended.reset();
        if (c->in_hand) requeue(c, self, false, asyncio);  // left by a consumer abandoned mid-item
        kind().start_consumer(self);
    }
    offer(c, self, item, loop);
}

// Wake the home loop to take in what other threads appended to the inbox
// (once per batch). False when the home loop turned out to be closed: the
// items stay in the inbox, for whoever takes the home next.
bool wake_home(const Chan& c, Handle self) {
    Ref home = c->home;
    if (!home || c->wake_pending) return true;  // a private delivery, or a wake-up on its way, takes them
    c->wake_pending = true;
    try {
        call_method(home, n_call_soon_threadsafe, installed.wake_function, self, new_int(static_cast<long long>(c->epoch)));
    } catch (PyError& e) {
        if (!e.matches(PyExc_RuntimeError)) throw;  // "Event loop is closed"
        c->wake_pending = false;
        return false;
    }
    return true;
}

// _channel_wake(self, epoch), on the home loop: take in what other threads handed over.
Ref wake(const Args& a) {
    Handle self = a[0];
    Chan c = chan(self);
    if (PyLong_AsUnsignedLongLong(a[1].ptr()) != c->epoch) return none().ref();  // the home has changed hands
    Ref asyncio = a.global(n_asyncio);
    Ref loop = running_loop(asyncio);
    if (!loop || !c->home.is(loop)) return none().ref();
    c->wake_pending = false;
    Ref batch = take_all(c->inbox);
    const Py_ssize_t n = PyList_GET_SIZE(batch.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        try {
            accept_on_home(c, self, Ref::borrow(PyList_GET_ITEM(batch.ptr(), i)), loop, asyncio);
        } catch (PyError&) {
            // The rest stays the channel's, in order, for the next wake-up or use.
            Ref rest = check(PyList_GetSlice(batch.ptr(), i + 1, n));
            check(PyList_SetSlice(c->inbox.ptr(), 0, 0, rest.ptr()));
            throw;
        }
    }
    return none().ref();
}

const FunctionSpec wake_spec{
    .name = "_channel_wake",
    .params = {{"owner"}, {"epoch"}},
    .returns = "None",
    .body = wake,
};

// --- the exit and a fork ------------------------------------------------------------------

// At exit: close the coroutine of a consumer left pending on a closed loop,
// so that its clean-up (which cannot reach the closed loop) fails here,
// quietly, rather than later as an "exception ignored" report.
void close_abandoned(Handle task) {
    if (!is_alive(task) || !truthy(call_method(call_method(task, n_get_loop), n_is_closed))) return;
    try {
        call_method(call_method(task, n_get_coro), n_close);
    } catch (PyError& e) {
        if (!e.matches(PyExc_Exception)) throw;  // the clean-up needed the closed loop
    }
}

// Call `fn` with each owner alive, each on its own: a failure (an Exception)
// is printed and the others still run.
template <class F>
void for_each_owner(F&& fn) {
    Ref snapshot = check(PySequence_List(installed.live.ptr()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(snapshot.ptr()); ++i) {
        try {
            fn(Handle(PyList_GET_ITEM(snapshot.ptr(), i)));
        } catch (PyError& e) {
            if (!e.matches(PyExc_Exception)) throw;
            PyErr_DisplayException(e.value().ptr());
        }
    }
}

bool holds_anything(const Chan& c, Handle self) {
    return c->in_hand || c->dropped || PyList_GET_SIZE(c->line.ptr()) || PyList_GET_SIZE(c->inbox.ptr()) ||
           !truthy(call_method(queue_of(self), n_empty));
}

// At interpreter exit: what every channel still holds is written or posted
// (a loop stopped and closed without cancelling its tasks left it).
Ref at_exit(const Args& a) {
    Ref asyncio = a.global(n_asyncio);
    for_each_owner([&](Handle self) {
        Chan c = chan(self);
        if (c->home && truthy(call_method(c->home, n_is_running))) return;  // a thread's loop still serves it
        if (kind().synchronous) {
            requeue(c, self, false, asyncio);
            write_out(c, self);
        } else if (holds_anything(c, self)) {
            deliver_here(self, Handle(), asyncio);
        }
        Ref tasks = kind().consumer_tasks(self);
        for (Py_ssize_t i = 0; i < length(tasks); ++i) close_abandoned(check(PySequence_GetItem(tasks.ptr(), i)));
    });
    return none().ref();
}

const FunctionSpec at_exit_spec{.name = "_channels_at_exit", .returns = "None", .body = at_exit};

// In a forked child: every channel starts empty; what the parent accepted
// stays the parent's. The consumers copied from the parent are forgotten
// (they are stale: none of them is the channel's consumer any more).
Ref after_fork(const Args& a) {
    Ref asyncio = a.global(n_asyncio);
    // A fresh set of the same owners: a walk of the old one that another
    // thread was making at the fork would never end here.
    installed.live.set(call(getattr(import("weakref"), n_WeakSet), check(PySequence_List(installed.live.ptr()))));
    for_each_owner([&](Handle self) {
        Chan c = chan(self);
        c->reset();
        for (Ref* list : {&c->inbox, &c->line, &c->waiters}) *list = new_list();
        kind().forget_consumers(self);
        setattr(self, n_log_queue, call(getattr(asyncio, n_Queue), getattr(queue_of(self), n_maxsize)));
    });
    if (installed.after_fork) installed.after_fork();
    return none().ref();
}

const FunctionSpec after_fork_spec{.name = "_channels_after_fork", .returns = "None", .body = after_fork};

// The private delivery of deliver_here, unless the channel changed hands
// since `epoch` was read or another thread is taking it over (false).
bool deliver_here_claimed(const Chan& c, Handle self, Handle item, unsigned long long epoch, Handle asyncio) {
    if (c->settling || c->epoch != epoch) return false;  // no Python code since the check: atomic
    c->settling = true;  // the private delivery is the home while it runs
    ++c->epoch;
    c->home.reset();
    c->consumer.reset();
    c->ended.reset();
    c->wake_pending = false;
    if (item) list_append(c->inbox, item);  // after everything held
    try {
        requeue(c, self, false, asyncio);
        Ref runner = call(getattr(asyncio, n_Runner), kw(n_loop_factory, getattr(asyncio, n_new_event_loop)));
        std::optional<PyError> failure;
        try {
            call_method(runner, n_run, call(installed.drain_function, self, py_bool(true)));
        } catch (PyError& e) {
            failure.emplace(std::move(e));
        }
        call_method(runner, n_close);
        if (failure) throw std::move(*failure);
    } catch (...) {
        if (c->settling) {  // the drain did not get to let go of the home
            c->settling = false;
            ++c->epoch;
        }
        throw;
    }
    return true;
}

}  // namespace detail

using namespace detail;

// --- the public entry points ------------------------------------------------------------------

void install(Module module, const ChannelKind& kind, void (*after_fork_hook)()) {
    installed.kind = &kind;
    installed.after_fork = after_fork_hook;
    Ref asyncio = import("asyncio");
    installed.cancelled_error.set(getattr(asyncio, "CancelledError"));
    installed.queue_full.set(getattr(asyncio, "QueueFull"));
    installed.queue_empty.set(getattr(asyncio, "QueueEmpty"));
    installed.live.set(call(getattr(import("weakref"), n_WeakSet)));
    installed.wake_function.set(module.function(wake_spec));
    installed.drain_function.set(module.function(drain_spec));
    call_method(import("atexit"), n_register, module.function(at_exit_spec));
    call_method(import("os"), n_register_at_fork, kw(n_after_in_child, module.function(after_fork_spec)));
}

void attach(Handle self) {
    chan(self);
    call_method(installed.live, n_add, self);
}

void submit(Handle self, Handle item, Handle loop, Handle asyncio) {
    Chan c = chan(self);
    bool in_inbox = false;  // handed over already (to a home loop that then closed)
    for (;;) {
        const unsigned long long epoch = c->epoch;
        if (loop && c->home.is(loop)) {  // the home loop's own thread
            accept_on_home(c, self, item, loop, asyncio);
            return;
        }
        if (home_active(c)) {  // another thread's loop is the home, or a thread is taking it over
            if (!in_inbox) list_append(c->inbox, item);
            in_inbox = true;
            if (wake_home(c, self)) return;
            continue;  // it closed meanwhile: take the home over
        }
        if (!loop) {
            if (deliver_here_claimed(c, self, in_inbox ? Handle() : item, epoch, asyncio)) return;
            continue;  // another thread took the home first
        }
        if (claim(c, self, loop, epoch, asyncio) && in_inbox) return;  // the item moved with the inbox
    }
}

void deliver_here(Handle self, Handle item, Handle asyncio) {
    Chan c = chan(self);
    for (;;) {
        const unsigned long long epoch = c->epoch;
        if (home_active(c)) {
            if (item) list_append(c->inbox, item);
            if (wake_home(c, self)) return;
            item = Handle();
            continue;
        }
        if (deliver_here_claimed(c, self, item, epoch, asyncio)) return;
    }
}

}  // namespace service::channel
