// Handles to Python objects: `Handle` borrows, `Ref` owns.
//
// Ownership is stated where a raw pointer enters C++: `Ref::steal(p)` takes
// over a new reference (what most C-API calls return), `Ref::borrow(p)` adds
// one. Neither converts implicitly from a raw pointer or from 0.
//
// Releasing a reference can run Python code (a __del__, a socket's close),
// which can raise or end the thread, so nothing that releases a reference is
// `noexcept`. (A thread that the interpreter's finalisation ends runs none of
// our destructors: binding/thread_end.cpp.)
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace binding {

class Ref;

// A non-owning pointer to a Python object (may be null).
class Handle {
public:
    constexpr Handle() noexcept = default;
    explicit constexpr Handle(PyObject* p) noexcept : p_(p) {}

    PyObject* ptr() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    bool is(Handle other) const noexcept { return p_ == other.p_; }
    bool is_none() const noexcept { return p_ == Py_None; }
    PyTypeObject* type() const noexcept { return Py_TYPE(p_); }

    // A new owning reference to the same object.
    Ref ref() const noexcept;

protected:
    PyObject* p_ = nullptr;
};

// An owning reference: the destructor releases it. Copies add a reference.
class Ref : public Handle {
public:
    constexpr Ref() noexcept = default;
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    Ref(const Ref& o) noexcept : Handle(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : Handle(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref o) {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Ref() noexcept(false) { Py_XDECREF(p_); }

    // Give up ownership: the caller now owns the reference.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void reset() { Ref().swap(*this); }
    void swap(Ref& o) noexcept { std::swap(p_, o.p_); }

private:
    explicit Ref(PyObject* p) noexcept : Handle(p) {}
};

inline Ref Handle::ref() const noexcept { return Ref::borrow(p_); }

// References that live for the rest of the process (interned names, imported
// types kept by a module). Never released: the process owns them, and their
// destructors must not run after the interpreter has gone.
class Forever : public Handle {
public:
    constexpr Forever() noexcept = default;
    void set(Ref r) noexcept { p_ = r.release(); }
};

inline Handle none() noexcept { return Handle(Py_None); }
inline Handle py_bool(bool b) noexcept { return Handle(b ? Py_True : Py_False); }

}  // namespace binding
