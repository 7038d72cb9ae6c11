"""The hand-written type stub molvane.pyi must describe the native module as it is.

mypy's stubtest compares the stub's classes, members and property kinds with the module.
It cannot read the parameters of native methods, so their names and defaults, and the
docstrings, are compared here with what the binding renders at run time.
"""

import ast
import inspect
import os
import re
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]

molvane = pytest.importorskip("molvane")

STUB = ROOT / "molvane.pyi"
CLASSES = ("TrackerConfig", "TrackResult", "Tracker", "MultiTracker")


# --- the stub, read with ast -------------------------------------------------------------


def _decorators(node):
    return [ast.unparse(d) for d in node.decorator_list]


def _params(fn: ast.FunctionDef):
    """[(name, default or a marker for none)] in order, as the stub declares them."""
    args = fn.args.posonlyargs + fn.args.args
    defaults = [None] * (len(args) - len(fn.args.defaults)) + list(fn.args.defaults)
    return [(a.arg, "<none>" if d is None else ast.literal_eval(d)) for a, d in zip(args, defaults)]


def _stub_classes():
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    classes = {}
    for node in tree.body:
        if not isinstance(node, ast.ClassDef):
            continue
        members = {}
        for item in node.body:
            if not isinstance(item, ast.FunctionDef):
                continue
            decos = _decorators(item)
            entry = members.setdefault(item.name, {"kind": "method", "overloads": [], "doc": None})
            if "property" in decos:
                entry.update(kind="property", doc=ast.get_docstring(item))
            elif f"{item.name}.setter" not in decos:
                entry["overloads"].append(_params(item))
                if "overload" not in decos:
                    entry["doc"] = ast.get_docstring(item)
        classes[node.name] = {"doc": ast.get_docstring(node), "members": members}
    return ast.get_docstring(tree), classes


# --- the runtime module, read through the rendered signatures --------------------------


def _split_top_level(text: str):
    """Splits 'a: x[1, 2], b: str = ', '' at the commas that separate parameters."""
    parts, depth, quote, current = [], 0, None, ""
    for ch in text:
        if quote:
            quote = None if ch == quote else quote
        elif ch in "'\"":
            quote = ch
        elif ch in "([{":
            depth += 1
        elif ch in ")]}":
            depth -= 1
        elif ch == "," and depth == 0:
            parts.append(current.strip())
            current = ""
            continue
        current += ch
    if current.strip():
        parts.append(current.strip())
    return parts


def _runtime_overloads(name: str, doc: str):
    """Parameter lists [(name, default)] of every rendered signature of a method."""
    sig = re.compile(rf"^(?:\d+\. )?{re.escape(name)}\((.*)\) -> .+$")
    overloads = []
    for line in doc.splitlines():
        m = sig.match(line)
        if not m or m.group(1) == "*args, **kwargs":
            continue
        params = []
        for part in _split_top_level(m.group(1)):
            head, _, default = part.partition(" = ")
            params.append((head.split(":")[0].strip(), ast.literal_eval(default) if default else "<none>"))
        overloads.append(params)
    return overloads


def _runtime_doc(name: str, doc: str):
    """The user docstring of a single-signature method (text after the signature)."""
    first, _, rest = doc.partition("\n")
    if "Overloaded function." in rest or not first.startswith(name + "("):
        return None
    return inspect.cleandoc(rest) or None


def _runtime_members(cls):
    members = {}
    for name, value in vars(cls).items():
        if isinstance(value, property):
            members[name] = {"kind": "property", "doc": value.__doc__ or None}
        elif name == "__init__" and not (value.__doc__ or "").startswith("__init__("):
            continue  # no constructor of its own: the base class's refuses
        elif callable(value) and (not name.startswith("_") or name == "__init__"):
            doc = value.__doc__ or ""
            members[name] = {
                "kind": "method",
                "overloads": _runtime_overloads(name, doc),
                "doc": _runtime_doc(name, doc),
            }
    return members


STUB_DOC, STUB_CLASSES = _stub_classes()


def test_stubtest_finds_the_stub_and_the_module_alike(tmp_path):
    pytest.importorskip("mypy", reason="mypy is not installed")
    import shutil
    import subprocess

    shutil.copy(STUB, tmp_path / "molvane.pyi")
    env = dict(os.environ, MYPYPATH=str(tmp_path))
    run = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy.stubtest",
            "molvane",
            "--concise",
            "--mypy-config-file",
            str(tmp_path / "none.ini"),
            "--allowlist",
            str(ROOT / "tests" / "stubtest_allowlist.txt"),
        ],
        capture_output=True,
        text=True,
        env=env,
        cwd=tmp_path,
        timeout=300,
    )
    assert run.returncode == 0, run.stdout + run.stderr


def test_module_docstring_and_public_names_match():
    public = [n for n in vars(molvane) if not n.startswith("_")]
    assert public == list(CLASSES), "the module defines exactly these classes, in this order"
    assert list(STUB_CLASSES) == list(CLASSES)
    assert STUB_DOC == molvane.__doc__


@pytest.mark.parametrize("cls_name", CLASSES)
def test_docstrings_match(cls_name):
    cls = getattr(molvane, cls_name)
    stub = STUB_CLASSES[cls_name]
    # Same order too: it is how help() and completion list them.
    assert list(stub["members"]) == list(_runtime_members(cls))
    assert stub["doc"] == (inspect.cleandoc(cls.__doc__) if cls.__doc__ else None)
    for name, want in _runtime_members(cls).items():
        assert stub["members"][name]["doc"] == want["doc"], name


@pytest.mark.parametrize("cls_name", CLASSES)
def test_parameter_names_and_defaults_match(cls_name):
    cls = getattr(molvane, cls_name)
    stub = STUB_CLASSES[cls_name]["members"]
    for name, want in _runtime_members(cls).items():
        if want["kind"] != "method":
            continue
        assert want["overloads"], f"{cls_name}.{name}: no rendered signature found"
        assert stub[name]["overloads"] == want["overloads"], f"{cls_name}.{name}"


def test_track_result_field_list_of_the_tool_matches_the_class():
    from molvane_tools.report import TRACK_RESULT_FIELDS

    properties = [n for n, v in vars(molvane.TrackResult).items() if isinstance(v, property)]
    assert list(TRACK_RESULT_FIELDS) == properties


def test_type_checker_accepts_the_examples_and_catches_misuse(tmp_path):
    pytest.importorskip("mypy", reason="mypy is not installed")
    import shutil
    import subprocess

    stubs = tmp_path / "stubs"
    stubs.mkdir()
    shutil.copy(STUB, stubs / "molvane.pyi")
    misuse = tmp_path / "misuse.py"
    misuse.write_text(
        "import numpy as np\nimport molvane as mv\n"
        "frame = np.zeros((8, 8), np.uint8)\n"
        "t = mv.Tracker(mv.TrackerConfig())\n"
        "t.lock(frame, box=(0, 0, 4, 4))\n"  # wrong keyword
        "width: int = t.update(frame).bbox_w\n"  # a float
        "ids: list[str] = [r.id for r in mv.MultiTracker().update(frame)]\n"
    )
    env = {"MYPYPATH": os.pathsep.join([str(stubs), str(ROOT / "python")]), "PATH": os.environ.get("PATH", "")}
    base = [sys.executable, "-m", "mypy", "--no-incremental", "--cache-dir", str(tmp_path / "cache")]
    good = subprocess.run(
        base + [str(p) for p in sorted((ROOT / "examples").glob("*.py"))],
        capture_output=True,
        text=True,
        env=env,
        timeout=300,
    )
    assert good.returncode == 0, good.stdout
    bad = subprocess.run(base + [str(misuse)], capture_output=True, text=True, env=env, timeout=300)
    assert bad.returncode == 1
    errors = [line for line in bad.stdout.splitlines() if ": error:" in line]
    assert [line.split(":")[1] for line in errors] == ["5", "6", "7"], bad.stdout
