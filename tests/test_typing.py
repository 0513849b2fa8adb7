"""Type stubs and introspection: stubtest, mypy --strict, inspect.signature, help()."""
import ast
import importlib.metadata
import inspect
import os
import pydoc
import subprocess
import sys
import typing
from pathlib import Path

import pytest

import quillmaret
import quillmaret._m3 as m3

TYPING_DIR = Path(__file__).resolve().parent / "typing"
PACKAGE_DIR = Path(quillmaret.__file__).resolve().parent
CLASS_NAMES = ["QuillMaretError", "QuillMaretAPIError", "QuillMaretAuthError",
               "QuillMaretRateLimitError", "QuillMaretNotComputedError"]
API_CLASS_NAMES = CLASS_NAMES[1:]
INIT_SIGNATURE = "(self, status_code: 'int', message: 'str', payload: 'dict' = None)"


def run_mypy(tmp_path, *args):
    """Runs a mypy tool in a fresh interpreter, in tmp_path (where mypy keeps
    its cache); returns (exit code, output)."""
    pytest.importorskip("mypy", reason="mypy is not installed")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.run([sys.executable, "-m", *args],
                          cwd=tmp_path, capture_output=True, text=True, env=env, timeout=300)
    return proc.returncode, proc.stdout + proc.stderr


@pytest.mark.subprocess
class TestMypy:
    def test_stubtest_accepts_the_stubs(self, tmp_path):
        code, output = run_mypy(tmp_path, "mypy.stubtest", "quillmaret._m3")
        assert code == 0, output

    def test_typed_example_checks_clean_under_strict(self, tmp_path):
        code, output = run_mypy(tmp_path, "mypy", "--strict", str(TYPING_DIR / "sdk_usage.py"))
        assert code == 0, output
        assert "Success: no issues found" in output

    def test_stubs_reject_misuse(self, tmp_path):
        # Proves the stubs are read: with no types the package would be Any.
        bad = tmp_path / "bad.py"
        bad.write_text(
            "from quillmaret import QuillMaretAPIError, QuillMaretAuthError\n"
            "QuillMaretAPIError('404', 'm')\n"
            "QuillMaretAuthError(401, b'm')\n"
            "QuillMaretAPIError(404, 'm', payload=[1])\n"
            "QuillMaretAPIError(404)\n"
            "text: str = QuillMaretAPIError(404, 'm').status_code\n"
            "items: list[int] = QuillMaretAPIError(404, 'm').payload\n"
        )
        code, output = run_mypy(tmp_path, "mypy", "--strict", str(bad))
        assert code == 1
        flagged = {int(line.split(":")[1]) for line in output.splitlines() if ": error:" in line}
        assert flagged == {2, 3, 4, 5, 6, 7}, output


class TestStubFiles:
    def test_installed_with_the_package(self):
        assert (PACKAGE_DIR / "py.typed").is_file()
        assert (PACKAGE_DIR / "_m3.pyi").is_file()

    def test_stub_classes_match_the_module(self):
        tree = ast.parse((PACKAGE_DIR / "_m3.pyi").read_text(encoding="utf-8"))
        classes = [node for node in tree.body if isinstance(node, ast.ClassDef)]
        assert [c.name for c in classes] == CLASS_NAMES
        for node in classes:
            # The stub repeats the module's docstrings, exactly.
            assert ast.get_docstring(node, clean=False) == getattr(m3, node.name).__doc__

    def test_package_exports(self):
        assert quillmaret.__all__ == CLASS_NAMES + ["register_pickling"]
        for name in CLASS_NAMES:
            assert getattr(quillmaret, name) is getattr(m3, name)

    @pytest.mark.parametrize("module,names", [
        ("quillmaret", CLASS_NAMES + ["register_pickling"]),
        ("quillmaret.client", ["DEFAULT_BASE_URL", "DEFAULT_MAX_RESPONSE_BYTES",
                               "DEFAULT_MAX_RETRIES", "QuillMaretClient", "error_for_response"]),
        ("quillmaret._pickling", ["register_pickling"]),
    ])
    def test_star_import_gives_the_public_names(self, module, names):
        namespace = {}
        exec(f"from {module} import *", namespace)
        assert sorted(namespace.keys() - {"__builtins__"}) == sorted(names)

    def test_version_is_the_distribution_version(self):
        try:
            dist = importlib.metadata.distribution("quillmaret")
        except importlib.metadata.PackageNotFoundError:
            dist = None
        # Only the distribution the package was imported from tells its version
        # (the leak hunt's debug build installs the package without metadata).
        if dist is None or (Path(dist.locate_file("quillmaret/__init__.py")).resolve()
                            != PACKAGE_DIR / "__init__.py"):
            pytest.skip("the imported package was installed without its distribution metadata")
        assert dist.version == quillmaret.__version__


class TestSignature:
    def test_initializer(self):
        sig = inspect.signature(m3.QuillMaretAPIError.__init__)
        assert str(sig) == INIT_SIGNATURE
        assert list(sig.parameters) == ["self", "status_code", "message", "payload"]
        assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())

    def test_classes(self):
        for name in API_CLASS_NAMES:
            sig = inspect.signature(getattr(m3, name))
            assert str(sig) == INIT_SIGNATURE.replace("self, ", ""), name
            bound = sig.bind(404, message="m")
            assert bound.arguments == {"status_code": 404, "message": "m"}

    def test_annotations_as_for_python_code(self):
        # The initializer and the classes answer typing and inspect, and on
        # 3.14 annotationlib in each format (through __annotations__ and
        # through __annotate__), as a function and classes written in Python.
        def init(self, status_code: 'int', message: 'str', payload: 'dict' = None):
            pass

        class Plain(Exception):
            pass

        pairs = [(m3.QuillMaretAPIError.__init__, init)] + [(getattr(m3, n), Plain) for n in CLASS_NAMES]
        for ours, theirs in pairs:
            assert typing.get_type_hints(ours) == typing.get_type_hints(theirs), ours
        if sys.version_info < (3, 14):
            return
        import annotationlib
        for fmt in set(annotationlib.Format) - {annotationlib.Format.VALUE_WITH_FAKE_GLOBALS}:
            for ours, theirs in pairs:
                assert annotationlib.get_annotations(ours, format=fmt) == \
                    annotationlib.get_annotations(theirs, format=fmt), (ours, fmt)
            ours = m3.QuillMaretAPIError.__init__
            assert annotationlib.call_annotate_function(ours.__annotate__, fmt) == \
                annotationlib.call_annotate_function(init.__annotate__, fmt), fmt
            assert str(inspect.signature(ours, annotation_format=fmt)) == INIT_SIGNATURE, fmt
            for name in API_CLASS_NAMES:
                assert str(inspect.signature(getattr(m3, name), annotation_format=fmt)) == \
                    INIT_SIGNATURE.replace("self, ", ""), (name, fmt)

    def test_help_shows_the_signature(self):
        # From 3.13 on pydoc breaks a long signature over lines: compare the
        # text with its layout (white space and the margin's bars) taken out.
        def flat(text):
            return "".join(text.replace(" |", " ").split())

        # From 3.14 on it shows annotations in annotationlib's STRING format,
        # as it does for a function written in Python: 'int' as int.
        signature = INIT_SIGNATURE if sys.version_info < (3, 14) else INIT_SIGNATURE.replace("'", "")
        for name in API_CLASS_NAMES:
            text = flat(pydoc.render_doc(getattr(m3, name), renderer=pydoc.plaintext))
            assert flat(f"{name}{signature.replace('self, ', '')}") in text
            assert flat(f"__init__{signature}") in text
