"""The .pyi stubs shipped with the package agree with the compiled modules.

mypy's stubtest imports each module and compares every name, class, base,
metaclass, signature (parameter names, kinds, defaults) and coroutine flag
with the stub. A second check makes sure the stub also declares the names a
module re-exports (asyncio, logging, redis, Union, ...), which stubtest
itself does not demand.
"""

import ast
import importlib
import os
import pathlib
import subprocess
import sys

import pytest

pytest.importorskip("mypy.stubtest", reason="mypy is not installed (python -m pip install mypy)")

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
