"""One initializer call with allocations failing: for each call form, every
n from the first allocation of the call to the last, with allocation n and
every later one failing ("rest") and with allocation n alone failing
("one"). Prints, as JSON, each form's allocation count and the problems
found.

After each call the instance may hold only what the failure rules allow:
the attributes status_code, message, payload set in that order up to the
failing step, args untouched, and one traceback entry at the line of the
failing step (always, when only one allocation failed); the call keeps no
reference to its arguments.
"""
import enum
import json
import sys

import _testcapi

from module_facts import INIT_FUNC, module_entries
from quillmaret._m3 import QuillMaretAPIError as API, QuillMaretNotComputedError as E

init = API.__init__
nomemory = _testcapi.set_nomemory
restore = _testcapi.remove_mem_hooks
ATTRS = ("status_code", "message", "payload")


class Status(enum.IntEnum):
    NOT_FOUND = 404


# The calls run between nomemory and restore with nothing else around them.
def positional(n, stop, inst, sc, msg, payload):
    nomemory(n, stop)
    try:
        init(inst, sc, msg, payload)
    except BaseException as exc:
        restore()
        return exc
    restore()


def keywords(n, stop, inst, sc, msg, payload):
    nomemory(n, stop)
    try:
        init(inst, payload=payload, message=msg, status_code=sc)
    except BaseException as exc:
        restore()
        return exc
    restore()


CASES = {
    "404 positional": (positional, 404, "not computed", {"k": 1}),
    "float, two-byte text": (positional, 404.5, "nicht berechnet \u2013 sp\u00e4ter", None),
    "enum keywords, four-byte text": (keywords, Status.NOT_FOUND, "\U0001f600 computed", {}),
    "long int": (positional, 10**30, "m" * 100, None),
}


def check(mode, n, call, sc, msg, payload, problems):
    # Runs the call with allocation n failing; True when it succeeded.
    inst = E.__new__(E)
    refs = sys.getrefcount(msg), sys.getrefcount(payload)
    exc = call(n, 0 if mode == "rest" else n + 1, inst, sc, msg, payload)
    state = dict(inst.__dict__)
    k = len(state)
    bad = []
    if list(state) != list(ATTRS[:k]):
        bad.append(f"attributes {list(state)}")
    elif k >= 1 and not (type(state["status_code"]) is int and state["status_code"] == int(sc)):
        bad.append(f"status_code {state['status_code']!r}")
    elif k >= 2 and state["message"] is not msg:
        bad.append("message is another object")
    elif k >= 3 and not (state["payload"] is payload if payload else state["payload"] == {}):
        bad.append(f"payload {state['payload']!r}")
    if exc is None:
        if k != 3 or inst.args != (f"[{int(sc)}] {msg}",):
            bad.append(f"succeeded with {list(state)}, args {inst.args!r}")
    else:
        if type(exc) is not MemoryError:
            bad.append(f"raised {exc!r}")
        if inst.args != ():
            bad.append(f"args {inst.args!r} after a failure")
        # Line of the failing step: 9 + the attributes set before it; a
        # failing conversion of the status code reports line 8.
        lines = [8, 9] if k == 0 and type(sc) is not int else [9 + k]
        found = module_entries(exc)
        if (any(name != INIT_FUNC or line not in lines for name, line in found)
                or len(found) > 1 or (mode == "one" and not found)):
            bad.append(f"entries {found} with {k} attributes set")
    succeeded = exc is None
    del inst, exc, state
    if (sys.getrefcount(msg), sys.getrefcount(payload)) != refs:
        bad.append("references to the arguments kept")
    problems.extend(f"{mode} n={n}: {b}" for b in bad)
    return succeeded


summary = {}
for name, (call, sc, msg, payload) in CASES.items():
    problems = []
    n = 0
    while not check("rest", n, call, sc, msg, payload, problems):
        n += 1
        if n > 5000:
            problems.append("never succeeded")
            break
    for k in range(n + 1):
        check("one", k, call, sc, msg, payload, problems)
    summary[name] = {"allocations": n, "problems": problems[:20]}
print(json.dumps(summary))
