// The parts of the asyncio channel (channel.hpp) that its two units share:
// channel.cpp (the state, the queue and the line, the hand-over between
// threads, the exit and a fork) and channel_consumer.cpp (the consumer, the
// drains, the awaited put). Internal to the service layer.
//
// Thread safety rests on the interpreter lock: C++ code that calls no Python
// code runs without another thread in between. So the decisions that other
// threads race for (appending to the inbox, taking the home over) are made
// in such stretches, against a `settling` flag and the channel's `epoch`,
// which grows whenever the home changes hands.
#pragma once

#include "service/channel.hpp"

#include "binding/names.hpp"
#include "binding/native.hpp"

namespace service::channel::detail {

// Names both units use.
inline Name n_asyncio("asyncio");
inline Name n_task_done("task_done");
inline Name n_get_running_loop("get_running_loop");
inline Name n_current_task("current_task");
inline Name n_get_loop("get_loop");

// --- the state of one channel ------------------------------------------------

struct State {
    static constexpr const char* type_name = "veltrano_python_configuration.channel";

    Ref home;      // the loop whose consumer serves the channel; null: none
    Ref consumer;  // the consumer task serving the home (null: none started)
    Ref ended;     // the home loop, once its end drained the channel
    Ref inbox;     // items handed over by other threads, in arrival order
    Ref line;      // items waiting for room in the queue, in arrival order
    Ref waiters;   // futures of awaited puts waiting for room (a line per loop)
    Ref in_hand;   // the item the consumer or a drain is handling
    bool in_hand_queued = false;  // ... taken from the queue: task_done is owed
    bool delivered = false;       // ... delivered already: never handed over again
    bool settling = false;        // a thread is taking the home over
    bool wake_pending = false;    // a wake-up of the home loop is on its way
    unsigned long long epoch = 0;
    Py_ssize_t dropped = 0;  // items the kind dropped since the last report

    void traverse(const Visit& visit) const {
        for (const Ref* r : {&home, &consumer, &ended, &inbox, &line, &waiters, &in_hand}) visit(*r);
    }
    void clear() noexcept {
        for (Ref* r : {&home, &consumer, &ended, &inbox, &line, &waiters, &in_hand}) r->reset();
    }
    // Back to a new channel's state (lists made again when first used).
    void reset() noexcept {
        clear();
        in_hand_queued = delivered = settling = wake_pending = false;
        dropped = 0;
        ++epoch;
    }
    static PyGetSetDef* getset();
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

// --- what install() sets up ----------------------------------------------------

// The channels' state in a module (this layer is linked into each module on
// its own). Plain statics serve: the module is initialised once per process
// and into one interpreter only (binding/module.hpp refuses a second
// initialisation and a second interpreter), and every use holds the
// interpreter lock.
struct Installed {
    const ChannelKind* kind = nullptr;      // the module's one kind of channel
    void (*after_fork)() = nullptr;         // the module's own reset in a forked child
    Forever live;                           // a WeakSet of the owners, for the exit and a fork
    Forever wake_function, drain_function;  // the callback and the coroutine function made with the module
    Forever cancelled_error, queue_full, queue_empty;
};
extern Installed installed;

inline const ChannelKind& kind() { return *installed.kind; }

// The coroutine function of the drains (channel_consumer.cpp), made with the module by install().
extern const FunctionSpec drain_spec;

// --- helpers of channel.cpp that the consumer uses -------------------------------

Ref queue_of(Handle self);
// The task runs and nobody is cancelling it.
bool goes_on(Handle task);
// Index of the first awaited put of `loop` in the turnstile, or -1.
Py_ssize_t first_waiter(Handle waiters, Handle loop);
// Leave the turnstile, handing the turn to the next waiter of the same loop.
void leave_turnstile(Handle waiters, Handle turn, Handle loop);
// Waiting items into the queue while it has room; then the report of drops.
void admit(const Chan& c, Handle queue, Handle loop);
// What a cut-short consumer or drain had in hand back in front of everything.
void requeue(const Chan& c, Handle self, bool rebind, Handle asyncio);
// The next item `self` holds, for a drain (null when nothing is left).
Ref take_next(const Chan& c, Handle self, bool& queued);
// The handling of the item in hand is over.
void finish_in_hand(const Chan& c, Handle self);

// --- helpers of channel_consumer.cpp that channel.cpp uses -----------------------

// Run a consumer coroutine of ours up to its first suspension; false when it ended at once.
bool start_eagerly(Handle coroutine);

}  // namespace service::channel::detail
