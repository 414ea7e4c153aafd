"""The layers of the sources: the core knows nothing of Python and never ends
the process, and the public headers stand on their own.

Each rule is a function over a source tree, run on this repository and on a
small tree with one fault of each kind, so that a rule that stopped matching
anything would show.
"""
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
SUFFIXES = {".h", ".hpp", ".c", ".cc", ".cpp"}
# Directories under src/ that may do what the core must not: the binding may
# include Python.h, the command-line program may end the process.
BINDING, PROGRAM = "python", "cli"

INCLUDE = re.compile(r'^[ \t]*#[ \t]*include[ \t]*([<"])([^>"]+)[>"]', re.MULTILINE)
ENDS_PROCESS = re.compile(
    r"(?P<qualifier>\b\w+\s*::\s*|::\s*)?\b(?P<name>abort|exit|_exit|_Exit|quick_exit|terminate|assert)\s*\("
)
STD_TERMINATE = re.compile(r"\bstd\s*::\s*terminate\b")
COMMENT_OR_STRING = re.compile(
    r'//[^\n]*|/\*.*?\*/|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'', re.DOTALL
)


def source_files(directory: Path):
    return sorted(p for p in directory.rglob("*") if p.suffix in SUFFIXES and p.is_file())


def blank_comments_and_strings(text: str) -> str:
    """Comments and literals become spaces, so line numbers stay and no text inside them counts."""
    return COMMENT_OR_STRING.sub(lambda m: re.sub(r"[^\n]", " ", m.group()), text)


def line_of(text: str, offset: int) -> int:
    return text.count("\n", 0, offset) + 1


def includes(path: Path):
    """(line, bracket, name) of each #include outside comments."""
    text = path.read_text()
    code = blank_comments_and_strings(text)
    for match in INCLUDE.finditer(text):
        if code[text.index("#", match.start())] == "#":
            yield line_of(text, match.start()), match.group(1), match.group(2)


def layer(root: Path, path: Path) -> str:
    parts = path.relative_to(root / "src").parts
    return parts[0] if len(parts) > 1 else ""


def python_outside_binding(root: Path):
    """Files under src/ outside the binding that include Python.h or a binding header."""
    src = root / "src"
    found = []
    for path in source_files(src):
        if layer(root, path) == BINDING:
            continue
        for number, _, name in includes(path):
            if name == "Python.h" or name.endswith("/Python.h") or name.startswith(f"{BINDING}/"):
                found.append(f"{path.relative_to(root)}:{number}: {name}")
    return found


def process_enders_in_core(root: Path):
    """Calls in the core that end the process or may (assert)."""
    src = root / "src"
    found = []
    for path in source_files(src):
        if layer(root, path) in (BINDING, PROGRAM):
            continue
        code = blank_comments_and_strings(path.read_text())
        for match in ENDS_PROCESS.finditer(code):
            qualifier = re.sub(r"\s", "", match.group("qualifier") or "")
            before = code[:match.start()].rstrip()
            if before.endswith((".", "->")) or qualifier not in ("", "::", "std::"):
                continue  # a member or another namespace's function of the same name
            found.append(f"{path.relative_to(root)}:{line_of(code, match.start())}: {match.group('name')}")
        for match in STD_TERMINATE.finditer(code):
            if not code[match.end():].lstrip().startswith("("):  # calls are reported above
                found.append(f"{path.relative_to(root)}:{line_of(code, match.start())}: terminate")
    return found


def public_headers_reaching_into_src(root: Path):
    """Includes in include/ that name anything but the standard library or another public header."""
    public = root / "include"
    layers = {p.name for p in (root / "src").iterdir() if p.is_dir()} | {BINDING, PROGRAM, "tokenizer"}
    found = []
    for path in source_files(public):
        for number, bracket, name in includes(path):
            first = name.split("/")[0]
            resolved = [(base / name).resolve() for base in (path.parent, public)]
            in_public = any(p.is_file() and p.is_relative_to(public) for p in resolved)
            into_src = first in layers or first == "src" or any(
                p.is_relative_to(root / "src") for p in resolved
            )
            if into_src or (bracket == '"' and not in_public):
                found.append(f"{path.relative_to(root)}:{number}: {name}")
    return found


def binding_past_the_public_headers(root: Path):
    """Quoted includes in the binding of anything but its own headers and the public ones."""
    found = []
    for path in source_files(root / "src" / BINDING):
        for number, bracket, name in includes(path):
            if bracket == '"' and not name.startswith((f"{BINDING}/", "tarvik/")):
                found.append(f"{path.relative_to(root)}:{number}: {name}")
    return found


RULES = [python_outside_binding, process_enders_in_core, public_headers_reaching_into_src,
         binding_past_the_public_headers]


@pytest.mark.skipif(not (ROOT / "src").is_dir(), reason="sources not available")
@pytest.mark.parametrize("rule", RULES, ids=lambda rule: rule.__name__)
def test_repository_keeps_the_layers(rule):
    assert source_files(ROOT / "src") and source_files(ROOT / "include")
    assert rule(ROOT) == []


BROKEN_TREE = {
    "src/tokenizer/tokenizer.h": '#pragma once\n#include <Python.h>\n',
    "src/vocab/vocab.cpp": (
        '#include "vocab/vocab.h"\n'
        '#include "python/guards.h"\n'
        "// abort() in a comment, \"exit(1)\" in a string: neither counts\n"
        'const char* text = "assert(x)";\n'
        "void f(int x) {\n"
        "  assert(x > 0);\n"
        "  static_assert(sizeof(int) == 4);\n"
        "  if (x) std::abort();\n"
        "  pool.exit(); handle->terminate(); other::exit(2);\n"
        "  ::exit (3);\n"
        "  std::set_terminate(std::terminate);\n"
        "}\n"
    ),
    "src/vocab/vocab.h": "#pragma once\n/*\n#include <Python.h>\n*/\n",
    "src/cli/main.cpp": "#include <cstdlib>\nint main() { std::exit(0); }\n",
    "src/python/module.cpp": '#include <Python.h>\nvoid g() { std::terminate(); }\n',
    "include/tarvik/tokenizer.h": (
        '#pragma once\n#include <cstdint>\n#include "tarvik/types.h"\n#include "types.h"\n'
        '#include "vocab/vocab.h"\n#include <common/result.h>\n#include "../../src/trie/trie.h"\n'
        '#include "missing.h"\n'
    ),
    "include/tarvik/types.h": "#pragma once\n",
    "src/common/result.h": "#pragma once\n",
}


def test_rules_find_each_kind_of_fault(tmp_path):
    for name, text in BROKEN_TREE.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text(text)
    assert python_outside_binding(tmp_path) == [
        "src/tokenizer/tokenizer.h:2: Python.h",
        "src/vocab/vocab.cpp:2: python/guards.h",
    ]
    assert process_enders_in_core(tmp_path) == [
        "src/vocab/vocab.cpp:6: assert",
        "src/vocab/vocab.cpp:8: abort",
        "src/vocab/vocab.cpp:10: exit",
        "src/vocab/vocab.cpp:11: terminate",
    ]
    assert public_headers_reaching_into_src(tmp_path) == [
        "include/tarvik/tokenizer.h:5: vocab/vocab.h",
        "include/tarvik/tokenizer.h:6: common/result.h",
        "include/tarvik/tokenizer.h:7: ../../src/trie/trie.h",
        "include/tarvik/tokenizer.h:8: missing.h",
    ]
