// C++ state that lives inside a Python object.
//
// `Native<T>` makes one heap type per T (named `T::type_name`) whose
// instances each hold a default-constructed T: state that belongs to a Python
// object (stored in one of its attributes) and that the garbage collector
// must see. T owns its Python references as `Ref` members and reports them:
//
//     void traverse(const Visit& visit) const;  // visit(ref) for every Ref it holds
//     void clear();                              // drop them: the collector breaks cycles so
//
// A cleared T must stay safe to use (its Refs are null): it can still be
// reached while a cycle is being freed. T may also declare
// `static PyGetSetDef* getset()` for read-only attributes (introspection).
#pragma once

#include "error.hpp"

#include <new>

namespace binding {

// Calls a traverse function's `visit` for each reference, as Py_VISIT does.
class Visit {
public:
    Visit(visitproc visit, void* arg) noexcept : visit_(visit), arg_(arg) {}
    void operator()(Handle h) const noexcept {
        if (!result_ && h) result_ = visit_(h.ptr(), arg_);
    }
    int result() const noexcept { return result_; }

private:
    visitproc visit_;
    void* arg_;
    mutable int result_ = 0;
};

template <class T>
class Native {
public:
    // A new object holding a default-constructed T.
    static Ref make() {
        PyTypeObject* t = type();
        Ref self = check(t->tp_alloc(t, 0));  // zeroed and tracked by the collector
        new (&as_object(self.ptr())->state) T();
        return self;
    }
    // The T inside `obj`, or nullptr when `obj` is not one of these objects.
    static T* get(Handle obj) noexcept {
        if (!type_object || obj.type() != reinterpret_cast<PyTypeObject*>(type_object.ptr())) return nullptr;
        return &as_object(obj.ptr())->state;
    }
    // The T inside an object known to be one (for getset functions).
    static T& of(PyObject* obj) noexcept { return as_object(obj)->state; }

private:
    struct Object {
        PyObject_HEAD
        T state;
    };
    static Object* as_object(PyObject* o) noexcept { return reinterpret_cast<Object*>(o); }

    static int traverse(PyObject* self, visitproc visit, void* arg) {
        Py_VISIT(Py_TYPE(self));
        Visit v(visit, arg);
        of(self).traverse(v);
        return v.result();
    }
    static int clear(PyObject* self) {
        of(self).clear();
        return 0;
    }
    static void dealloc(PyObject* self) {
        PyTypeObject* t = Py_TYPE(self);
        PyObject_GC_UnTrack(self);
        of(self).~T();
        t->tp_free(self);
        Py_DECREF(t);
    }

    static PyTypeObject* type() {
        if (!type_object) {
            static PyType_Slot slots[] = {
                {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
                {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
                {Py_tp_clear, reinterpret_cast<void*>(clear)},
                {Py_tp_getset, getset()},
                {0, nullptr},
            };
            static PyType_Spec spec = {
                T::type_name,
                sizeof(Object),
                0,
                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                slots,
            };
            type_object.set(check(PyType_FromSpec(&spec)));
        }
        return reinterpret_cast<PyTypeObject*>(type_object.ptr());
    }
    static PyGetSetDef* getset() {
        static PyGetSetDef none[] = {{nullptr, nullptr, nullptr, nullptr, nullptr}};
        if constexpr (requires { T::getset(); })
            return T::getset();
        else
            return none;
    }

    static inline Forever type_object;
};

}  // namespace binding
