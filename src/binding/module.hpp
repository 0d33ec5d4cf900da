// Module initialisation (multi-phase) and class creation.
//
// Each extension module declares itself with
//
//     static void exec(binding::Module m) { m.add("name", value); ... }
//     BINDING_MODULE(broker_setup, exec)
//
// `exec` binds the module's attributes in order. A module is initialised
// once per process and into one interpreter only: importing it again after it
// was removed from sys.modules raises RuntimeError, and importing it into a
// second interpreter raises ImportError. A runtime whose major.minor version
// differs from the headers it was built with gets a RuntimeWarning.
#pragma once

#include "function.hpp"

#include <initializer_list>
#include <span>

namespace binding {

// The module being initialised, with helpers that bind its attributes.
class Module : public Handle {
public:
    explicit Module(PyObject* m) noexcept : Handle(m) {}
    // Bind `name` to `value` (in the order of the calls).
    void add(const char* name, Handle value) const { check(PyModule_AddObjectRef(p_, name, value.ptr())); }
    // A function object whose globals are this module's.
    Ref function(const FunctionSpec& spec) const { return make_function(spec, *this); }
    // The current value of a module attribute.
    Ref attr(const char* name) const { return check(PyObject_GetAttrString(p_, name)); }
};

// A class attribute in a class body, in order.
struct Member {
    const char* name;
    Ref value;
};

// The class `name(*bases)` defined in `module`, made as a class statement
// makes it: `metaclass.__prepare__`, a namespace holding `__module__`,
// `__qualname__`, `__doc__` (when `doc` is given) and the members in order,
// then `metaclass(name, bases, namespace)`. Without an explicit metaclass
// the metaclass of the first base is used (`type` without bases).
Ref make_class(Handle module, const char* name, std::initializer_list<Handle> bases, const char* doc,
               std::span<const Member> members, Handle metaclass = Handle());
inline Ref make_class(Handle module, const char* name, std::initializer_list<Handle> bases, const char* doc,
                      std::initializer_list<Member> members, Handle metaclass = Handle()) {
    return make_class(module, name, bases, doc, std::span<const Member>(members.begin(), members.size()), metaclass);
}

class ModuleInit {
public:
    using Exec = void (*)(Module);
    ModuleInit(const char* short_name, const char* full_name, Exec exec) noexcept;
    PyObject* init() noexcept { return PyModuleDef_Init(&def_); }

private:
    static PyObject* create(PyObject* spec, PyModuleDef* def);
    static int exec(PyObject* module);

    PyModuleDef def_;  // first member: the slots find the ModuleInit from it
    PyModuleDef_Slot slots_[4];
    const char* short_name_;
    const char* full_name_;
    Exec exec_;
};

}  // namespace binding

#define BINDING_MODULE(short_name, exec_function)                                                                  \
    static binding::ModuleInit short_name##_module_init(#short_name, "veltrano_python_configuration." #short_name, \
                                                        exec_function);                                            \
    PyMODINIT_FUNC PyInit_##short_name(void) { return short_name##_module_init.init(); }
