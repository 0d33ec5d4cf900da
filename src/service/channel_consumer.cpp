// The asyncio channel (channel.hpp): the consumer, the drains (at a loop's
// end, on a private loop, at exit) and the awaited put.
#include "service/channel_state.hpp"

#include "binding/context.hpp"

#include <optional>
#include <utility>

namespace service::channel {
namespace detail {

Name n_put("put");
Name n_full("full");
Name n_all_tasks("all_tasks");
Name n_create_task("create_task");
Name n_create_future("create_future");
Name n_sleep("sleep");
Name n_timeout("timeout");
Name n_log_destroy_pending("_log_destroy_pending");

// --- drains ----------------------------------------------------------------------------

// Release a private delivery's hold on the home when nothing more was handed
// over (no Python code between the check and the release: atomic).
bool release_if_idle(const Chan& c) {
    if (PyList_GET_SIZE(c->inbox.ptr()) != 0) return false;
    c->settling = false;
    ++c->epoch;
    return true;
}

// Report as undelivered everything `self` holds, the item in hand first.
void report_undelivered(const Chan& c, Handle self) {
    if (c->in_hand) {
        Ref item = c->in_hand;
        if (!c->delivered) kind().undelivered(self, item);
        finish_in_hand(c, self);
    }
    bool queued = false;
    for (Ref item; (item = take_next(c, self, queued));) {
        kind().undelivered(self, item);
        if (queued) call_method(queue_of(self), n_task_done);
    }
}

// Take the next item into hand and start handling it: null when nothing is
// left (`empty` set), else the awaitable to wait for (null when it is done).
Ref handle_next(Handle self, bool is_private, bool& empty) {
    Chan c = chan(self);
    bool queued = false;
    Ref item = take_next(c, self, queued);
    if (!item) {
        empty = !is_private || release_if_idle(c);
        return Ref();
    }
    c->in_hand = item;
    c->in_hand_queued = queued;
    c->delivered = false;
    try {
        return kind().handle(self, item);
    } catch (PyError& e) {
        // An item the kind cannot even start on (a malformed queue item) is
        // reported and dropped: it must not hold up the rest.
        if (!e.matches(PyExc_Exception)) throw;
        kind().undelivered(self, item);
        finish_in_hand(c, self);
        return Ref();
    }
}

// async _channel_drain(self, private): handle everything `self` holds, in
// order, within drain_seconds in all (a synchronous kind never waits). With
// `private`, this drain is the home (deliver_here) and lets go of it once
// nothing is left. What the budget cuts off is reported undelivered; what a
// cancellation cuts off stays for the next use of the channel.
//
// No local holding the channel lives across an await (the collector would not
// see it, and the channel leads back to this coroutine): it is read again.
Async drain(const Args& a) {
    Handle self = a[0];
    const bool is_private = truthy(a[1]);
    std::optional<AsyncWith> budget;
    if (!kind().synchronous) {
        Handle deadline = co_await hold(call(getattr(a.global(n_asyncio), n_timeout), new_int(drain_seconds)));
        budget.emplace(deadline);
        co_await budget->enter();
    }
    std::optional<PyError> cut;
    try {
        for (bool empty = false;;) {
            Ref pending = handle_next(self, is_private, empty);
            if (empty) break;
            if (pending) co_await std::move(pending);
            finish_in_hand(chan(self), self);
        }
    } catch (PyError& e) {
        cut.emplace(std::move(e));
    }
    std::optional<PyError> ended;
    if (budget) {
        try {
            AsyncWith::leave(co_await budget->exit(cut), cut);
        } catch (PyError& e) {
            ended.emplace(std::move(e));
        }
    } else {
        ended = std::move(cut);
    }
    if (!ended) co_return none();
    Chan c = chan(self);
    if (ended->matches(PyExc_TimeoutError)) {  // the budget is spent: the rest is reported
        do report_undelivered(c, self);
        while (is_private && !release_if_idle(c));
        co_return none();
    }
    requeue(c, self, false, a.global(n_asyncio));  // cut short otherwise: kept for the next use
    if (is_private) {
        c->settling = false;
        ++c->epoch;
    }
    throw std::move(*ended);
}

const FunctionSpec drain_spec{
    .name = "_channel_drain",
    .params = {{"owner"}, {"private"}},
    .returns = "None",
    .async_body = drain,
};

// Run `coroutine` (one of ours) up to its first suspension before a Task
// takes it over. True when it is suspended there (a Task can take it on);
// false when it ended at once (a Task would fail on it: "cannot reuse
// already awaited coroutine"). Other coroutines are left to their Task.
bool start_eagerly(Handle coroutine) {
    if (!is_bridge_coroutine(coroutine)) return true;
    PyObject* yielded = nullptr;
    switch (PyIter_Send(coroutine.ptr(), Py_None, &yielded)) {
        case PYGEN_NEXT: {
            Ref first = Ref::steal(yielded);
            if (!first.is_none()) raise(PyExc_RuntimeError, "a consumer must first yield None");
            return true;
        }
        case PYGEN_RETURN:
            Ref::steal(yielded).reset();
            return false;
        case PYGEN_ERROR:
            break;
    }
    rethrow();
}

// The awaitables of `self.log_queue.get()` and `.put(item)`, made in helpers
// so that no temporary of the `co_await` expression (the queue) stays in the
// coroutine frame, out of the collector's sight, while it waits.
Ref queue_get(Handle self) { return call_method(queue_of(self), n_get); }
Ref queue_put(Handle self, Handle item) { return call_method(queue_of(self), n_put, item); }

// A weak reference to the task running now, or None (also with no loop running).
Ref weak_current_task(Handle asyncio) {
    if (!running_loop(asyncio)) return none().ref();
    Ref task = call_method(asyncio, n_current_task);
    return task.is_none() ? task : check(PyWeakref_NewRef(task.ptr(), nullptr));
}

// Whether the loop of the cancelled consumer `me` goes on: the task that
// started the consumer (`anchor`, a weak reference) runs and nobody cancels
// it. A consumer started outside any task asks the same of every other task.
bool loop_goes_on(Handle anchor, Handle me, Handle asyncio) {
    if (!anchor.is_none()) {
        PyObject* task = nullptr;
        check(PyWeakref_GetRef(anchor.ptr(), &task));
        return goes_on(Ref::steal(task));
    }
    Ref tasks = check(PySequence_List(call_method(asyncio, n_all_tasks).ptr()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(tasks.ptr()); ++i) {
        Handle task(PyList_GET_ITEM(tasks.ptr(), i));
        if (!task.is(me) && goes_on(task)) return true;
    }
    return false;
}

// After a consumer took `item`: start handling it (the channel's own consumer
// keeps it in hand: `in_hand` set). The awaitable to wait for, or null when
// it is done.
Ref begin_item(Handle self, Handle item, Handle me, bool& in_hand) {
    Chan c = chan(self);
    in_hand = c->consumer.is(me);
    if (in_hand) {
        c->in_hand = item.ref();
        c->in_hand_queued = true;
        c->delivered = false;
    }
    return kind().handle(self, item);
}

// After the item is handled: task_done, and waiting items admitted. False
// when the item was taken out of this consumer's hand meanwhile (its loop was
// stopped mid-item and the home moved: the new home has the item, and this
// consumer is done).
bool end_item(Handle self, Handle me, Handle loop, bool in_hand) {
    Chan c = chan(self);
    if (in_hand) {
        if (!c->consumer.is(me) || !c->in_hand) return false;
        c->in_hand.reset();
        c->in_hand_queued = false;
        c->delivered = false;
    }
    Ref queue = queue_of(self);
    call_method(queue, n_task_done);
    if (c->home.is(loop)) admit(c, queue, loop);
    return true;
}

}  // namespace detail

using namespace detail;

Async consume(const Args& a) {
    Handle self = a[0];
    // This first step runs inside the call that started the consumer
    // (consumer_task), so the task running now is the caller's.
    Handle anchor = co_await hold(weak_current_task(a.global(n_asyncio)));
    Handle me;  // the task running the consumer, once it runs
    bool in_hand = false;
    std::optional<PyError> stopped;
    try {
        co_await call(getattr(a.global(n_asyncio), n_sleep), new_int(0));  // the eager start ends here
        me = co_await hold(call_method(a.global(n_asyncio), n_current_task));
        Handle loop = co_await hold(call_method(me, n_get_loop));
        for (;;) {
            Ref item = co_await queue_get(self);
            Ref pending = begin_item(self, item, me, in_hand);
            item.reset();
            if (pending) co_await std::move(pending);
            if (!end_item(self, me, loop, in_hand)) co_return none();
            in_hand = false;
        }
    } catch (PyError& e) {
        stopped.emplace(std::move(e));
    }
    if (!stopped->matches(installed.cancelled_error.ptr())) {
        // Closed (GeneratorExit: the coroutine is being dropped), or ended by
        // an error: the item that ended it is dropped, without task_done.
        if (in_hand && !stopped->matches(PyExc_GeneratorExit)) {
            Chan c = chan(self);
            if (c->consumer.is(me)) {
                c->in_hand.reset();
                c->in_hand_queued = false;
            }
        }
        throw std::move(*stopped);
    }
    // Held where the collector sees them: the loop and the task lead back here.
    Handle task = me ? me : co_await hold(call_method(a.global(n_asyncio), n_current_task));  // cancelled before its first turn
    Handle loop = co_await hold(call_method(task, n_get_loop));
    {
        Ref asyncio = a.global(n_asyncio);
        Chan c = chan(self);
        if (!c->consumer.is(task) || !c->home.is(loop)) throw std::move(*stopped);  // nothing here is its own
        requeue(c, self, false, asyncio);  // the item in hand first, for whoever handles the rest
        if (loop_goes_on(anchor, task, asyncio)) throw std::move(*stopped);  // the next call starts another
    }
    // The loop is ending: everything held is handled now, and no consumer is
    // started on this loop by the calls of its shutdown.
    std::optional<PyError> drain_cut;
    try {
        co_await call(installed.drain_function, self, py_bool(false));
    } catch (PyError& e) {
        drain_cut.emplace(std::move(e));
    }
    chan(self)->ended = loop.ref();
    throw std::move(drain_cut ? *drain_cut : *stopped);
}

Async put(const Args& a, Ref item) {
    Handle self = a[0];
    Handle loop = co_await hold(call_method(a.global(n_asyncio), n_get_running_loop));
    bool waits = false;
    {
        Chan c = chan(self);
        if (first_waiter(c->waiters, loop) >= 0 || truthy(call_method(queue_of(self), n_full))) {
            if (!kind().waits_for_room(item)) {
                ++c->dropped;
                co_return none();
            }
            waits = true;
        }
    }
    if (!waits) {
        co_await queue_put(self, item);  // room, and nobody of this loop ahead: completes at once
        co_return none();
    }
    // The turn leads back to this coroutine (its callbacks wake the task
    // running it): kept where the collector sees it.
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

Ref consumer_task(Handle self, Handle loop, Handle consumer) {
    if (!start_eagerly(consumer)) return Ref();
    Ref task = call_method(loop, n_create_task, consumer);
    // A consumer abandoned pending with its loop (a loop closed by hand) is
    // not reported as destroyed while pending: what it had not handled is
    // still the channel's, as data.
    if (PyObject_SetAttr(task.ptr(), n_log_destroy_pending.get().ptr(), Py_False) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) rethrow();  // another loop's own task type
        PyErr_Clear();
    }
    Chan c = chan(self);
    if (!c->home && !c->settling) {  // a channel without a home gets this consumer's loop
        c->home = loop.ref();
        ++c->epoch;
    }
    if (c->home.is(loop)) c->consumer = task;
    return task;
}

void delivered(Handle self) { chan(self)->delivered = true; }

}  // namespace service::channel
