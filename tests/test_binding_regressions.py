"""Faults found in the shared C++ layer, each pinned by the smallest check
that shows it."""

import pytest

from support.programs import run_scenario

try:
    import veltrano_python_configuration._binding_probe  # noqa: F401
except ModuleNotFoundError:  # built for the test suite only, not into release wheels
    pytest.skip("the test-only module _binding_probe is not installed", allow_module_level=True)


def test_code_of_a_function_whose_module_was_set_to_a_non_str():
    # __code__ is made on first use, so a fresh interpreter sees it being made.
    _, err, out = run_scenario("function_code_module")
    assert out.split() == ["<" + str(10**30) + ">", "refused", "None", "<None>"], err


@pytest.mark.parametrize("attribute", ["__module__", "__name__", "__qualname__"])
def test_collector_sees_what_a_function_attribute_holds(attribute):
    import gc

    from veltrano_python_configuration import _binding_probe as probe

    class Text(str):
        pass

    function = probe.await_held
    saved = getattr(function, attribute)
    value = Text("await_held")
    setattr(function, attribute, value)
    try:
        assert any(r is value for r in gc.get_referents(function))
    finally:
        setattr(function, attribute, saved)


@pytest.mark.parametrize("through_await", [False, True], ids=["coroutine", "await_iterator"])
@pytest.mark.parametrize("nargs", [0, 4])
def test_throw_argument_count_errors_read_as_the_interpreters(nargs, through_await):
    from veltrano_python_configuration import _binding_probe as probe

    async def native():
        pass

    def message(coro):
        target = coro.__await__() if through_await else coro
        with pytest.raises(TypeError) as info:
            target.throw(*[ValueError] * nargs)
        coro.close()
        return str(info.value)

    assert message(probe.await_value(None)) == message(native())


@pytest.mark.parametrize(
    "name, message",
    [
        ("too_many", "too_many(): more than 16 parameters"),
        ("misordered", "misordered(): parameter 'c' without a default follows parameter 'b', which has one"),
    ],
)
def test_a_spec_no_def_could_declare_is_refused_when_the_function_is_made(name, message):
    from veltrano_python_configuration import _binding_probe as probe

    with pytest.raises(SystemError) as info:
        probe.make_function(name)
    assert str(info.value) == message


def fresh(kind):
    from veltrano_python_configuration import _binding_probe as probe

    if kind == "function":
        return probe.make_function("bind")
    coro = probe.await_value(None)
    return coro.__await__() if kind == "await_iterator" else coro


CLEARED_USES = {
    "function": [
        "obj('x')",
        "obj.__get__(object())",
        "repr(obj)",
        "obj.__reduce__()",
        "obj.__name__",
        "obj.__qualname__",
        "obj.__doc__",
        "obj.__defaults__",
        "obj.__annotations__",
        "obj.__globals__",
        "obj.__code__",
        "setattr(obj, '__defaults__', None)",
        "setattr(obj, '__annotations__', {})",
        "setattr(obj, '__name__', 'f')",
        "setattr(obj, '__doc__', 'd')",
    ],
    "coroutine": [
        "obj.send(None)",
        "obj.throw(ValueError)",
        "obj.close()",
        "obj.__await__()",
        "repr(obj)",
        "obj.__name__",
        "obj.__qualname__",
        "obj.cr_code",
        "obj.cr_frame",
        "obj.cr_await",
        "obj.cr_running",
    ],
    "await_iterator": ["next(obj)", "obj.send(None)", "obj.throw(ValueError)", "obj.close()"],
}


@pytest.mark.parametrize("kind, use", [(kind, use) for kind, uses in CLEARED_USES.items() for use in uses])
def test_an_object_whose_references_the_collector_dropped_raises_instead_of_crashing(kind, use):
    from veltrano_python_configuration import _binding_probe as probe

    obj = fresh(kind)
    probe.clear(obj)
    with pytest.raises(RuntimeError, match="was cleared to break a reference cycle"):
        eval(use, {"obj": obj})


@pytest.mark.parametrize("source", ["awaited_object", "body"])
def test_a_cpp_exception_in_a_coroutine_ends_it_with_a_python_error(source):
    from veltrano_python_configuration import _binding_probe as probe

    coro = probe.await_value(probe.CppFault()) if source == "awaited_object" else probe.cpp_throw()
    with pytest.raises(SystemError, match=r"^fault in the C\+\+"):
        coro.send(None)
    assert coro.cr_frame is None
    with pytest.raises(RuntimeError, match="cannot reuse"):
        coro.send(None)


def test_daemon_threads_ended_inside_our_frames_let_the_process_exit():
    rc, err, out = run_scenario("threads_ended_in_cpp")
    assert (rc, out.split()) == (0, ["exiting"]), err
