// The asyncio channel of the asynchronous classes (AsyncLogger,
// GoogleChatAsyncMessenger): how an item handed to one of them reaches the
// consumer that writes or posts it, whatever thread, event loop or process
// the call comes from. The class says what it does with one item (a
// `ChannelKind`); every rule below is the channel's.
//
// - Home loop. A channel belongs to one event loop at a time, its home: the
//   loop its consumer runs on. It moves to another loop only when the home
//   loop no longer runs (stopped or closed); what the old loop left (an item
//   whose handling was cut short, the queue, the line, items handed over)
//   then comes first, in that order.
// - Hand-over during the call. On the home loop's thread an item enters the
//   class's `log_queue` during the call (put_nowait) when nothing waits before
//   it. Otherwise it waits for room in the line, as data tied to no coroutine
//   or loop (or the kind drops it, counted); the consumer admits waiting
//   items in order as room appears. Awaited puts (`_log_message`,
//   `_enqueue_message`) wait in a first-come turnstile per loop, ahead of the line.
// - Other threads. While the home loop runs, a call from another thread
//   appends the item to the inbox (appending to a list is atomic under the
//   interpreter lock) and wakes the home loop with call_soon_threadsafe, once
//   per batch; the home loop takes the batch in order. No other thread
//   touches the queue. Each thread's items keep their order.
// - Consumer. A call on the home loop starts a consumer when none is alive
//   there (one the service cancelled is replaced) through the class's own
//   `_ensure_queue_processing`; the consumer is run up to its first await at
//   once, so that a cancellation before the task's first turn reaches it.
// - Cancellation. A consumer cancelled while its loop goes on (the task that
//   started it is alive and not being cancelled) ends without handling
//   anything more; an item it had in hand goes back to the front. Cancelled
//   at the loop's end (asyncio.run cancels every task), it drains: it handles
//   everything held within `drain_seconds` in all. What the budget cuts off
//   is reported undelivered; what a second cancellation cuts off stays for
//   the next use of the channel. Later calls of the ending loop's shutdown
//   start no consumer: a synchronous kind writes at once, the other keeps
//   the item for the next use (a later loop, a plain call, the exit).
// - Exit and fork. At interpreter exit whatever a channel holds is handled
//   (a synchronous kind writes it; the other is drained on a private loop).
//   A forked child starts with empty channels: what the parent accepted stays
//   the parent's.
#pragma once

#include "binding/coroutine.hpp"
#include "binding/module.hpp"

namespace service {
using namespace binding;

// What an asynchronous class does with its items.
class ChannelKind {
public:
    explicit constexpr ChannelKind(bool synchronous) noexcept : synchronous(synchronous) {}
    // handle() writes at once and never returns an awaitable.
    const bool synchronous;

    // Start a consumer of `self` on the running loop (the class's
    // _ensure_queue_processing, which calls consumer_task()).
    virtual void start_consumer(Handle self) const = 0;
    // The consumer tasks of `self` that the class keeps (a list), and
    // forgetting them (in a forked child).
    virtual Ref consumer_tasks(Handle self) const = 0;
    virtual void forget_consumers(Handle self) const = 0;
    // Handle one item: null when it is done, else the awaitable that does it.
    virtual Ref handle(Handle self, Handle item) const = 0;
    // The queue is full: false drops `item` (counted) instead of keeping it waiting.
    virtual bool waits_for_room(Handle) const { return true; }
    // The item that reports `count` dropped items (only kinds that drop).
    virtual Ref drop_report(Py_ssize_t) const { return Ref(); }
    // An item a drain could not handle within its budget.
    virtual void undelivered(Handle, Handle) const {}

protected:
    ~ChannelKind() = default;
};

namespace channel {

// Seconds a drain (at a loop's end, on a private loop, at exit) may take in all.
constexpr long long drain_seconds = 10;

// Set up the channels of `module`'s class of `kind` (one kind per module):
// the wake-up callback, and the hooks at interpreter exit and in a forked
// child (`after_fork`, if given, resets the module's own state there too).
void install(Module module, const ChannelKind& kind, void (*after_fork)() = nullptr);

// The loop running in this thread (asyncio.get_running_loop()), or null.
Ref running_loop(Handle asyncio);

// Called by the class's __init__: `self` gets its channel (kept in its
// `_channel` attribute; made on first use for objects built otherwise).
void attach(Handle self);

// An item from a call on this thread; `loop` is the thread's running loop
// (null when none runs). On the home loop's thread it is queued, waits for
// room, or is dropped by the kind's rule (on a loop whose end drained the
// channel, it is written at once or kept for the next use); from another
// thread while the home loop runs it is handed over. Otherwise the home moves
// to `loop`, or, with no loop here, everything is delivered here (deliver_here).
void submit(Handle self, Handle item, Handle loop, Handle asyncio);

// Post everything `self` holds, then `item` (may be null), on a private event
// loop that is the home while it runs, before returning; the thread's current
// loop is left as it was.
void deliver_here(Handle self, Handle item, Handle asyncio);

// The body of the awaited put (`_log_message`, `_enqueue_message`; self is
// a[0]): `item` into the queue on the running loop, waiting in that loop's
// turnstile when the queue is full or others of the loop wait first (a kind
// that drops `item` drops it instead). It starts no consumer.
Async put(const Args& a, Ref item);

// The body of `_process_log_queue` (self is a[0]): the consumer.
Async consume(const Args& a);

// For `_ensure_queue_processing`: run `consumer` up to its first await and
// make it a task of `loop`, one that asyncio may drop quietly with a closed
// loop; it serves the channel when `loop` is its home (or it has none yet).
// Null when the coroutine ended at once (no task: a Task would fail on a
// finished coroutine).
Ref consumer_task(Handle self, Handle loop, Handle consumer);

// The item the consumer of `self` is handling has been delivered: a
// cancellation from now on does not hand it over again.
void delivered(Handle self);

}  // namespace channel
}  // namespace service
