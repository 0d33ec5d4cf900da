// The parts of the asyncio channel (channel.hpp) that its two units share:
// channel.cpp (the state, the routes of an item, the claim, the private
// delivery, the exit and a fork) and channel_consumer.cpp (the consumer, the
// posts in flight, the drains, the end watch, the awaited put). Internal to
// the service layer.
//
// Thread safety rests on the interpreter lock: C++ code that calls no Python
// code runs without another thread in between. So the decisions that other
// threads race for (appending to the inbox, taking the home, starting a
// private delivery) are made in such stretches, against the channel's
// `epoch`, which grows whenever the home or the delivering thread changes.
#pragma once

#include "service/channel.hpp"

#include "binding/lifecycle.hpp"
#include "binding/names.hpp"
#include "binding/native.hpp"

namespace service::channel::detail {

// Names both units use (names.hpp holds those that others use too).
inline Name n_task_done("task_done");
inline Name n_create_task("create_task");
inline Name n_call_soon_threadsafe("call_soon_threadsafe");

// --- the state of one channel ----------------------------------------------------

struct State {
    static constexpr const char* type_name = "veltrano_python_configuration.channel";

    // The home: the loop serving the channel (null: none), the thread that
    // runs it, whether its end was signalled, and the end watch registered on
    // it (the loop keeps the watch only weakly).
    Ref home;
    ThreadRef home_thread;
    bool home_ended = false;
    Ref watch;
    // The consumers serving the home, known before their first step: a list
    // of [coroutine, task] (the task once made), and how many of them are
    // ours (each removes itself as it ends; another kind of coroutine is
    // judged by its task).
    Ref consumers;
    int own_consumers = 0;
    // Posts in flight (Flight objects), in the order they started.
    Ref flights;
    // Entries waiting: handed over by other threads and loops, and waiting
    // for room in the queue (an entry is an item, or the Ticket of a caller
    // waiting for its item); the turns of awaited puts waiting for room on
    // the home loop (futures: first come, first served, ahead of the line).
    Ref inbox, line, waiters;
    Py_ssize_t dropped = 0;  // items the kind dropped since the last report
    // The thread making a private delivery (null: none).
    ThreadRef delivering;
    bool wake_pending = false;  // a wake-up of the home loop is on its way
    unsigned long long epoch = 0;

    void traverse(const Visit& visit) const {
        for (const Ref* r : {&home, &watch, &consumers, &flights, &inbox, &line, &waiters}) visit(*r);
    }
    void clear() {
        for (Ref* r : {&home, &watch, &consumers, &flights, &inbox, &line, &waiters}) r->reset();
    }
    static PyGetSetDef* getset();
};

// A post in flight: the item, the awaitable handling it, the loop and the
// task running it, the queue owed a task_done (null: none), the ticket of a
// caller waiting for it, and the futures of those waiting for its end.
struct Flight {
    static constexpr const char* type_name = "veltrano_python_configuration.channel_flight";
    enum class Stage { Posting, Done, Cut };

    Ref item, awaitable, loop, task, queue, ticket, waiters;
    ThreadRef thread;  // the thread running the loop
    Stage stage = Stage::Posting;
    bool deadline = false;   // a drain's deadline cancels it
    bool delivered = false;  // the webhook has it (the kind said so): never posted again

    void traverse(const Visit& visit) const {
        for (const Ref* r : {&item, &awaitable, &loop, &task, &queue, &ticket, &waiters}) visit(*r);
    }
    void clear() {
        for (Ref* r : {&item, &awaitable, &loop, &task, &queue, &ticket, &waiters}) r->reset();
    }
};

// A caller without a loop waiting for its item (null: only for the
// delivery's end) to be handled by another thread: the item and a lock held
// until the caller is woken.
struct Ticket {
    static constexpr const char* type_name = "veltrano_python_configuration.channel_ticket";
    enum class Stage {
        Waiting,   // in the channel
        Handled,   // written, posted or reported
        Accepted,  // taken into a running home loop's queue
        Returned,  // the delivery that had it ended: it is the channel's again
    };

    Ref item, lock;
    Stage stage = Stage::Waiting;
    bool locked = false;

    void traverse(const Visit& visit) const { visit(item), visit(lock); }
    void clear() { item.reset(), lock.reset(); }
};

// A channel in use: the object is held while its state is, since the code
// below runs Python code that could drop the owner's reference to it.
struct Chan {
    Ref object;
    State* s;
    State* operator->() const noexcept { return s; }
};

// The channel of `self`: its `_channel` attribute (made on first use).
Chan chan(Handle self);

// --- what install() sets up ----------------------------------------------------------

// The channels' state in a module (this layer is linked into each module on
// its own). Plain statics serve: the module is initialised once per process
// and into one interpreter only, and every use holds the interpreter lock.
struct Installed {
    const ChannelKind* kind = nullptr;  // the module's one kind of channel
    Forever live;                       // a WeakSet of the owners, for the exit and a fork
    Forever wake_function, exit_request_function, drain_function, flight_function, watch_class;
    Forever cancelled_error, queue_full, queue_empty;
};
extern Installed installed;

inline const ChannelKind& kind() { return *installed.kind; }

// How a drain was started (its second argument).
enum class DrainMode : long {
    LoopEnd = 0,  // the home loop's end (the end watch's aclose)
    Private = 1,  // a private delivery: everything held, on a private loop
    Exit = 2,     // the exit asked the home loop to drain (its third argument is a Ticket)
};

// Called by install(): the functions of channel_consumer.cpp that the
// channel schedules (the drain, the flight, the end watch's class), made
// with `module` into `installed`.
void install_consumer(Module module);

// --- helpers of channel.cpp that the consumer uses ---------------------------------

// The entry of every item (channel.hpp's table). For an awaited put that
// must wait for room on the home loop, the item is returned (else null).
Ref enter(Handle self, Handle item, Handle loop, Handle asyncio, bool awaited);
// Make `loop` (running on this thread) the home, unless the channel changed since `epoch` was read.
bool claim(const Chan& c, Handle self, Handle loop, unsigned long long epoch, Handle asyncio);
Ref queue_of(Handle self);
bool is_closed(Handle loop);
// `future.set_result(None)` unless it is done (a cancelled await) or its loop is closed.
void resolve(Handle future);
// Index of the first awaited put of `loop` in the turnstile, or -1.
Py_ssize_t first_waiter(Handle waiters, Handle loop);
// Leave the turnstile, handing the turn to the next waiter of the same loop.
void leave_turnstile(Handle waiters, Handle turn, Handle loop);
// Move waiting items into the queue while it has room; then the report of drops.
void admit(const Chan& c, Handle queue);
// The next item `self` holds, for a drain or a delivery: from the queue
// (`queue` is then set: it is owed a task_done), the line, the inbox (for a
// Ticket, its item, with `ticket` set), then the report of dropped items;
// null when nothing is left, or for a ticket without an item.
Ref take_next(const Chan& c, Handle self, Ref& queue, Ref& ticket);
// Wake the caller waiting on `ticket` (a Ticket, or null) with its outcome.
void signal(Handle ticket, Ticket::Stage stage);
// Put `items` (a list of entries) in front of everything waiting.
void put_in_front(const Chan& c, Handle items);
// `front` (entries older than everything queued), then what the queue
// holds, in front of the line (the queue's items leave it: only the home
// loop's thread, or one that took the channel over, may call this).
void requeue(const Chan& c, Handle self, Handle front);
// End a private delivery when nothing more was handed to it (atomic); false otherwise.
bool release_if_idle(const Chan& c);
// End a private delivery now: tickets still held are returned to their callers.
void release(const Chan& c);

// --- helpers of channel_consumer.cpp that channel.cpp uses --------------------------

Flight* flight_of(Handle obj);
// Cut the posts in flight that no running loop will finish (on a closed loop
// or one whose thread has ended; with `keep_loop` given, on any loop but that
// one; with `every_loop`, all): each is stopped quietly and what it carried
// is appended to `front`.
void cut_flights(const Chan& c, Handle self, Handle keep_loop, bool every_loop, Handle front);
// Run a consumer coroutine of ours up to its first suspension; false when it ended at once.
bool start_eagerly(Handle coroutine);
// A consumer serves the home.
bool has_consumer(const Chan& c);
// Register the end watch of the channel on `loop` (running on this thread).
void watch_home(const Chan& c, Handle self, Handle loop);

}  // namespace service::channel::detail
