// Calling into Python: the helpers that are not templates.
#include "call.hpp"

#include <cstdarg>
#include <vector>

namespace glue {

Ref call_star(Handle f, std::initializer_list<Handle> leading, Handle varargs, Handle kwargs) {
    std::vector<PyObject*> v;
    v.reserve(1 + leading.size() + (varargs ? PyTuple_GET_SIZE(varargs.ptr()) : 0) +
              (kwargs ? PyDict_GET_SIZE(kwargs.ptr()) : 0));
    v.push_back(nullptr);  // room for PY_VECTORCALL_ARGUMENTS_OFFSET
    for (Handle h : leading) v.push_back(h.ptr());
    if (varargs)
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(varargs.ptr()); ++i) v.push_back(PyTuple_GET_ITEM(varargs.ptr(), i));
    const size_t npos = v.size() - 1;
    Ref names;
    if (kwargs && PyDict_GET_SIZE(kwargs.ptr())) {
        names = check(PyTuple_New(PyDict_GET_SIZE(kwargs.ptr())));
        Py_ssize_t pos = 0, i = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs.ptr(), &pos, &key, &value)) {
            PyTuple_SET_ITEM(names.ptr(), i++, Py_NewRef(key));
            v.push_back(value);
        }
    }
    return check(PyObject_Vectorcall(f.ptr(), v.data() + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, names.ptr()));
}

Ref new_tuple(std::initializer_list<Handle> items) {
    Ref t = check(PyTuple_New(items.size()));
    Py_ssize_t i = 0;
    for (Handle h : items) PyTuple_SET_ITEM(t.ptr(), i++, Py_NewRef(h.ptr()));
    return t;
}

Ref tuple_from_array(PyObject* const* items, size_t n) {
    Ref t = check(PyTuple_New(n));
    for (size_t i = 0; i < n; ++i) PyTuple_SET_ITEM(t.ptr(), i, Py_NewRef(items[i]));
    return t;
}

Ref format(const char* fmt, ...) {
    va_list va;
    va_start(va, fmt);
    PyObject* r = PyUnicode_FromFormatV(fmt, va);
    va_end(va);
    return check(r);
}

}  // namespace glue
