"""The class construction protocol and the cached global lookup."""
import sys

import pytest

from conftest import import_hooks

hooks = import_hooks()

CONFLICT = ("metaclass conflict: the metaclass of a derived class must be a "
            "(non-strict) subclass of the metaclasses of all its bases")


class Entries:
    """A non-class base whose __mro_entries__ answers `result`."""

    def __init__(self, result):
        self.result = result
        self.seen = []

    def __mro_entries__(self, bases):
        self.seen.append(bases)
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


class EntriesLookupFails:
    def __getattr__(self, name):
        if name == "__mro_entries__":
            raise KeyError(name)
        raise AttributeError(name)


class Meta(type):
    pass


class OtherMeta(type):
    pass


WithMeta = Meta("WithMeta", (), {})
WithOtherMeta = OtherMeta("WithOtherMeta", (), {})


def build_class(name, declared, doc=None):
    """The whole class statement, step by step, as the module runs it."""
    resolved = hooks.resolve_bases(declared)
    meta = hooks.calculate_metaclass(resolved)
    ns = hooks.prepare_namespace(meta, resolved, name, name, "quillmaret._m3", doc)
    hooks.record_declared_bases(ns, declared, resolved)
    return hooks.create_class(meta, name, resolved, ns)


class TestResolveBases:
    def test_classes_come_back_as_the_same_tuple(self):
        declared = (Exception, int)
        assert hooks.resolve_bases(declared) is declared

    def test_non_class_without_mro_entries_stays(self):
        declared = (5, Exception)
        assert hooks.resolve_bases(declared) is declared

    @pytest.mark.parametrize("entries, expected", [
        ((), (ValueError, KeyError)),
        ((int, str), (ValueError, int, str, KeyError)),
        (type("T", (tuple,), {})((int,)), (ValueError, int, KeyError)),
    ])
    def test_replaced_base(self, entries, expected):
        base = Entries(entries)
        declared = (ValueError, base, KeyError)
        assert hooks.resolve_bases(declared) == expected
        assert base.seen == [declared] and base.seen[0] is declared

    def test_several_replaced_bases(self):
        declared = (Entries((int,)), str, Entries(()), Entries((bytes, float)))
        assert hooks.resolve_bases(declared) == (int, str, bytes, float)

    def test_list_result(self):
        with pytest.raises(TypeError, match=r"^__mro_entries__ must return a tuple$"):
            hooks.resolve_bases((Entries([int]),))

    @pytest.mark.parametrize("make_base, exc", [
        (lambda: Entries(ValueError("inside")), ValueError),
        (EntriesLookupFails, KeyError),
    ])
    def test_errors_pass_through(self, make_base, exc):
        with pytest.raises(exc):
            hooks.resolve_bases((int, make_base()))

    def test_no_references_left_behind(self):
        class Replaced:
            def __mro_entries__(self, bases):
                return (int,)

        declared = (ValueError, Replaced(), KeyError)
        before = [sys.getrefcount(x) for x in (declared, ValueError, int, KeyError)]
        for _ in range(200):
            hooks.resolve_bases(declared)
        after = [sys.getrefcount(x) for x in (declared, ValueError, int, KeyError)]
        assert after == before


class TestMetaclass:
    @pytest.mark.parametrize("bases, expected", [
        ((), type),
        ((int, Exception), type),
        ((WithMeta,), Meta),
        ((int, WithMeta), Meta),   # the subclass of type wins ...
        ((WithMeta, int), Meta),   # ... in either order
    ])
    def test_winner(self, bases, expected):
        assert hooks.calculate_metaclass(bases) is expected

    @pytest.mark.parametrize("bases", [(WithMeta, WithOtherMeta), (WithOtherMeta, int, WithMeta)])
    def test_conflict(self, bases):
        with pytest.raises(TypeError) as info:
            hooks.calculate_metaclass(bases)
        assert str(info.value) == CONFLICT


class RecordingPrepare(type):
    calls = []

    @classmethod
    def __prepare__(mcs, *args, **kwargs):
        mcs.calls.append((args, kwargs))
        return Mapping()


class Mapping:
    """A namespace that is not a dict."""

    def __init__(self):
        self.items = []

    def __setitem__(self, key, value):
        self.items.append((key, value))


class TestPrepareNamespace:
    def test_type_prepare_and_stores_in_order(self):
        ns = hooks.prepare_namespace(type, (), "Name", "Q.Name", "mod", "the doc")
        assert type(ns) is dict
        assert list(ns.items()) == [
            ("__module__", "mod"), ("__qualname__", "Q.Name"), ("__doc__", "the doc")]

    @pytest.mark.parametrize("meta", [None, lambda *a: None], ids=["none", "no_prepare"])
    def test_plain_dict_without_doc(self, meta):
        ns = hooks.prepare_namespace(meta, (), "N", "N", "mod", None)
        assert ns == {"__module__": "mod", "__qualname__": "N"}

    def test_prepare_gets_name_and_bases_and_any_mapping_works(self):
        RecordingPrepare.calls.clear()
        bases = (int,)
        ns = hooks.prepare_namespace(RecordingPrepare, bases, "N", "Q", "mod", "d")
        assert RecordingPrepare.calls == [(("N", bases), {})]
        assert ns.items == [("__module__", "mod"), ("__qualname__", "Q"), ("__doc__", "d")]

    def test_prepare_error_passes_through(self):
        class Failing(type):
            @classmethod
            def __prepare__(mcs, name, bases):
                raise LookupError("no namespace")

        with pytest.raises(LookupError, match="no namespace"):
            hooks.prepare_namespace(Failing, (), "N", "N", "mod", None)


class TestDeclaredBases:
    def test_same_tuple_stores_nothing(self):
        ns, declared = {}, (int,)
        hooks.record_declared_bases(ns, declared, declared)
        assert ns == {}

    def test_equal_but_other_tuple_is_stored(self):
        ns, declared = {}, (int,)
        hooks.record_declared_bases(ns, declared, (int,))
        assert ns["__orig_bases__"] is declared

    def test_namespace_that_is_not_a_dict(self):
        ns, declared = Mapping(), (Entries(()),)
        hooks.record_declared_bases(ns, declared, ())
        assert ns.items == [("__orig_bases__", declared)]

    def test_dict_subclass_gets_the_dict_store(self):
        class Recording(dict):
            def __setitem__(self, key, value):
                raise AssertionError(f"__setitem__({key!r}) called")

        ns, declared = Recording(), (Entries(()),)
        hooks.record_declared_bases(ns, declared, ())
        assert dict(ns) == {"__orig_bases__": declared}


class TestClassStatement:
    def test_matches_the_interpreter(self):
        base = Entries((KeyError,))
        cls = build_class("Built", (ValueError, base), doc="Doc.")

        class Built(ValueError, base):
            """Doc."""

        assert cls.__mro__[1:] == Built.__mro__[1:]
        assert cls.__orig_bases__ == Built.__orig_bases__
        assert (cls.__module__, cls.__qualname__, cls.__doc__) == ("quillmaret._m3", "Built", "Doc.")

    def test_plain_bases_store_no_orig_bases(self):
        cls = build_class("Plain", (Exception,))
        assert "__orig_bases__" not in cls.__dict__
        assert cls.__doc__ is None and issubclass(cls, Exception)

    def test_metaclass_called_with_name_bases_namespace(self):
        seen = []

        class Recording(type):
            def __new__(mcs, *args, **kwargs):
                seen.append((args, kwargs))
                return super().__new__(mcs, *args, **kwargs)

        ns = {"x": 1}
        cls = hooks.create_class(Recording, "C", (), ns)
        assert seen == [(("C", (), ns), {})]
        assert type(cls) is Recording and cls.x == 1


class TestClassCell:
    def test_assigns_and_releases_previous(self):
        old, new = type("Old", (), {}), type("New", (), {})
        methods = [hooks.make_cell_method(old), hooks.make_cell_method(old)]
        old_refs, new_refs = sys.getrefcount(old), sys.getrefcount(new)
        hooks.assign_class_cell(methods, new)
        assert [hooks.defining_class(m) for m in methods] == [new, new]
        assert sys.getrefcount(old) == old_refs - 2
        assert sys.getrefcount(new) == new_refs + 2

    def test_empty_list(self):
        hooks.assign_class_cell([], int)


class Collider:
    """A dict key hashing like `name`: a probe for `name` meets it first
    and compares, so each probe of the dictionary counts one call."""

    def __init__(self, name):
        self.hash = hash(name)
        self.calls = 0

    def __hash__(self):
        return self.hash

    def __eq__(self, other):
        self.calls += 1
        return False


@pytest.fixture
def module_dict():
    """The hooks module's dictionary (its lookups' module dictionary), with
    the names a test adds removed afterwards and lookup records reset."""
    d = vars(hooks)
    keys = set(d)
    for site in range(4):
        hooks.reset_lookup_record(site)
    yield d
    for key in set(d) - keys:
        del d[key]


ONLY_311_VERSION_TAG = pytest.mark.skipif(
    sys.version_info >= (3, 12),
    reason="3.11 only: dictionaries have a version tag that lets a lookup reuse its last result "
           "(deprecated in 3.12, removed in 3.14)")


class TestCachedGlobalLookup:
    @ONLY_311_VERSION_TAG
    def test_module_value_and_record(self, module_dict):
        module_dict["qm_global"] = value = object()
        assert hooks.cached_global_lookup("qm_global", 0) is value
        assert hooks.lookup_record(0) == (hooks.dict_version(module_dict), value)

    @ONLY_311_VERSION_TAG
    def test_builtins_fallback(self, module_dict):
        assert hooks.cached_global_lookup("len", 1) is len
        assert hooks.lookup_record(1) == (hooks.dict_version(module_dict), None)
        assert hooks.cached_global_lookup("len", 1) is len  # unchanged: cached miss

    def test_missing_everywhere(self, module_dict):
        for _ in range(2):  # the probing pass, then the cached one
            with pytest.raises(NameError, match=r"^name 'qm_nowhere' is not defined$"):
                hooks.cached_global_lookup("qm_nowhere", 2)

    @ONLY_311_VERSION_TAG
    def test_probes_only_after_a_change(self, module_dict):
        name = "qm_probe_target"
        collider = Collider(name)
        module_dict[collider] = None  # first in the probe sequence of `name`
        module_dict[name] = first = object()
        collider.calls = 0

        # A probe compares with the collider at least once; more often when
        # something else changes the dictionary during the comparison (the
        # probe then starts over), so the counts below are relative.
        assert hooks.cached_global_lookup(name, 3) is first
        probed, version = collider.calls, hooks.dict_version(module_dict)
        assert probed >= 1
        for _ in range(3):
            assert hooks.cached_global_lookup(name, 3) is first
        # Unchanged dictionary: no probe. (Whatever else this process runs
        # may change the dictionary meanwhile; the version tag tells.)
        assert collider.calls == probed or hooks.dict_version(module_dict) != version

        module_dict["qm_unrelated"] = 1
        assert hooks.cached_global_lookup(name, 3) is first
        assert collider.calls > probed

        module_dict[name] = second = object()
        assert hooks.cached_global_lookup(name, 3) is second

        del module_dict[name]
        with pytest.raises(NameError):
            hooks.cached_global_lookup(name, 3)

    @pytest.mark.skipif(sys.version_info < (3, 12), reason="3.11 caches by the version tag")
    def test_without_a_version_tag_every_lookup_probes(self, module_dict):
        name = "qm_probe_target"
        collider = Collider(name)
        module_dict[collider] = None  # first in the probe sequence of `name`
        module_dict[name] = value = object()
        collider.calls = 0
        for calls in (1, 2, 3):
            assert hooks.cached_global_lookup(name, 3) is value
            assert collider.calls == calls
        assert hooks.cached_global_lookup("len", 1) is len
        # Nothing is kept that no version tag could keep valid.
        assert (hooks.lookup_record(3), hooks.lookup_record(1)) == ((0, None), (0, None))

    def test_a_base_exception_from_a_key_comparison_is_passed_on(self, module_dict):
        # An ordinary exception counts as a miss; anything else must surface.
        class Interrupting(Collider):
            __hash__ = Collider.__hash__
            def __eq__(self, other):
                raise KeyboardInterrupt
        module_dict[Interrupting("len")] = None
        with pytest.raises(KeyboardInterrupt):
            hooks.cached_global_lookup("len", 0)

    def test_a_name_never_hashed_is_found(self, module_dict):
        module_dict["qm_" + "unhashed"] = value = object()
        name = "".join(["qm_", "unhashed"])  # a new str, its hash not computed yet
        assert hooks.cached_global_lookup(name, 0) is value

    def test_lookups_leave_reference_counts_as_they_were(self, module_dict):
        module_dict["qm_counted"] = value = object()
        before = sys.getrefcount(value), sys.getrefcount(len)
        for _ in range(3):  # probing, then (3.11) cached
            hooks.cached_global_lookup("qm_counted", 0)
            hooks.cached_global_lookup("len", 1)
        assert (sys.getrefcount(value), sys.getrefcount(len)) == before

    def test_shadowing_a_builtin_is_seen(self, module_dict):
        assert hooks.cached_global_lookup("len", 0) is len
        module_dict["len"] = shadow = object()
        assert hooks.cached_global_lookup("len", 0) is shadow
