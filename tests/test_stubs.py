"""The shipped type stub stays true to the extension and useful to a type checker.

mypy runs in a subprocess against the stub of this checkout (or, when the tests
run from a copy without the sources, against the installed stub package), with
the extension module that this process imported.
"""
import ast
import inspect
import os
import re
import shutil
import site
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest

import tarvik_core
from tarvik_core import QormTokenizer

pytest.importorskip("mypy", reason="mypy is not installed (it comes with the 'test' extra)")

ROOT = Path(__file__).resolve().parents[1]
SOURCE_STUB = ROOT / "python" / "tarvik_core-stubs" / "__init__.pyi"
EXAMPLE = ROOT / "examples" / "typed_usage.py"
MODULE_DIR = Path(tarvik_core.__file__).resolve().parent


def installed_site_dirs():
    dirs = {sysconfig.get_paths()["purelib"], sysconfig.get_paths()["platlib"]}
    dirs.update(site.getsitepackages())
    if site.ENABLE_USER_SITE:
        dirs.add(site.getusersitepackages())
    return {Path(d).resolve() for d in dirs}


def stub_text():
    if SOURCE_STUB.is_file():
        return SOURCE_STUB.read_text()
    installed = MODULE_DIR / "tarvik_core-stubs" / "__init__.pyi"
    if installed.is_file():
        return installed.read_text()
    pytest.fail(f"no stub for tarvik_core: neither {SOURCE_STUB} nor {installed} exists")


@pytest.fixture(scope="session")
def mypy_env(tmp_path_factory):
    """Environment for mypy: the stub under test on MYPYPATH, this process's module importable."""
    base = tmp_path_factory.mktemp("mypy")
    env = dict(os.environ)
    env["MYPY_CACHE_DIR"] = str(base / "cache")
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(MODULE_DIR), env.get("PYTHONPATH")]))
    env.pop("MYPYPATH", None)
    if SOURCE_STUB.is_file():
        # mypy finds a "-stubs" package only in site-packages, so the checkout's
        # stub is handed over as a plain module stub.
        stubs = base / "stubs"
        stubs.mkdir()
        shutil.copyfile(SOURCE_STUB, stubs / "tarvik_core.pyi")
        env["MYPYPATH"] = str(stubs)
    return env


def run(args, env, cwd):
    done = subprocess.run([sys.executable, "-m", *args], env=env, cwd=cwd,
                          capture_output=True, text=True, timeout=300)
    return done.returncode, done.stdout + done.stderr


def stubtest(env, cwd):
    return run(["mypy.stubtest", "tarvik_core"], env, cwd)


def test_stub_agrees_with_the_runtime(mypy_env, tmp_path):
    code, output = stubtest(mypy_env, tmp_path)
    assert code == 0, output


def test_stubtest_notices_drift(mypy_env, tmp_path):
    """A stub that drifted from the runtime is reported member by member."""
    text = stub_text()
    breaks = [
        # A method missing from the stub.
        ("    def encode_dense(self, text: _Text)", "    def _gone(self, text: _Text)"),
        # A parameter renamed.
        ("def decode(self, token_ids: _TokenIds)", "def decode(self, ids: _TokenIds)"),
        # Keyword-only where the runtime takes it by position too.
        ("def save(self, path: _Path)", "def save(self, *, path: _Path)"),
        # A default that differs from the runtime's.
        ("def from_file(path: _Path, context_weight: float = 0.3)",
         "def from_file(path: _Path, context_weight: float = 0.5)"),
        # A method the runtime does not have.
        ("    def id_to_token(", "    def token_to_nothing(self) -> None: ...\n    def id_to_token("),
    ]
    for old, new in breaks:
        assert text.count(old) == 1, f"the stub no longer contains {old!r}: update this test"
        text = text.replace(old, new)
    stubs = tmp_path / "stubs"
    stubs.mkdir()
    (stubs / "tarvik_core.pyi").write_text(text)
    code, output = stubtest(dict(mypy_env, MYPYPATH=str(stubs)), tmp_path)
    assert code != 0
    reported = set(re.findall(r"tarvik_core\.QormTokenizer\.(\w+)", output))
    assert {"encode_dense", "decode", "save", "from_file", "token_to_nothing"} <= reported, output


def test_typed_example_passes_mypy_strict_and_runs(mypy_env, tmp_path):
    code, output = run(["mypy", "--strict", str(EXAMPLE)], mypy_env, tmp_path)
    assert code == 0, output
    done = subprocess.run([sys.executable, str(EXAMPLE)], env=mypy_env, cwd=tmp_path,
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr


# Each line marked "# error" must be flagged by mypy --strict and every other
# line must pass, so the stub neither lets mistakes through nor rejects valid use.
MISUSE = textwrap.dedent('''\
    import array
    from tarvik_core import QormTokenizer

    tok = QormTokenizer(b"corpus", special_tokens=("<eos>",))
    tok.encdoe("text")  # error
    tok.decode("1 2 3")  # error
    tok.decode(array.array("I", [1, 2]))
    QormTokenizer(b"corpus", special_tokens="<eos>")  # error
    tok.vocab_size = 10  # error
    tok.encode(1.5)  # error
    tok.encode(memoryview(b"text"), greedy=True)
    tok.encode_dense("text", greedy=True)  # error
    QormTokenizer.check_quality(b"corpus")["score"]  # error
    score: float = QormTokenizer.check_quality(b"corpus")["quality_score"]
    tok.get_special_token_id("<eos>") + 1  # error
    name: str = tok.special_tokens()[0][0]
    start: int = tok.encode_with_offsets(b"text")[1][0][0]
    loaded: QormTokenizer = QormTokenizer.from_file("model.json")
    tok.add_filter("lowercase").upper()  # error
''')


def test_stub_types_reject_misuse(mypy_env, tmp_path):
    program = tmp_path / "misuse.py"
    program.write_text(MISUSE)
    code, output = run(["mypy", "--strict", "--no-error-summary", str(program)], mypy_env, tmp_path)
    expected = {n for n, line in enumerate(MISUSE.splitlines(), 1) if line.endswith("# error")}
    flagged = {int(n) for n in re.findall(r"^\S*misuse\.py:(\d+): error", output, re.MULTILINE)}
    assert code == 1
    assert flagged == expected, output


def stub_docstrings(text):
    """{name: docstring} of the stub's module, class and class members."""
    module = ast.parse(text)
    docs = {"": ast.get_docstring(module)}
    (cls,) = [node for node in module.body
              if isinstance(node, ast.ClassDef) and node.name == "QormTokenizer"]
    docs[cls.name] = ast.get_docstring(cls)
    for node in cls.body:
        if isinstance(node, ast.FunctionDef):
            docs[f"{cls.name}.{node.name}"] = ast.get_docstring(node)
    return docs


def test_stub_docstrings_are_the_runtime_ones():
    docs = stub_docstrings(stub_text())
    assert docs.pop("") == tarvik_core.__doc__
    assert docs.pop("QormTokenizer") == inspect.getdoc(QormTokenizer)
    members = {f"QormTokenizer.{name}": inspect.getdoc(getattr(QormTokenizer, name))
               for name in vars(QormTokenizer) if not name.startswith("_")}
    assert {name: doc for name, doc in docs.items() if "._" not in name} == members
    # Slot wrappers carry CPython's generic text, which the stub leaves out.
    assert all(doc is None for name, doc in docs.items() if "._" in name)


def test_installed_module_ships_its_stub():
    if MODULE_DIR not in installed_site_dirs():
        pytest.skip(f"tarvik_core is imported from {MODULE_DIR}, not from an installed package")
    installed = MODULE_DIR / "tarvik_core-stubs" / "__init__.pyi"
    assert installed.is_file(), f"{installed} is missing: the wheel does not ship the stub"
    if SOURCE_STUB.is_file():
        assert installed.read_text() == SOURCE_STUB.read_text(), "installed stub is stale: reinstall"
