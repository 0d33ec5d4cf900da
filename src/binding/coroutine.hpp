// The coroutine bridge: C++20 coroutines exposed as Python coroutine objects.
//
// An `async def` is written as a C++ coroutine returning `Async`:
//
//     Async consume(const Args& a) {
//         for (;;) {
//             Ref item = co_await call_method(queue, n_get);   // await queue.get()
//             try { co_await call(send, item); }               // try: await send(item)
//             catch (PyError& e) { if (!e.matches(PyExc_Exception)) throw; ... }
//         }
//     }
//
// and registered through `FunctionSpec::async_body`. Calling the function
// object checks and binds the arguments and returns a Python coroutine object
// (not started: nothing runs until the first send, as in Python). That object
// implements the coroutine protocol (`am_send`, `send`, `throw`, `close`,
// `__await__`), so asyncio accepts it as a coroutine: `await`, `create_task`
// and `run_coroutine_threadsafe` drive it.
//
// `co_await x` accepts any Python awaitable. The Python object runs one
// resume core: while the C++ body waits at a `co_await`, values and
// exceptions sent in go to the awaited object's iterator (the delegate); what
// it yields goes out unchanged (normally a Future); its result or exception
// comes back to the body at the `co_await`. An exception thrown into the body
// arrives as a `PyError`; `co_return value` ends the coroutine with `value`.
// Any other C++ exception, leaving the body or a step of the core, ends the
// coroutine with it as a Python error (SystemError; MemoryError for
// std::bad_alloc).
//
// Ownership: the Python object owns the frame and the bound arguments (which
// the garbage collector sees); the frame only borrows them through `Args`.
// Locals of the C++ body live in the frame and are released when it ends or
// when the object is destroyed. The collector does not see them: a body that
// holds an object across a `co_await`, when that object may lead back to the
// coroutine (a Future whose callbacks wake the Task running it, a queue the
// coroutine's arguments own), keeps it with `hold`, which stores it in the
// coroutine object where the collector sees it:
//
//     Handle turn = co_await hold(call_method(loop, n_create_future));
//
// The awaited object itself is safe: `co_await expr` moves a temporary `Ref`
// into the coroutine object. Other temporaries of the same full-expression
// (`co_await call_method(getattr(self, n_log_queue), n_get)` keeps the
// queue) live in the frame until the expression ends, so build such awaitables
// in a helper function that returns only the awaitable.
#pragma once

#include "function.hpp"

#include <coroutine>
#include <exception>

namespace binding {

// An object for the coroutine to keep until it ends, where the garbage
// collector sees it: `Handle h = co_await hold(ref);` (no suspension).
struct Hold {
    Ref object;
};
inline Hold hold(Ref object) noexcept { return Hold{std::move(object)}; }

class Async {
public:
    struct promise_type;
    using handle_type = std::coroutine_handle<promise_type>;

    // What a `co_await` hands over and gets back; owned by the Python object.
    struct Awaiter;
    struct HoldAwaiter;

    struct promise_type {
        Ref awaiting;   // the awaitable the body is suspended on
        Ref delivered;  // result sent back to the body at its co_await ...
        Ref thrown;     // ... or the exception thrown in there
        Ref result;     // the value of co_return
        Ref held;       // a list of what `hold` keeps (null until first used)
        std::exception_ptr error;

        Async get_return_object() noexcept { return Async(handle_type::from_promise(*this)); }
        std::suspend_always initial_suspend() noexcept { return {}; }
        std::suspend_always final_suspend() noexcept { return {}; }
        void return_value(Handle value) { result = value.ref(); }
        // Called in the body's implicit catch clause: the exception ends the
        // body. (A thread's forced end never comes here: binding/thread_end.cpp.)
        void unhandled_exception() { error = std::current_exception(); }
        Awaiter await_transform(Handle awaitable) noexcept;
        Awaiter await_transform(Ref&& awaitable) noexcept;  // a temporary: taken over, not copied
        HoldAwaiter await_transform(Hold h) noexcept;
    };

    struct Awaiter {
        promise_type& promise;
        Ref target;
        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<>) noexcept { promise.awaiting = std::move(target); }
        Ref await_resume() {
            if (promise.thrown) throw PyError(std::move(promise.thrown));
            return std::move(promise.delivered);
        }
    };

    struct HoldAwaiter {
        promise_type& promise;
        Ref object;
        bool await_ready() const noexcept { return true; }
        void await_suspend(std::coroutine_handle<>) noexcept {}
        Handle await_resume() {
            if (!promise.held) promise.held = new_list();
            Handle h = object;
            list_append(promise.held, object);
            return h;
        }
    };

    Async(Async&& o) noexcept : frame_(std::exchange(o.frame_, {})) {}
    Async(const Async&) = delete;
    ~Async() {
        if (frame_) frame_.destroy();
    }
    handle_type release() noexcept { return std::exchange(frame_, {}); }

private:
    explicit Async(handle_type h) noexcept : frame_(h) {}
    handle_type frame_;
};

inline Async::Awaiter Async::promise_type::await_transform(Handle awaitable) noexcept {
    return Awaiter{*this, awaitable.ref()};
}
inline Async::Awaiter Async::promise_type::await_transform(Ref&& awaitable) noexcept {
    return Awaiter{*this, std::move(awaitable)};
}
inline Async::HoldAwaiter Async::promise_type::await_transform(Hold h) noexcept {
    return HoldAwaiter{*this, std::move(h.object)};
}

// True for the coroutine objects made by this bridge.
bool is_bridge_coroutine(Handle obj) noexcept;
// True while close() runs `coroutine` (one of ours): its body is unwinding
// and can await nothing more (whatever exception its awaits now raise).
bool is_closing(Handle coroutine) noexcept;

}  // namespace binding
