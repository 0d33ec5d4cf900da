// The asyncio channel (channel.hpp): the consumer, the posts in flight, the
// drains (at the home loop's end, a private delivery, the exit), the end
// watch, and the awaited put.
#include "service/channel_state.hpp"

#include "binding/context.hpp"

#include <optional>
#include <utility>

namespace service::channel {
namespace detail {

Name n_sleep("sleep");
Name n_current_task("current_task");
Name n_put("put");
Name n_cancel("cancel");
Name n_create_future("create_future");
Name n_wait("wait");
Name n_Task("Task");
Name n_loop("loop");
Name n_unregister_task("_unregister_task");
Name n_log_destroy_pending("_log_destroy_pending");
Name n_get_asyncgen_hooks("get_asyncgen_hooks");
Name n_firstiter("firstiter");
Name n_dunder_self("__self__");
Name n_owner("owner");
Name s_flight_failed("the post of a queue item failed");

Flight* flight_of(Handle obj) { return obj ? Native<Flight>::get(obj) : nullptr; }

// Tell asyncio not to report `task` as destroyed while pending: a task of
// the channel abandoned with its loop (a loop closed by hand) leaves what it
// had not handled to the channel, as data.
void quiet_when_abandoned(Handle task) {
    if (PyObject_SetAttr(task.ptr(), n_log_destroy_pending.get().ptr(), Py_False) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) rethrow();  // another loop's own task type
        PyErr_Clear();
    }
}

// --- posts in flight ---------------------------------------------------------------

// What goes back into the channel for a post that did not happen: the
// waiting caller's ticket when there is one, else the item.
Handle entry_of(const Flight& f) { return f.ticket ? Handle(f.ticket) : Handle(f.item); }

void remove_flight(const Chan& c, Handle flight) {
    const Py_ssize_t at = PySequence_Index(c->flights.ptr(), flight.ptr());
    if (at >= 0) {
        check(PyList_SetSlice(c->flights.ptr(), at, at + 1, nullptr));
        return;
    }
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) rethrow();
    PyErr_Clear();
}

// Those waiting for the post's end (a consumer, a drain) go on.
void wake_waiters(Flight& f) {
    Ref waiters = std::exchange(f.waiters, new_list());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(waiters.ptr()); ++i) resolve(Handle(PyList_GET_ITEM(waiters.ptr(), i)));
}

// Start handling `item`, taken from `queue` (owed a task_done; may be null)
// for the caller of `ticket` (may be null). A synchronous kind writes it now.
// Otherwise the post becomes a Flight run by a task of `loop` that asyncio
// does not track, so that the loop's end, which cancels every task it
// tracks, does not cut it: the drain lets it finish.
void begin(const Chan& c, Handle self, Handle item, Handle loop, Handle queue, Handle ticket, Handle asyncio) {
    Ref awaitable = kind().handle(self, item);
    if (!awaitable) {
        if (queue) call_method(queue, n_task_done);
        signal(ticket, Ticket::Stage::Handled);
        return;
    }
    Ref flight = Native<Flight>::make();
    Flight* f = Native<Flight>::get(flight);
    f->item = item.ref();
    f->awaitable = std::move(awaitable);
    f->loop = loop.ref();
    f->queue = queue.ref();
    f->ticket = ticket.ref();
    f->waiters = new_list();
    f->thread = this_thread();
    list_append(c->flights, flight);
    Ref task = call(getattr(asyncio, n_Task), call(installed.flight_function, self, flight), kw(n_loop, loop));
    call(getattr(asyncio, n_unregister_task), task);
    quiet_when_abandoned(task);
    f->task = std::move(task);
}

// A future of `loop` that resolves when the first post in flight there ends
// (null when none is).
Ref flight_waiter(Handle self, Handle loop) {
    Chan c = chan(self);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(c->flights.ptr()); ++i) {
        Flight* f = flight_of(Handle(PyList_GET_ITEM(c->flights.ptr(), i)));
        if (f->stage != Flight::Stage::Posting || !f->loop.is(loop)) continue;
        Ref future = call_method(loop, n_create_future);
        list_append(f->waiters, future);
        return future;
    }
    return Ref();
}

// Stop the post of a cut flight without its loop: its awaitable is closed
// (what it would do on its loop cannot happen any more; a failure to close
// cleanly is that loop's leftover, not an error here).
void close_quietly(Handle awaitable) {
    Ref close = getattr_optional(awaitable, n_close);
    if (!close) return;
    try {
        call(close);
    } catch (PyError& e) {
        if (!e.matches(PyExc_Exception)) throw;
    }
}

// Cut `flight`: it posts no more; what it carried goes into `front`. On a
// closed loop its awaitable is closed here; otherwise its task is cancelled,
// which takes effect (and lets the post clean up) if that loop runs again.
void cut(const Chan& c, Handle flight, Handle front) {
    Flight* f = flight_of(flight);
    f->stage = Flight::Stage::Cut;
    remove_flight(c, flight);
    Ref awaitable = std::exchange(f->awaitable, Ref());
    Ref loop = f->loop;
    bool closed = is_closed(loop);
    if (!closed && f->task) {
        try {
            if (f->thread == this_thread())
                call_method(f->task, n_cancel);
            else
                call_method(loop, n_call_soon_threadsafe, getattr(f->task, n_cancel));
        } catch (PyError& e) {
            if (!e.matches(PyExc_RuntimeError)) throw;  // closed meanwhile
            closed = true;
        }
    }
    if (closed && awaitable) close_quietly(awaitable);
    if (f->queue) call_method(std::exchange(f->queue, Ref()), n_task_done);
    list_append(front, entry_of(*f));
    wake_waiters(*f);
}

void cut_flights(const Chan& c, Handle, Handle keep_loop, bool every_loop, Handle front) {
    Ref flights = check(PySequence_List(c->flights.ptr()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(flights.ptr()); ++i) {
        Handle flight(PyList_GET_ITEM(flights.ptr(), i));
        Flight* f = flight_of(flight);
        if (f->stage != Flight::Stage::Posting) continue;
        bool stays;
        if (every_loop)
            stays = false;
        else if (keep_loop)
            stays = f->loop.is(keep_loop);
        else
            stays = !is_closed(f->loop) && f->thread && f->thread->alive();
        if (!stays) cut(c, flight, front);
    }
}

// async _channel_flight(owner, flight): run one post; at its end the item is
// done (its task_done, its caller woken), or, cancelled (by a drain's
// deadline), cut: the drain reports it.
Async fly(const Args& a) {
    Handle self = a[0], flight = a[1];
    std::optional<PyError> failure;
    try {
        Ref awaitable = flight_of(flight)->awaitable;
        if (awaitable) co_await std::move(awaitable);
    } catch (PyError& e) {
        failure.emplace(std::move(e));
    }
    Flight* f = flight_of(flight);
    // Cut, or closed (dropped with its loop): nothing here is its own any
    // more, and what tearing the post down raised belongs to that loop.
    if (f->stage != Flight::Stage::Posting || is_closing(a.coroutine())) co_return none();
    const bool cancelled = failure && failure->matches(installed.cancelled_error.ptr());
    const bool done = !cancelled || f->delivered;  // a cancellation after the webhook had it changes nothing
    f->stage = done ? Flight::Stage::Done : Flight::Stage::Cut;
    f->awaitable.reset();
    Chan c = chan(self);
    remove_flight(c, flight);
    if (done) {
        if (f->queue) call_method(std::exchange(f->queue, Ref()), n_task_done);
        signal(f->ticket, Ticket::Stage::Handled);
    } else if (!f->deadline) {
        // A cancellation reached the post from outside before the webhook
        // had it (a loop's end cancelling the tasks the HTTP library made
        // for it, say): it is posted again, first, by whoever handles the
        // channel next. (A drain's deadline reports what it cut.)
        if (f->queue) call_method(std::exchange(f->queue, Ref()), n_task_done);
        requeue(c, self, list_of({entry_of(*f)}));
    }
    wake_waiters(*f);
    if (!failure || cancelled) co_return none();
    if (!failure->matches(PyExc_Exception)) throw std::move(*failure);
    // The kind's post let an error through (it normally logs its own): the
    // loop's exception handler reports it, as for a failed task.
    call_method(f->loop, n_call_exception_handler,
                dict_of({{n_message, s_flight_failed}, {n_exception, failure->value()}}));
    co_return none();
}

const FunctionSpec flight_spec{
    .name = "_channel_flight",
    .params = {{"owner"}, {"flight"}},
    .returns = "None",
    .async_body = fly,
};

// --- drains ------------------------------------------------------------------------------

// The awaitable of asyncio.wait(tasks, timeout=seconds): it ends when they
// have, or at the timeout, and raises nothing of theirs.
Ref wait_for_tasks(Handle asyncio, Handle tasks, long long seconds) {
    return call(getattr(asyncio, n_wait), tasks, kw(n_timeout, new_int(seconds)));
}

// Report as undelivered everything `self` holds.
void report_held(Handle self) {
    Chan c = chan(self);
    for (;;) {
        Ref queue, ticket;
        Ref item = take_next(c, self, queue, ticket);
        if (!item && !ticket) return;
        if (item) kind().undelivered(self, item);
        if (queue) call_method(queue, n_task_done);
        signal(ticket, Ticket::Stage::Handled);
    }
}

// Start on the next item a drain takes; false when nothing is left. An item
// the kind cannot even start on (a malformed queue item) is reported and
// dropped: it must not hold up the rest.
bool begin_next(Handle self, Handle loop, Handle asyncio) {
    Chan c = chan(self);
    Ref queue, ticket;
    Ref item = take_next(c, self, queue, ticket);
    if (!item) {
        signal(ticket, Ticket::Stage::Handled);  // a marker: everything before it is done
        return bool(ticket);
    }
    try {
        begin(c, self, item, loop, queue, ticket, asyncio);
    } catch (PyError& e) {
        if (!e.matches(PyExc_Exception)) throw;
        kind().undelivered(self, item);
        if (queue) call_method(queue, n_task_done);
        signal(ticket, Ticket::Stage::Handled);
    }
    return true;
}

// At the deadline: the posts in flight on `loop` are cancelled; their tasks
// (to be given a moment to end) are returned, the flights put in `cut_ones`.
Ref cancel_flights(Handle self, Handle loop, Handle cut_ones) {
    Ref tasks = new_list();
    Chan c = chan(self);
    Ref flights = check(PySequence_List(c->flights.ptr()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(flights.ptr()); ++i) {
        Handle flight(PyList_GET_ITEM(flights.ptr(), i));
        Flight* f = flight_of(flight);
        if (f->stage != Flight::Stage::Posting || !f->loop.is(loop)) continue;
        list_append(cut_ones, flight);
        list_append(tasks, f->task);
        f->deadline = true;  // cut by the deadline: reported, not posted again
        call_method(f->task, n_cancel);
    }
    return tasks;
}

// Then those posts and everything held are reported undelivered.
void report_cut(Handle self, Handle cut_ones) {
    Chan c = chan(self);
    Ref front = new_list();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cut_ones.ptr()); ++i) {
        Handle flight(PyList_GET_ITEM(cut_ones.ptr(), i));
        Flight* f = flight_of(flight);
        if (f->stage == Flight::Stage::Posting) cut(c, flight, front);  // did not answer its cancellation
        if (f->stage != Flight::Stage::Cut) continue;
        kind().undelivered(self, f->item);
        if (Ref queue = std::exchange(f->queue, Ref())) call_method(queue, n_task_done);
        signal(f->ticket, Ticket::Stage::Handled);
    }
    report_held(self);
}

// async _channel_drain(self, mode, ticket=None): handle everything `self`
// holds, in order, within drain_seconds in all (a synchronous kind never
// waits). At the loop's end (or at the exit's request) the home is marked
// ended first and its consumer stopped; a private delivery lets go of the
// channel once nothing more was handed to it. What the budget leaves is
// reported undelivered; what a cancellation cuts off stays for later.
//
// No local holding the channel lives across an await (the collector would not
// see it, and the channel leads back to this coroutine): it is read again.
Async drain(const Args& a) {
    Handle self = a[0], mode_number = a[1], exit_ticket = a[2];
    const auto mode = static_cast<DrainMode>(PyLong_AsLong(mode_number.ptr()));
    Ref asyncio = a.global(n_asyncio);
    Handle loop = co_await hold(call_method(asyncio, n_get_running_loop));
    if (mode != DrainMode::Private) {
        Ref consumers = new_list();
        {
            Chan c = chan(self);
            if (!c->home.is(loop)) {  // the home moved meanwhile: not this loop's to drain
                signal(exit_ticket, Ticket::Stage::Handled);
                co_return none();
            }
            c->home_ended = true;  // from now on no consumer starts here
            ++c->epoch;
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(c->consumers.ptr()); ++i) {
                Handle task(PyList_GET_ITEM(PyList_GET_ITEM(c->consumers.ptr(), i), 1));
                if (!task.is_none()) list_append(consumers, task);
            }
        }
        if (PyList_GET_SIZE(consumers.ptr())) {  // stopped, and waited for: none is left pending
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(consumers.ptr()); ++i)
                call_method(Handle(PyList_GET_ITEM(consumers.ptr(), i)), n_cancel);
            co_await wait_for_tasks(asyncio, consumers, drain_seconds);
        }
    }
    std::optional<AsyncWith> budget;
    if (!kind().synchronous) {
        Handle deadline = co_await hold(call(getattr(asyncio, n_timeout), new_int(drain_seconds)));
        budget.emplace(deadline);
        co_await budget->enter();
    }
    std::optional<PyError> cut_short;
    try {
        for (;;) {
            if (Ref waiter = flight_waiter(self, loop)) {
                co_await std::move(waiter);
                continue;
            }
            if (begin_next(self, loop, asyncio)) continue;
            if (mode != DrainMode::Private || release_if_idle(chan(self))) break;
        }
    } catch (PyError& e) {
        cut_short.emplace(std::move(e));
    }
    std::optional<PyError> ended;
    if (budget) {
        try {
            AsyncWith::leave(co_await budget->exit(cut_short), cut_short);
        } catch (PyError& e) {
            ended.emplace(std::move(e));
        }
    } else {
        ended = std::move(cut_short);
    }
    if (ended && ended->matches(PyExc_TimeoutError)) {  // the budget is spent: the rest is reported
        Handle cut_ones = co_await hold(new_list());
        Ref tasks = cancel_flights(self, loop, cut_ones);
        if (PyList_GET_SIZE(tasks.ptr())) co_await wait_for_tasks(asyncio, tasks, 1);
        report_cut(self, cut_ones);
        if (mode == DrainMode::Private)
            while (!release_if_idle(chan(self))) report_held(self);
        ended.reset();
    }
    if (ended && mode == DrainMode::Private) {  // cut short: what it held is the channel's again
        Chan c = chan(self);
        Ref front = new_list();
        cut_flights(c, self, Handle(), true, front);
        if (PyList_GET_SIZE(front.ptr())) put_in_front(c, front);
        release(c);
    }
    signal(exit_ticket, Ticket::Stage::Handled);
    if (ended) throw std::move(*ended);
    co_return none();
}

const FunctionSpec drain_spec{
    .name = "_channel_drain",
    .params = {{"owner"}, {"mode"}, {"ticket", nullptr, ExactType::Any, default_none}},
    .returns = "None",
    .async_body = drain,
};

// --- the end watch ---------------------------------------------------------------------

// _ChannelEndWatch.aclose(self): called by the home loop's shutdown_asyncgens(),
// the signal of that loop's end: the channel is drained there.
Async watch_aclose(const Args& a) {
    Handle watch = a[0];
    Ref owner = getattr_optional(watch, n_owner);
    if (!owner || owner.is_none()) co_return none();
    {
        Chan c = chan(owner);
        if (!c->watch.is(watch)) co_return none();  // the home moved: a later watch stands for it
    }
    Handle held = co_await hold(std::move(owner));
    co_await call(installed.drain_function, held, new_int(static_cast<long>(DrainMode::LoopEnd)));
    co_return none();
}

const FunctionSpec watch_aclose_spec{
    .name = "aclose",
    .qualname = "_ChannelEndWatch.aclose",
    .params = {{"self"}},
    .returns = "None",
    .async_body = watch_aclose,
};

void watch_home(const Chan& c, Handle self, Handle loop) {
    c->watch.reset();
    Ref hooks = call(import_from("sys", n_get_asyncgen_hooks));
    Ref firstiter = getattr(hooks, n_firstiter);
    if (firstiter.is_none()) return;  // a loop without the hooks: its end is seen at the next use
    Ref bound_to = getattr_optional(firstiter, n_dunder_self);
    if (!bound_to || !bound_to.is(loop)) return;
    Ref watch = call(installed.watch_class);
    setattr(watch, n_owner, self);
    call(firstiter, watch);  // the loop keeps it (weakly) among its asynchronous generators
    c->watch = std::move(watch);
}

// --- the consumer -------------------------------------------------------------------------

// Run `coroutine` (one of ours) up to its first suspension before a Task
// takes it over. True when it is suspended there (a Task can take it on);
// false when it ended at once. Other coroutines are left to their Task.
bool start_eagerly(Handle coroutine) {
    if (!is_bridge_coroutine(coroutine)) return true;
    PyObject* yielded = nullptr;
    switch (PyIter_Send(coroutine.ptr(), Py_None, &yielded)) {
        case PYGEN_NEXT: {
            Ref first = Ref::steal(yielded);
            if (!first.is_none()) raise(PyExc_RuntimeError, "a consumer must first yield None");
            return true;
        }
        case PYGEN_RETURN: Ref::steal(yielded).reset(); return false;
        case PYGEN_ERROR: break;
    }
    rethrow();
}

// The awaitable of `self.log_queue.get()`, made in a helper so that no
// temporary of the `co_await` expression (the queue) stays in the coroutine
// frame, out of the collector's sight, while it waits.
Ref queue_get(Handle self) { return call_method(queue_of(self), n_get); }
Ref queue_put(Handle self, Handle item) { return call_method(queue_of(self), n_put, item); }

// The index of `coroutine`'s entry among the consumers, or -1.
Py_ssize_t consumer_index(const Chan& c, Handle coroutine) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(c->consumers.ptr()); ++i)
        if (PyList_GET_ITEM(PyList_GET_ITEM(c->consumers.ptr(), i), 0) == coroutine.ptr()) return i;
    return -1;
}

// The consumer `me` (ours) ends: the channel knows it no longer serves.
void consumer_ended(Handle self, Handle me) {
    Chan c = chan(self);
    const Py_ssize_t at = consumer_index(c, me);
    if (at < 0) return;
    check(PyList_SetSlice(c->consumers.ptr(), at, at + 1, nullptr));
    --c->own_consumers;
}

bool has_consumer(const Chan& c) {
    if (c->own_consumers > 0) return true;
    // Only consumers of another kind (a subclass's own coroutine): their tasks tell.
    Ref consumers = c->consumers;
    for (Py_ssize_t i = PyList_GET_SIZE(consumers.ptr()); i-- > 0;) {
        Handle task(PyList_GET_ITEM(PyList_GET_ITEM(consumers.ptr(), i), 1));
        if (!task.is_none() && !truthy(call_method(task, n_done))) return true;
        check(PyList_SetSlice(consumers.ptr(), i, i + 1, nullptr));
    }
    return false;
}

// --- set up with the module ------------------------------------------------------------

void install_consumer(Module module) {
    installed.drain_function.set(module.function(drain_spec));
    installed.flight_function.set(module.function(flight_spec));
    installed.watch_class.set(
        make_class(module, "_ChannelEndWatch", {}, nullptr, {{"aclose", module.function(watch_aclose_spec)}}));
}

}  // namespace detail

using namespace detail;

Async consume(const Args& a) {
    Handle self = a[0];
    Handle me = a.coroutine();
    Ref asyncio = a.global(n_asyncio);
    Handle loop;
    std::optional<PyError> stopped;
    try {
        // This first step runs inside the call that started the consumer (consumer_task).
        co_await call(getattr(asyncio, n_sleep), new_int(0));
        loop = co_await hold(call_method(asyncio, n_get_running_loop));
        for (;;) {
            if (Ref waiter = flight_waiter(self, loop)) {  // a post a cancelled consumer left finishes first
                co_await std::move(waiter);
                continue;
            }
            Ref item = co_await queue_get(self);
            Chan c = chan(self);
            Ref queue = queue_of(self);
            begin(c, self, item, loop, queue, Handle(), asyncio);
            admit(c, queue);
        }
    } catch (PyError& e) {
        stopped.emplace(std::move(e));
    }
    consumer_ended(self, me);
    // Closed with its loop (the coroutine dropped, or a loop closed under it):
    // nothing is left to do, and nothing to report.
    if (is_closing(me) || stopped->matches(PyExc_GeneratorExit) || (loop && is_closed(loop))) co_return none();
    throw std::move(*stopped);
}

void delivered(Handle self, Handle asyncio) {
    Ref task = call_method(asyncio, n_current_task);
    Chan c = chan(self);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(c->flights.ptr()); ++i) {
        Flight* f = flight_of(Handle(PyList_GET_ITEM(c->flights.ptr(), i)));
        if (f->task.is(task)) f->delivered = true;
    }
}

Async put(const Args& a, Ref item) {
    Handle self = a[0];
    Ref asyncio = a.global(n_asyncio);
    Handle loop = co_await hold(call_method(asyncio, n_get_running_loop));
    if (!enter(self, item, loop, asyncio, true)) co_return none();
    // The queue is full, or others of this loop wait: a turn in the
    // turnstile, then the queue's own put. The turn leads back to this
    // coroutine (its callbacks wake the task running it): kept where the
    // collector sees it.
    Handle turn = co_await hold(call_method(loop, n_create_future));
    bool first = false;
    {
        Chan c = chan(self);
        list_append(c->waiters, turn);
        first = PyList_GET_ITEM(c->waiters.ptr(), first_waiter(c->waiters, loop)) == turn.ptr();
    }
    std::optional<PyError> failure;
    try {
        if (!first) co_await turn;  // the waiter before it hands the turn on
        co_await queue_put(self, item);
    } catch (PyError& e) {
        failure.emplace(std::move(e));  // cancelled or closed: still leave the turnstile
    }
    leave_turnstile(chan(self)->waiters, turn, loop);
    if (failure) throw std::move(*failure);
    co_return none();
}

bool serves(Handle self, Handle loop) {
    Chan c = chan(self);
    return c->home.is(loop) && has_consumer(c);
}

Ref consumer_task(Handle self, Handle loop, Handle consumer) {
    Chan c = chan(self);
    if (!c->home && !c->delivering && running_loop(import("asyncio")).is(loop)) {
        // A channel without a home gets the loop of its first consumer, when it runs here.
        const unsigned long long epoch = c->epoch;
        claim(c, self, loop, epoch, import("asyncio"));
    }
    Ref entry;
    if (c->home.is(loop)) {  // known before its first step
        entry = list_of({consumer, none()});
        list_append(c->consumers, entry);
        if (is_bridge_coroutine(consumer)) ++c->own_consumers;
    }
    if (!start_eagerly(consumer)) {
        consumer_ended(self, consumer);
        return Ref();
    }
    Ref task = call_method(loop, n_create_task, consumer);
    quiet_when_abandoned(task);
    if (entry) check(PyList_SetItem(entry.ptr(), 1, task.ref().release()));
    return task;
}

}  // namespace service::channel
