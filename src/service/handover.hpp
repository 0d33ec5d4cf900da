// Handing items to an asyncio.Queue from synchronous code on the loop's
// thread, with the items that find the queue full kept as data.
//
// A producer calls `offer` during its own call: the item goes straight into
// the queue when nothing waits before it and the queue has room. Otherwise the
// producer decides: drop it, or append it to its line (a list) of items
// waiting for room. No coroutine, future or loop belongs to a waiting item, so
// nothing is lost with a loop: the consumer calls `admit` after each item it
// takes, which moves waiting items into the queue in arrival order, and the
// code that ends a loop (or the process) takes what is left with
// `take_queued` and `take_waiting` and handles it itself.
//
// An asyncio.Queue binds itself to the loop on which a get or put first had
// to wait, and can serve no other loop after that; `queue_for_loop` tells
// when a fresh queue is needed.
#pragma once

#include "binding/call.hpp"

namespace service::handover {
using namespace binding;

// Put `item` into `queue` now when `line` is empty and the queue has room
// (put_nowait); true when it was put.
bool offer(Handle queue, Handle line, Handle item);

// Move items from the head of `line` into `queue` while it has room.
void admit(Handle queue, Handle line);

// The next item of `queue` (get_nowait), or null when it is empty. The caller
// calls task_done once it has handled the item.
Ref take_queued(Handle queue);

// The item at the head of `line`, removed; null when the line is empty.
Ref take_waiting(Handle line);

// True when `queue` is an asyncio queue already bound to a loop other than
// `loop` (it would refuse to wait on `loop`).
bool bound_elsewhere(Handle queue, Handle loop);

// Mark an endless consumer task as one that may be abandoned pending with its
// loop (a loop closed by hand): asyncio then does not report it as destroyed
// while pending. Whatever it had not handled stays as data in its queue.
void may_be_abandoned(Handle task);

// At exit: close the coroutine of a task left pending on a closed loop, so
// that its clean-up (which cannot reach the closed loop) fails here, quietly,
// rather than later as an "exception ignored" report. Other tasks are left alone.
void close_abandoned(Handle task);

// At interpreter exit: call `fn` with each object of `objects` (a WeakSet),
// each on its own: a failure (an Exception) is printed and the others still run.
template <class F>
void for_each_at_exit(Handle objects, F&& fn) {
    Ref snapshot = check(PySequence_List(objects.ptr()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(snapshot.ptr()); ++i) {
        try {
            fn(Handle(PyList_GET_ITEM(snapshot.ptr(), i)));
        } catch (PyError& e) {
            if (!e.matches(PyExc_Exception)) throw;
            PyErr_DisplayException(e.value().ptr());
        }
    }
}

// Run `coroutine` (one of ours) up to its first suspension before a Task
// takes it over, so that a cancellation arriving before the Task's first step
// still reaches its body, which can then hand over what it holds. The body
// must start with an await that yields once (asyncio.sleep(0)). Other
// coroutines are left as they are.
void start_eagerly(Handle coroutine);

}  // namespace service::handover
