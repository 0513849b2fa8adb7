"""constants.def read as text: the module's entries, source lines and location list.

The tests take the table's texts, counts and positions from here instead of
keeping copies (C string literals are valid Python literals for every escape
the file uses)."""
import ast
import re
from pathlib import Path

DEF_FILE = Path(__file__).resolve().parents[1] / "src" / "quillmaret" / "constants.def"

_ENTRY = re.compile(r'^QUILL_(TEXT|NAME)\((\w+), (".*")\)$')
_LINE = re.compile(r'^QUILL_LINE\((\w+), (\d+)\)')
_LOCATIONS = re.compile(r'^QUILL_LOCATIONS\((\w+), ([\d, ]+)\)$')


def _lines():
    return DEF_FILE.read_text(encoding="utf-8").splitlines()


def entries():
    """[(kind, id, text)] in table order; kind is "TEXT" or "NAME"."""
    return [(m[1], m[2], ast.literal_eval(m[3])) for m in map(_ENTRY.match, _lines()) if m]


def text(role):
    """The text of the entry `role` (its id in constants.def)."""
    return next(t for _, id_, t in entries() if id_ == role)


def source_lines():
    """{name: line} of the pseudo-source."""
    return {m[1]: int(m[2]) for m in map(_LINE.match, _lines()) if m}


def line_positions():
    """{line: [(start, end), ...]}: the initializer's location entries, by line."""
    lines = source_lines()
    out = {}
    for m in map(_LOCATIONS.match, _lines()):
        if m:
            cols = [int(c) for c in m[2].split(",")]
            out[lines[m[1]]] = list(zip(cols, cols[1:]))
    return out
