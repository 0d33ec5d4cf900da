// Function objects whose body is C++ but which behave as Python functions.
//
// A `FunctionSpec` describes one function as a Python `def` would: its name,
// qualified name, docstring, parameters (with annotations, defaults and the
// exact-type rule below), `*args`/`**kwargs`, return annotation, and whether
// it is an `async def`. `make_function` turns it into a callable object that
//   - binds arguments by position or keyword, with Python's error messages;
//   - refuses, before the body runs and in parameter order, an argument of a
//     parameter declared `str`/`int`/`list`/`dict` that is not exactly that
//     built-in type (None only where the parameter allows it);
//   - exposes __name__, __qualname__, __module__, __doc__, __annotations__
//     (strings), __defaults__ (assignable, used by calls), __kwdefaults__,
//     __code__ (for introspection only: inspect.signature, help and
//     inspect.iscoroutinefunction read it) and a __dict__;
//   - binds as a method (`__get__` returns a real `types.MethodType`);
//   - is called through vectorcall.
// The body receives an `Args` view of the bound arguments and reaches the
// module's globals through it, looked up at each call.
#pragma once

#include "call.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace binding {

class Async;

// The exact built-in type a parameter requires (Any: no requirement).
enum class ExactType : uint8_t { Any, Str, Int, List, Dict };

// A parameter's default value, as written in a `def`.
struct Default {
    enum Kind : uint8_t { Required, None, False, True, Int, Str } kind = Required;
    long long integer = 0;
    const char* text = nullptr;
};
constexpr Default no_default{};
constexpr Default default_none{Default::None};
constexpr Default default_bool(bool b) { return Default{b ? Default::True : Default::False}; }
constexpr Default default_int(long long i) { return Default{Default::Int, i}; }
constexpr Default default_str(const char* s) { return Default{Default::Str, 0, s}; }

// The most declared parameters a function may have (self included; *args and
// **kwargs not counted): the bound values of a call, and those a coroutine
// object keeps, live in fixed arrays of this size. make_function refuses more.
inline constexpr size_t max_params = 16;

struct Param {
    const char* name;
    const char* annotation = nullptr;  // stored as a string in __annotations__
    ExactType type = ExactType::Any;
    Default default_value = no_default;
    bool none_ok = false;  // None accepted besides the checked type
};

class Args;
using SyncBody = Ref (*)(const Args&);
using AsyncBody = Async (*)(const Args&);

struct FunctionSpec {
    const char* name;
    const char* qualname = nullptr;  // defaults to name
    const char* doc = nullptr;
    std::vector<Param> params;
    const char* varargs = nullptr;  // name of *args, if any
    const char* varargs_annotation = nullptr;
    const char* kwargs = nullptr;  // name of **kwargs, if any
    const char* kwargs_annotation = nullptr;
    const char* returns = nullptr;   // return annotation
    SyncBody body = nullptr;         // a plain function ...
    AsyncBody async_body = nullptr;  // ... or an `async def`
};

// The arguments of one call, bound to the declared parameters.
class Args {
public:
    Args(PyObject* function, PyObject* const* values, PyObject* varargs, Ref* kwargs, bool takes_kwargs,
         PyObject* coroutine = nullptr) noexcept
        : function_(function),
          values_(values),
          varargs_(varargs),
          kwargs_(kwargs),
          takes_kwargs_(takes_kwargs),
          coroutine_(coroutine) {}

    // The i-th declared parameter (self first for methods).
    Handle operator[](size_t i) const noexcept { return Handle(values_[i]); }
    // The extra positional arguments (a tuple).
    Handle varargs() const noexcept { return Handle(varargs_); }
    // The extra keyword arguments: this call's own dict, made on first request
    // when the call passed none (calls without keywords allocate nothing).
    Handle kwargs() const {
        if (!*kwargs_ && takes_kwargs_) *kwargs_ = new_dict();
        return *kwargs_;
    }
    // The extra keyword arguments when the call passed any, else null.
    Handle kwargs_if_any() const noexcept { return *kwargs_; }
    Handle function() const noexcept { return Handle(function_); }
    // The coroutine object running an `async def` body (null for a plain
    // function): who the body is, known from its first step on.
    Handle coroutine() const noexcept { return Handle(coroutine_); }
    // The class whose body defined this function (Python's `__class__` cell),
    // for `super()`-style calls: `call_method(super(a.owner_class(), self), ...)`.
    Handle owner_class() const;
    // The value of a module global (then a built-in) at this moment; NameError if neither exists.
    Ref global(const Name& name) const;

private:
    PyObject* function_;
    PyObject* const* values_;
    PyObject* varargs_;
    Ref* kwargs_;  // owned by the caller of the body (the call, or the coroutine object)
    bool takes_kwargs_;
    PyObject* coroutine_;  // borrowed: the coroutine object owns this view
};

// A function object for `spec` (which must outlive the process), whose
// globals are those of `module`. SystemError for a spec no `def` could
// declare: more than max_params parameters, or a parameter without a default
// after one with a default.
Ref make_function(const FunctionSpec& spec, Handle module);

// The value of `module`'s global `name` (then a built-in) at this moment; NameError if neither exists.
Ref module_global(Handle module, const Name& name);

// The module whose globals a function object uses.
Handle function_module(Handle function) noexcept;

// True for the function objects made by make_function.
bool is_function(Handle obj) noexcept;
// Record the class whose body defines `function` (done by make_class).
void set_owner_class(Handle function, Handle cls) noexcept;

// Refuse `value` for parameter `name` (TypeError) unless its type is exactly
// `type`. Exposed for bodies that refuse a value the binder cannot (none here so far).
void refuse_unless_exact(const char* name, ExactType type, bool none_ok, Handle value);

namespace detail {
// Called by the coroutine bridge: start an `async def` body.
Ref start_coroutine(const FunctionSpec& spec, PyObject* function, PyObject* const* values, size_t count,
                    PyObject* varargs, Ref kwargs);
}  // namespace detail

}  // namespace binding
