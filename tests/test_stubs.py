"""The .pyi stubs shipped with the package agree with the compiled modules.

mypy's stubtest imports each module and compares every name, class, base,
metaclass, signature (parameter names, kinds, defaults) and coroutine flag
with the stub. A second check compares each function object's own signature
with its stub, annotations included, which stubtest leaves out. A third
makes sure the stub also declares the names a module re-exports (asyncio,
logging, redis, Union, ...), which stubtest itself does not demand.
"""

import ast
import copy
import functools
import importlib
import inspect
import os
import pathlib
import subprocess
import sys

import pytest

MODULES = ["journal_setup", "cache_access", "service_toolkit", "broker_setup"]
PACKAGE = "veltrano_python_configuration"
# The modules come from wherever this session imports the package (a build
# folder on PYTHONPATH or an installed wheel); the stubs from the source tree
# when the tests run from a checkout, else from the installed package.
RUNTIME_DIR = pathlib.Path(importlib.import_module(PACKAGE).__file__).parent
SOURCE_ROOT = pathlib.Path(__file__).resolve().parent.parent / "src"
STUB_DIR = SOURCE_ROOT / PACKAGE if (SOURCE_ROOT / PACKAGE).is_dir() else RUNTIME_DIR


def stubtest(module, cwd):
    """Run stubtest on one module in a fresh interpreter."""
    pytest.importorskip("mypy.stubtest", reason="mypy is not installed (python -m pip install mypy)")
    env = dict(os.environ)
    if STUB_DIR != RUNTIME_DIR:
        # mypy refuses site-packages on MYPYPATH; installed stubs it finds itself.
        env["MYPYPATH"] = str(STUB_DIR.parent)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(RUNTIME_DIR.parent), env.get("PYTHONPATH")]))
    command = [sys.executable, "-m", "mypy.stubtest", f"{PACKAGE}.{module}"]
    return subprocess.run(command, cwd=cwd, env=env, capture_output=True, text=True, timeout=50)


@pytest.mark.parametrize("module", MODULES)
def test_stub_matches_module(module, tmp_path):
    result = stubtest(module, tmp_path)
    if result.returncode != 0 or "Success: no issues found" not in result.stdout:
        pytest.fail(result.stdout + result.stderr, pytrace=False)


# Where a stub says more than the annotation string its function object
# carries (which stays as callers have always seen it): (the function
# object's annotation, the stub's), both in canonical spelling.
REFINED = {
    ("any", "Any"): "the builtin any stands for typing.Any",
    ("list", "list[dict[str, Any]]"): "the batch's items are dictionaries",
    ("bool", "int"): "delete gives the number of keys removed, or False after a logged failure",
    ("int", "int | None"): "a message_type of None is accepted (an 'other' message)",
    ("None", "NoReturn"): "the consumer loops end only by cancellation or an escaping exception",
    ("logging.Logger | None", "_ErrorLogger | None"): "a messenger uses only its logger's error(msg, exc_info=...)",
    ("datetime.timetuple", "time.struct_time"): "what time_tz returns",
    ("IRedisClient | object", "ProductionRedisClient | DevelopmentRedisClient | _Connection"): "what create returns",
}
TYPING_ALIASES = {"Dict": "dict", "List": "list", "Tuple": "tuple", "Set": "set", "Type": "type"}


class _Canonical(ast.NodeTransformer):
    """Optional[X] and Union[X, Y] as X | None and X | Y, typing's Dict and the like as the builtins."""

    def visit_Name(self, node):
        return ast.Name(TYPING_ALIASES.get(node.id, node.id))

    def visit_Attribute(self, node):
        node = self.generic_visit(node)
        is_typing = isinstance(node.value, ast.Name) and node.value.id == "typing"
        return self.visit_Name(ast.Name(node.attr)) if is_typing else node

    def visit_Subscript(self, node):
        node = self.generic_visit(node)
        if not (isinstance(node.value, ast.Name) and node.value.id in ("Optional", "Union")):
            return node
        members = node.slice.elts if isinstance(node.slice, ast.Tuple) else [node.slice]
        if node.value.id == "Optional":
            members = [*members, ast.Constant(None)]
        return functools.reduce(lambda left, right: ast.BinOp(left, ast.BitOr(), right), members)


def canonical(annotation):
    """An annotation (a function object's string or a stub's expression) in one spelling; None for none."""
    if annotation is None or annotation is inspect.Parameter.empty:
        return None
    tree = ast.parse(annotation, mode="eval").body if isinstance(annotation, str) else copy.deepcopy(annotation)
    return ast.unparse(_Canonical().visit(tree))


def stub_defs(path):
    """A stub's defs by qualified name (of overloads the last, the general one) and its classes' bases."""
    defs, bases = {}, {}

    def walk(body, prefix):
        for node in body:
            if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
                defs[prefix + node.name] = node
            elif isinstance(node, ast.ClassDef):
                bases[node.name] = [ast.unparse(base) for base in node.bases]
                walk(node.body, node.name + ".")

    walk(ast.parse(path.read_text()).body, "")
    return defs, bases


def stub_signature(node):
    """[(name, kind, default, annotation)] of a stub's def, then ("return", None, None, its annotation)."""
    a, kind = node.args, inspect.Parameter
    positional = a.posonlyargs + a.args
    defaults = [None] * (len(positional) - len(a.defaults)) + a.defaults
    rows = [
        (p.arg, kind.POSITIONAL_ONLY if p in a.posonlyargs else kind.POSITIONAL_OR_KEYWORD, d, p.annotation)
        for p, d in zip(positional, defaults)
    ]
    rows += [(p.arg, kind.VAR_POSITIONAL, None, p.annotation) for p in [a.vararg] if p]
    rows += [(p.arg, kind.KEYWORD_ONLY, d, p.annotation) for p, d in zip(a.kwonlyargs, a.kw_defaults)]
    rows += [(p.arg, kind.VAR_KEYWORD, None, p.annotation) for p in [a.kwarg] if p]
    rows = [(name, k, "-" if d is None else repr(ast.literal_eval(d)), canonical(t)) for name, k, d, t in rows]
    return rows + [("return", None, None, canonical(node.returns))]


def runtime_signature(function):
    """The same rows for a function object, from inspect.signature (which reads its __defaults__,
    __kwdefaults__ and __annotations__)."""
    signature = inspect.signature(function)
    rows = [
        (p.name, p.kind, "-" if p.default is p.empty else repr(p.default), canonical(p.annotation))
        for p in signature.parameters.values()
    ]
    return rows + [("return", None, None, canonical(signature.return_annotation))]


def function_objects(module):
    """The module's function objects by qualified name, its classes' methods included."""
    found = {}
    for name, value in vars(module).items():
        if isinstance(value, type) and value.__module__ == module.__name__:
            found.update((f"{name}.{member}", inner) for member, inner in vars(value).items())
        else:
            found[name] = value
    found = {name: getattr(value, "__func__", value) for name, value in found.items()}  # staticmethod
    return {name: value for name, value in found.items() if type(value).__name__ == "native_function"}


def find_stub(defs, bases, name):
    """The stub's def of a function, a method looked up through the stub's base classes."""
    owner, _, member = name.rpartition(".")
    while owner and name not in defs and bases.get(owner):
        owner = bases[owner][0]
        name = f"{owner}.{member}"
    return defs.get(name)


@pytest.mark.parametrize("module", MODULES)
def test_stub_signatures_match_the_function_objects(module):
    defs, bases = stub_defs(STUB_DIR / f"{module}.pyi")
    differences = []
    for name, function in function_objects(importlib.import_module(f"{PACKAGE}.{module}")).items():
        stub = find_stub(defs, bases, name)
        if stub is None:
            differences.append(f"{name}: no stub")
            continue
        runtime, stubbed = runtime_signature(function), stub_signature(stub)
        if [row[:3] for row in runtime] != [row[:3] for row in stubbed]:
            differences.append(
                f"{name}: parameters {[r[:3] for r in runtime]} in the module, {[r[:3] for r in stubbed]} in the stub"
            )
            continue
        for (parameter, _, _, own), (_, _, _, stated) in zip(runtime, stubbed):
            # A parameter the function object leaves unannotated the stub may annotate as it sees fit.
            if own is not None and own != stated and (own, stated) not in REFINED:
                differences.append(f"{name}, {parameter}: {own!r} in the module, {stated!r} in the stub")
    assert not differences, "\n".join(differences)


def stub_exports(path):
    """The names a stub makes public: definitions, explicit re-exports
    (`import x as x`, `from m import x as x`; a plain `import` or an import
    under another name stays private to the stub) and assignments."""
    names = set()
    for node in ast.parse(path.read_text()).body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef, ast.AsyncFunctionDef)):
            names.add(node.name)
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            names.update(alias.asname for alias in node.names if alias.asname == alias.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
        elif isinstance(node, ast.Assign):
            names.update(target.id for target in node.targets if isinstance(target, ast.Name))
    return names


@pytest.mark.parametrize("module", MODULES)
def test_stub_declares_every_module_attribute(module):
    runtime = importlib.import_module(f"{PACKAGE}.{module}")
    attributes = {name for name in vars(runtime) if not name.startswith("__")}
    missing = attributes - stub_exports(STUB_DIR / f"{module}.pyi")
    assert not missing, f"{module}.pyi lacks {sorted(missing)}"


def test_package_is_marked_typed():
    assert (STUB_DIR / "py.typed").is_file()
