// The Python side of the coroutine bridge: the coroutine object type, its
// await-iterator, and the single resume core behind send, throw and close.
#include "coroutine.hpp"

#include "names.hpp"

#include <frameobject.h>  // PyFrame_New, for cr_frame

#include <array>

namespace binding {
namespace {

enum class Status { Created, Suspended, Running, Finished };

struct CoroutineState {
    Async::handle_type frame;
    Ref function;                                // null once tp_clear has run
    std::array<PyObject*, max_params> values{};  // owned
    size_t count = 0;
    Ref varargs, kwargs;
    Ref delegate;      // the awaited object's iterator while the body waits
    Ref frame_object;  // what cr_frame shows, made on first request
    Args args{nullptr, nullptr, nullptr, nullptr, false};
    Status status = Status::Created;
    bool closing = false;  // close() runs it: whatever comes back, nothing can be awaited

    ~CoroutineState() {
        end();
        for (size_t i = 0; i < count; ++i) Py_CLEAR(values[i]);
    }
    // Destroy the frame (its locals release their references) and forget the delegate.
    void end() {
        status = Status::Finished;
        delegate.reset();
        frame_object.reset();
        if (frame) std::exchange(frame, {}).destroy();
    }
};

struct CoroutineObject {
    PyObject_HEAD
    CoroutineState s;
};

struct WrapperObject {  // what __await__ returns: an iterator over the coroutine
    PyObject_HEAD
    PyObject* coroutine;
};

CoroutineObject* as_coroutine(PyObject* o) { return reinterpret_cast<CoroutineObject*>(o); }

// The coroutine's state, unless tp_clear has dropped its function and
// arguments (the collector breaking a cycle; another object of the cycle may
// still reach it) or the await-iterator's tp_clear its coroutine (`self` is
// then null): RuntimeError is set and null returned. Every entry point goes
// through here.
CoroutineState* live(PyObject* self) noexcept {
    if (self && as_coroutine(self)->s.function) return &as_coroutine(self)->s;
    PyErr_SetString(PyExc_RuntimeError,
                    "coroutine object was cleared to break a reference cycle and can no longer be used");
    return nullptr;
}

Name n_throw("throw");
Name n_value("value");
Name n_gi_code("gi_code");

PyTypeObject* coroutine_type();
PyTypeObject* wrapper_type();

// The value carried by a StopIteration (None when it has none).
Ref stop_iteration_value(const PyError& e) { return getattr(e.value(), n_value); }

// The iterator that `await obj` forwards to, as the interpreter's GET_AWAITABLE finds it.
Ref awaitable_iterator(Handle obj) {
    PyTypeObject* type = obj.type();
    if (type == coroutine_type() || PyCoro_CheckExact(obj.ptr())) return obj.ref();
    if (PyGen_CheckExact(obj.ptr())) {
        Ref flags = getattr(getattr(obj, n_gi_code), n_co_flags);
        if (PyLong_AsLong(flags.ptr()) & CO_ITERABLE_COROUTINE) return obj.ref();
    }
    unaryfunc getter = type->tp_as_async ? type->tp_as_async->am_await : nullptr;
    if (!getter) raise(PyExc_TypeError, "object %.100s can't be used in 'await' expression", type->tp_name);
    Ref it = check(getter(obj.ptr()));
    if (PyCoro_CheckExact(it.ptr()) || it.type() == coroutine_type())
        raise(PyExc_TypeError, "__await__() returned a coroutine");
    if (!PyIter_Check(it.ptr()))
        raise(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'", it.type()->tp_name);
    return it;
}

// Throw `exc` into the delegate, as a generator's `throw` does for its
// `yield from` target. GeneratorExit closes the delegate and comes back.
PySendResult throw_into_delegate(Handle delegate, Handle exc, PyObject** out) {
    if (PyErr_GivenExceptionMatches(exc.ptr(), PyExc_GeneratorExit)) {
        PyObject* close = nullptr;
        if (PyObject_GetOptionalAttr(delegate.ptr(), n_close.get().ptr(), &close) < 0) return PYGEN_ERROR;
        if (close) {
            Ref guard = Ref::steal(close);
            PyObject* r = PyObject_CallNoArgs(close);
            if (!r) return PYGEN_ERROR;
            Py_DECREF(r);
        }
        PyErr_SetObject(reinterpret_cast<PyObject*>(exc.type()), exc.ptr());
        return PYGEN_ERROR;
    }
    PyObject* method = nullptr;
    if (PyObject_GetOptionalAttr(delegate.ptr(), n_throw.get().ptr(), &method) < 0) return PYGEN_ERROR;
    if (!method) {  // no throw(): the exception goes to our own body
        PyErr_SetObject(reinterpret_cast<PyObject*>(exc.type()), exc.ptr());
        return PYGEN_ERROR;
    }
    Ref guard = Ref::steal(method);
    PyObject* r = PyObject_CallOneArg(method, exc.ptr());
    if (r) {
        *out = r;
        return PYGEN_NEXT;
    }
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return PYGEN_ERROR;
    PyError stop = PyError::fetch();
    *out = boundary<PyObject*>(nullptr, [&] { return stop_iteration_value(stop).release(); });
    return *out ? PYGEN_RETURN : PYGEN_ERROR;
}

// Turn the exception stored by the body into the error indicator; a
// StopIteration escaping the body becomes RuntimeError, as in Python.
void restore_body_error(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (...) {
        set_error_from_current_exception();
    }
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyObject* cause = PyErr_GetRaisedException();
        PyErr_SetString(PyExc_RuntimeError, "coroutine raised StopIteration");
        PyObject* exc = PyErr_GetRaisedException();
        PyException_SetCause(exc, Py_NewRef(cause));
        PyException_SetContext(exc, cause);
        PyErr_SetRaisedException(exc);
    }
}

// The loop of the resume core, while the coroutine runs: feed the delegate,
// then the body, until the body waits on something that yields, or ends. A
// Python error of a step goes into the body as an exception; any other C++
// exception leaves the loop (resume catches it).
PySendResult run(CoroutineState& s, Ref value, Ref exc, PyObject** out) {
    for (;;) {
        if (s.delegate) {
            PyObject* r = nullptr;
            PySendResult res = exc ? throw_into_delegate(s.delegate, exc, &r)
                                   : PyIter_Send(s.delegate.ptr(), value.ptr(), &r);
            if (res == PYGEN_NEXT) {
                s.status = Status::Suspended;
                *out = r;
                return PYGEN_NEXT;
            }
            s.delegate.reset();
            if (res == PYGEN_RETURN) {
                value = Ref::steal(r);
                exc.reset();
            } else {
                exc = Ref::steal(PyErr_GetRaisedException());
                value.reset();
            }
        }
        Async::promise_type& p = s.frame.promise();
        p.delivered = std::move(value);
        p.thrown = std::move(exc);
        s.frame.resume();
        if (s.frame.done()) {
            std::exception_ptr error = std::move(p.error);
            Ref result = std::move(p.result);
            s.end();
            if (error) {
                restore_body_error(error);
                return PYGEN_ERROR;
            }
            *out = result ? result.release() : Py_NewRef(Py_None);
            return PYGEN_RETURN;
        }
        Ref target = std::move(p.awaiting);
        try {
            s.delegate = awaitable_iterator(target);
            value = none().ref();
        } catch (PyError& e) {
            exc = Ref::borrow(e.value().ptr());
        }
    }
}

// The resume core. Send `value` (when `exc` is null) or throw `exc` into the
// coroutine; on PYGEN_NEXT `*out` is the yielded object, on PYGEN_RETURN the
// result; on PYGEN_ERROR the error indicator is set.
PySendResult resume(PyObject* self, Ref value, Ref exc, PyObject** out) {
    *out = nullptr;
    CoroutineState* live_state = live(self);
    if (!live_state) return PYGEN_ERROR;
    CoroutineState& s = *live_state;
    switch (s.status) {
        case Status::Running: PyErr_SetString(PyExc_ValueError, "coroutine already executing"); return PYGEN_ERROR;
        case Status::Finished:
            PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
            return PYGEN_ERROR;
        case Status::Created:
            if (exc) {  // thrown in before the first send: the body never runs
                s.end();
                PyErr_SetRaisedException(exc.release());
                return PYGEN_ERROR;
            }
            if (!value.is_none()) {
                PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
                return PYGEN_ERROR;
            }
            break;
        case Status::Suspended: break;
    }
    s.status = Status::Running;
    // Alive while it runs. (A thread ended in the middle of a step leaves
    // this reference held: the coroutine stays Running, never resumed nor
    // destroyed, as a Python coroutine whose thread was ended.)
    Ref keep = Ref::borrow(self);
    PySendResult res = boundary(PYGEN_ERROR, [&] { return run(s, std::move(value), std::move(exc), out); });
    // Still running: a C++ exception that is not a Python error (std::bad_alloc,
    // a fault of the machinery) stopped the loop midway and is now the Python
    // error. The body's state is unknown, so the coroutine ends with it.
    if (s.status == Status::Running) s.end();
    return res;
}

// Set StopIteration carrying `result`, as a coroutine's send() does when it returns.
void set_stop_iteration(Ref result) {
    if (result.is_none()) {
        PyErr_SetNone(PyExc_StopIteration);
        return;
    }
    // Build the instance ourselves so that a tuple value is not unpacked into args.
    PyObject* stop = PyObject_CallOneArg(PyExc_StopIteration, result.ptr());
    if (!stop) return;
    PyErr_SetObject(PyExc_StopIteration, stop);
    Py_DECREF(stop);
}

PyObject* send_result(PySendResult res, PyObject* out) {
    if (res == PYGEN_NEXT) return out;
    if (res == PYGEN_RETURN) set_stop_iteration(Ref::steal(out));
    return nullptr;
}

// The exception object for throw(type[, value[, traceback]]).
Ref exception_for_throw(PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1) raise(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
    if (nargs > 3) raise(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
    if (nargs > 1 && PyErr_WarnEx(PyExc_DeprecationWarning,
                                  "the (type, exc, tb) signature of throw() is deprecated, "
                                  "use the single-arg signature instead.",
                                  1) < 0)
        rethrow();
    PyObject* typ = args[0];
    PyObject* val = nargs > 1 ? args[1] : Py_None;
    PyObject* tb = nargs > 2 ? args[2] : Py_None;
    if (tb != Py_None && !PyTraceBack_Check(tb))
        raise(PyExc_TypeError, "throw() third argument must be a traceback object");
    Ref exc;
    if (PyExceptionClass_Check(typ)) {
        if (PyObject_TypeCheck(val, reinterpret_cast<PyTypeObject*>(typ)))
            exc = Ref::borrow(val);
        else if (val == Py_None)
            exc = check(PyObject_CallNoArgs(typ));
        else if (PyTuple_Check(val))
            exc = check(PyObject_Call(typ, val, nullptr));
        else
            exc = check(PyObject_CallOneArg(typ, val));
    } else if (PyExceptionInstance_Check(typ)) {
        if (val != Py_None) raise(PyExc_TypeError, "instance exception may not have a separate value");
        exc = Ref::borrow(typ);
    } else {
        raise(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
              Py_TYPE(typ)->tp_name);
    }
    if (tb != Py_None) check(PyException_SetTraceback(exc.ptr(), tb));
    return exc;
}

// --- coroutine methods -------------------------------------------------------

PySendResult Coroutine_am_send(PyObject* self, PyObject* arg, PyObject** out) {
    return resume(self, Ref::borrow(arg ? arg : Py_None), Ref(), out);
}

PyObject* Coroutine_send(PyObject* self, PyObject* arg) {
    PyObject* out = nullptr;
    PySendResult res = Coroutine_am_send(self, arg, &out);
    return send_result(res, out);
}

PyObject* Coroutine_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        Ref exc = exception_for_throw(args, nargs);
        PyObject* out = nullptr;
        PySendResult res = resume(self, Ref(), std::move(exc), &out);
        return send_result(res, out);
    });
}

PyObject* Coroutine_close(PyObject* self, PyObject*) {
    CoroutineState* live_state = live(self);
    if (!live_state) return nullptr;
    CoroutineState& s = *live_state;
    if (s.status == Status::Running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return nullptr;
    }
    if (s.status != Status::Suspended) {
        s.end();
        Py_RETURN_NONE;
    }
    PyObject* exit = PyObject_CallNoArgs(PyExc_GeneratorExit);
    if (!exit) return nullptr;
    PyObject* out = nullptr;
    s.closing = true;
    PySendResult res = resume(self, Ref(), Ref::steal(exit), &out);
    s.closing = false;
    if (res == PYGEN_NEXT) {
        Py_DECREF(out);
        s.end();
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return nullptr;
    }
    if (res == PYGEN_RETURN) return out;
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit) || PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

PyObject* Coroutine_await(PyObject* self) {
    if (!live(self)) return nullptr;
    WrapperObject* w = PyObject_GC_New(WrapperObject, wrapper_type());
    if (!w) return nullptr;
    w->coroutine = Py_NewRef(self);
    PyObject_GC_Track(w);
    return reinterpret_cast<PyObject*>(w);
}

void Coroutine_finalize(PyObject* self) {
    if (as_coroutine(self)->s.status != Status::Suspended) return;
    PyObject* saved = PyErr_GetRaisedException();
    PyObject* r = Coroutine_close(self, nullptr);
    if (r)
        Py_DECREF(r);
    else
        PyErr_WriteUnraisable(self);
    PyErr_SetRaisedException(saved);
}

int Coroutine_traverse(PyObject* self, visitproc visit, void* arg) {
    CoroutineState& s = as_coroutine(self)->s;
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(s.function.ptr());
    for (size_t i = 0; i < s.count; ++i) Py_VISIT(s.values[i]);
    Py_VISIT(s.varargs.ptr());
    Py_VISIT(s.kwargs.ptr());
    Py_VISIT(s.delegate.ptr());
    Py_VISIT(s.frame_object.ptr());
    if (s.frame) Py_VISIT(s.frame.promise().held.ptr());  // what the body keeps with hold()
    return 0;
}

int Coroutine_clear(PyObject* self) {
    CoroutineState& s = as_coroutine(self)->s;
    s.end();  // the frame borrows the values: it goes first
    for (size_t i = 0; i < s.count; ++i) Py_CLEAR(s.values[i]);
    s.varargs.reset();
    s.kwargs.reset();
    s.function.reset();
    return 0;
}

void Coroutine_dealloc(PyObject* self) {
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    PyObject_ClearWeakRefs(self);
    as_coroutine(self)->s.~CoroutineState();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* Coroutine_repr(PyObject* self) {
    CoroutineState* s = live(self);
    if (!s) return nullptr;
    PyObject* qualname = PyObject_GetAttr(s->function.ptr(), n_dunder_qualname.get().ptr());
    if (!qualname) return nullptr;
    PyObject* r = PyUnicode_FromFormat("<coroutine object %U at %p>", qualname, self);
    Py_DECREF(qualname);
    return r;
}

// An attribute of a live coroutine object only (see live).
template <PyObject* (*get)(CoroutineState&)>
PyObject* getter(PyObject* self, void*) {
    CoroutineState* s = live(self);
    return s ? get(*s) : nullptr;
}

PyObject* get_name(CoroutineState& s) { return PyObject_GetAttr(s.function.ptr(), n_dunder_name.get().ptr()); }
PyObject* get_qualname(CoroutineState& s) { return PyObject_GetAttr(s.function.ptr(), n_dunder_qualname.get().ptr()); }
PyObject* get_running(CoroutineState& s) { return PyBool_FromLong(s.status == Status::Running); }
PyObject* get_await(CoroutineState& s) { return Py_NewRef(s.delegate ? s.delegate.ptr() : Py_None); }
PyObject* get_suspended(CoroutineState& s) { return PyBool_FromLong(s.status == Status::Suspended); }
PyObject* get_code(CoroutineState& s) { return PyObject_GetAttr(s.function.ptr(), n_dunder_code.get().ptr()); }
// cr_frame: None once the coroutine has ended, as for a Python coroutine; until
// then a frame object of the function's __code__ and module globals (the body
// runs as C++, so the frame is never executed). Debuggers and
// inspect.getcoroutinestate tell a created coroutine from a closed one by it.
PyObject* get_frame(CoroutineState& s) {
    if (s.status == Status::Finished) Py_RETURN_NONE;
    if (!s.frame_object) {
        PyObject* code = PyObject_GetAttr(s.function.ptr(), n_dunder_code.get().ptr());
        if (!code) return nullptr;
        Ref code_ref = Ref::steal(code);
        if (!PyCode_Check(code)) Py_RETURN_NONE;
        Handle module = function_module(s.function);
        PyObject* globals = module ? PyModule_GetDict(module.ptr()) : nullptr;
        Ref own_globals;
        if (!globals) {
            own_globals = Ref::steal(PyDict_New());
            if (!own_globals) return nullptr;
            globals = own_globals.ptr();
        }
        PyFrameObject* f = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), globals, nullptr);
        if (!f) return nullptr;
        s.frame_object = Ref::steal(reinterpret_cast<PyObject*>(f));
    }
    return Py_NewRef(s.frame_object.ptr());
}

PyGetSetDef Coroutine_getset[] = {
    {"__name__", getter<get_name>, nullptr, nullptr, nullptr},
    {"__qualname__", getter<get_qualname>, nullptr, nullptr, nullptr},
    {"cr_running", getter<get_running>, nullptr, nullptr, nullptr},
    {"cr_await", getter<get_await>, nullptr, nullptr, nullptr},
    {"cr_frame", getter<get_frame>, nullptr, nullptr, nullptr},
    {"cr_suspended", getter<get_suspended>, nullptr, nullptr, nullptr},
    {"cr_code", getter<get_code>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef Coroutine_methods[] = {
    {"send", Coroutine_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Coroutine_throw)), METH_FASTCALL, nullptr},
    {"close", Coroutine_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot Coroutine_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(Coroutine_dealloc)},
    {Py_tp_finalize, reinterpret_cast<void*>(Coroutine_finalize)},
    {Py_tp_traverse, reinterpret_cast<void*>(Coroutine_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(Coroutine_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(Coroutine_repr)},
    {Py_am_await, reinterpret_cast<void*>(Coroutine_await)},
    {Py_am_send, reinterpret_cast<void*>(Coroutine_am_send)},
    {Py_tp_methods, Coroutine_methods},
    {Py_tp_getset, Coroutine_getset},
    {0, nullptr},
};

PyType_Spec Coroutine_spec = {
    "veltrano_python_configuration.native_coroutine",
    sizeof(CoroutineObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_MANAGED_WEAKREF,
    Coroutine_slots,
};

// --- the await-iterator ------------------------------------------------------

// The coroutine; null once the wrapper's tp_clear has run (the Coroutine_*
// functions it is passed to raise then).
PyObject* wrapped(PyObject* self) { return reinterpret_cast<WrapperObject*>(self)->coroutine; }

PySendResult Wrapper_am_send(PyObject* self, PyObject* arg, PyObject** out) {
    return Coroutine_am_send(wrapped(self), arg, out);
}
PyObject* Wrapper_iternext(PyObject* self) {
    PyObject* out = nullptr;
    PySendResult res = Coroutine_am_send(wrapped(self), Py_None, &out);
    if (res == PYGEN_NEXT) return out;
    if (res == PYGEN_RETURN) {
        if (out == Py_None)
            Py_DECREF(out);
        else
            set_stop_iteration(Ref::steal(out));
    }
    return nullptr;
}
PyObject* Wrapper_send(PyObject* self, PyObject* arg) { return Coroutine_send(wrapped(self), arg); }
PyObject* Wrapper_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return Coroutine_throw(wrapped(self), args, nargs);
}
PyObject* Wrapper_close(PyObject* self, PyObject*) { return Coroutine_close(wrapped(self), nullptr); }

int Wrapper_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(wrapped(self));
    return 0;
}
int Wrapper_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<WrapperObject*>(self)->coroutine);
    return 0;
}
void Wrapper_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Wrapper_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef Wrapper_methods[] = {
    {"send", Wrapper_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Wrapper_throw)), METH_FASTCALL, nullptr},
    {"close", Wrapper_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot Wrapper_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(Wrapper_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(Wrapper_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(Wrapper_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(Wrapper_iternext)},
    {Py_am_send, reinterpret_cast<void*>(Wrapper_am_send)},
    {Py_tp_methods, Wrapper_methods},
    {0, nullptr},
};

PyType_Spec Wrapper_spec = {
    "veltrano_python_configuration.native_coroutine_wrapper",
    sizeof(WrapperObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    Wrapper_slots,
};

PyTypeObject* make_type(Forever& slot, PyType_Spec* spec) {
    if (!slot) slot.set(check(PyType_FromSpec(spec)));
    return reinterpret_cast<PyTypeObject*>(slot.ptr());
}

Forever coroutine_type_object, wrapper_type_object;
PyTypeObject* coroutine_type() { return make_type(coroutine_type_object, &Coroutine_spec); }
PyTypeObject* wrapper_type() { return make_type(wrapper_type_object, &Wrapper_spec); }

}  // namespace

bool is_bridge_coroutine(Handle obj) noexcept {
    return coroutine_type_object && obj.type() == reinterpret_cast<PyTypeObject*>(coroutine_type_object.ptr());
}

bool is_closing(Handle coroutine) noexcept {
    return is_bridge_coroutine(coroutine) && as_coroutine(coroutine.ptr())->s.closing;
}

namespace detail {

Ref start_coroutine(const FunctionSpec& spec, PyObject* function, PyObject* const* values, size_t count,
                    PyObject* varargs, Ref kwargs) {
    PyTypeObject* type = coroutine_type();
    make_type(wrapper_type_object, &Wrapper_spec);
    Ref self = check(type->tp_alloc(type, 0));  // zeroed and tracked by the collector
    CoroutineObject* co = as_coroutine(self.ptr());
    new (&co->s) CoroutineState();
    CoroutineState& s = co->s;
    s.function = Ref::borrow(function);
    for (size_t i = 0; i < count; ++i) s.values[i] = Py_NewRef(values[i]);
    s.count = count;
    s.varargs = Ref::borrow(varargs);
    s.kwargs = std::move(kwargs);
    if (!s.kwargs && spec.kwargs) s.kwargs = new_dict();  // the body may run after the caller has gone
    s.args = Args(function, s.values.data(), s.varargs.ptr(), &s.kwargs, spec.kwargs != nullptr, self.ptr());
    s.frame = spec.async_body(s.args).release();
    return self;
}

}  // namespace detail
}  // namespace binding
