// Python errors as C++ exceptions.
//
// A `PyError` owns the raised exception object: it is taken out of the error
// indicator when the C++ exception is thrown, so no Python error is pending
// while destructors run during unwinding, and it is put back at the boundary
// (`boundary`), where every slot function and vectorcall entry ends.
//
// A thread ended in the middle of our code (pthread_exit, with which CPython
// ends daemon threads during finalisation, a forced unwind that GNU's runtime
// shows as abi::__forced_unwind) never reaches a catch clause or a destructor
// of ours: binding/thread_end.cpp passes it over every frame. So the
// catch-alls here and elsewhere neither see nor rethrow it.
#pragma once

#include "ref.hpp"

#include <exception>
#include <new>

namespace binding {

// Not a std::exception: its destructor releases a reference, which may run
// Python code, so it cannot be the `noexcept` one std::exception requires.
class PyError {
public:
    explicit PyError(Ref exc) noexcept : exc_(std::move(exc)) {}

    // Take the currently raised exception (SystemError if none is set).
    static PyError fetch() noexcept;

    Handle value() const noexcept { return exc_; }
    // True when the exception is an instance of `type` (or a tuple of types).
    bool matches(PyObject* type) const noexcept { return PyErr_GivenExceptionMatches(exc_.ptr(), type) != 0; }
    // Hand the exception back to the interpreter's error indicator.
    void restore() && { PyErr_SetRaisedException(exc_.release()); }

private:
    Ref exc_;
};

// Throw the exception currently raised in the interpreter.
[[noreturn]] void rethrow();
// Raise `type` with a printf-style message (PyErr_Format) and throw it.
[[noreturn]] void raise(PyObject* type, const char* format, ...);
// Raise an existing exception object (or class).
[[noreturn]] void raise_object(Handle exc);

// Check a C-API result: a new reference (null means an error was raised).
inline Ref check(PyObject* result) {
    if (!result) rethrow();
    return Ref::steal(result);
}
// Check a C-API status result (-1 means an error was raised).
inline int check(int status) {
    if (status == -1 && PyErr_Occurred()) rethrow();
    return status;
}

// Make `error` the handled exception (what `sys.exception()` and
// `sys.exc_info()` return) for the lifetime of the scope, as a Python
// `except` block does; the previous one comes back at the end.
class HandledScope {
public:
    explicit HandledScope(const PyError& error);
    ~HandledScope() noexcept(false);
    HandledScope(const HandledScope&) = delete;
    HandledScope& operator=(const HandledScope&) = delete;

private:
    Ref previous_;
};

// Put the C++ exception in flight back into the interpreter's error
// indicator (PyError as itself, anything else as a Python error). Called in
// a catch clause.
void set_error_from_current_exception();

// Run `body`; a C++ exception becomes the Python error indicator and
// `on_error` is returned instead. Every entry point from the interpreter
// into our code goes through here.
template <class R, class F>
R boundary(R on_error, F&& body) {
    try {
        return body();
    } catch (...) {  // never a thread's forced end (binding/thread_end.cpp)
        set_error_from_current_exception();
    }
    return on_error;
}

}  // namespace binding
