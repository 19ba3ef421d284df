"""Arbitrary and hostile arguments to every function: each call either returns
its result or raises one of the module's exceptions, and never anything else.

The calls are described by recipes, from which fresh argument objects are
built for every use (iterators are consumed, some elements mutate the list
that holds them).  One copy of the arguments goes through a reference binding
and conversion that asks the interpreter the same questions the module asks
(PySequence_Check, iteration, PyFloat_AsDouble); the other goes to the module.
Where the reference conversion fails, the module must fail the same way;
where it succeeds, the module must give exactly what it gives for the
converted plain floats, and that must be a result or a kernel error."""

from __future__ import annotations

import ctypes
import math
import os
import re as regex
import subprocess
import sys
import textwrap
import warnings
from collections import deque
from fractions import Fraction

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import caustrix

from helpers import PUBLIC, is_sequence, quoted_list

BOUNDED = settings(max_examples=150, deadline=None, derandomize=True, database=None,
                   suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])

PARAMETERS = PUBLIC
NAMES = list(PARAMETERS)
is_sequence_parameter = is_sequence


KERNEL_ERROR = regex.compile(r"ellip(r[cdfgj]|k|e|pi): \S")

# The interpreter's own operations, called as the module calls them; ctypes
# raises whatever exception they leave set.
_PySequence_Check = ctypes.pythonapi.PySequence_Check
_PySequence_Check.argtypes = [ctypes.py_object]
_PySequence_Check.restype = ctypes.c_int
_PyFloat_AsDouble = ctypes.pythonapi.PyFloat_AsDouble
_PyFloat_AsDouble.argtypes = [ctypes.py_object]
_PyFloat_AsDouble.restype = ctypes.c_double


# --------------------------------------------------------------------------
# Hostile objects


class Boom(Exception):
    pass


class Fatal(BaseException):
    """Not an Exception: must pass through handlers for Exception alike."""


class NarrowTypeError(TypeError):
    pass


EXCEPTIONS = {
    "boom": Boom, "fatal": Fatal, "value": ValueError, "overflow": OverflowError,
    "type": TypeError, "narrow-type": NarrowTypeError, "memory": MemoryError,
    "stop": StopIteration,
}


def make_exception(kind):
    return EXCEPTIONS[kind](f"raised by a {kind} hook")


class FloatSubclass(float):
    """Its own __float__ is not asked: the float value is read directly."""

    def __float__(self):
        raise Boom("float subclass asked for __float__")


class HasFloat:
    def __init__(self, result):
        self.result = result

    def __float__(self):
        if isinstance(self.result, str) and self.result in EXCEPTIONS:
            raise make_exception(self.result)
        return self.result


class HasIndex:
    def __init__(self, result):
        self.result = result

    def __index__(self):
        if isinstance(self.result, str) and self.result in EXCEPTIONS:
            raise make_exception(self.result)
        return self.result


class Claims:
    """A sequence whose __len__ claims anything (or raises) while its items
    are the given ones."""

    def __init__(self, items, claimed):
        self.items = items
        self.claimed = claimed

    def __len__(self):
        if isinstance(self.claimed, str) and self.claimed in EXCEPTIONS:
            raise make_exception(self.claimed)
        return self.claimed

    def __getitem__(self, i):
        return self.items[i]


class ClaimingList(list):
    def __init__(self, items, claimed):
        super().__init__(items)
        self.claimed = claimed

    def __len__(self):
        return self.claimed


class FailingIteration:
    """A sequence whose iteration yields `count` items and then raises."""

    def __init__(self, items, count, kind):
        self.items, self.count, self.kind = items, count, kind

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        yield from self.items[:self.count]
        raise make_exception(self.kind)


class NonsenseIterator:
    def __getitem__(self, i):
        return 1.0

    def __iter__(self):
        return 42


class Mapping(dict):
    pass


class Mutator:
    """An element whose conversion changes the list holding it."""

    def __init__(self, owner, how, value):
        self.owner, self.how, self.value = owner, how, value

    def __float__(self):
        owner = self.owner
        if self.how == "clear":
            owner.clear()
        elif self.how == "pop" and owner:
            owner.pop()
        elif self.how == "append" and len(owner) < 8:
            owner.append(Mutator(owner, "append", self.value + 1.0))
        elif self.how == "replace" and owner:
            owner[-1] = "no longer a number"
        elif self.how == "insert" and len(owner) < 8:
            owner.insert(0, self.value)
        return self.value


# --------------------------------------------------------------------------
# Recipes: hashable descriptions from which fresh objects are built


def build(recipe):
    kind, *rest = recipe
    if kind == "float":
        return rest[0]
    if kind == "int":
        return rest[0]
    if kind == "bool":
        return rest[0]
    if kind == "float-subclass":
        return FloatSubclass(rest[0])
    if kind == "fraction":
        return Fraction(*rest)
    if kind == "has-float":
        result = rest[0]
        if isinstance(result, tuple):
            result = build(result)
        return HasFloat(result)
    if kind == "float-returns-subclass":
        return HasFloat(FloatSubclass(rest[0]))
    if kind == "has-index":
        return HasIndex(rest[0])
    if kind == "complex":
        return complex(*rest)
    if kind == "str":
        return rest[0]
    if kind == "bytes":
        return rest[0]
    if kind == "bytearray":
        return bytearray(rest[0])
    if kind == "none":
        return None
    if kind == "object":
        return object()
    if kind == "list":
        return [build(r) for r in rest[0]]
    if kind == "tuple":
        return tuple(build(r) for r in rest[0])
    if kind == "deque":
        return deque(build(r) for r in rest[0])
    if kind == "range":
        return range(*rest)
    if kind == "claims":
        return Claims([build(r) for r in rest[0]], rest[1])
    if kind == "claiming-list":
        return ClaimingList([build(r) for r in rest[0]], rest[1])
    if kind == "failing-iteration":
        return FailingIteration([build(r) for r in rest[0]], rest[1], rest[2])
    if kind == "nonsense-iterator":
        return NonsenseIterator()
    if kind == "generator":
        items = [build(r) for r in rest[0]]
        return (x for x in items)
    if kind == "dict":
        return {build(r): 1 for r in rest[0] if r[0] in ("float", "int", "bool")}
    if kind == "mapping":
        return Mapping.fromkeys(range(len(rest[0])))
    if kind == "set":
        return {x for x in (build(r) for r in rest[0]) if isinstance(x, (int, float))}
    if kind == "frozenset":
        return frozenset(range(len(rest[0])))
    if kind == "mutating":
        how, values = rest
        owner = []
        owner.append(Mutator(owner, how, values[0]))
        owner.extend(values[1:])
        return owner
    raise AssertionError(f"unknown recipe {recipe!r}")


EXCEPTION_KINDS = st.sampled_from(sorted(EXCEPTIONS))

FLOATS = st.floats(allow_nan=True, allow_infinity=True, allow_subnormal=True)
MODERATE = st.floats(-4.0, 4.0) | st.sampled_from([0.0, -0.0, 1.0, 0.5, 0.01, 1.0 + 1e-6])
HUGE_INTS = st.sampled_from([10**400, -(10**400), 2**1024, 2**1023, 2**53 + 1, -(2**63), 10**18])

# Numbers the module must accept, and objects that only look like numbers.
GOOD_NUMBERS = st.one_of(
    MODERATE.map(lambda x: ("float", x)),
    st.integers(-5, 5).map(lambda n: ("int", n)),
    st.booleans().map(lambda b: ("bool", b)),
    MODERATE.map(lambda x: ("float-subclass", x)),
    MODERATE.map(lambda x: ("has-float", x)),
    st.integers(-5, 5).map(lambda n: ("has-index", n)),
    st.tuples(st.integers(-9, 9), st.integers(1, 9)).map(lambda t: ("fraction", *t)),
)
HOSTILE_NUMBERS = st.one_of(
    FLOATS.map(lambda x: ("float", x)),
    st.sampled_from([("float", 5e-324), ("float", -5e-324), ("float", 2.2250738585072014e-308),
                     ("float", -0.0), ("float", 1.7976931348623157e308)]),
    HUGE_INTS.map(lambda n: ("int", n)),
    HUGE_INTS.map(lambda n: ("has-index", n)),
    FLOATS.map(lambda x: ("float-subclass", x)),
    FLOATS.map(lambda x: ("float-returns-subclass", x)),
    EXCEPTION_KINDS.map(lambda k: ("has-float", k)),
    EXCEPTION_KINDS.map(lambda k: ("has-index", k)),
    st.sampled_from([("has-float", "1.5"), ("has-float", 2), ("has-float", None),
                     ("has-float", ("has-float", 1.0)), ("has-index", 1.5),
                     ("has-index", "3"), ("has-index", True), ("fraction", 10**400, 3),
                     ("complex", 1.0, 2.0), ("str", "1.5"), ("str", ""), ("bytes", b"1"),
                     ("none",), ("object",)]),
    st.text(max_size=4).map(lambda s: ("str", s)),
)
NUMBERS = st.one_of(GOOD_NUMBERS, GOOD_NUMBERS, HOSTILE_NUMBERS)

CLAIMED_LENGTHS = st.sampled_from([0, 1, 10**18, sys.maxsize, 2**64, -1, -(10**18), 1.5, "x",
                                   None, "boom", "overflow", "memory", "fatal"])
MUTATIONS = st.sampled_from(["clear", "pop", "append", "insert"])


def sequences(elements, convertible):
    """Sequences of the given elements; with `convertible`, only kinds whose
    iteration succeeds."""
    items = st.lists(elements, max_size=8).map(tuple)
    kinds = [
        items.map(lambda xs: ("list", xs)),
        items.map(lambda xs: ("tuple", xs)),
        items.map(lambda xs: ("deque", xs)),
        st.tuples(st.integers(-3, 3), st.integers(-3, 5), st.sampled_from([1, 2, -1])).map(
            lambda t: ("range", *t)),
        st.tuples(items, CLAIMED_LENGTHS).map(lambda t: ("claims", *t)),
        st.tuples(items, st.sampled_from([0, 10**18, sys.maxsize])).map(
            lambda t: ("claiming-list", *t)),
        st.tuples(MUTATIONS, st.lists(MODERATE, min_size=1, max_size=6).map(tuple)).map(
            lambda t: ("mutating", *t)),
    ]
    if not convertible:
        kinds += [
            st.tuples(items, st.integers(0, 8), EXCEPTION_KINDS).map(
                lambda t: ("failing-iteration", *t)),
            st.just("replace").map(lambda how: ("mutating", how, (0.5, 1.0, 2.0))),
            items.map(lambda xs: ("generator", xs)),
        ]
    return st.one_of(*kinds)


NON_SEQUENCES = st.one_of(
    st.sampled_from([("none",), ("object",), ("nonsense-iterator",), ("str", "12"),
                     ("str", ""), ("bytes", b""), ("bytes", b"\x00\xff"),
                     ("bytearray", b"ab")]),
    st.lists(GOOD_NUMBERS, max_size=3).map(lambda xs: ("dict", tuple(xs))),
    st.lists(GOOD_NUMBERS, max_size=3).map(lambda xs: ("mapping", tuple(xs))),
    st.lists(GOOD_NUMBERS, max_size=3).map(lambda xs: ("set", tuple(xs))),
    st.lists(GOOD_NUMBERS, max_size=3).map(lambda xs: ("frozenset", tuple(xs))),
    HOSTILE_NUMBERS,
)
GOOD_SEQUENCES = sequences(GOOD_NUMBERS, convertible=True)
HOSTILE_SEQUENCES = st.one_of(sequences(NUMBERS, convertible=False), NON_SEQUENCES)
HOSTILE_ARGUMENTS = st.one_of(HOSTILE_NUMBERS, NON_SEQUENCES, GOOD_SEQUENCES)


def arguments(sequence_parameter):
    """Mostly arguments that convert, so that most calls reach the model."""
    good, bad = ((GOOD_SEQUENCES, HOSTILE_SEQUENCES) if sequence_parameter
                 else (st.one_of(GOOD_NUMBERS, FLOATS.map(lambda x: ("float", x))),
                       HOSTILE_ARGUMENTS))
    return st.integers(0, 9).flatmap(lambda k: good if k < 8 else bad)


STRAY_KEYWORDS = st.sampled_from(["rho", "L", "Re", "x", "", "l ", "é"])


@st.composite
def calls(draw, name):
    """A call of `name`: positional recipes and (keyword, recipe) pairs."""
    params = PARAMETERS[name]

    def argument(param):
        return draw(arguments(is_sequence_parameter(name, param)))

    if draw(st.integers(0, 7)) > 0:
        # Well-formed: the first k by position, the rest by keyword in any order.
        k = draw(st.integers(0, len(params)))
        positional = tuple(argument(p) for p in params[:k])
        keywords = list(params[k:])
        keywords = draw(st.permutations(keywords)) if keywords else []
        return positional, tuple((p, argument(p)) for p in keywords)
    # Anything: too many, too few, stray and repeated names.
    count = draw(st.integers(0, len(params) + 2))
    positional = tuple(argument(params[i % len(params)]) for i in range(count))
    names = draw(st.lists(st.sampled_from(params) | STRAY_KEYWORDS, max_size=len(params) + 1,
                          unique=True))
    return positional, tuple((k, argument(k if k in params else "l")) for k in names)


# --------------------------------------------------------------------------
# The reference binding and conversion


def reference_vector(obj):
    if isinstance(obj, str):
        raise TypeError("Can't extract `str` to `Vec`")
    if not _PySequence_Check(obj):
        raise TypeError(f"'{type(obj).__qualname__}' object cannot be converted to 'Sequence'")
    return [_PyFloat_AsDouble(item) for item in obj]


def reference_binding(name, positional, keywords):
    """("binding", message), ("conversion", parameter, exception) or
    ("converted", plain arguments in parameter order)."""
    params = PARAMETERS[name]
    if len(positional) > len(params):
        g = len(positional)
        return ("binding", f"{name}() takes {len(params)} positional arguments but {g} "
                           f"{'was' if g == 1 else 'were'} given")
    slots = dict(zip(params, positional))
    for keyword, value in keywords:
        if keyword not in params:
            return ("binding", f"{name}() got an unexpected keyword argument '{keyword}'")
        if keyword in slots:
            return ("binding", f"{name}() got multiple values for argument '{keyword}'")
        slots[keyword] = value
    missing = [p for p in params if p not in slots]
    if missing:
        m = len(missing)
        return ("binding", f"{name}() missing {m} required positional "
                           f"{'argument' if m == 1 else 'arguments'}: {quoted_list(missing)}")
    converted = []
    for param in params:
        convert = reference_vector if is_sequence_parameter(name, param) else _PyFloat_AsDouble
        try:
            converted.append(convert(slots[param]))
        except BaseException as exc:  # noqa: BLE001 - user hooks raise anything
            return ("conversion", param, exc)
    return ("converted", converted)


def outcome(call):
    try:
        return ("returned", call())
    except BaseException as exc:  # noqa: BLE001 - anything at all is to be judged
        return ("raised", exc)


def same_floats(a, b):
    return len(a) == len(b) and all(
        type(x) is float and type(y) is float and (x == y or (math.isnan(x) and math.isnan(y)))
        and math.copysign(1.0, x) == math.copysign(1.0, y) for x, y in zip(a, b))


def same_outcome(a, b):
    if a[0] != b[0]:
        return False
    if a[0] == "raised":
        return type(a[1]) is type(b[1]) and a[1].args == b[1].args
    x, y = a[1], b[1]
    if isinstance(x, float):
        return same_floats([x], [y])
    if x and isinstance(x[0], list):
        return len(x) == len(y) and all(same_floats(p, q) for p, q in zip(x, y))
    return same_floats(x, y)


def check_result_or_kernel_error(name, converted, result):
    """The outcome of a call with plain floats: its documented result, a
    kernel error, or the flux-map length error."""
    args = dict(zip(PARAMETERS[name], converted))
    unequal_tables = "bl" in args and len(args["bl"]) != len(args["bf"])
    kind, value = result
    if kind == "raised":
        if type(value) is RuntimeError and not unequal_tables:
            assert len(value.args) == 1 and type(value.args[0]) is str, value.args
            assert KERNEL_ERROR.match(value.args[0]), value.args
            return
        if type(value) is ValueError and unequal_tables:
            message = str(value)
            assert f"bl has {len(args['bl'])} " in message, message
            assert f"bf has {len(args['bf'])}" in message, message
            return
        raise AssertionError(f"{name} raised {value!r}") from value
    assert not unequal_tables, f"{name} accepted tables of unequal length"
    if name == "heyrovsky_magnification":
        assert type(value) is float
    elif name == "multi_witt_mao_magnification":
        assert type(value) is list
        assert len(value) == len(args["re"]) * len(args["rstar"])
        for curve in value:
            assert type(curve) is list and len(curve) == len(args["l"])
            assert all(type(x) is float for x in curve)
    else:
        assert type(value) is list and len(value) == len(args["l"])
        assert all(type(x) is float for x in value)


def check_call(name, positional, keywords):
    function = getattr(caustrix, name)
    with warnings.catch_warnings():
        # __float__ returning a float subclass is deprecated, not an error.
        warnings.simplefilter("ignore", DeprecationWarning)
        expected = reference_binding(name, tuple(build(r) for r in positional),
                                     tuple((k, build(r)) for k, r in keywords))
        got = outcome(lambda: function(*(build(r) for r in positional),
                                       **{k: build(r) for k, r in keywords}))

    if expected[0] != "converted":
        event(expected[0])
    if expected[0] == "binding":
        assert got[0] == "raised" and type(got[1]) is TypeError, got
        assert got[1].args == (expected[1],)
        return
    if expected[0] == "conversion":
        _, param, exc = expected
        assert got[0] == "raised", f"{name} accepted an argument that fails to convert: {exc!r}"
        raised = got[1]
        if type(exc) is TypeError:
            assert type(raised) is TypeError
            assert raised.args == (f"argument '{param}': {exc}",)
        else:
            assert type(raised) is type(exc), f"{raised!r} instead of {exc!r}"
            assert raised.args == exc.args
        return
    converted = expected[1]
    plain = outcome(lambda: function(*converted))
    event(f"converted, {type(plain[1]).__name__}")
    check_result_or_kernel_error(name, converted, plain)
    assert same_outcome(got, plain), f"{got!r} != {plain!r} for {converted!r}"


# --------------------------------------------------------------------------
# The properties


@pytest.mark.parametrize("name", NAMES)
@BOUNDED
@given(data=st.data())
def test_any_call_returns_its_result_or_a_module_exception(name, data):
    positional, keywords = data.draw(calls(name))
    check_call(name, positional, keywords)


FINITE_OR_NOT = st.one_of(FLOATS, MODERATE, MODERATE)
SHORT = st.lists(FINITE_OR_NOT, max_size=8)


@BOUNDED
@given(l=SHORT, re=FINITE_OR_NOT, rstar=FINITE_OR_NOT, bl=SHORT, bf=SHORT, r=FINITE_OR_NOT)
def test_any_float_values_give_a_result_or_a_kernel_error(l, re, rstar, bl, bf, r):
    """Plain floats anywhere in the double range: no other failure, and the
    same values in other containers give the same outcome."""
    argument_sets = {
        "witt_mao_magnification": (l, re, rstar),
        "integrated_witt_mao_magnification": (l, re, rstar),
        "integrated_flux_map_witt_mao_magnification": (l, re, rstar, bl, bf),
        "multi_witt_mao_magnification": (l, bl, bf),
        "heyrovsky_magnification": (re, r, rstar, re),
        "integrated_heyrovsky_magnification": (l, re, rstar),
        "integrated_flux_map_heyrovsky_magnification": (l, re, rstar, bl, bf),
        "discrete_flux_map_heyrovsky_magnification": (l, re, rstar, bl, bf),
    }
    for name, args in argument_sets.items():
        function = getattr(caustrix, name)
        result = outcome(lambda: function(*args))
        check_result_or_kernel_error(name, list(args), result)
        as_tuples = [tuple(a) if isinstance(a, list) else a for a in args]
        assert same_outcome(outcome(lambda: function(*as_tuples)), result)


# --------------------------------------------------------------------------
# Specific hostile cases the properties reach only by luck


class TestPassThrough:
    def test_the_hooks_own_exception_object_is_raised(self):
        for kind in ("boom", "fatal", "overflow", "narrow-type", "memory"):
            raised = make_exception(kind)

            class Hook:
                def __float__(self):
                    raise raised

            for args in (([Hook()], 1.0, 0.5), ([0.5], Hook(), 0.5), ([0.5], 1.0, Hook())):
                with pytest.raises(BaseException) as info:
                    caustrix.witt_mao_magnification(*args)
                assert info.value is raised

    def test_a_raising_len_never_escapes(self):
        # The length is only a hint; even a BaseException from it is dropped.
        for kind in ("boom", "fatal", "memory", "overflow"):
            got = caustrix.witt_mao_magnification(Claims([0.0, 1.0], kind), 1.0, 0.5)
            assert got == caustrix.witt_mao_magnification([0.0, 1.0], 1.0, 0.5)

    def test_iteration_failure_after_some_items_discards_them(self):
        with pytest.raises(Boom):
            caustrix.multi_witt_mao_magnification([1.0], [1.0, 2.0],
                                                  FailingIteration([0.1, 0.2], 2, "boom"))


class TestLyingLength:
    @pytest.mark.parametrize("claimed", [10**18, sys.maxsize, 2**62, 10**9, 0])
    def test_claimed_length_does_not_change_the_result(self, claimed):
        items = [0.0, 0.5, 1.0, 3.0]
        want = caustrix.witt_mao_magnification(items, 1.0, 0.5)
        assert caustrix.witt_mao_magnification(Claims(items, claimed), 1.0, 0.5) == want
        assert caustrix.witt_mao_magnification(ClaimingList(items, claimed), 1.0, 0.5) == want
        batch = caustrix.multi_witt_mao_magnification(
            Claims(items, claimed), ClaimingList([1.0], claimed), Claims([0.5], claimed))
        assert batch == [want]
        flux = caustrix.discrete_flux_map_heyrovsky_magnification(
            items, 1.0, 0.5, Claims([0.5], claimed), ClaimingList([2.0], claimed))
        assert flux == caustrix.discrete_flux_map_heyrovsky_magnification(items, 1.0, 0.5,
                                                                         [0.5], [2.0])


def run_limited(script, headroom_mb):
    """Runs a script in a fresh interpreter whose address space may grow by
    only `headroom_mb` beyond what it has once caustrix is imported and its
    worker pool started; returns the completed process."""
    prologue = f"""
        import resource, caustrix
        caustrix.multi_witt_mao_magnification([0.5], [1.0, 2.0], [0.5])
        def address_space():
            with open("/proc/self/status") as status:
                for line in status:
                    if line.startswith("VmSize:"):
                        return int(line.split()[1]) * 1024
        limit = address_space() + {headroom_mb} * 2**20
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    """
    env = dict(os.environ)
    # glibc gives each thread that first allocates an arena of its own, and
    # reserves 64 MB of address space for it (128 MB while it aligns it).
    # The pool's workers may make theirs only after the limit is set, taking
    # the whole allowance away from the calls under test; one arena shared by
    # every thread keeps the allowance what the script says.
    env["MALLOC_ARENA_MAX"] = "1"
    found = os.path.dirname(os.path.abspath(caustrix.__file__))
    env["PYTHONPATH"] = os.pathsep.join(p for p in (found, env.get("PYTHONPATH")) if p)
    code = textwrap.dedent(prologue) + textwrap.dedent(script)
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=env, timeout=120)


class TestMemoryLimits:
    def test_claimed_lengths_reserve_nothing_absurd(self):
        # Under a 128 MB allowance a vector sized from the claim (8 GB and
        # more) could not be had; the claims must be treated as hints.
        child = run_limited("""
            class Claims:
                def __init__(self, claimed): self.claimed = claimed
                def __len__(self): return self.claimed
                def __getitem__(self, i):
                    if i >= 3: raise IndexError
                    return 0.5 * i
            class ClaimingList(list):
                def __len__(self): return 10**9
            want = caustrix.witt_mao_magnification([0.0, 0.5, 1.0], 1.0, 0.5)
            for claimed in (10**9, 10**12, 10**18):
                assert caustrix.witt_mao_magnification(Claims(claimed), 1.0, 0.5) == want
                assert caustrix.multi_witt_mao_magnification(
                    Claims(claimed), [1.0, 1.0], [0.5]) == [want, want]
            assert caustrix.witt_mao_magnification(ClaimingList([0.0, 0.5, 1.0]), 1.0,
                                                   0.5) == want
            print("OK")
        """, headroom_mb=128)
        assert child.returncode == 0, child.stderr
        assert child.stdout.split() == ["OK"]

    def test_real_exhaustion_raises_memory_error(self):
        # 50 million separations need 400 MB as doubles; the allowance is
        # 128 MB.  Each request fails cleanly, and the module goes on working.
        child = run_limited("""
            import sys
            n = 50_000_000
            attempts = [
                lambda: caustrix.witt_mao_magnification(range(n), 1.0, 0.5),
                lambda: caustrix.multi_witt_mao_magnification(range(n), [1.0], [0.5]),
                lambda: caustrix.discrete_flux_map_heyrovsky_magnification(
                    [1.0], 1.0, 0.5, range(n), range(n)),
                # Each of 40 curves of 10**6 values alone fits, all of
                # them do not: the workers run out.
                lambda: caustrix.multi_witt_mao_magnification(
                    range(10**6), [1.0] * 8, [0.5] * 5),
            ]
            for attempt in attempts:
                try:
                    attempt()
                except MemoryError:
                    print("MemoryError")
                except BaseException as exc:
                    print("unexpected", type(exc).__name__, exc)
                else:
                    print("returned")
            print(caustrix.witt_mao_magnification([0.0], 1.0, 1.0))
        """, headroom_mb=128)
        assert child.returncode == 0, child.stderr
        lines = child.stdout.splitlines()
        assert lines[:4] == ["MemoryError"] * 4, child.stdout + child.stderr
        assert lines[4] == "[2.23606797749979]"
