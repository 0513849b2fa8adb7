"""The compressed constant table: stream decoder, producer, decoded table, code object."""
import math
import random
import shutil
import subprocess
import sys
from pathlib import Path

import pytest
from hypothesis import given, settings, strategies as st

from constants_def import DEF_FILE, entries as source_entries, line_positions, source_lines
from module_facts import SOURCE_FILE

needs_source = pytest.mark.skipif(not DEF_FILE.exists(), reason="the source tree is not available")
from conftest import import_hooks

hooks = import_hooks()

MESSAGE = "LZSS string data decompression failed"
ROOT = Path(__file__).resolve().parents[1]


# ---------------------------------------------------------------------------
# Streams written by hand, item by item: a literal is an int, a reference is
# (form, gap, length). The flag bits of missing items in the last group are
# taken from `tail_flags`.

def encode_item(item):
    if isinstance(item, int):
        return bytes([item])
    form, gap, length = item
    if form == "near":
        return bytes([gap, length - 3])
    g = gap - 128
    if form == "middle":
        return bytes([0x80 | (g & 0x7F), (g >> 7) << 5 | (length - 3)])
    return bytes([0x80 | (g & 0x7F), 0x80 | (g >> 7), length - 3])


def build_stream(items, tail_flags=0):
    out = bytearray()
    for start in range(0, len(items), 8):
        group = items[start:start + 8]
        flags = sum(1 << k for k, item in enumerate(group) if isinstance(item, int))
        flags |= tail_flags & ~((1 << len(group)) - 1) & 0xFF
        out.append(flags)
        for item in group:
            out += encode_item(item)
    return bytes(out)


def literals(data):
    return list(data)


def decode(stream, n):
    return hooks.lzss_decode(stream, n)


def assert_refused(stream, n):
    with pytest.raises(RuntimeError) as info:
        decode(stream, n)
    assert str(info.value) == MESSAGE


# ---------------------------------------------------------------------------
# An independent exact minimum: the fewest item bytes that reach the end with
# exactly K items, plus ceil(K / 8) flag bytes, minimised over K. Every gap
# and length of every form is tried.

def form_size(gap, length):
    sizes = []
    if gap <= 127 and length <= 258:
        sizes.append(2)
    if 128 <= gap <= 639 and length <= 34:
        sizes.append(2)
    if 128 <= gap <= 16511 and length <= 258:
        sizes.append(3)
    return min(sizes, default=None)


def reference_minimum(data):
    n = len(data)
    items_at = [dict() for _ in range(n + 1)]   # items_at[p][K] = fewest item bytes
    items_at[0][0] = 0
    for p in range(n):
        moves = {1: 1}                            # length -> cheapest item size
        for s in range(p):
            limit = min(p - s, n - p, 258)        # the copy ends at or before p
            k = 0
            while k < limit and data[s + k] == data[p + k]:
                k += 1
            for length in range(3, k + 1):
                size = form_size(p - s - length, length)
                if size is not None and size < moves.get(length, 99):
                    moves[length] = size
        for count, cost in items_at[p].items():
            for length, size in moves.items():
                target = items_at[p + length]
                if cost + size < target.get(count + 1, math.inf):
                    target[count + 1] = cost + size
    return min(cost + math.ceil(count / 8) for count, cost in items_at[n].items())


# Inputs with repeats at every distance the forms reach: runs of new bytes,
# and copies of earlier bytes from near, middle and far distances.
@st.composite
def repetitive_bytes(draw, max_size=900, max_distance=1200):
    size = draw(st.one_of(st.integers(1, 64), st.integers(max_size // 2, max_size)))
    rng = random.Random(draw(st.integers(0, 2**32)))
    out = bytearray()
    while len(out) < size:
        if not out or rng.random() < 0.4:
            out += rng.randbytes(rng.randint(1, 24))
        else:
            low, high = rng.choice([(0, 127), (128, 639), (640, max_distance)])
            end = len(out) - rng.randint(low, min(high, len(out) - 1)) if len(out) > low else len(out)
            length = rng.randint(1, 40)
            out += out[max(0, end - length):end]
    return bytes(out[:size])




# ---------------------------------------------------------------------------
class TestDecoderForms:
    @pytest.mark.parametrize("items, expected", [
        (literals(b"abc") + [("near", 0, 3)], b"abcabc"),          # gap 0: the L bytes ending at P
        (literals(b"abcX") + [("near", 1, 3)], b"abcXabc"),
        (literals(b"abc") + [("near", 0, 3), ("near", 0, 6)], b"abc" * 4),  # copies of copies
    ])
    def test_near_copies(self, items, expected):
        assert decode(build_stream(items), len(expected)) == expected

    @pytest.mark.parametrize("form, gap, length", [
        ("near", 0, 3), ("near", 127, 258),
        ("middle", 128, 3), ("middle", 639, 34), ("middle", 383, 17),
        ("far", 128, 35), ("far", 640, 3), ("far", 9000, 100), ("far", 16511, 258),
    ])
    def test_form_limits(self, form, gap, length):
        # P = gap + length, so the copy starts at output position 0.
        prefix = random.Random(gap * 1000 + length).randbytes(gap + length)
        stream = build_stream(literals(prefix) + [(form, gap, length)])
        assert decode(stream, len(prefix) + length) == prefix + prefix[:length]


class TestDecoderStops:
    @pytest.mark.parametrize("tail_flags", [0x00, 0xFF, 0xA5])
    def test_stops_at_n_mid_group(self, tail_flags):
        # The last flag byte claims items that do not exist and nothing follows
        # the last real item: the decoder must not look at those bits.
        stream = build_stream(literals(b"ab"), tail_flags)
        assert len(stream) == 3
        assert decode(stream, 2) == b"ab"
        stream = build_stream(literals(b"abc") + [("near", 0, 3)], tail_flags)
        assert decode(stream, 6) == b"abcabc"

    def test_full_last_group_needs_no_further_flag_byte(self):
        stream = build_stream(literals(b"12345678"))
        assert decode(stream, 8) == b"12345678"
        assert_refused(stream + b"\x00", 8)

    def test_empty(self):
        assert decode(b"", 0) == b""
        assert_refused(b"\x00", 0)


class TestDecoderRefuses:
    ABC = build_stream(literals(b"abc"))
    ABCABC = build_stream(literals(b"abc") + [("near", 0, 3)])

    @pytest.mark.parametrize("stream, n", [
        pytest.param(ABCABC + b"\x00", 6, id="input-left-over"),
        pytest.param(ABC, 2, id="output-complete-before-input"),
        pytest.param(ABC, 4, id="input-ends-early"),
        pytest.param(bytes([0x00]), 1, id="flag-byte-only"),
        pytest.param(build_stream(literals(b"12345678")), 9, id="missing-flag-byte"),
        pytest.param(ABCABC, 5, id="reference-writes-past-n"),
        pytest.param(build_stream(literals(b"ab") + [("near", 0, 3)]), 5, id="before-start-near"),
        pytest.param(build_stream(literals(b"abc") + [("near", 1, 3)]), 6, id="before-start-by-one"),
        pytest.param(build_stream(literals(b"x" * 130) + [("middle", 128, 3)]), 133, id="before-start-middle"),
        pytest.param(build_stream(literals(b"x" * 200) + [("far", 200, 3)]), 203, id="before-start-far"),
        pytest.param(bytes([0x01, 0x61, 0x05]), 4, id="near-cut-after-b0"),
        pytest.param(bytes([0x01, 0x61, 0x80, 0x80]), 5, id="far-cut-after-b1"),
        pytest.param(bytes([0x01, 0x61, 0x80]), 4, id="form-cut-after-b0"),
        pytest.param(bytes([0x01]), 1, id="literal-missing"),
        pytest.param(bytes([0xFF]) + b"abcdefg", 8, id="literal-group-cut-short"),
        pytest.param(bytes([0xFF]) + b"abcdefgh", 7, id="literal-group-past-n"),
    ])
    def test_refused(self, stream, n):
        assert_refused(stream, n)

    def test_every_cut_of_the_compiled_stream(self):
        stream, n, _, _ = hooks.compiled_stream()
        for cut in range(len(stream)):
            assert_refused(stream[:cut], n)
        assert_refused(stream + b"\x00", n)
        assert_refused(stream, n - 1)
        assert_refused(stream, n + 1)


# ---------------------------------------------------------------------------
# The decoder fuzzed: every outcome, a stream decoded or refused, equals the
# rules' (reference_decode).

def reference_decode(stream, n):
    """The stream format, decoded by rule: bytes, or None where the decoder
    must refuse the stream (it ends early, runs past its end or past n,
    reaches before the output's start, or leaves input over)."""
    out = bytearray()
    pos = 0
    while len(out) < n:
        if pos >= len(stream):
            return None
        flags = stream[pos]
        pos += 1
        for k in range(8):
            if flags >> k & 1:
                if pos >= len(stream):
                    return None
                out.append(stream[pos])
                pos += 1
            else:
                if pos + 1 >= len(stream):
                    return None
                b0, b1 = stream[pos], stream[pos + 1]
                if b0 < 0x80:
                    gap, length, size = b0, b1 + 3, 2
                elif b1 < 0x80:
                    gap, length, size = ((b1 & 0x60) << 2 | (b0 & 0x7F)) + 128, (b1 & 0x1F) + 3, 2
                else:
                    if pos + 2 >= len(stream):
                        return None
                    gap, length, size = ((b1 & 0x7F) << 7 | (b0 & 0x7F)) + 128, stream[pos + 2] + 3, 3
                start = len(out) - gap - length
                if start < 0 or len(out) + length > n:
                    return None
                out += out[start:start + length]
                pos += size
            if len(out) == n:
                break
    return bytes(out) if pos == len(stream) else None


def mutate(rng, stream):
    s = bytearray(stream)
    for _ in range(rng.randint(1, 4)):
        op = rng.randrange(6)
        i = rng.randrange(len(s) + 1)
        if op == 0 and s:      # flip one bit
            i = min(i, len(s) - 1)
            s[i] ^= 1 << rng.randrange(8)
        elif op == 1 and s:    # overwrite one byte
            s[min(i, len(s) - 1)] = rng.randrange(256)
        elif op == 2:          # insert bytes
            s[i:i] = rng.randbytes(rng.randint(1, 3))
        elif op == 3:          # delete bytes
            del s[i:i + rng.randint(1, 3)]
        elif op == 4:          # truncate
            del s[i:]
        else:                  # repeat a slice
            j = rng.randrange(len(s) + 1)
            s[i:i] = s[j:j + rng.randint(1, 8)]
    return bytes(s)


def decode_or_none(stream, n):
    """The decoder's output, or None where it refuses the stream with its message."""
    try:
        out = decode(stream, n)
    except RuntimeError as exc:
        assert str(exc) == MESSAGE
        return None
    assert len(out) == n
    return out


class TestDecoderFuzzed:
    @settings(max_examples=400, deadline=None)
    @given(st.binary(max_size=2000), st.integers(0, 5000))
    def test_garbage(self, stream, n):
        assert decode_or_none(stream, n) == reference_decode(stream, n)

    def test_garbage_with_valid_prefix(self):
        # Streams that start like real ones reach deeper into the decoder
        # than uniform noise does.
        rng = random.Random(3)
        real, n, _, _ = hooks.compiled_stream()
        for _ in range(3000):
            cut = rng.randrange(len(real))
            stream = real[:cut] + rng.randbytes(rng.randrange(64))
            size = rng.choice([n, cut * 2, rng.randrange(4 * n)])
            assert decode_or_none(stream, size) == reference_decode(stream, size)

    @pytest.mark.slow
    def test_random_and_mutated_streams(self):
        stream, n, _, _ = hooks.compiled_stream()
        rng = random.Random(20240611)
        # Seeds: the compiled stream and the producer's streams for varied data.
        seeds = [(stream, n)]
        for size in (1, 7, 60, 300, 2000):
            data = bytes(rng.choice(b"abc\x00\xff") if rng.random() < 0.5 else rng.randrange(256)
                         for _ in range(size))
            data = data[: size // 2] + data[: size - size // 2]  # far back-references
            seeds.append((hooks.lzss_encode(data), len(data)))
        runs = 100_000
        checked = 0
        for i in range(runs):
            if i % 4 == 3:  # random bytes
                candidate = rng.randbytes(rng.randint(0, 40))
                size = rng.randint(0, 80)
            else:
                seed, size = seeds[rng.randrange(len(seeds))]
                candidate = mutate(rng, seed)
                size = max(0, size + rng.choice((0, 0, 0, 0, 1, -1, rng.randint(-20, 20))))
            result = decode_or_none(candidate, size)
            # Every short case, and a sample of the long ones, against the rules.
            if size < 200 or i % 50 == 0:
                assert result == reference_decode(candidate, size), (candidate.hex(), size)
                checked += 1
        assert checked > 20_000


class TestProducerRoundTrip:
    @given(st.binary(max_size=3000))
    def test_random_bytes(self, data):
        stream = hooks.lzss_encode(data)
        assert decode(stream, len(data)) == data
        assert hooks.lzss_check(stream, data) is None

    @given(repetitive_bytes(max_size=4000, max_distance=3000))
    def test_repetitive_bytes(self, data):
        stream = hooks.lzss_encode(data)
        assert decode(stream, len(data)) == data
        assert hooks.lzss_check(stream, data) is None

    @pytest.mark.parametrize("data", [b"", b"a", b"aaa", b"a" * 1000, bytes(16384), bytes(range(256)) * 64],
                             ids=["empty", "one", "three", "run-1000", "zeros-at-limit", "cycle-256"])
    def test_edges(self, data):
        stream = hooks.lzss_encode(data)
        assert decode(stream, len(data)) == data
        assert hooks.lzss_check(stream, data) is None

    @pytest.mark.parametrize("stream, data, problem", [
        (build_stream(literals(b"x" * 200) + [("far", 150, 3)]), b"x" * 203, "form prescribed"),
        (build_stream(literals(b"ab"), 0x04), b"ab", "flag bits"),
        (build_stream(literals(b"abc")) + b"\x00", b"abc", "goes on"),
        (build_stream(literals(b"abd")), b"abc", "differs"),
    ])
    def test_contract_check_catches(self, stream, data, problem):
        # The producer's own check must refuse streams the decoder would take.
        assert problem in hooks.lzss_check(stream, data)


class TestOptimality:
    @pytest.mark.parametrize("data, size", [
        (b"abcabc", 6),             # flag, 3 literals, one near reference
        (b"abcdefgh", 9),           # one full group
        (b"abcdefghi", 11),         # a second flag byte for the ninth item
        (b"a" * 12, 8),             # 3 literals, then near (0, 3) and near (0, 6)
    ])
    def test_reference_minimum_by_hand(self, data, size):
        assert reference_minimum(data) == size

    @settings(deadline=None, max_examples=300)
    @given(st.binary(max_size=48).map(lambda b: bytes(c % 3 + 97 for c in b)))
    def test_small_inputs(self, data):
        assert len(hooks.lzss_encode(data)) == reference_minimum(data)

    @settings(deadline=None, max_examples=40)
    @given(repetitive_bytes())
    def test_inputs_reaching_middle_and_far_gaps(self, data):
        assert len(hooks.lzss_encode(data)) == reference_minimum(data)

    def test_compiled_stream_is_the_optimal_encoding(self):
        stream, _, _, _ = hooks.compiled_stream()
        strings, line_table, _ = hooks.decoded_table()
        decoded = b"".join(s.encode() for s in strings) + line_table
        assert hooks.lzss_encode(decoded) == stream
        assert hooks.lzss_check(stream, decoded) is None


class TestDecodedTable:
    def test_entries_equal_the_source(self):
        strings, _, _ = hooks.decoded_table()
        entries = source_entries()
        assert strings == [text for _, _, text in entries]
        kinds = [kind for kind, _, _ in entries]
        assert kinds == sorted(kinds, reverse=True) and set(kinds) == {"TEXT", "NAME"}  # texts, then names

    def test_interning_is_positional(self):
        strings, _, interned = hooks.decoded_table()
        first_name = [kind for kind, _, _ in source_entries()].index("NAME")
        # One-character texts ("?", "[") are the interpreter's shared
        # single-character strings, which anything in the process may intern.
        assert not any(flag for s, flag in zip(strings[:first_name], interned) if len(s) > 1)
        assert all(interned[first_name:])
        assert strings.index(SOURCE_FILE) < first_name

    def test_lengths_count_bytes(self):
        _, n, lengths, line_table_length = hooks.compiled_stream()
        strings, line_table, _ = hooks.decoded_table()
        # An entry with a three-byte character: its length counts bytes.
        doc = next(s for s in strings if "\u2014" in s)
        assert lengths[strings.index(doc)] == len(doc.encode()) == len(doc) + 2
        assert list(lengths) == [len(s.encode()) for s in strings]
        assert line_table_length == len(line_table)
        assert n == sum(lengths) + len(line_table)

    def test_reinit_releases_the_old_entries(self):
        strings, line_table, _ = hooks.decoded_table()
        first_name = [kind for kind, _, _ in source_entries()].index("NAME")
        old_text, old_name = strings[1], strings[first_name]
        del strings
        before = sys.getrefcount(old_text), sys.getrefcount(line_table)
        hooks.init_constant_table()
        # The state's references to the old text and line table are gone,
        # while the interned name comes back as the very same object.
        assert (sys.getrefcount(old_text), sys.getrefcount(line_table)) == (before[0] - 1, before[1] - 1)
        strings, new_line_table, _ = hooks.decoded_table()
        assert strings[1] == old_text and strings[1] is not old_text
        assert new_line_table == line_table
        assert strings[first_name] is old_name


def expected_co_lines():
    """The lines co_lines() yields for constants.def's location list: one per
    location entry on 3.11; from 3.12 on the interpreter merges neighbouring
    entries of the same line into one."""
    lines = [line for line, ranges in line_positions().items() for _ in ranges]
    if sys.version_info >= (3, 12):
        lines = [line for i, line in enumerate(lines) if i == 0 or lines[i - 1] != line]
    return lines


class TestCodeObject:
    @pytest.fixture
    def code(self):
        return hooks.build_code_object()

    @pytest.mark.parametrize("attr, expected", [
        ("co_varnames", ("self", "status_code", "message", "payload")),
        ("co_argcount", 4),
        ("co_posonlyargcount", 0),
        ("co_kwonlyargcount", 0),
        ("co_nlocals", 4),
        ("co_flags", 3),
        ("co_firstlineno", source_lines()["INIT_DEF"]),
        ("co_name", "__init__"),
        ("co_qualname", "__init__"),
        ("co_filename", SOURCE_FILE),
        ("co_consts", ()),
        ("co_names", ()),
        ("co_freevars", ()),
        ("co_cellvars", ()),
        ("co_code", bytes(108)),  # (2 * the line table's 53 bytes + 4) & ~3
        ("co_exceptiontable", b""),
    ])
    def test_attributes(self, code, attr, expected):
        assert getattr(code, attr) == expected

    def test_built_from_the_table(self, code):
        strings, line_table, _ = hooks.decoded_table()
        by_text = {s: s for s in strings}
        assert code.co_name is code.co_qualname is by_text["__init__"]
        if sys.version_info >= (3, 13):
            # 3.13 interns a code object's file name: an equal interned string.
            assert code.co_filename == by_text[SOURCE_FILE]
            assert sys.intern(code.co_filename) is code.co_filename
        else:
            assert code.co_filename is by_text[SOURCE_FILE]
        assert all(v is by_text[v] for v in code.co_varnames)
        assert code.co_linetable == line_table

    @needs_source
    def test_positions(self, code):
        expected = [(line, line, start, end)
                    for line, ranges in line_positions().items() for start, end in ranges]
        assert list(code.co_positions()) == expected

    @needs_source
    def test_lines(self, code):
        lines = [line for _, _, line in code.co_lines()]
        assert sorted(set(lines)) == [8, 9, 10, 11, 12]
        assert lines == expected_co_lines()

    @needs_source
    def test_the_module_initializer_presents_it(self):
        from quillmaret import _m3
        code = _m3.QuillMaretAPIError.__dict__["__init__"].__code__
        assert (code.co_varnames, code.co_firstlineno, code.co_filename) == (
            ("self", "status_code", "message", "payload"), 8, SOURCE_FILE)
        assert [line for _, _, line in code.co_lines()] == expected_co_lines()

    def test_rebuilding_releases_the_old_code_object(self):
        old = hooks.build_code_object()
        before = sys.getrefcount(old)
        new = hooks.build_code_object()
        assert new is not old and new.co_varnames == old.co_varnames
        assert sys.getrefcount(old) == before - 1


# ---------------------------------------------------------------------------
# The producer program, compiled from the source tree against altered copies
# of constants.def: a table that breaks a rule must fail the build.

CXX = shutil.which("g++") or shutil.which("c++")
PRODUCER = ROOT / "tools" / "constgen"


def build_producer(tmp_path, def_text):
    """Compiles the producer in a copy of the tree whose constants.def is def_text."""
    (tmp_path / "tools" / "constgen").mkdir(parents=True)
    (tmp_path / "src" / "quillmaret").mkdir(parents=True)
    for name in ("constgen.cpp", "lzss_encoder.h"):
        shutil.copy(PRODUCER / name, tmp_path / "tools" / "constgen" / name)
    shutil.copy(ROOT / "src" / "quillmaret" / "stream_format.h", tmp_path / "src" / "quillmaret")
    (tmp_path / "src" / "quillmaret" / "constants.def").write_text(def_text, encoding="utf-8")
    exe = tmp_path / "constgen"
    subprocess.run([CXX, "-std=c++20", "-O0", "-o", str(exe), str(tmp_path / "tools" / "constgen" / "constgen.cpp")],
                   check=True, capture_output=True)
    return exe


def edited_def(old, new):
    text = DEF_FILE.read_text(encoding="utf-8")
    assert text.count(old) == 1
    return text.replace(old, new)


@pytest.fixture(scope="module")
def producer(tmp_path_factory):
    """The producer built once from the tree's own constants.def."""
    return build_producer(tmp_path_factory.mktemp("producer"), DEF_FILE.read_text(encoding="utf-8"))


@pytest.mark.subprocess
@pytest.mark.skipif(CXX is None or not (PRODUCER / "constgen.cpp").exists(),
                    reason="needs the source tree and a C++ compiler")
class TestProducerProgram:
    def test_writes_the_header(self, producer, tmp_path):
        out, dump = tmp_path / "constant_stream.h", tmp_path / "decoded.bin"
        proc = subprocess.run([str(producer), "--decoded", str(dump), str(out)], capture_output=True, text=True)
        assert proc.returncode == 0, proc.stderr
        header = out.read_text()
        assert header.startswith("/* Auto-generated by tools/constgen/constgen.cpp")
        stream, n, _, _ = hooks.compiled_stream()
        assert f"STREAM_LENGTH = {len(stream)};" in header
        assert f"DECODED_LENGTH = {n};" in header
        strings, line_table, _ = hooks.decoded_table()
        assert dump.read_bytes() == b"".join(s.encode() for s in strings) + line_table

    @pytest.mark.parametrize("args", [[], ["a", "b"], ["--bogus", "out.h"], ["--decoded"]])
    def test_usage_error(self, producer, tmp_path, args):
        proc = subprocess.run([str(producer), *args], capture_output=True, text=True, cwd=tmp_path)
        assert proc.returncode == 2
        assert proc.stderr.startswith("usage: ")
        assert not list(tmp_path.iterdir())

    @pytest.mark.parametrize("edit, message", [
        (('QUILL_NAME(str, "str")', 'QUILL_NAME(str, "sz")'),
         "entry 44 (super) is not in ascending code-point order"),
        (('QUILL_NAME(dict, "dict")', 'QUILL_NAME(dict, "int")'),
         "entry 34 (int) is not in ascending code-point order"),
        (('QUILL_TEXT(OPEN_BRACKET, "[")', 'QUILL_TEXT(OPEN_BRACKET, "' + "[" * 256 + '")'),
         "entry 7 (OPEN_BRACKET) has 256 bytes"),
        (('QUILL_TEXT(ADD_NOTE, "add_note")', 'QUILL_TEXT(ADD_NOTE, "add_\\xff")'),
         "entry 9 (ADD_NOTE) is not valid UTF-8"),
        (('QUILL_TEXT(OPEN_BRACKET, "[")', 'QUILL_NAME(OPEN_BRACKET, "[")'),
         "entry 8 (CLOSE_BRACKET) is a QUILL_TEXT entry among the QUILL_NAME entries"),
        (('QUILL_LOCATIONS(SET_MESSAGE, 8, 12, 23, 24)', 'QUILL_LOCATIONS(SET_MESSAGE, 8, 23, 12, 24)'),
         "the locations of line SET_MESSAGE are not ascending columns"),
    ])
    def test_table_rules_fail_the_build(self, tmp_path, edit, message):
        exe = build_producer(tmp_path, edited_def(*edit))
        out = tmp_path / "constant_stream.h"
        proc = subprocess.run([str(exe), str(out)], capture_output=True, text=True)
        assert proc.returncode == 1
        assert message in proc.stderr
        assert not out.exists() and not (tmp_path / "constant_stream.h.tmp").exists()

    # The longest entry the length table holds is accepted (one byte more is
    # refused above).
    @pytest.mark.parametrize("text", ["zz", "z" * 255], ids=["short", "255 bytes"])
    def test_a_new_entry_needs_no_other_edit(self, tmp_path, text):
        # Counts and lengths follow constants.def: nothing else states them.
        exe = build_producer(tmp_path, edited_def('QUILL_NAME(values, "values")',
                                                  f'QUILL_NAME(values, "values")\nQUILL_NAME(zz, "{text}")'))
        out = tmp_path / "constant_stream.h"
        proc = subprocess.run([str(exe), str(out)], capture_output=True, text=True)
        assert proc.returncode == 0, proc.stderr
        _, n, lengths, _ = hooks.compiled_stream()
        header = out.read_text()
        assert f"ENTRY_COUNT = {len(lengths) + 1};" in header
        assert f"DECODED_LENGTH = {n + len(text)};" in header
