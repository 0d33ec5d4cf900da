// The function object type: argument binding, the exact-type rule, the
// Python-level attributes, method binding and introspection.
#include "function.hpp"

#include "names.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace binding {
namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    PyObject* module;       // globals come from this module's dict; null once cleared
    PyObject* name;         // __name__
    PyObject* qualname;     // __qualname__
    PyObject* module_name;  // __module__
    PyObject* doc;          // __doc__
    PyObject* defaults;     // __defaults__: a tuple, or None
    PyObject* annotations;  // __annotations__
    PyObject* code;         // __code__, made on first use
    PyObject* param_names;  // tuple of interned parameter names, for keyword matching
    PyObject* owner;        // the class whose body defined the function (what `__class__` is in Python)
};

FunctionObject* as_function(PyObject* o) { return reinterpret_cast<FunctionObject*>(o); }

// The function object, unless tp_clear has dropped its references (the
// collector breaking a cycle; another object of the cycle may still reach it):
// then RuntimeError is set and null returned. Every use that needs what
// tp_clear drops goes through here.
FunctionObject* live(PyObject* self) noexcept {
    FunctionObject* f = as_function(self);
    if (f->module) return f;
    PyErr_Format(PyExc_RuntimeError,
                 "function '%.200s' was cleared to break a reference cycle and can no longer be used", f->spec->name);
    return nullptr;
}
// The same for C++ callers: the error is thrown.
FunctionObject* live_or_throw(PyObject* self) {
    FunctionObject* f = live(self);
    if (!f) rethrow();
    return f;
}

Name n_add_note("add_note");
Name n_replace("replace");
Name n_co_argcount("co_argcount");
Name n_co_nlocals("co_nlocals");
Name n_co_varnames("co_varnames");
Name n_co_name("co_name");
Name n_co_qualname("co_qualname");

PyTypeObject* builtin_type(ExactType type) {
    switch (type) {
        case ExactType::Str: return &PyUnicode_Type;
        case ExactType::Int: return &PyLong_Type;
        case ExactType::List: return &PyList_Type;
        case ExactType::Dict: return &PyDict_Type;
        case ExactType::Any: break;
    }
    return nullptr;
}

[[noreturn, gnu::cold]] void refuse_argument(const char* name, PyTypeObject* want, Handle value) {
    // The received type's name is cut at 200 characters, not bytes: "%.200s"
    // would cut a long non-ASCII class name inside a character and show a
    // replacement character in its place.
    const char* got = Py_TYPE(value.ptr())->tp_name;
    Ref got_text = check(PyUnicode_DecodeUTF8(got, static_cast<Py_ssize_t>(strlen(got)), "replace"));
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200U)", name,
                 want->tp_name, got_text.ptr());
    PyError error = PyError::fetch();
    if (PyObject_TypeCheck(value.ptr(), want)) {
        Ref note = format("Instances of subclasses of built-in types are refused: pass a plain %s.", want->tp_name);
        call_method(error.value(), n_add_note, note);
    }
    throw error;
}

[[noreturn, gnu::cold]] void wrong_count(const FunctionSpec& s, const char* how, size_t expected, size_t given) {
    raise(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", s.name, how,
          static_cast<Py_ssize_t>(expected), expected == 1 ? "" : "s", static_cast<Py_ssize_t>(given));
}

// Index of the parameter named `key`, or -1: pointer comparison first (the
// names are interned, as the interpreter's keyword names usually are), then equality.
Py_ssize_t find_param(FunctionObject* f, PyObject* key) {
    PyObject* const* names = &PyTuple_GET_ITEM(f->param_names, 0);
    Py_ssize_t n = PyTuple_GET_SIZE(f->param_names);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (names[i] == key) return i;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (check(PyObject_RichCompareBool(names[i], key, Py_EQ))) return i;
    return -1;
}

Ref invoke(FunctionObject* f, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const FunctionSpec& s = *f->spec;
    const size_t n = s.params.size();
    const size_t nargs = PyVectorcall_NARGS(nargsf);
    Ref defaults = Ref::borrow(f->defaults);  // held: the body may replace __defaults__
    const size_t ndefaults = PyTuple_Check(defaults.ptr()) ? PyTuple_GET_SIZE(defaults.ptr()) : 0;

    PyObject* values[max_params] = {};
    Ref varargs, kwargs;
    if (nargs > n) {
        if (!s.varargs) wrong_count(s, ndefaults ? "at most" : "exactly", n, nargs);
        varargs = tuple_from_array(args + n, nargs - n);
    } else if (s.varargs) {
        varargs = check(PyTuple_New(0));
    }
    const size_t npos = std::min(nargs, n);
    std::copy(args, args + npos, values);

    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t j = 0; j < nkw; ++j) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, j);
            PyObject* value = args[nargs + j];
            Py_ssize_t i = find_param(f, key);
            if (i >= 0) {
                if (values[i]) raise(PyExc_TypeError, "%s() got multiple values for argument '%U'", s.name, key);
                values[i] = value;
            } else if (s.kwargs) {
                if (!kwargs) kwargs = new_dict();
                set_item(kwargs, Handle(key), Handle(value));
            } else {
                raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", s.name, key);
            }
        }
    }
    for (size_t i = npos; i < n; ++i) {
        if (values[i]) continue;
        if (i + ndefaults < n) wrong_count(s, ndefaults || s.varargs ? "at least" : "exactly", n - ndefaults, i);
        values[i] = PyTuple_GET_ITEM(defaults.ptr(), i + ndefaults - n);
    }
    for (size_t i = 0; i < n; ++i) {
        const Param& p = s.params[i];
        refuse_unless_exact(p.name, p.type, p.none_ok, Handle(values[i]));
    }
    PyObject* self = reinterpret_cast<PyObject*>(f);
    if (s.async_body) return detail::start_coroutine(s, self, values, n, varargs.ptr(), std::move(kwargs));
    return s.body(Args(self, values, varargs.ptr(), &kwargs, s.kwargs != nullptr));
}

PyObject* Function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return boundary<PyObject*>(nullptr, [&] { return invoke(live_or_throw(self), args, nargsf, kwnames).release(); });
}

Ref default_value(const Default& d) {
    switch (d.kind) {
        case Default::None: return none().ref();
        case Default::False: return py_bool(false).ref();
        case Default::True: return py_bool(true).ref();
        case Default::Int: return new_int(d.integer);
        case Default::Str: return new_str(d.text);
        case Default::Required: break;
    }
    return Ref();
}

// Refuse, when the function object is made, a spec that would misbind calls:
// the value arrays hold max_params, and __defaults__ fills the last parameters.
void validate_spec(const FunctionSpec& spec) {
    if (spec.params.size() > max_params)
        raise(PyExc_SystemError, "%s(): more than %zd parameters", spec.name, static_cast<Py_ssize_t>(max_params));
    const Param* with_default = nullptr;
    for (const Param& p : spec.params) {
        if (p.default_value.kind != Default::Required)
            with_default = &p;
        else if (with_default)
            raise(PyExc_SystemError, "%s(): parameter '%s' without a default follows parameter '%s', which has one",
                  spec.name, p.name, with_default->name);
    }
}

// A code object that describes the signature (never executed): what
// inspect.signature, help() and inspect.iscoroutinefunction read.
Ref make_code(FunctionObject* f) {
    const FunctionSpec& s = *f->spec;
    Ref names = check(PyList_New(0));
    for (const Param& p : s.params) list_append(names, new_str(p.name));
    int flags = CO_OPTIMIZED | CO_NEWLOCALS;
    if (s.varargs) {
        list_append(names, new_str(s.varargs));
        flags |= CO_VARARGS;
    }
    if (s.kwargs) {
        list_append(names, new_str(s.kwargs));
        flags |= CO_VARKEYWORDS;
    }
    if (s.async_body) flags |= CO_COROUTINE;
    // __module__ is assignable to any object: "%S" (str() of it), not "%U",
    // which reads its argument as a str without checking.
    Ref filename = format("<%S>", f->module_name);
    const char* filename_utf8 = PyUnicode_AsUTF8(filename.ptr());  // fails for a lone surrogate
    if (!filename_utf8) rethrow();
    Ref empty = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(filename_utf8, s.name, 0)));
    if (!empty) rethrow();
    Ref varnames = check(PyList_AsTuple(names.ptr()));
    return call_method(empty, n_replace, kw(n_co_argcount, new_int(static_cast<long long>(s.params.size()))),
                       kw(n_co_nlocals, new_int(PyTuple_GET_SIZE(varnames.ptr()))), kw(n_co_varnames, varnames),
                       kw(n_co_flags, new_int(flags)), kw(n_co_name, Handle(f->name)),
                       kw(n_co_qualname, Handle(f->qualname)));
}

Ref make_annotations(const FunctionSpec& s) {
    Ref d = new_dict();
    auto add = [&](const char* key, const char* annotation) {
        if (annotation) check(PyDict_SetItemString(d.ptr(), key, new_str(annotation).ptr()));
    };
    for (const Param& p : s.params) add(p.name, p.annotation);
    if (s.varargs) add(s.varargs, s.varargs_annotation);
    if (s.kwargs) add(s.kwargs, s.kwargs_annotation);
    add("return", s.returns);
    return d;
}

// --- slots -----------------------------------------------------------------

int Function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->module);
    Py_VISIT(f->name);  // __name__, __qualname__: str subclasses are accepted
    Py_VISIT(f->qualname);
    Py_VISIT(f->module_name);  // __module__ is assignable to any object
    Py_VISIT(f->defaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->doc);
    Py_VISIT(f->owner);
    return PyObject_VisitManagedDict(self, visit, arg);
}

int Function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->module);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->owner);
    PyObject_ClearManagedDict(self);
    return 0;
}

void Function_dealloc(PyObject* self) {
    FunctionObject* f = as_function(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    PyObject_ClearWeakRefs(self);
    Function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module_name);
    Py_CLEAR(f->code);
    Py_CLEAR(f->param_names);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* Function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!live(self)) return nullptr;
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* Function_repr(PyObject* self) {
    FunctionObject* f = live(self);
    return f ? PyUnicode_FromFormat("<function %U at %p>", f->qualname, self) : nullptr;
}

PyObject* Function_reduce(PyObject* self, PyObject*) {
    FunctionObject* f = live(self);
    return f ? Py_NewRef(f->qualname) : nullptr;
}

// Attribute access on a live function object only (see live).
template <PyObject* (*get)(FunctionObject*)>
PyObject* getter(PyObject* self, void*) {
    FunctionObject* f = live(self);
    return f ? get(f) : nullptr;
}
template <int (*set)(FunctionObject*, PyObject*)>
int setter(PyObject* self, PyObject* value, void*) {
    FunctionObject* f = live(self);
    return f ? set(f, value) : -1;
}

PyObject* get_name(FunctionObject* f) { return Py_NewRef(f->name); }
PyObject* get_qualname(FunctionObject* f) { return Py_NewRef(f->qualname); }

int set_str(PyObject** slot, PyObject* value, const char* what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_SETREF(*slot, Py_NewRef(value));
    return 0;
}
int set_name(FunctionObject* f, PyObject* value) { return set_str(&f->name, value, "__name__"); }
int set_qualname(FunctionObject* f, PyObject* value) { return set_str(&f->qualname, value, "__qualname__"); }

PyObject* get_defaults(FunctionObject* f) { return Py_NewRef(f->defaults); }
int set_defaults(FunctionObject* f, PyObject* value) {
    if (!value) value = Py_None;
    if (value != Py_None && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    if (PyTuple_Check(value) && static_cast<size_t>(PyTuple_GET_SIZE(value)) > f->spec->params.size()) {
        PyErr_SetString(PyExc_ValueError, "__defaults__ has more values than the function has parameters");
        return -1;
    }
    Py_SETREF(f->defaults, Py_NewRef(value));
    return 0;
}

PyObject* get_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* get_annotations(FunctionObject* f) { return Py_NewRef(f->annotations); }
int set_annotations(FunctionObject* f, PyObject* value) {
    if (!value || !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_SETREF(f->annotations, Py_NewRef(value));
    return 0;
}

// __doc__ is any object; deleting it leaves None, as for a Python function.
PyObject* get_doc(FunctionObject* f) { return Py_NewRef(f->doc); }
int set_doc(FunctionObject* f, PyObject* value) {
    Py_SETREF(f->doc, Py_NewRef(value ? value : Py_None));
    return 0;
}

// __module__ is any object too; deleting it leaves None, as for a Python function.
PyObject* get_module_name(FunctionObject* f) { return Py_NewRef(f->module_name); }
int set_module_name(FunctionObject* f, PyObject* value) {
    Py_SETREF(f->module_name, Py_NewRef(value ? value : Py_None));
    return 0;
}

PyObject* get_code(FunctionObject* f) {
    return boundary<PyObject*>(nullptr, [&] {
        if (!f->code) f->code = make_code(f).release();
        return Py_NewRef(f->code);
    });
}

PyObject* get_globals(FunctionObject* f) { return Py_NewRef(PyModule_GetDict(f->module)); }
PyObject* get_type_params(PyObject*, void*) { return PyTuple_New(0); }

PyGetSetDef Function_getset[] = {
    {"__name__", getter<get_name>, setter<set_name>, nullptr, nullptr},
    {"__qualname__", getter<get_qualname>, setter<set_qualname>, nullptr, nullptr},
    {"__doc__", getter<get_doc>, setter<set_doc>, nullptr, nullptr},
    {"__module__", getter<get_module_name>, setter<set_module_name>, nullptr, nullptr},
    {"__defaults__", getter<get_defaults>, setter<set_defaults>, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", getter<get_annotations>, setter<set_annotations>, nullptr, nullptr},
    {"__code__", getter<get_code>, nullptr, nullptr, nullptr},
    {"__globals__", getter<get_globals>, nullptr, nullptr, nullptr},
    {"__type_params__", get_type_params, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef Function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef Function_methods[] = {
    {"__reduce__", Function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot Function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(Function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(Function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(Function_clear)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(Function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(Function_repr)},
    {Py_tp_getset, Function_getset},
    {Py_tp_members, Function_members},
    {Py_tp_methods, Function_methods},
    {0, nullptr},
};

PyType_Spec Function_spec = {
    "veltrano_python_configuration.native_function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_MANAGED_DICT |
        Py_TPFLAGS_MANAGED_WEAKREF,
    Function_slots,
};

Forever function_type_object;
PyTypeObject* function_type() {
    if (!function_type_object) function_type_object.set(check(PyType_FromSpec(&Function_spec)));
    return reinterpret_cast<PyTypeObject*>(function_type_object.ptr());
}

}  // namespace

void refuse_unless_exact(const char* name, ExactType type, bool none_ok, Handle value) {
    PyTypeObject* want = builtin_type(type);
    if (!want || Py_IS_TYPE(value.ptr(), want) || (none_ok && value.is_none())) return;
    refuse_argument(name, want, value);
}

Ref Args::global(const Name& name) const { return module_global(Handle(live_or_throw(function_)->module), name); }

Ref module_global(Handle module, const Name& name) {
    PyObject* result = nullptr;
    PyObject* globals = PyModule_GetDict(module.ptr());
    if (check(PyDict_GetItemRef(globals, name.get().ptr(), &result))) return Ref::steal(result);
    if (check(PyDict_GetItemRef(PyEval_GetBuiltins(), name.get().ptr(), &result))) return Ref::steal(result);
    raise(PyExc_NameError, "name '%s' is not defined", name.text());
}

Ref make_function(const FunctionSpec& spec, Handle module) {
    validate_spec(spec);
    PyTypeObject* type = function_type();
    Ref self = check(type->tp_alloc(type, 0));  // zeroed and tracked by the collector
    FunctionObject* f = as_function(self.ptr());
    f->vectorcall = Function_vectorcall;
    f->spec = &spec;
    f->module = Py_NewRef(module.ptr());
    f->name = new_str(spec.name).release();
    f->qualname = new_str(spec.qualname ? spec.qualname : spec.name).release();
    f->module_name = getattr(module, n_dunder_name).release();
    f->doc = spec.doc ? new_str(spec.doc).release() : Py_NewRef(Py_None);
    f->annotations = make_annotations(spec).release();

    Ref names = check(PyTuple_New(spec.params.size()));
    Ref defaults = check(PyList_New(0));
    for (size_t i = 0; i < spec.params.size(); ++i) {
        PyObject* name = PyUnicode_InternFromString(spec.params[i].name);
        if (!name) rethrow();
        PyTuple_SET_ITEM(names.ptr(), i, name);
        if (Ref d = default_value(spec.params[i].default_value)) list_append(defaults, d);
    }
    f->param_names = names.release();
    f->defaults = PyList_GET_SIZE(defaults.ptr()) ? check(PyList_AsTuple(defaults.ptr())).release()
                                                  : Py_NewRef(Py_None);
    return self;
}

Handle function_module(Handle function) noexcept { return Handle(as_function(function.ptr())->module); }

bool is_function(Handle obj) noexcept {
    return function_type_object && obj.type() == reinterpret_cast<PyTypeObject*>(function_type_object.ptr());
}

void set_owner_class(Handle function, Handle cls) noexcept {
    Py_XSETREF(as_function(function.ptr())->owner, Py_NewRef(cls.ptr()));
}

Handle Args::owner_class() const {
    PyObject* owner = live_or_throw(function_)->owner;
    if (!owner) raise(PyExc_RuntimeError, "%s(): no enclosing class", as_function(function_)->spec->name);
    return Handle(owner);
}

}  // namespace binding
