// The asyncio channel of the asynchronous classes (AsyncLogger,
// GoogleChatAsyncMessenger): how an item handed to one of them reaches the
// consumer that writes or posts it, whatever thread, event loop or process
// the call comes from. The class says what it does with one item (a
// `ChannelKind`); every rule below is the channel's, and each fact it acts
// on is recorded where it happens, never deduced later from asyncio's flags.
//
// The home. A channel is served by one event loop at a time, its home: the
// loop on whose thread a call last took the channel, which runs its
// consumer. The home is alive until one of these facts is known:
//   ended    its end was signalled: the loop's shutdown_asyncgens() closed
//            the end watch the channel registered on it (asyncio.run,
//            uvloop.run and aiohttp's server worker all call it)
//   closed   loop.is_closed(), asked when the channel is used
//   orphaned the thread that ran it has ended (the thread's mark)
// A stopped loop of a live thread stays home: items handed to it wait for
// its next step (or the exit).
//
// Where an item goes (submit, and the awaited put, which is the same entry):
//
//   the call comes from                      | the item
//   -----------------------------------------+------------------------------------------
//   the home loop (running)                  | enters log_queue, or waits in the line
//                                            | for room (or the kind drops it, counted);
//                                            | a consumer is started when none runs there
//   the home loop after its end began        | a synchronous kind writes it now (after
//                                            | what is held); the other keeps it in the
//                                            | line for the drain, the next use or the exit
//   another thread, home alive               | appended to the inbox; the home loop is
//                                            | woken (call_soon_threadsafe, once per batch)
//                                            | and takes the batch in order
//   a thread delivering privately (below)    | appended to its inbox; a caller without a
//                                            | loop waits until its own item is handled
//   a running loop, home not alive, or the   | the home moves to this loop (claim): what
//   home loop's own thread while that loop   | the old home left comes first, posts it had
//   is not the one running                   | in flight are cut and posted again
//   no running loop, home not alive or       | a private delivery on this thread: all that
//   this thread's own stopped loop           | is held, then the item, before returning (a
//                                            | synchronous kind writes; the other posts on
//                                            | a private loop), within the drain's budget
//
// Items (each carries its own state): queued (log_queue, the line, the
// inbox) -> in flight (a kind whose handling awaits: a Flight, with its own
// task) -> posted, reported undelivered, or cut. Only the home loop's thread
// touches the home's log_queue; the line and the inbox are plain lists that
// any thread may take from while it holds the interpreter lock.
//
// Events:
//   consumer cancelled (by anyone)  it stops; what is queued stays queued, a
//                                   post in flight finishes (it is not part
//                                   of the consumer's task); the next call
//                                   on the home starts a new consumer, which
//                                   first waits for that post
//   the home loop's end signalled   the drain: the consumer is stopped, the
//                                   post in flight finishes, everything held
//                                   is handled, within drain_seconds in all;
//                                   what the budget leaves is reported
//                                   undelivered (a post the deadline cuts may
//                                   also have been posted); a second
//                                   cancellation leaves the rest for later
//   interpreter exit                a home alive and running in another
//                                   thread is asked to drain (and awaited,
//                                   within the budget); otherwise everything
//                                   held is delivered here, posts in flight
//                                   on loops that will not run again cut
//   fork (in the child)             the channel starts empty: what the parent
//                                   accepted stays the parent's
//
// Order: each producer's items keep their order in every phase.
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
    // Forget the consumer tasks the class keeps (in a forked child).
    virtual void forget_consumers(Handle self) const = 0;
    // Handle one item: null when it is done, else the awaitable that does it.
    virtual Ref handle(Handle self, Handle item) const = 0;
    // The queue is full: false drops `item` (counted) instead of keeping it waiting.
    virtual bool waits_for_room(Handle) const { return true; }
    // The item that reports `count` dropped items (only kinds that drop).
    virtual Ref drop_report(Py_ssize_t) const { return Ref(); }
    // An item that could not be handled within the drain's budget.
    virtual void undelivered(Handle, Handle) const {}

protected:
    ~ChannelKind() = default;
};

namespace channel {

// Seconds a drain (at a loop's end, a private delivery, the exit) may take in all.
constexpr long long drain_seconds = 10;

// Set up the channels of `module`'s class of `kind` (one kind per module):
// the functions the channel schedules, its exit and fork work.
void install(Module module, const ChannelKind& kind);

// The loop running in this thread (asyncio.get_running_loop()), or null.
Ref running_loop(Handle asyncio);

// Called by the class's __init__: `self` gets its channel (kept in its
// `_channel` attribute; made on first use for objects built otherwise).
void attach(Handle self);

// An item from a call on this thread; `loop` is the thread's running loop
// (null when none runs). Where it goes: the table above.
void submit(Handle self, Handle item, Handle loop, Handle asyncio);

// The body of the awaited put (`_log_message`, `_enqueue_message`; self is
// a[0]): `item` goes where submit() sends it; on the home loop an item that
// waits for room is awaited until it enters the queue (cancelling the await
// leaves it waiting, as data).
Async put(const Args& a, Ref item);

// The body of `_process_log_queue` (self is a[0]): the consumer.
Async consume(const Args& a);

// For a kind whose handling awaits: the item the running task handles has
// reached its destination (an HTTP post was answered), so a cancellation
// reaching that handling from now on does not make it handled again.
void delivered(Handle self, Handle asyncio);

// True when the consumer serving `self` runs on `loop`.
bool serves(Handle self, Handle loop);

// For `_ensure_queue_processing`: `consumer` (a `_process_log_queue()`
// coroutine) becomes the channel's consumer when `loop` is its home (known
// before its first step), is run up to its first await, and is made a task
// of `loop`, one that asyncio may drop quietly with a closed loop. Null when
// the coroutine ended at once (no task: a Task would fail on it).
Ref consumer_task(Handle self, Handle loop, Handle consumer);

}  // namespace channel
}  // namespace service
