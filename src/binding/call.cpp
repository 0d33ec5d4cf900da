// Calling into Python: the helpers that are not templates.
#include "call.hpp"

#include <algorithm>
#include <cstdarg>
#include <vector>

namespace binding {

namespace detail {
void attribute_error_context(Handle obj, const Name& name) {
    PyError error = PyError::fetch();
    if (error.matches(PyExc_AttributeError)) {
        PyObject* exc = error.value().ptr();
        Ref current_name = check(PyObject_GetAttrString(exc, "name"));
        if (current_name.is_none()) {
            check(PyObject_SetAttrString(exc, "name", name.get().ptr()));
            check(PyObject_SetAttrString(exc, "obj", obj.ptr()));
        }
    }
    throw error;
}
void unpack_into(Handle obj, Ref* out, size_t n) {
    PyObject* v = obj.ptr();
    if ((PyTuple_CheckExact(v) || PyList_CheckExact(v)) && static_cast<size_t>(Py_SIZE(v)) == n) {
        for (size_t i = 0; i < n; ++i) out[i] = Ref::borrow(PySequence_Fast_GET_ITEM(v, i));
        return;
    }
    PyObject* it = PyObject_GetIter(v);
    if (!it) {
        // Only an object that cannot be iterated at all gets the generic
        // message; an __iter__ or __getitem__ that raises keeps its own error.
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(v)->tp_iter && !PySequence_Check(v)) {
            PyErr_Clear();
            raise(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(v)->tp_name);
        }
        rethrow();
    }
    Ref iterator = Ref::steal(it);
    for (size_t i = 0; i < n; ++i) {
        out[i] = Ref::steal(PyIter_Next(it));
        if (out[i]) continue;
        if (PyErr_Occurred()) rethrow();
        raise(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", static_cast<Py_ssize_t>(n),
              static_cast<Py_ssize_t>(i));
    }
    if (Ref::steal(PyIter_Next(it)))
        raise(PyExc_ValueError, "too many values to unpack (expected %zd)", static_cast<Py_ssize_t>(n));
    if (PyErr_Occurred()) rethrow();
}
}  // namespace detail

Ref call_star(Handle f, std::initializer_list<Handle> leading, Handle varargs, Handle kwargs) {
    std::vector<PyObject*> v;
    v.reserve(1 + leading.size() + (varargs ? PyTuple_GET_SIZE(varargs.ptr()) : 0) +
              (kwargs ? PyDict_GET_SIZE(kwargs.ptr()) : 0));
    v.push_back(nullptr);  // room for PY_VECTORCALL_ARGUMENTS_OFFSET
    for (Handle h : leading) v.push_back(h.ptr());
    if (varargs)
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(varargs.ptr()); ++i)
            v.push_back(PyTuple_GET_ITEM(varargs.ptr(), i));
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

Ref concat(std::initializer_list<Handle> parts) {
    Py_ssize_t length = 0;
    Py_UCS4 maxchar = 127;
    for (Handle part : parts) {
        if (!PyUnicode_Check(part.ptr()))
            raise(PyExc_TypeError, "can only concatenate str (not \"%.200s\") to str", part.type()->tp_name);
        length += PyUnicode_GET_LENGTH(part.ptr());
        maxchar = std::max(maxchar, PyUnicode_MAX_CHAR_VALUE(part.ptr()));
    }
    Ref out = check(PyUnicode_New(length, maxchar));
    Py_ssize_t at = 0;
    for (Handle part : parts) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(part.ptr());
        if (n && PyUnicode_CopyCharacters(out.ptr(), at, part.ptr(), 0, n) < 0) rethrow();
        at += n;
    }
    return out;
}

Ref dict_of(std::initializer_list<std::pair<Handle, Handle>> items) {
    Ref d = new_dict();
    for (const auto& [key, value] : items) check(PyDict_SetItem(d.ptr(), key.ptr(), value.ptr()));
    return d;
}

Ref list_of(std::initializer_list<Handle> items) {
    Ref l = check(PyList_New(items.size()));
    Py_ssize_t i = 0;
    for (Handle h : items) PyList_SET_ITEM(l.ptr(), i++, Py_NewRef(h.ptr()));
    return l;
}

Ref format(const char* fmt, ...) {
    va_list va;
    va_start(va, fmt);
    PyObject* r = PyUnicode_FromFormatV(fmt, va);
    va_end(va);
    return check(r);
}

}  // namespace binding
