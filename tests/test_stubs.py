"""The type stubs shipped with kvro_core agree with the compiled module.

pybind11 writes each signature into the first line of a function's docstring; the
stubs are parsed with ast. Both sides are reduced to (name, type, default) triples in
the stubs' spelling of the types and compared exactly.
"""

import ast
import importlib.util
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import kvro
from kvro import kvro_core

PACKAGE = Path(kvro.__file__).parent
STUB = PACKAGE / "kvro_core.pyi"

# pybind11's spelling of a type -> the stubs' spelling.
SPELLING = [
    (r'typing\.Annotated\[numpy\.typing\.ArrayLike, numpy\.float64, "\[m, [1n]\]"\]', "ArrayLike"),
    (
        r'typing\.Annotated\[numpy\.typing\.NDArray\[numpy\.float64\], "\[m, [1n]\]"\]',
        "NDArray[np.float64]",
    ),
    (r"typing\.SupportsInt \| typing\.SupportsIndex", "int"),
    (r"typing\.SupportsFloat \| typing\.SupportsIndex", "float"),
    (r"collections\.abc\.", ""),
    (r"\b(kvro\.)?kvro_core\.", ""),
]


def split_top_level(text):
    parts, depth, start = [], 0, 0
    for i, ch in enumerate(text):
        if ch in "[(":
            depth += 1
        elif ch in "])":
            depth -= 1
        elif ch == "," and depth == 0:
            parts.append(text[start:i].strip())
            start = i + 1
    tail = text[start:].strip()
    return parts + [tail] if tail else parts


def literal(text):
    value = ast.literal_eval(text)
    return (type(value).__name__, value)


def runtime_signature(doc):
    """((name, type, default), ...), return type from 'name(params) -> type'."""
    head, _, ret = doc.strip().splitlines()[0].rpartition(") -> ")
    params = []
    for p in split_top_level(head.partition("(")[2]):
        name, _, rest = p.partition(": ")
        if name == "self":
            continue
        kind, _, default = rest.partition(" = ")
        for pattern, repl in SPELLING:
            kind = re.sub(pattern, repl, kind)
        # Optional matrices arrive as plain objects; None leaves them out.
        if kind == "object" and default == "None":
            kind = "ArrayLike | None"
        params.append((name, kind, literal(default) if default else None))
    for pattern, repl in SPELLING:
        ret = re.sub(pattern, repl, ret)
    return tuple(params), ret


def stub_signature(fn):
    args = [a for a in fn.args.args if a.arg != "self"]
    defaults = [None] * (len(args) - len(fn.args.defaults)) + [
        literal(ast.unparse(d)) for d in fn.args.defaults
    ]
    params = tuple(
        (a.arg, ast.unparse(a.annotation), d) for a, d in zip(args, defaults, strict=True)
    )
    return params, ast.unparse(fn.returns)


def is_property(fn):
    return any(ast.unparse(d) == "property" for d in fn.decorator_list)


STUB_TREE = ast.parse(STUB.read_text())
STUB_DEFS = {n.name: n for n in STUB_TREE.body if isinstance(n, (ast.FunctionDef, ast.ClassDef))}
PUBLIC = [name for name in vars(kvro_core) if not name.startswith("_")]


def test_stubs_are_installed_with_their_marker():
    assert STUB.is_file() and (PACKAGE / "py.typed").is_file()


def test_stubs_name_the_module_contents_in_registration_order():
    assert list(STUB_DEFS) == PUBLIC
    assert ast.get_docstring(STUB_TREE) == kvro_core.__doc__


FUNCTIONS = [n for n in PUBLIC if not isinstance(getattr(kvro_core, n), type)]
CLASSES = [n for n in PUBLIC if isinstance(getattr(kvro_core, n), type)]


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_signature(name):
    assert stub_signature(STUB_DEFS[name]) == runtime_signature(getattr(kvro_core, name).__doc__)


@pytest.mark.parametrize("name", CLASSES)
def test_class_members(name):
    cls = getattr(kvro_core, name)
    stub = {n.name: n for n in STUB_DEFS[name].body if isinstance(n, ast.FunctionDef)}
    runtime_props = [n for n, v in vars(cls).items() if isinstance(v, property)]
    assert [n for n, f in stub.items() if is_property(f)] == runtime_props
    for prop in runtime_props:
        assert getattr(cls, prop).fset is None
        assert stub_signature(stub[prop]) == runtime_signature(getattr(cls, prop).fget.__doc__)
    # pybind11 gives every class an __init__; without a registered constructor its
    # docstring carries no signature, and the stub declares none.
    init_doc = cls.__init__.__doc__ or ""
    if init_doc.startswith("__init__("):
        assert stub_signature(stub["__init__"]) == runtime_signature(init_doc)
    else:
        assert "__init__" not in stub
    methods = [
        n for n, v in vars(cls).items() if not n.startswith("_") and not isinstance(v, property)
    ]
    assert [n for n, f in stub.items() if not is_property(f) and n != "__init__"] == methods
    for m in methods:
        assert stub_signature(stub[m]) == runtime_signature(getattr(cls, m).__doc__)


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_package_type_checks_against_the_stubs(tmp_path):
    # mypy reports nothing inside site-packages, so check a copy of the package's
    # Python files and stubs, as installed.
    copy = tmp_path / "kvro"
    copy.mkdir()
    for pattern in ("*.py", "*.pyi", "py.typed"):
        for f in PACKAGE.glob(pattern):
            shutil.copy(f, copy)
    out = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "kvro"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert out.returncode == 0, out.stdout + out.stderr
