"""The package as shipped: its type stubs follow the extension, and every version agrees."""
import ast
import re
import subprocess
import sys
from pathlib import Path

import velmora
from velmora import _core

PACKAGE = Path(velmora.__file__).parent
PYPROJECT = Path(__file__).resolve().parents[2] / "pyproject.toml"


def _runtime_parameters(function):
    """Parameter names from pybind11's signature line, "name(a: T, b: T = d, *, c: T = d) -> R";
    a name with a default is followed by '='."""
    line = function.__doc__.splitlines()[0]
    inside = line[line.index("(") + 1:line.rindex(") -> ")]
    if not inside.strip():
        return []
    parameters, depth, current = [], 0, ""
    for char in inside + ",":
        depth += (char in "([{") - (char in ")]}")
        if char == "," and depth == 0:
            name = re.match(r"\s*([*/]|\w+)", current).group(1)
            parameters.append(name + ("=" if "=" in current else ""))
            current = ""
        else:
            current += char
    return parameters


def _stub_parameters(definition):
    args = definition.args
    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + args.defaults
    names = [a.arg + ("=" if d is not None else "") for a, d in zip(positional, defaults)]
    if args.posonlyargs:
        names.insert(len(args.posonlyargs), "/")
    if args.kwonlyargs:
        names.append("*")
    names += [a.arg + ("=" if d is not None else "") for a, d in zip(args.kwonlyargs, args.kw_defaults)]
    return names


def test_stubs_name_every_function_with_the_extensions_parameters():
    assert (PACKAGE / "py.typed").is_file()
    stub = ast.parse((PACKAGE / "_core.pyi").read_text())
    stubbed = {node.name: _stub_parameters(node) for node in stub.body if isinstance(node, ast.FunctionDef)}
    runtime = {name: _runtime_parameters(getattr(_core, name)) for name in dir(_core)
               if not name.startswith("_") and callable(getattr(_core, name)) and not isinstance(getattr(_core, name),
                                                                                              type)}
    assert sorted(stubbed) == sorted(runtime)
    for name in runtime:
        assert (name, stubbed[name]) == (name, runtime[name])
    # Classes: every method the stub names, and every public one the extension has.
    for node in stub.body:
        if not isinstance(node, ast.ClassDef) or node.name.startswith("_"):
            continue
        cls = getattr(_core, node.name)
        methods = {m.name: _stub_parameters(m) for m in node.body
                   if isinstance(m, ast.FunctionDef) and not m.decorator_list}
        public = {n for n, v in vars(cls).items() if not n.startswith("_") and not isinstance(v, property)}
        assert public <= set(methods), node.name
        for name, parameters in methods.items():
            assert (node.name, name, parameters) == (node.name, name, _runtime_parameters(getattr(cls, name)))
    # The parser itself, on the forms the extension may take: keyword-only parameters, brackets.
    assert _runtime_parameters(type("F", (), {"__doc__": "f(a: Tuple[int, int], *, b: object = None) -> None"})) == [
        "a", "*", "b="]


def test_one_version_everywhere():
    assert velmora.__version__ == _core.__version__
    if PYPROJECT.is_file():
        assert re.search(r'^version = "(.+)"$', PYPROJECT.read_text(), re.M).group(1) == velmora.__version__
    shown = subprocess.run([sys.executable, "-m", "velmora", "--version"], capture_output=True, text=True)
    assert (shown.returncode, shown.stdout) == (0, f"velmora {velmora.__version__}\n")
    # An installed wheel carries the library under its SONAME, which holds the major version.
    bundled = list(PACKAGE.glob("libVelmora.so*"))
    assert [p.name for p in bundled] in ([], ["libVelmora.so." + velmora.__version__.split(".")[0]])
