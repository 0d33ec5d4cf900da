// Module initialisation guards and class creation.
#include "module.hpp"

#include "lifecycle.hpp"
#include "names.hpp"

#include <cstddef>

namespace binding {
namespace {

Name n_name("name");

// The interpreter that first imported a module of this library, and the
// module object that was initialised (kept: it is never initialised twice).
int64_t first_interpreter = -1;
Forever initialised;

// Warn when the runtime's major.minor version is not the one compiled against.
void check_runtime_version(const char* full_name) {
    const unsigned long compiled = PY_VERSION_HEX, running = Py_Version, major_minor = 0xFFFF0000UL;
    if ((compiled & major_minor) == (running & major_minor)) return;
    char message[200];
    PyOS_snprintf(message, sizeof(message),
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  static_cast<int>(compiled >> 24), static_cast<int>((compiled >> 16) & 0xFF), full_name,
                  "does not match", static_cast<int>(running >> 24), static_cast<int>((running >> 16) & 0xFF));
    check(PyErr_WarnEx(PyExc_RuntimeWarning, message, 1));
}

}  // namespace

ModuleInit::ModuleInit(const char* short_name, const char* full_name, Exec exec) noexcept
    : def_{PyModuleDef_HEAD_INIT, short_name, nullptr, 0, nullptr, slots_, nullptr, nullptr, nullptr},
      slots_{{Py_mod_create, reinterpret_cast<void*>(&ModuleInit::create)},
             {Py_mod_exec, reinterpret_cast<void*>(&ModuleInit::exec)},
             // Not supported: a module keeps process-wide state in statics; create() refuses a
             // second interpreter with its own message where the interpreter itself lets it in.
             {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
             {0, nullptr}},
      short_name_(short_name),
      full_name_(full_name),
      exec_(exec) {
    static_assert(offsetof(ModuleInit, def_) == 0);
}

PyObject* ModuleInit::create(PyObject* spec, PyModuleDef*) {
    return boundary<PyObject*>(nullptr, [&] {
        int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (first_interpreter == -1)
            first_interpreter = current;
        else if (current != first_interpreter)
            raise(PyExc_ImportError,
                  "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        Ref name = getattr(Handle(spec), n_name);
        return check(PyModule_NewObject(name.ptr())).release();
    });
}

int ModuleInit::exec(PyObject* module) {
    auto* self = reinterpret_cast<ModuleInit*>(PyModule_GetDef(module));
    return boundary(-1, [&] {
        if (initialised) {
            if (initialised.is(Handle(module))) return 0;
            raise(PyExc_RuntimeError, "Module '%s' has already been imported. Re-initialisation is not supported.",
                  self->short_name_);
        }
        initialised.set(Ref::borrow(module));
        check_runtime_version(self->full_name_);
        detail::install_lifecycle(Module(module));
        self->exec_(Module(module));
        return 0;
    });
}

Ref make_class(Handle module, const char* name, std::initializer_list<Handle> bases, const char* doc,
               std::span<const Member> members, Handle metaclass) {
    Ref base_tuple = new_tuple(bases);
    Ref meta = metaclass      ? metaclass.ref()
               : bases.size() ? Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(bases.begin()->ptr())))
                              : Ref::borrow(reinterpret_cast<PyObject*>(&PyType_Type));
    Ref py_name = new_str(name);
    Ref ns = call_method(meta, n_dunder_prepare, py_name, base_tuple);
    set_item(ns, n_dunder_module, getattr(module, n_dunder_name));
    set_item(ns, n_dunder_qualname, py_name);
    if (doc) set_item(ns, n_dunder_doc, new_str(doc));
    for (const Member& m : members) set_item(ns, new_str(m.name), m.value);
    Ref cls = call(meta, py_name, base_tuple, ns);
    for (const Member& m : members) {
        Handle f = m.value;
        if (PyObject_TypeCheck(f.ptr(), &PyStaticMethod_Type) || PyObject_TypeCheck(f.ptr(), &PyClassMethod_Type)) {
            Ref inner = check(PyObject_GetAttrString(f.ptr(), "__func__"));
            if (is_function(inner)) set_owner_class(inner, cls);
        } else if (is_function(f)) {
            set_owner_class(f, cls);
        }
    }
    return cls;
}

}  // namespace binding
