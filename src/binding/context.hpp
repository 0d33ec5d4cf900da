// Context managers: `with` for plain C++ code and `async with` for the bodies
// of bridged coroutines, with the interpreter's rules: the special methods
// are looked up on the manager's type, `__exit__`/`__aexit__` gets the
// body's exception as (type, value, traceback), and a true result suppresses it.
//
//     Ref data = with_block(file, [&](Handle f) { return call(load, f); });
//
//     AsyncWith session(manager);                      // manager kept with hold()
//     Handle s = co_await hold(co_await session.enter());
//     std::optional<PyError> failure;
//     try { ... } catch (PyError& e) { failure.emplace(std::move(e)); }
//     session.leave(co_await session.exit(failure), failure);   // re-raised unless suppressed
#pragma once

#include "coroutine.hpp"
#include "names.hpp"

#include <optional>

namespace binding {

// The (type, value, traceback) triple that __exit__/__aexit__ receive.
struct ExcTriple {
    Ref type, value, traceback;
};
inline ExcTriple exc_triple(const std::optional<PyError>& error) {
    if (!error) return {none().ref(), none().ref(), none().ref()};
    Handle value = error->value();
    Ref tb = Ref::steal(PyException_GetTraceback(value.ptr()));
    return {Ref::borrow(reinterpret_cast<PyObject*>(value.type())), value.ref(), tb ? std::move(tb) : none().ref()};
}

// A special method of `obj`, looked up on its type as the statements do.
inline Ref special_method(Handle obj, const Name& name) {
    return getattr(Handle(reinterpret_cast<PyObject*>(obj.type())), name);
}

// `with manager as entered: return body(entered)`.
template <class Body>
Ref with_block(Handle manager, Body&& body) {
    Ref enter = special_method(manager, n_dunder_enter);
    Ref exit = special_method(manager, n_dunder_exit);
    Ref entered = call(enter, manager);
    Ref result;
    try {
        result = body(Handle(entered));
    } catch (PyError& e) {
        bool suppressed;
        {
            HandledScope scope(e);  // as inside the statement's own except clause
            ExcTriple t = exc_triple(e);
            suppressed = truthy(call(exit, manager, t.type, t.value, t.traceback));
        }
        if (!suppressed) throw;
        return none().ref();
    }
    call(exit, manager, none(), none(), none());
    return result;
}

// `async with manager:` in a bridged coroutine. The caller keeps the manager
// alive across the awaits (with hold()); this object keeps only the type's
// methods, which lead back to no coroutine.
class AsyncWith {
public:
    explicit AsyncWith(Handle manager)
        : manager_(manager),
          enter_(special_method(manager, n_dunder_aenter)),
          exit_(special_method(manager, n_dunder_aexit)) {}
    // The awaitable of manager.__aenter__().
    Ref enter() const { return call(enter_, manager_); }
    // The awaitable of manager.__aexit__(...) for the body's outcome.
    Ref exit(const std::optional<PyError>& error) const {
        ExcTriple t = exc_triple(error);
        return call(exit_, manager_, t.type, t.value, t.traceback);
    }
    // After awaiting exit(): re-raise the body's exception unless suppressed.
    static void leave(Handle exit_result, std::optional<PyError>& error) {
        if (error && !truthy(exit_result)) throw std::move(*error);
    }
    // Leave the block of a coroutine being closed (is_closing): the exit runs
    // as far as it can without waiting (enough for most managers to release
    // what they hold), is closed there, and the body's exception goes on.
    // Awaiting it would make the coroutine ignore GeneratorExit.
    [[noreturn]] void exit_closing(std::optional<PyError>& error) const {
        Ref awaitable = exit(error);
        Ref steps = is_bridge_coroutine(awaitable) || PyCoro_CheckExact(awaitable.ptr())
                        ? awaitable
                        : call(special_method(awaitable, n_dunder_await), awaitable);
        PyObject* out = nullptr;
        const PySendResult res = PyIter_Send(steps.ptr(), Py_None, &out);
        Ref result = Ref::steal(out);
        if (res == PYGEN_ERROR) {
            PyError failure = PyError::fetch();  // the exit's own failure: the close goes on
            if (!failure.matches(PyExc_Exception)) throw failure;
        } else if (res == PYGEN_NEXT) {
            if (Ref close = getattr_optional(steps, n_close)) {
                try {
                    call(close);
                } catch (PyError& e) {
                    if (!e.matches(PyExc_Exception)) throw;
                }
            }
        }
        throw std::move(*error);
    }

private:
    Handle manager_;
    Ref enter_, exit_;
};

}  // namespace binding
