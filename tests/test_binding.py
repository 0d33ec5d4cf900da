"""The shared C++ layer, seen through real modules: argument binding and its
messages, the exact-type rule, function attributes, method binding, the
handled-exception scope, the coroutine bridge and the module guards."""

import asyncio
import gc
import inspect
import pickle
import tracemalloc

import pytest

try:
    import veltrano_python_configuration._binding_probe as probe
except ModuleNotFoundError:  # built for the test suite only, not into release wheels
    pytest.skip("the test-only module _binding_probe is not installed", allow_module_level=True)
from support.programs import run_scenario
from veltrano_python_configuration.broker_setup import KafkaConfigurationBuilder

build = KafkaConfigurationBuilder.build


class StrSub(str):
    pass


# --- binding and its errors -------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        (("x",), {}, ("x", 1, None, (), {})),
        (("x", 2, [3], 4, 5), {}, ("x", 2, [3], (4, 5), {})),
        ((), {"a": "x", "c": None, "z": 9}, ("x", 1, None, (), {"z": 9})),
        (("x",), {"b": 0}, ("x", 0, None, (), {})),
    ],
)
def test_binding_by_position_keyword_varargs_and_kwargs(args, kwargs, expected):
    assert probe.bind(*args, **kwargs) == expected


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: build(), "build() takes exactly 2 positional arguments (0 given)"),
        (lambda: KafkaConfigurationBuilder(None).build(), "build() takes exactly 2 positional arguments (1 given)"),
        (lambda: build(1, {}, 3), "build() takes exactly 2 positional arguments (3 given)"),
        (lambda: build(1, {}, extra=1), "build() got an unexpected keyword argument 'extra'"),
        (lambda: build(1, {}, data={}), "build() got multiple values for argument 'data'"),
        (lambda: probe.bind(), "bind() takes at least 1 positional argument (0 given)"),
        (lambda: probe.bind(b=1), "bind() takes at least 1 positional argument (0 given)"),
    ],
)
def test_argument_count_and_keyword_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize(
    "args, name, expected, got, note",
    [
        ((None,), "a", "str", "NoneType", False),
        ((StrSub("x"),), "a", "str", "StrSub", True),
        (("x", True), "b", "int", "bool", True),
        (("x", 1.0), "b", "int", "float", False),
        (("x", 1, ()), "c", "list", "tuple", False),
        ((5, True, ()), "a", "str", "int", False),  # the first failing parameter is reported
    ],
)
def test_exact_type_rule(args, name, expected, got, note):
    with pytest.raises(TypeError) as info:
        probe.bind(*args)
    assert str(info.value) == f"Argument '{name}' has incorrect type (expected {expected}, got {got})"
    notes = getattr(info.value, "__notes__", [])
    assert bool(notes) is note
    if note:
        assert "subclass" in notes[0]


def test_function_attributes_and_introspection():
    assert probe.bind.__name__ == "bind" and probe.bind.__qualname__ == "bind"
    assert probe.bind.__module__ == "veltrano_python_configuration._binding_probe"
    assert probe.bind.__doc__ == "Return the bound arguments."
    assert probe.bind.__defaults__ == (1, None) and probe.bind.__kwdefaults__ is None
    assert probe.bind.__annotations__ == {"a": "str", "b": "int", "c": "Optional[list]", "return": "tuple"}
    sig = "(a: 'str', b: 'int' = 1, c: 'Optional[list]' = None, *rest, **options) -> 'tuple'"
    assert str(inspect.signature(probe.bind)) == sig
    assert inspect.isroutine(probe.bind)
    assert "bind(a: 'str'" in pydoc_text(probe.bind)
    assert pickle.loads(pickle.dumps(build)) is build
    probe.bind.custom = 1
    assert probe.bind.__dict__ == {"custom": 1}


def pydoc_text(obj):
    import pydoc

    return pydoc.render_doc(obj, renderer=pydoc.plaintext)


def test_defaults_are_read_at_each_call():
    saved = probe.bind.__defaults__
    try:
        probe.bind.__defaults__ = (7, [1])
        assert probe.bind("x") == ("x", 7, [1], (), {})
        probe.bind.__defaults__ = None
        with pytest.raises(TypeError, match="takes at least 3 positional arguments"):
            probe.bind("x")
    finally:
        probe.bind.__defaults__ = saved


def test_method_binding_is_a_real_bound_method():
    builder = KafkaConfigurationBuilder(object())
    method = builder.build
    assert inspect.ismethod(method) and method.__func__ is build and method.__self__ is builder
    assert str(inspect.signature(method)) == "(data: 'Dict[str, Any]') -> 'None'"
    assert build.__get__(None, KafkaConfigurationBuilder) is build
    assert staticmethod(probe.bind).__get__(None, object)("x") == ("x", 1, None, (), {})


def test_handled_scope_sets_and_restores_the_handled_exception():
    err = ValueError("v")
    assert probe.handled(err) == (err, None)
    try:
        raise KeyError("outer")
    except KeyError as outer:
        assert probe.handled(err) == (err, outer)


# --- the coroutine bridge ---------------------------------------------------


async def value_later(value):
    await asyncio.sleep(0)
    return value


async def fail_later():
    await asyncio.sleep(0)
    raise KeyError("failed")


def test_coroutine_functions_are_recognised():
    assert asyncio.iscoroutinefunction(probe.await_value)
    assert inspect.iscoroutinefunction(probe.await_value)
    assert not inspect.iscoroutinefunction(probe.bind)
    coro = probe.await_value(None)
    assert asyncio.iscoroutine(coro)
    assert coro.__name__ == "await_value" and "await_value" in repr(coro)
    coro.close()


def test_results_exceptions_and_tuples_come_back_through_await():
    async def main():
        assert await probe.await_value(value_later((1, 2))) == (1, 2)
        results = await probe.await_all(value_later(1), fail_later(), asyncio.sleep(0.001, "slept"))
        assert results[0] == 1 and results[2] == "slept"
        caught, handled = results[1]
        assert isinstance(caught, KeyError) and handled is caught  # handled inside the C++ catch
        with pytest.raises(KeyError):
            await probe.await_value(fail_later())
        loop = asyncio.get_running_loop()
        assert await loop.create_task(probe.await_value(value_later("task"))) == "task"
        await probe.await_value(probe.await_value(value_later(0)))  # bridged awaiting bridged

    asyncio.run(main())


def test_run_coroutine_threadsafe_accepts_bridged_coroutines():
    async def main():
        fut = asyncio.run_coroutine_threadsafe(probe.await_value(value_later(9)), asyncio.get_running_loop())
        await asyncio.sleep(0.01)
        return fut.result()

    assert asyncio.run(main()) == 9


@pytest.mark.parametrize("body", ["let_through", "catch"])
def test_cancellation_reaches_the_cpp_body(body):
    async def main():
        queue = asyncio.Queue()
        if body == "let_through":
            out = []
            task = asyncio.create_task(probe.forever(queue, out))
            for i in range(3):
                queue.put_nowait(i)
            await asyncio.sleep(0.01)
            assert out == [0, 1, 2]
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
        else:
            task = asyncio.create_task(probe.swallow(queue.get()))
            await asyncio.sleep(0)
            task.cancel()
            assert isinstance(await task, asyncio.CancelledError)

    asyncio.run(main())


def test_send_throw_close_protocol():
    coro = probe.await_value(None)
    with pytest.raises(TypeError, match="just-started"):
        coro.send(1)
    coro.close()
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        coro.send(None)

    coro = probe.await_value(None)
    with pytest.raises(ValueError, match="early"):
        coro.throw(ValueError("early"))

    async def main():
        coro = probe.await_value(asyncio.sleep(10))
        fut = coro.send(None)
        assert isinstance(fut, asyncio.Future)
        assert coro.close() is None
        coro = probe.swallow(asyncio.sleep(10))
        coro.send(None)
        with pytest.raises(StopIteration) as stop:
            coro.throw(OSError("thrown"))
        assert isinstance(stop.value.value, OSError)
        with pytest.raises(RuntimeError, match="cannot reuse"):
            coro.throw(OSError)

    asyncio.run(main())


def test_debugging_tools_read_the_coroutine_state():
    seen = []

    class Peek:  # awaited by the body: runs while the coroutine runs
        def __await__(self):
            seen.append(inspect.getcoroutinestate(coro))
            yield
            return "done"

    coro = probe.await_value(Peek())
    assert coro.cr_code is probe.await_value.__code__ and coro.cr_frame.f_code is coro.cr_code
    states = [inspect.getcoroutinestate(coro)]
    coro.send(None)
    states.append(inspect.getcoroutinestate(coro))
    with pytest.raises(StopIteration):
        coro.send(None)
    states.append(inspect.getcoroutinestate(coro))
    assert states == [inspect.CORO_CREATED, inspect.CORO_SUSPENDED, inspect.CORO_CLOSED]
    assert seen == [inspect.CORO_RUNNING] and coro.cr_frame is None


def test_coroutines_do_not_leak():
    async def churn(n):
        for i in range(n):
            await probe.await_value(value_later(i))
            probe.await_value(value_later(i)).close()  # created, never run
            task = asyncio.create_task(probe.forever(asyncio.Queue(), []))
            await asyncio.sleep(0)
            task.cancel()

    import warnings

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # the inner Python coroutines that never ran
        asyncio.run(churn(2000))
        gc.collect()
        tracemalloc.start()
        before = tracemalloc.get_traced_memory()[0]
        asyncio.run(churn(5000))
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
        tracemalloc.stop()
    assert grown < 64 * 1024


def test_abandoned_suspended_coroutine_is_collected_with_its_cycle():
    import weakref

    class Waiter:
        def __await__(self):
            yield None

    waiter = Waiter()
    coro = probe.await_value(waiter)
    waiter.coro = coro  # coroutine -> argument -> coroutine
    coro.send(None)
    ref = weakref.ref(coro)
    del coro, waiter
    gc.collect()
    assert ref() is None


@pytest.mark.parametrize("function", ["await_call", "await_held"])
def test_abandoned_coroutine_holding_a_cycle_in_its_body_is_collected(function):
    # The body keeps the awaitable it made (a temporary of the co_await, or an
    # object kept with hold()); the awaitable leads back to the coroutine. An
    # owning reference in the C++ frame that the collector cannot see would
    # keep the whole cycle alive for ever.
    import weakref

    class Waiter:
        def __await__(self):
            yield None

    waiter = Waiter()

    async def inner():
        await waiter  # noqa: F821 (deleted below, once the cycle is made)

    coro = getattr(probe, function)(inner)
    waiter.coro = coro  # coroutine -> inner coroutine -> waiter -> coroutine
    coro.send(None)
    ref = weakref.ref(coro)
    del coro, waiter
    gc.collect()
    assert ref() is None


# --- module initialisation --------------------------------------------------


@pytest.mark.parametrize("module", ["broker_setup", "journal_setup", "cache_access", "service_toolkit"])
def test_second_initialisation_is_refused(module):
    _, err, out = run_scenario("second_initialisation", module=module)
    assert out.strip() == f"Module '{module}' has already been imported. Re-initialisation is not supported.", err


def test_import_into_a_second_interpreter_is_refused():
    _, err, out = run_scenario("second_interpreter")
    assert out.strip() == (
        "ImportError: Interpreter change detected - this module can only be loaded into one interpreter per process."
    ), err
