"""A short test of an installed wheel, run with `python -I` from outside the
checkout by the interpreter it was installed into: the package comes from
that environment, with its native module for this platform and without the
test hooks; every class is raised and caught, pickled and back; help() on
the package. Prints one line ending in ": ok"."""
import contextlib
import importlib.machinery
import importlib.util
import io
import pathlib
import pickle
import platform
import sys

import quillmaret
import quillmaret._m3
from quillmaret import (QuillMaretAPIError, QuillMaretAuthError, QuillMaretError, QuillMaretNotComputedError,
                        QuillMaretRateLimitError)

where = pathlib.Path(quillmaret.__file__).resolve()
assert pathlib.Path(sys.prefix).resolve() in where.parents, where
assert importlib.util.find_spec("quillmaret._quill_testhooks") is None, "the test hooks shipped"
# The module's name carries this interpreter's own tag (cpython-313-aarch64-linux-gnu, cp313-win_amd64).
assert quillmaret._m3.__file__.endswith(importlib.machinery.EXTENSION_SUFFIXES[0]), quillmaret._m3.__file__
for cls, status in [(QuillMaretAPIError, 500), (QuillMaretAuthError, 401), (QuillMaretRateLimitError, 429),
                    (QuillMaretNotComputedError, 404), (QuillMaretError, None)]:
    err = cls("broken") if status is None else cls(status, "m", {"retry_after_seconds": 2**31})
    try:
        raise err
    except QuillMaretError as caught:
        assert caught is err
    copy = pickle.loads(pickle.dumps(err))
    assert type(copy) is cls and copy.args == err.args and str(copy) == str(err)
    if status is not None:
        assert str(err) == "[%d] m" % status
        assert (copy.status_code, copy.message, copy.payload) == (status, "m", {"retry_after_seconds": 2**31})
assert str(QuillMaretAPIError(2**63, "m")) == "[9223372036854775808] m"
text = io.StringIO()
with contextlib.redirect_stdout(text):
    help(quillmaret)
assert "QuillMaretRateLimitError" in text.getvalue(), text.getvalue()[:500]
print("%s %s on %s: import, raise and catch all 5 classes, pickle, help(): ok"
      % (sys.implementation.cache_tag, where.parent.name, platform.machine()))
