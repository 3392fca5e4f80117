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


def _parameters(definition):
    """A definition's parameters as names, '=' after those with a default, '/' and '*' where the
    signature has them; 'self' left out."""
    args = definition.args
    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + args.defaults
    names = [a.arg + ("=" if d is not None else "") for a, d in zip(positional, defaults)]
    if args.posonlyargs:
        names.insert(len(args.posonlyargs), "/")
    if args.kwonlyargs:
        names.append("*")
    names += [a.arg + ("=" if d is not None else "") for a, d in zip(args.kwonlyargs, args.kw_defaults)]
    return [n for n in names if n != "self"]


def _runtime_parameters(function):
    """pybind11 opens each docstring with the signature in Python's own syntax,
    "name(a: T, b: T = d, *, c: T = d) -> R", which Python's parser reads as a definition."""
    return _parameters(ast.parse(f"def {function.__doc__.splitlines()[0]}: ...").body[0])


def test_stubs_name_every_function_and_method_with_the_extensions_parameters():
    assert (PACKAGE / "py.typed").is_file()
    stub = ast.parse((PACKAGE / "_core.pyi").read_text())
    stubbed = {node.name: _parameters(node) for node in stub.body if isinstance(node, ast.FunctionDef)}
    runtime = {name: _runtime_parameters(getattr(_core, name)) for name in dir(_core)
               if not name.startswith("_") and callable(getattr(_core, name))
               and not isinstance(getattr(_core, name), type)}
    assert stubbed == runtime
    classes = [node for node in stub.body if isinstance(node, ast.ClassDef) and not node.name.startswith("_")]
    assert sorted(c.name for c in classes) == sorted(n for n in dir(_core) if isinstance(getattr(_core, n), type))
    for node in classes:
        cls = getattr(_core, node.name)
        methods = {m.name: _parameters(m) for m in node.body if isinstance(m, ast.FunctionDef) and not m.decorator_list}
        public = {n for n, v in vars(cls).items() if not n.startswith("_") and not isinstance(v, property)}
        assert public <= set(methods), node.name
        for name, parameters in methods.items():
            assert (node.name, name, parameters) == (node.name, name, _runtime_parameters(getattr(cls, name)))


def test_one_version_everywhere():
    assert velmora.__version__ == _core.__version__
    if PYPROJECT.is_file():
        assert re.search(r'^version = "(.+)"$', PYPROJECT.read_text(), re.M).group(1) == velmora.__version__
    shown = subprocess.run([sys.executable, "-m", "velmora", "--version"], capture_output=True, text=True)
    assert (shown.returncode, shown.stdout) == (0, f"velmora {velmora.__version__}\n")
    # An installed wheel carries the library under its SONAME, which holds the major version.
    bundled = list(PACKAGE.glob("libVelmora.so*"))
    assert [p.name for p in bundled] in ([], ["libVelmora.so." + velmora.__version__.split(".")[0]])
