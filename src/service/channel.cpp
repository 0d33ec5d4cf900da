// The asyncio channel (channel.hpp): each channel's state, the routes of an
// item, taking the home (the claim), the private delivery, the exit and a
// fork. The consumer, the posts in flight and the drains are in
// channel_consumer.cpp.
#include "service/channel_state.hpp"

#include "binding/context.hpp"

#include <utility>

namespace service::channel {
namespace detail {

Name n_channel("_channel");
Name n_put_nowait("put_nowait");
Name n_get_nowait("get_nowait");
Name n_maxsize("maxsize");
Name n_underscore_loop("_loop");
Name n_set_result("set_result");
Name n_Runner("Runner");
Name n_run("run");
Name n_loop_factory("loop_factory");
Name n_allocate_lock("allocate_lock");
Name n_acquire("acquire");
Name n_release("release");

// Read-only views for introspection: `obj._channel.line` and the like.
template <Ref State::* field>
PyObject* get_field(PyObject* self, void*) {
    PyObject* value = (Native<State>::of(self).*field).ptr();
    return Py_NewRef(value ? value : Py_None);
}
PyGetSetDef* State::getset() {
    static PyGetSetDef defs[] = {
        {"home", get_field<&State::home>, nullptr, nullptr, nullptr},
        {"consumers", get_field<&State::consumers>, nullptr, nullptr, nullptr},
        {"flights", get_field<&State::flights>, nullptr, nullptr, nullptr},
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
    for (Ref* list : {&s->inbox, &s->line, &s->waiters, &s->flights, &s->consumers})
        if (!*list) *list = new_list();
    return {std::move(object), s};
}

Installed installed;

// --- small asyncio and list helpers ------------------------------------------------

Ref queue_of(Handle self) { return getattr(self, n_log_queue); }

bool is_closed(Handle loop) { return truthy(call_method(loop, n_is_closed)); }

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
    Ref bound = getattr_optional(queue, n_underscore_loop);
    return bound && !bound.is_none() && !bound.is(loop);
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

// `future.set_result(None)` unless it is done (a cancelled await) or its loop is closed.
void resolve(Handle future) {
    if (truthy(call_method(future, n_done))) return;
    try {
        call_method(future, n_set_result, none());
    } catch (PyError& e) {
        if (!e.matches(PyExc_RuntimeError)) throw;  // "Event loop is closed"
    }
}

// --- tickets ---------------------------------------------------------------------------

Ticket* ticket_of(Handle obj) { return obj ? Native<Ticket>::get(obj) : nullptr; }

// A ticket for `item` (None: a marker); with `waits`, its lock is held
// until signalled (the caller waits on it), else it only marks the item.
Ref make_ticket(Handle item, bool waits = true) {
    Ref ticket = Native<Ticket>::make();
    Ticket* t = Native<Ticket>::get(ticket);
    t->item = item.ref();
    if (!waits) return ticket;
    t->lock = call(import_from("_thread", n_allocate_lock));
    call_method(t->lock, n_acquire);  // free: returns at once
    t->locked = true;
    return ticket;
}

// True when a caller waits on a ticket in the inbox.
bool caller_waits(const Chan& c) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(c->inbox.ptr()); ++i) {
        Ticket* t = ticket_of(Handle(PyList_GET_ITEM(c->inbox.ptr(), i)));
        if (t && t->locked) return true;
    }
    return false;
}

void signal(Handle ticket, Ticket::Stage stage) {
    Ticket* t = ticket_of(ticket);
    if (!t) return;
    t->stage = stage;
    if (!std::exchange(t->locked, false)) return;
    Ref lock = t->lock;
    call_method(lock, n_release);
}

// Wait until the caller's ticket is signalled; its outcome.
Ticket::Stage wait_for(Handle ticket) {
    Ticket* t = ticket_of(ticket);
    if (t->stage == Ticket::Stage::Returned) {  // waiting again: lock it anew
        t->stage = Ticket::Stage::Waiting;
        call_method(t->lock, n_acquire);
        t->locked = true;
    }
    Ref lock = t->lock;
    call_method(lock, n_acquire);  // released (interpreter lock included) until signalled
    call_method(lock, n_release);
    return ticket_of(ticket)->stage;
}

// The item an inbox entry stands for; a ticket is signalled as taken into the queue.
Ref accepted(Handle entry) {
    Ticket* t = ticket_of(entry);
    if (!t) return entry.ref();
    Ref item = t->item;
    signal(entry, Ticket::Stage::Accepted);
    return item.is_none() ? Ref() : item;
}

// --- the queue and the line ----------------------------------------------------------------

// --- the turnstile of awaited puts ------------------------------------------------------

Name n_get_loop("get_loop");

bool on_loop(Handle future, Handle loop) { return call_method(future, n_get_loop).is(loop); }

Py_ssize_t first_waiter(Handle waiters, Handle loop) {
    const Py_ssize_t n = PyList_GET_SIZE(waiters.ptr());
    for (Py_ssize_t i = 0; i < n; ++i)
        if (on_loop(Ref::borrow(PyList_GET_ITEM(waiters.ptr(), i)), loop)) return i;
    return -1;
}

// The first waiter of the loop hands the turn to the next one of the same
// loop (unless the loop is closed: nothing can resume a waiter there).
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
    if (next < 0 || is_closed(loop)) return;
    resolve(Handle(PyList_GET_ITEM(waiters.ptr(), next)));
}

// --- the queue and the line ----------------------------------------------------------------

// Move waiting items into the queue while it has room (unless awaited puts
// wait on the home loop: they go first), then the report of drops.
void admit(const Chan& c, Handle queue) {
    if (c->home && first_waiter(c->waiters, c->home) >= 0) return;
    Ref line = c->line;
    while (PyList_GET_SIZE(line.ptr()) > 0) {
        Ref head = Ref::borrow(PyList_GET_ITEM(line.ptr(), 0));
        Ticket* t = ticket_of(head);
        if (t && t->item.is_none()) {  // a marker: nothing to put
            check(PyList_SetSlice(line.ptr(), 0, 1, nullptr));
            signal(head, Ticket::Stage::Accepted);
            continue;
        }
        if (!put_nowait(queue, t ? Handle(t->item) : Handle(head))) return;
        check(PyList_SetSlice(line.ptr(), 0, 1, nullptr));
        if (t) signal(head, Ticket::Stage::Accepted);
    }
    if (!c->dropped) return;
    Ref report = kind().drop_report(c->dropped);
    if (report && put_nowait(queue, report)) c->dropped = 0;
}

// An item on the home loop: into the queue now when nothing waits before it;
// else into the line, or dropped by the kind's rule.
void offer(const Chan& c, Handle self, Handle item, Handle loop) {
    Ref queue = queue_of(self);
    admit(c, queue);
    if (PyList_GET_SIZE(c->line.ptr()) == 0 && first_waiter(c->waiters, loop) < 0 && put_nowait(queue, item)) return;
    if (kind().waits_for_room(item))
        list_append(c->line, item);
    else
        ++c->dropped;
}

Ref take_next(const Chan& c, Handle self, Ref& queue, Ref& ticket) {
    Ref q = queue_of(self);
    if (Ref item = take_queued(q)) {
        queue = std::move(q);
        return item;
    }
    Ref entry = pop_front(c->line);
    if (!entry) entry = pop_front(c->inbox);
    if (entry) {
        Ticket* t = ticket_of(entry);
        if (!t) return entry;
        ticket = entry;
        return t->item.is_none() ? Ref() : t->item;
    }
    if (c->dropped) return kind().drop_report(std::exchange(c->dropped, 0));
    return Ref();
}

void put_in_front(const Chan& c, Handle items) { check(PyList_SetSlice(c->line.ptr(), 0, 0, items.ptr())); }

// `front` (a list of items older than everything queued), followed by what
// the queue holds, in front of the line, so that order holds when the queue
// is taken over or served by someone else.
void requeue(const Chan& c, Handle self, Handle front) {
    Ref queue = queue_of(self);
    for (Ref item; (item = take_queued(queue));) {
        list_append(front, item);
        call_method(queue, n_task_done);
    }
    put_in_front(c, front);
}

bool release_if_idle(const Chan& c) {
    if (PyList_GET_SIZE(c->inbox.ptr()) != 0) return false;  // no Python code since the check: atomic
    c->delivering.reset();
    ++c->epoch;
    return true;
}

void release(const Chan& c) {
    if (!c->delivering) return;
    c->delivering.reset();
    ++c->epoch;
    for (Handle list : {Handle(c->line), Handle(c->inbox)}) {
        Ref entries = check(PySequence_List(list.ptr()));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.ptr()); ++i)
            if (ticket_of(Handle(PyList_GET_ITEM(entries.ptr(), i))))
                signal(Handle(PyList_GET_ITEM(entries.ptr(), i)), Ticket::Stage::Returned);
    }
}

// --- where an item goes -------------------------------------------------------------------

// What is known of the home, read before a route is chosen (is_closed runs
// Python code, so the choice checks the epoch again).
struct HomeFacts {
    bool alive = false;  // not ended, not closed, its thread alive
    bool mine = false;   // its loop's thread is this one
};

HomeFacts facts(const Chan& c, const ThreadRef& me) {
    if (!c->home) return {};
    Ref home = c->home;
    const bool closed = is_closed(home);
    return {!c->home_ended && !closed && c->home_thread && c->home_thread->alive(), c->home_thread == me};
}

enum class Route { OnHome, HandOver, JoinDelivery, Claim, Deliver };

// The route of a call from a thread whose running loop is `loop` (may be null).
Route route(const Chan& c, const HomeFacts& f, Handle loop) {
    if (c->delivering) return Route::JoinDelivery;
    if (loop && c->home.is(loop)) return Route::OnHome;
    if (f.alive && !f.mine) return Route::HandOver;
    return loop ? Route::Claim : Route::Deliver;
}

// Start a private delivery by this thread, unless the channel changed since `epoch` was read.
bool start_delivery(const Chan& c, unsigned long long epoch, const ThreadRef& me) {
    if (c->delivering || c->epoch != epoch) return false;  // no Python code since the check: atomic
    c->delivering = me;
    ++c->epoch;
    return true;
}

// Write out everything held (a synchronous kind), then end the delivery.
// Once `own` (the delivering caller's entry) is written, callers waiting
// meanwhile take the writing over, each for what came before its own: no
// thread keeps writing for others while they go on logging.
void write_out(const Chan& c, Handle self, Handle own) {
    for (;;) {
        Ref queue, ticket;
        Ref item = take_next(c, self, queue, ticket);
        if (!item && !ticket) {
            if (release_if_idle(c)) return;
            continue;
        }
        if (item) kind().handle(self, item);
        if (queue) call_method(queue, n_task_done);
        signal(ticket, Ticket::Stage::Handled);
        if (own && ticket.is(own)) {
            if (caller_waits(c)) return release(c);
            own = Handle();
        }
    }
}

// The private delivery this thread has started: everything held (the item
// last), written here or posted on a private loop within the drain's budget.
// Posts in flight that no loop will finish are cut first (at exit: every
// one), their items in front.
void deliver(const Chan& c, Handle self, Handle item, Handle asyncio, bool at_exit) {
    try {
        Ref own;
        if (item) {
            own = make_ticket(item, false);
            list_append(c->inbox, own);
        }
        if (kind().synchronous) {
            write_out(c, self, own);
            return;
        }
        Ref front = new_list();
        cut_flights(c, self, Handle(), at_exit, front);
        if (PyList_GET_SIZE(front.ptr())) requeue(c, self, front);
        Ref runner = call(getattr(asyncio, n_Runner), kw(n_loop_factory, getattr(asyncio, n_new_event_loop)));
        with_block(runner, [&](Handle) {
            return call_method(runner, n_run,
                               call(installed.drain_function, self, new_int(static_cast<long>(DrainMode::Private))));
        });
    } catch (...) {  // a thread's forced end never comes here (binding/thread_end.cpp)
        release(c);  // cut short: what is left is the channel's again
        throw;
    }
}

// Wake the home loop to take in what other threads appended to the inbox
// (once per batch). False when the home loop turned out to be closed: the
// items stay in the inbox, for whoever takes the home next.
bool wake_home(const Chan& c, Handle self) {
    if (c->wake_pending) return true;
    c->wake_pending = true;
    Ref home = c->home;
    try {
        call_method(home, n_call_soon_threadsafe, installed.wake_function, self,
                    new_int(static_cast<long long>(c->epoch)));
    } catch (PyError& e) {
        if (!e.matches(PyExc_RuntimeError)) throw;  // "Event loop is closed"
        c->wake_pending = false;
        return false;
    }
    return true;
}

// An item on the home loop's own thread while that loop runs. Once its end
// has begun, no consumer starts there: a synchronous kind writes the item
// now, after what is held (joining a delivery in progress); the other keeps
// it for the drain, the next use or the exit.
// An awaited put starts no consumer (it only puts, as Queue.put would).
Ref accept_on_home(const Chan& c, Handle self, Handle item, Handle loop, bool awaited) {
    if (c->home_ended) {
        if (!kind().synchronous) {
            if (item) list_append(c->line, item);
        } else {  // no delivery is in progress (the route would have joined it)
            c->delivering = this_thread();
            ++c->epoch;
            deliver(c, self, item, Handle(), false);
        }
        return Ref();
    }
    if (!awaited) {
        if (!has_consumer(c)) kind().start_consumer(self);
        offer(c, self, item, loop);
        return Ref();
    }
    if (first_waiter(c->waiters, loop) < 0 && put_nowait(queue_of(self), item)) return Ref();
    if (!kind().waits_for_room(item)) {
        ++c->dropped;
        return Ref();
    }
    return item.ref();  // to wait for room, first come, first served
}

// _channel_wake(self, epoch), on the home loop: take in what other threads handed over.
Ref wake(const Args& a) {
    Handle self = a[0], epoch = a[1];
    Chan c = chan(self);
    if (PyLong_AsUnsignedLongLong(epoch.ptr()) != c->epoch) return none().ref();  // the home has changed hands
    Ref loop = running_loop(a.global(n_asyncio));
    if (!loop || !c->home.is(loop) || c->delivering) return none().ref();
    c->wake_pending = false;
    if (c->home_ended) {  // no consumer now: as for the loop's own calls
        if (kind().synchronous) {
            accept_on_home(c, self, Handle(), loop, false);
            return none().ref();
        }
        Ref batch = take_all(c->inbox);
        check(PyList_SetSlice(c->line.ptr(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, batch.ptr()));
        return none().ref();
    }
    Ref batch = take_all(c->inbox);
    const Py_ssize_t n = PyList_GET_SIZE(batch.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        try {
            if (Ref item = accepted(Handle(PyList_GET_ITEM(batch.ptr(), i))))
                accept_on_home(c, self, item, loop, false);
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

// Make `loop` (running on this thread) the home, unless the channel changed
// since `epoch` was read. What the old home left comes first: posts in
// flight elsewhere are cut and their items posted again, then what the old
// queue held (the queue is replaced when it is bound to another loop), the
// line, then what was handed over.
bool claim(const Chan& c, Handle self, Handle loop, unsigned long long epoch, Handle asyncio) {
    if (c->delivering || c->epoch != epoch) return false;  // no Python code since the check: atomic
    const bool same_loop = c->home.is(loop);
    c->home = loop.ref();
    c->home_thread = this_thread();
    c->home_ended = false;
    c->wake_pending = false;
    ++c->epoch;
    if (!same_loop) {  // the consumers of another loop serve no more
        c->consumers = new_list();
        c->own_consumers = 0;
    }
    watch_home(c, self, loop);
    Ref front = new_list();
    cut_flights(c, self, loop, false, front);
    Ref queue = queue_of(self);
    const bool rebind = bound_elsewhere(queue, loop);
    if (rebind || PyList_GET_SIZE(front.ptr())) requeue(c, self, front);
    Ref handed = take_all(c->inbox);
    check(PyList_SetSlice(c->line.ptr(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, handed.ptr()));
    if (rebind) {
        queue = call(getattr(asyncio, n_Queue), getattr(queue, n_maxsize));
        setattr(self, n_log_queue, queue);
    }
    admit(c, queue);
    return true;
}

// The routes of a call without a running loop (a plain call, or the exit
// with no item): hand the item over, join another thread's delivery (and
// wait for it), or deliver everything here.
void deliver_from_here(Handle self, Handle item, Handle asyncio, bool at_exit) {
    Chan c = chan(self);
    const ThreadRef me = this_thread();
    bool in_channel = !item;  // the item (if any) is the channel's already
    Ref ticket;               // this caller's, while it waits for another thread's delivery
    bool ticket_in_channel = false;
    for (;;) {
        const unsigned long long epoch = c->epoch;
        const HomeFacts f = facts(c, me);
        if (c->epoch != epoch) continue;
        switch (route(c, f, Handle())) {
            case Route::HandOver:
                if (at_exit) return;  // the exit asks the home loop itself (exit_owner)
                if (!in_channel) list_append(c->inbox, item);
                in_channel = true;
                if (wake_home(c, self)) return;
                continue;  // it closed meanwhile
            case Route::JoinDelivery: {
                if (c->delivering == me) {  // our own delivery, re-entered: it takes the item
                    if (!in_channel) list_append(c->inbox, item);
                    return;
                }
                if (!ticket) {  // made first (it runs Python code), then appended after a fresh check
                    ticket = make_ticket(in_channel ? none() : item);
                    continue;
                }
                if (!ticket_in_channel) {
                    list_append(c->inbox, ticket);
                    ticket_in_channel = in_channel = true;
                }
                const Ticket::Stage stage = wait_for(ticket);
                if (stage == Ticket::Stage::Handled || stage == Ticket::Stage::Accepted) return;
                continue;  // that delivery ended without it: the ticket is the channel's again
            }
            case Route::Deliver:
                if (!start_delivery(c, epoch, me)) continue;
                deliver(c, self, in_channel ? Handle() : item, asyncio, at_exit);
                return;
            case Route::OnHome:
            case Route::Claim: break;  // need a running loop
        }
        return;
    }
}

// --- the exit and a fork ------------------------------------------------------------------

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

// _channel_exit_request(self, ticket), on the home loop: drain for the exit.
Ref exit_request(const Args& a) {
    Handle self = a[0], ticket = a[1];
    Ref loop = running_loop(a.global(n_asyncio));
    call_method(loop, n_create_task,
                call(installed.drain_function, self, new_int(static_cast<long>(DrainMode::Exit)), ticket));
    return none().ref();
}

const FunctionSpec exit_request_spec{
    .name = "_channel_exit_request",
    .params = {{"owner"}, {"ticket"}},
    .returns = "None",
    .body = exit_request,
};

// At exit: a home loop alive and running in another thread (a daemon thread
// still running) is asked to drain, and awaited within the budget; then
// whatever is held (left by a loop that will not run again, handed over
// afterwards, or left by a home that did not answer) is delivered here.
void exit_owner(Handle self) {
    Ref asyncio = import("asyncio");
    Chan c = chan(self);
    const HomeFacts f = facts(c, this_thread());
    if (f.alive && !f.mine && !c->delivering && truthy(call_method(c->home, n_is_running))) {
        // Asked to drain, and awaited within the budget (it answers by a ticket).
        Ref ticket = make_ticket(none());
        Ref home = c->home;
        try {
            call_method(home, n_call_soon_threadsafe, installed.exit_request_function, self, ticket);
            Ref lock = ticket_of(ticket)->lock;
            if (truthy(call_method(lock, n_acquire, py_bool(true), new_int(drain_seconds + 1))))
                call_method(lock, n_release);
        } catch (PyError& e) {
            if (!e.matches(PyExc_RuntimeError)) throw;  // closed meanwhile
        }
    }
    if (c->home) {  // no loop will serve the channel any more: the rest is delivered here
        c->home_ended = true;
        ++c->epoch;
    }
    deliver_from_here(self, Handle(), asyncio, true);
}

void exit_all() { for_each_owner(exit_owner); }

// In a forked child: every channel starts empty; what the parent accepted
// stays the parent's. The consumers copied from the parent are forgotten.
void after_fork() {
    Ref asyncio = import("asyncio");
    // A fresh set of the same owners: a walk of the old one that another
    // thread was making at the fork would never end here.
    installed.live.set(call(getattr(import("weakref"), n_WeakSet), check(PySequence_List(installed.live.ptr()))));
    for_each_owner([&](Handle self) {
        Chan c = chan(self);
        c->clear();
        c->home_thread.reset();
        c->delivering.reset();
        c->home_ended = c->wake_pending = false;
        c->own_consumers = 0;
        c->dropped = 0;
        ++c->epoch;
        for (Ref* list : {&c->inbox, &c->line, &c->waiters, &c->flights, &c->consumers}) *list = new_list();
        kind().forget_consumers(self);
        setattr(self, n_log_queue, call(getattr(asyncio, n_Queue), getattr(queue_of(self), n_maxsize)));
    });
}

}  // namespace detail

using namespace detail;

// --- the public entry points ------------------------------------------------------------------

Ref running_loop(Handle asyncio) {
    try {
        return call_method(asyncio, n_get_running_loop);
    } catch (PyError& e) {
        if (!e.matches(PyExc_RuntimeError)) throw;
        return Ref();
    }
}

void install(Module module, const ChannelKind& kind) {
    installed.kind = &kind;
    Ref asyncio = import("asyncio");
    installed.cancelled_error.set(getattr(asyncio, "CancelledError"));
    installed.queue_full.set(getattr(asyncio, "QueueFull"));
    installed.queue_empty.set(getattr(asyncio, "QueueEmpty"));
    installed.live.set(call(getattr(import("weakref"), n_WeakSet)));
    installed.wake_function.set(module.function(wake_spec));
    installed.exit_request_function.set(module.function(exit_request_spec));
    install_consumer(module);
    binding::at_exit(exit_all);
    at_fork_child(after_fork);
}

void attach(Handle self) {
    chan(self);
    call_method(installed.live, n_add, self);
}

Ref detail::enter(Handle self, Handle item, Handle loop, Handle asyncio, bool awaited) {
    if (!loop) {
        deliver_from_here(self, item, asyncio, false);
        return Ref();
    }
    Chan c = chan(self);
    const ThreadRef me = this_thread();
    bool in_channel = false;  // handed over already (to a home loop that then closed)
    for (;;) {
        const unsigned long long epoch = c->epoch;
        const HomeFacts f = c->home.is(loop) ? HomeFacts{} : facts(c, me);
        if (c->epoch != epoch) continue;
        switch (route(c, f, loop)) {
            case Route::OnHome: return accept_on_home(c, self, item, loop, awaited);
            case Route::HandOver:
                if (!in_channel) list_append(c->inbox, item);
                in_channel = true;
                if (wake_home(c, self)) return Ref();
                continue;  // it closed meanwhile
            case Route::JoinDelivery:
                if (!in_channel) list_append(c->inbox, item);  // a caller with a loop does not wait
                return Ref();
            case Route::Claim:
                if (!claim(c, self, loop, epoch, asyncio)) continue;
                if (in_channel) return Ref();  // the item moved with the inbox
                return accept_on_home(c, self, item, loop, awaited);
            case Route::Deliver: break;  // needs no running loop
        }
        return Ref();
    }
}

void submit(Handle self, Handle item, Handle loop, Handle asyncio) { detail::enter(self, item, loop, asyncio, false); }

}  // namespace service::channel
