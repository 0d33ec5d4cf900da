// Items handed to an asyncio.Queue during the producer's own call; see handover.hpp.
#include "handover.hpp"

#include "binding/coroutine.hpp"

namespace service::handover {
namespace {
Name n_put_nowait("put_nowait");
Name n_get_nowait("get_nowait");
Name n_loop("_loop");
Name n_log_destroy_pending("_log_destroy_pending");

Forever queue_full, queue_empty;  // asyncio.QueueFull, asyncio.QueueEmpty

void load_exceptions() {
    if (queue_full) return;
    Ref asyncio = import("asyncio");
    queue_full.set(getattr(asyncio, "QueueFull"));
    queue_empty.set(getattr(asyncio, "QueueEmpty"));
}

// queue.put_nowait(item); false when the queue is full.
bool put_nowait(Handle queue, Handle item) {
    load_exceptions();
    try {
        call_method(queue, n_put_nowait, item);
        return true;
    } catch (PyError& e) {
        if (!e.matches(queue_full.ptr())) throw;
        return false;
    }
}
}  // namespace

bool offer(Handle queue, Handle line, Handle item) {
    if (length(line) != 0) return false;
    return put_nowait(queue, item);
}

void admit(Handle queue, Handle line) {
    while (length(line) != 0) {
        Ref head = check(PySequence_GetItem(line.ptr(), 0));
        if (!put_nowait(queue, head)) return;
        check(PySequence_DelItem(line.ptr(), 0));
    }
}

Ref take_queued(Handle queue) {
    load_exceptions();
    try {
        return call_method(queue, n_get_nowait);
    } catch (PyError& e) {
        if (!e.matches(queue_empty.ptr())) throw;
        return Ref();
    }
}

Ref take_waiting(Handle line) {
    if (length(line) == 0) return Ref();
    Ref head = check(PySequence_GetItem(line.ptr(), 0));
    check(PySequence_DelItem(line.ptr(), 0));
    return head;
}

bool bound_elsewhere(Handle queue, Handle loop) {
    PyObject* bound = nullptr;
    if (check(PyObject_GetOptionalAttr(queue.ptr(), n_loop.get().ptr(), &bound)) == 0) return false;
    Ref owner = Ref::steal(bound);
    return !owner.is_none() && !owner.is(loop);
}

void may_be_abandoned(Handle task) {
    if (PyObject_SetAttr(task.ptr(), n_log_destroy_pending.get().ptr(), Py_False) < 0) {
        // A task type without the flag (another event loop's own) reports as it will.
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) rethrow();
        PyErr_Clear();
    }
}

void close_abandoned(Handle task) {
    static Name n_done("done"), n_get_loop("get_loop"), n_is_closed("is_closed"), n_get_coro("get_coro"),
        n_close("close");
    if (!task || task.is_none() || truthy(call_method(task, n_done))) return;
    if (!truthy(call_method(call_method(task, n_get_loop), n_is_closed))) return;
    try {
        call_method(call_method(task, n_get_coro), n_close);
    } catch (PyError& e) {
        if (!e.matches(PyExc_Exception)) throw;  // the clean-up needed the closed loop
    }
}

void start_eagerly(Handle coroutine) {
    if (!is_bridge_coroutine(coroutine)) return;
    PyObject* yielded = nullptr;
    switch (PyIter_Send(coroutine.ptr(), Py_None, &yielded)) {
        case PYGEN_NEXT: {
            Ref first = Ref::steal(yielded);
            if (!first.is_none()) raise(PyExc_RuntimeError, "a consumer must first yield None");
            return;
        }
        case PYGEN_RETURN:
            Ref::steal(yielded).reset();  // ended at once: the Task will find it finished
            return;
        case PYGEN_ERROR:
            rethrow();
    }
}

}  // namespace service::handover
