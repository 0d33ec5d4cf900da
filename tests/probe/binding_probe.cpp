// veltrano_python_configuration._binding_probe: a test-only module that drives
// the shared C++ layer directly (argument binding, the handled-exception
// scope, the coroutine bridge). Built and installed only for the test suite.
#include "binding/coroutine.hpp"
#include "binding/module.hpp"

#include <stdexcept>
#include <string_view>
#include <utility>

using namespace binding;

namespace {

Name n_sys_exception("exception");

// def bind(a: str, b: int = 1, c: Optional[list] = None, *rest, **options) -> (a, b, c, rest, options)
Ref bind(const Args& a) { return new_tuple({a[0], a[1], a[2], a.varargs(), a.kwargs()}); }
const FunctionSpec bind_spec{
    .name = "bind",
    .doc = "Return the bound arguments.",
    .params = {{"a", "str", ExactType::Str},
               {"b", "int", ExactType::Int, default_int(1)},
               {"c", "Optional[list]", ExactType::List, default_none, true}},
    .varargs = "rest",
    .kwargs = "options",
    .returns = "tuple",
    .body = bind,
};

// def handled(exc): sys.exception() while `exc` is the handled exception, and after.
Ref handled(const Args& a) {
    Ref sys = import("sys");
    Ref inside;
    {
        PyError error(a[0].ref());
        HandledScope scope(error);
        inside = call_method(sys, n_sys_exception);
    }
    return new_tuple({inside, call_method(sys, n_sys_exception)});
}
const FunctionSpec handled_spec{.name = "handled", .params = {{"exc"}}, .body = handled};

// async def await_value(awaitable): return await awaitable
Async await_value(const Args& a) { co_return co_await a[0]; }
const FunctionSpec await_value_spec{.name = "await_value", .params = {{"awaitable"}}, .async_body = await_value};

// async def await_all(*awaitables): return [await x for x in awaitables], catching
// Exception for each (the caught exception is put in the list together with
// sys.exception() as seen inside the handler).
Async await_all(const Args& a) {
    Ref results = new_list();
    Handle items = a.varargs();
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.ptr()); ++i) {
        try {
            list_append(results, co_await Handle(PyTuple_GET_ITEM(items.ptr(), i)));
        } catch (PyError& e) {
            if (!e.matches(PyExc_Exception)) throw;
            HandledScope scope(e);
            list_append(results, new_tuple({e.value(), call_method(import("sys"), n_sys_exception)}));
        }
    }
    co_return results;
}
const FunctionSpec await_all_spec{.name = "await_all", .varargs = "awaitables", .async_body = await_all};

// async def forever(queue, out): while True: out.append(await queue.get())
Name n_get("get");
Async forever(const Args& a) {
    for (;;) list_append(a[1], co_await call_method(a[0], n_get));
}
const FunctionSpec forever_spec{.name = "forever", .params = {{"queue"}, {"out"}}, .async_body = forever};

// async def swallow(awaitable): await it; on any BaseException (cancellation
// included) return the exception instead of raising.
Async swallow(const Args& a) {
    try {
        co_await a[0];
    } catch (PyError& e) {
        co_return e.value();
    }
    co_return none();
}
const FunctionSpec swallow_spec{.name = "swallow", .params = {{"awaitable"}}, .async_body = swallow};

// async def await_call(factory): return await factory()
// (the awaitable is a temporary of the co_await expression)
Async await_call(const Args& a) { co_return co_await call(a[0]); }
const FunctionSpec await_call_spec{.name = "await_call", .params = {{"factory"}}, .async_body = await_call};

// async def await_held(factory): the awaitable made by factory() is held by
// the body across its co_await through hold(), then awaited.
Async await_held(const Args& a) {
    Handle awaitable = co_await hold(call(a[0]));
    co_return co_await awaitable;
}
const FunctionSpec await_held_spec{.name = "await_held", .params = {{"factory"}}, .async_body = await_held};

// def misordered(a, b=1, c): a spec whose defaults are not last (make_function refuses it).
const FunctionSpec misordered_spec{
    .name = "misordered", .params = {{"a"}, {"b", nullptr, ExactType::Any, default_int(1)}, {"c"}}, .body = bind};

// A spec with more parameters than a function may have (make_function refuses it).
const FunctionSpec too_many_spec = [] {
    FunctionSpec s{.name = "too_many", .body = bind};
    s.params.assign(max_params + 1, Param{"p"});
    return s;
}();

// def make_function(name): a new function object, in this module, from the
// probe's spec called `name` (a fresh object that a test may spoil, or one
// that make_function must refuse).
Ref make_function_named(const Args& a) {
    static const std::pair<std::string_view, const FunctionSpec*> specs[] = {{"bind", &bind_spec},
                                                                             {"await_value", &await_value_spec},
                                                                             {"too_many", &too_many_spec},
                                                                             {"misordered", &misordered_spec}};
    const char* name = PyUnicode_AsUTF8(a[0].ptr());
    if (!name) rethrow();
    for (const auto& [spec_name, spec] : specs)
        if (spec_name == name) return make_function(*spec, function_module(a.function()));
    raise(PyExc_ValueError, "no spec named '%s'", name);
}
const FunctionSpec make_function_spec{
    .name = "make_function", .params = {{"name", "str", ExactType::Str}}, .body = make_function_named};

// def clear(obj): run obj's tp_clear, as the collector does to break a cycle
// (the object stays, with its references dropped).
Ref clear(const Args& a) {
    inquiry clear_slot = a[0].type()->tp_clear;
    if (!clear_slot) raise(PyExc_TypeError, "%s has no tp_clear", a[0].type()->tp_name);
    clear_slot(a[0].ptr());
    return none().ref();
}
const FunctionSpec clear_spec{.name = "clear", .params = {{"obj"}}, .body = clear};

// async def cpp_throw(): the body throws a C++ exception that is not a Python error.
Async cpp_throw(const Args&) {
    throw std::runtime_error("fault in the C++ body");
    co_return none();
}
const FunctionSpec cpp_throw_spec{.name = "cpp_throw", .async_body = cpp_throw};

// CppFault(): an object whose am_await throws a C++ exception that is not a
// Python error, so a step of the coroutine core (awaitable_iterator) fails
// outside the body. Await it only from a bridged coroutine, which calls
// am_await from C++; the interpreter calls it from C, where no C++ exception may pass.
[[noreturn]] PyObject* cpp_fault_await(PyObject*) { throw std::runtime_error("fault in the C++ of __await__"); }
PyType_Slot cpp_fault_slots[] = {{Py_am_await, reinterpret_cast<void*>(cpp_fault_await)}, {0, nullptr}};
PyType_Spec cpp_fault_spec = {"veltrano_python_configuration._binding_probe.CppFault", sizeof(PyObject), 0,
                              Py_TPFLAGS_DEFAULT, cpp_fault_slots};

void exec(Module m) {
    m.add("bind", m.function(bind_spec));
    m.add("handled", m.function(handled_spec));
    m.add("await_value", m.function(await_value_spec));
    m.add("await_all", m.function(await_all_spec));
    m.add("forever", m.function(forever_spec));
    m.add("swallow", m.function(swallow_spec));
    m.add("await_call", m.function(await_call_spec));
    m.add("await_held", m.function(await_held_spec));
    m.add("make_function", m.function(make_function_spec));
    m.add("clear", m.function(clear_spec));
    m.add("cpp_throw", m.function(cpp_throw_spec));
    m.add("CppFault", check(PyType_FromModuleAndSpec(m.ptr(), &cpp_fault_spec, nullptr)));
}

}  // namespace

BINDING_MODULE(_binding_probe, exec)
