// What a module does at the interpreter's exit and in a forked child, and
// which threads are still alive.
//
// Each module runs its own exit and fork work: the functions it registers
// with `at_exit` run in registration order from one `atexit` callback of the
// module (registered when the module is initialised, so it runs after the
// exit callbacks that the service registers later); those registered with
// `at_fork_child` run in order in the child after `os.fork`. A failure (an
// Exception) of one function is printed and the others still run.
#pragma once

#include "module.hpp"

#include <atomic>
#include <memory>

namespace binding {

using LifecycleHook = void (*)();

// Run `fn` at the interpreter's exit, after those registered before it.
void at_exit(LifecycleHook fn);
// Run `fn` in the child of a fork, after those registered before it.
void at_fork_child(LifecycleHook fn);

// The mark of a thread: alive until the thread has ended (set as the thread
// ends, from its thread-local storage; a thread ended by the interpreter's
// finalisation counts as ended too).
class ThreadMark {
public:
    bool alive() const noexcept { return alive_.load(std::memory_order_acquire); }

private:
    friend struct ThreadMarkHolder;
    std::atomic<bool> alive_{true};
};
using ThreadRef = std::shared_ptr<const ThreadMark>;

// The mark of the calling thread.
ThreadRef this_thread();

namespace detail {
// Called by ModuleInit before the module's own exec: the module's atexit and fork callbacks.
void install_lifecycle(Module m);
}  // namespace detail

}  // namespace binding
