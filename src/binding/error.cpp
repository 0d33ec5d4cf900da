// Python errors as C++ exceptions: fetching, raising, the handled-exception
// scope and the translation at the boundary.
#include "error.hpp"

#include <cstdarg>

namespace binding {

PyError PyError::fetch() noexcept {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) {
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
        exc = PyErr_GetRaisedException();
    }
    return PyError(Ref::steal(exc));
}

void rethrow() { throw PyError::fetch(); }

void raise(PyObject* type, const char* format, ...) {
    va_list va;
    va_start(va, format);
    PyErr_FormatV(type, format, va);
    va_end(va);
    rethrow();
}

void raise_object(Handle exc) {
    if (PyExceptionClass_Check(exc.ptr()))
        PyErr_SetNone(exc.ptr());
    else
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
    rethrow();
}

HandledScope::HandledScope(const PyError& error) : previous_(Ref::steal(PyErr_GetHandledException())) {
    PyErr_SetHandledException(error.value().ptr());
}

HandledScope::~HandledScope() noexcept(false) { PyErr_SetHandledException(previous_.ptr()); }

void set_error_from_current_exception() {
    try {
        throw;
    } catch (PyError& e) {
        std::move(e).restore();
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

}  // namespace binding
