"""Pickling and copying of the SDK's errors, in-process and across processes."""
import concurrent.futures
import copy
import copyreg
import logging
import multiprocessing
import pickle

import pytest

import quillmaret
from quillmaret import (
    QuillMaretAPIError,
    QuillMaretAuthError,
    QuillMaretError,
    QuillMaretNotComputedError,
    QuillMaretRateLimitError,
    register_pickling,
)

API_CLASSES = [QuillMaretAPIError, QuillMaretAuthError, QuillMaretRateLimitError,
               QuillMaretNotComputedError]
PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)


# A user's subclasses; module level, so that pickle finds them by name.
@register_pickling
class BillingError(QuillMaretAPIError):
    """A subclass with an initializer of another shape."""

    def __init__(self, invoice, status_code=402, message="payment required"):
        super().__init__(status_code, message, {"invoice": invoice})
        self.invoice = invoice


class UnregisteredError(QuillMaretNotComputedError):
    pass


class _SlottedBase(QuillMaretAPIError):
    __slots__ = ("request_id", "__trace")  # the second stored as _SlottedBase__trace


@register_pickling
class SlottedError(_SlottedBase):
    """Slots of its own and inherited, two private (stored mangled: one ends with a single
    underscore), one a dunder name (not mangled), one left unset."""
    __slots__ = ("__attempt", "__hint_", "__flag__", "unset")


@register_pickling
class _PrivateSlotError_(QuillMaretAPIError):
    """A private slot of a class whose name starts with an underscore and ends with one:
    stored as _PrivateSlotError___token (only the leading ones are dropped)."""
    __slots__ = ("__token",)


@register_pickling
class OneSlotError(QuillMaretAPIError):
    """__slots__ given as one string: one slot, not one per letter; a single underscore is
    not mangled."""
    __slots__ = "_tag"


class _WeakrefMixin:
    __slots__ = ("__weakref__",)


class _DictMixin:
    __slots__ = ("__dict__",)


@register_pickling
class WeakrefMixinError(_WeakrefMixin, QuillMaretAPIError):
    """A mixin's __slots__ names __weakref__: no value to carry."""


@register_pickling
class DictMixinError(_DictMixin, QuillMaretAPIError):
    """A mixin's __slots__ names __dict__: the instance dict travels as itself."""


def make_error(cls):
    err = cls(429, "slow down \u00e9\u4e2d\U0001d11e", {"retry_after_seconds": 30, "nested": [1, {"k": None}]})
    err.request_id = "req-1"
    err.add_note("seen by the retry loop")
    return err


def assert_same_error(got, want):
    assert type(got) is type(want)
    assert got.args == want.args
    assert str(got) == str(want)
    # status_code, message, payload, __notes__ and the caller's own attributes.
    assert got.__dict__ == want.__dict__


def raise_in_worker(class_name, status_code, message, payload):
    """Runs in a worker process: raises the named error with a note and an extra attribute."""
    cls = BillingError if class_name == "BillingError" else getattr(quillmaret, class_name)
    err = cls("INV-7") if cls is BillingError else cls(status_code, message, payload)
    err.worker = "yes"
    err.add_note("raised in a worker")
    raise err


class TestRoundTrip:
    @pytest.mark.parametrize("cls", API_CLASSES)
    def test_pickle_every_protocol(self, cls):
        err = make_error(cls)
        for protocol in PROTOCOLS:
            got = pickle.loads(pickle.dumps(err, protocol))
            assert_same_error(got, err)
            assert type(got.status_code) is int and type(got.payload) is dict

    def test_copy_shares_and_deepcopy_copies_the_payload(self):
        for cls in API_CLASSES:
            err = make_error(cls)
            shallow, deep = copy.copy(err), copy.deepcopy(err)
            assert_same_error(shallow, err)
            assert_same_error(deep, err)
            assert shallow is not err and shallow.payload is err.payload
            assert deep.payload is not err.payload

    def test_state_changed_after_initialisation_survives(self):
        for cls in API_CLASSES:
            err = cls(404, "m")
            err.args = ("replaced", 2)
            err.status_code = "no longer checked"
            del err.message
            got = pickle.loads(pickle.dumps(err))
            assert_same_error(got, err)
            assert not hasattr(got, "message")

    def test_empty_payload_stays_a_fresh_dict(self):
        err = QuillMaretAPIError(500, "m")
        got = pickle.loads(pickle.dumps(err))
        assert got.payload == {} and got.payload is not err.payload

    def test_cause_context_and_traceback_are_dropped_as_for_any_exception(self):
        try:
            try:
                raise KeyError("inner")
            except KeyError as inner:
                raise QuillMaretAuthError(401, "no key") from inner
        except QuillMaretAuthError as caught:
            err = caught
        assert err.__cause__ is not None and err.__traceback__ is not None
        got = pickle.loads(pickle.dumps(err))
        assert (got.__cause__, got.__context__, got.__traceback__) == (None, None, None)
        assert_same_error(got, err)

    def test_rebuilt_error_can_be_initialised_again(self):
        got = pickle.loads(pickle.dumps(QuillMaretRateLimitError(429, "a")))
        got.__init__(503, "b")
        assert (got.status_code, got.message, got.args) == (503, "b", ("[503] b",))

    def test_base_error_keeps_its_default_reduction(self):
        err = QuillMaretError("plain", 1)
        assert type(err) not in copyreg.dispatch_table
        assert_same_error(pickle.loads(pickle.dumps(err)), err)

    def test_pickles_name_only_the_class(self):
        # No reference to the package's private helpers: a pickle written
        # here loads wherever the classes exist.
        data = pickle.dumps(make_error(QuillMaretNotComputedError))
        assert b"_pickling" not in data and b"QuillMaretNotComputedError" in data


class TestUserSubclasses:
    def test_registered_subclass_with_its_own_initializer(self):
        err = BillingError("INV-1")
        for protocol in PROTOCOLS:
            got = pickle.loads(pickle.dumps(err, protocol))
            assert_same_error(got, err)
            assert got.invoice == "INV-1" and got.payload == {"invoice": "INV-1"}
        assert_same_error(copy.copy(err), err)

    SLOTTED = [
        # (class, its slots' values by stored name)
        (SlottedError, {"request_id": "req-9", "_SlottedBase__trace": "t",
                        "_SlottedError__attempt": 2, "_SlottedError__hint_": 4, "__flag__": 3}),
        (_PrivateSlotError_, {"_PrivateSlotError___token": "t-1"}),
        (OneSlotError, {"_tag": "t-2"}),
        (WeakrefMixinError, {}),
        (DictMixinError, {}),
    ]

    @pytest.mark.parametrize("cls,slots", SLOTTED, ids=[c.__name__ for c, _ in SLOTTED])
    def test_registered_subclass_keeps_its_slots(self, cls, slots):
        err = cls(503, "m", {"k": 1})
        for name, value in slots.items():
            setattr(err, name, value)
        err.in_dict = "d"
        copies = [pickle.loads(pickle.dumps(err, p)) for p in PROTOCOLS]
        for got in copies + [copy.copy(err), copy.deepcopy(err)]:
            assert_same_error(got, err)
            assert got.__dict__ is not err.__dict__
            assert {name: getattr(got, name, None) for name in slots} == slots
            assert not hasattr(got, "unset")

    def test_unregistered_subclass_gets_the_default_reduction(self):
        # The dispatch table is keyed by exact class, which is why
        # register_pickling exists.
        data = pickle.dumps(UnregisteredError(404, "m"))
        with pytest.raises(TypeError):
            pickle.loads(data)
        register_pickling(UnregisteredError)
        try:
            assert_same_error(pickle.loads(pickle.dumps(UnregisteredError(404, "m"))),
                              UnregisteredError(404, "m"))
        finally:
            del copyreg.dispatch_table[UnregisteredError]

    def test_register_pickling_refuses_other_classes(self):
        for bad in [ValueError, QuillMaretError, "QuillMaretAPIError", None]:
            with pytest.raises(TypeError, match="expects a subclass of QuillMaretAPIError"):
                register_pickling(bad)

    def test_decorator_returns_the_class_unchanged(self):
        assert BillingError.__name__ == "BillingError"
        assert "__reduce__" not in vars(BillingError)
        for cls in API_CLASSES:
            assert not {"__reduce__", "__reduce_ex__", "__getstate__", "__setstate__"} & set(vars(cls))


@pytest.fixture(scope="module")
def worker_pool():
    # spawn: a fresh interpreter that must import the package (and so
    # register the reducers) before it can pickle what it raises.
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(max_workers=1, mp_context=context) as pool:
        yield pool


@pytest.mark.subprocess
class TestWorkerProcess:
    @pytest.mark.parametrize("cls", API_CLASSES + [BillingError], ids=lambda c: c.__name__)
    def test_error_raised_in_worker_reaches_the_parent(self, worker_pool, cls):
        payload = {"retry_after_seconds": 12, "country": "FR"}
        future = worker_pool.submit(raise_in_worker, cls.__name__, 429, "too many", payload)
        with pytest.raises(cls) as info:
            future.result(timeout=60)
        err = info.value
        assert type(err) is cls
        if cls is BillingError:
            want = {"status_code": 402, "message": "payment required",
                    "payload": {"invoice": "INV-7"}, "invoice": "INV-7"}
        else:
            want = {"status_code": 429, "message": "too many", "payload": payload}
        assert err.__dict__ == {**want, "worker": "yes", "__notes__": ["raised in a worker"]}
        assert err.args == ("[%d] %s" % (want["status_code"], want["message"]),)
        # concurrent.futures chains the worker's formatted traceback.
        assert "raise err" in str(err.__cause__)


DASK_ABSENT = "the distributed engine is not installed (bash scripts/run-tests --cluster installs it)"


@pytest.fixture(scope="module")
def dask_client():
    # A cluster of worker processes on loopback. The workers are spawned
    # interpreters that import this module (and so the package) to run the
    # task; what they raise travels back through dask's own serialization.
    distributed = pytest.importorskip("distributed", reason=DASK_ABSENT)
    cluster = distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=True,
                                       host="127.0.0.1", dashboard_address=None,
                                       silence_logs=logging.CRITICAL)
    try:
        client = distributed.Client(cluster, timeout=60)
        try:
            yield client
        finally:
            client.close(timeout=60)
    finally:
        cluster.close(timeout=60)  # stops the worker processes, or raises


@pytest.mark.subprocess
class TestDaskCluster:
    @pytest.mark.parametrize("cls", [QuillMaretError, *API_CLASSES, BillingError],
                             ids=lambda c: c.__name__)
    def test_error_raised_in_worker_reaches_the_client(self, dask_client, cls):
        payload = {"retry_after_seconds": 12, "country": "FR"}
        future = dask_client.submit(raise_in_worker, cls.__name__, 429, "too many", payload,
                                    pure=False)
        with pytest.raises(cls) as info:
            future.result(timeout=60)
        err = info.value
        assert type(err) is cls
        if cls is QuillMaretError:
            want, args = {}, (429, "too many", payload)
        elif cls is BillingError:
            want = {"status_code": 402, "message": "payment required",
                    "payload": {"invoice": "INV-7"}, "invoice": "INV-7"}
            args = ("[402] payment required",)
        else:
            want = {"status_code": 429, "message": "too many", "payload": payload}
            args = ("[429] too many",)
        assert err.__dict__ == {**want, "worker": "yes", "__notes__": ["raised in a worker"]}
        assert err.args == args
