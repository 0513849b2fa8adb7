"""A short test of an installed wheel, run by its interpreter from outside the
checkout (`python -I tests/smoke.py`): the release wheel sessions, the
Windows wheels under Wine and cibuildwheel's test command all run it. The
package must come from the environment's site-packages, with its module and
without the test hooks; every class is raised and caught, pickled and back,
and help() renders the package."""
import contextlib
import importlib.util
import io
import pathlib
import pickle
import platform
import sys
import sysconfig

import quillmaret
import quillmaret._m3
from quillmaret import (QuillMaretAPIError, QuillMaretAuthError, QuillMaretError, QuillMaretNotComputedError,
                        QuillMaretRateLimitError)

where = pathlib.Path(quillmaret.__file__).resolve()
site = pathlib.Path(sysconfig.get_paths()["platlib"]).resolve()
assert site in where.parents, f"{where} is not from {site}"
assert importlib.util.find_spec("quillmaret._quill_testhooks") is None, "the test hooks shipped"
assert quillmaret._m3.__file__.endswith(sysconfig.get_config_var("EXT_SUFFIX")), quillmaret._m3.__file__
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
        assert str(err) == f"[{status}] m"
        assert (copy.status_code, copy.message, copy.payload) == (status, "m", {"retry_after_seconds": 2**31})
assert str(QuillMaretAPIError(2**63, "m")) == "[9223372036854775808] m"
text = io.StringIO()
with contextlib.redirect_stdout(text):
    help(quillmaret)
assert "QuillMaretRateLimitError" in text.getvalue(), text.getvalue()[:500]
print(f"{sys.implementation.cache_tag} {where.parent.name} on {platform.machine()}: "
      "import, raise and catch all 5 classes, pickle, help(): ok")
