// The exit and fork hooks of a module, and the thread marks (lifecycle.hpp).
#include "lifecycle.hpp"

#include "names.hpp"

#include <vector>

namespace binding {
namespace {

// The module's hooks (this layer is linked into each module on its own, and
// a module is initialised once per process: plain statics serve).
std::vector<LifecycleHook> exit_hooks, fork_hooks;

Name n_register("register");
Name n_register_at_fork("register_at_fork");
Name n_after_in_child("after_in_child");

// Run each hook; an Exception of one is printed and the others still run.
void run_all(const std::vector<LifecycleHook>& hooks) {
    for (LifecycleHook hook : hooks) {
        try {
            hook();
        } catch (PyError& e) {
            if (!e.matches(PyExc_Exception)) throw;
            PyErr_DisplayException(e.value().ptr());
        }
    }
}

Ref on_exit(const Args&) {
    run_all(exit_hooks);
    return none().ref();
}

Ref on_fork_child(const Args&) {
    run_all(fork_hooks);
    return none().ref();
}

const FunctionSpec on_exit_spec{.name = "_at_exit", .returns = "None", .body = on_exit};
const FunctionSpec on_fork_child_spec{.name = "_at_fork_child", .returns = "None", .body = on_fork_child};

}  // namespace

void at_exit(LifecycleHook fn) { exit_hooks.push_back(fn); }
void at_fork_child(LifecycleHook fn) { fork_hooks.push_back(fn); }

// The thread-local holder of a thread's mark: its destructor runs as the
// thread ends (it touches no Python object).
struct ThreadMarkHolder {
    std::shared_ptr<ThreadMark> mark = std::make_shared<ThreadMark>();
    ~ThreadMarkHolder() { mark->alive_.store(false, std::memory_order_release); }
};

ThreadRef this_thread() {
    thread_local ThreadMarkHolder holder;
    return holder.mark;
}

namespace detail {

void install_lifecycle(Module m) {
    call_method(import("atexit"), n_register, m.function(on_exit_spec));
    call_method(import("os"), n_register_at_fork, kw(n_after_in_child, m.function(on_fork_child_spec)));
}

}  // namespace detail
}  // namespace binding
