"""The Python face of caustrix: the module object and its import rules, the
binding of call arguments to parameters, the conversion of arguments into
doubles and vectors of doubles, the result lists, and the way failures reach
the caller."""

from __future__ import annotations

import array
import importlib
import inspect
import itertools
import math
import sys

import pytest

import caustrix

from helpers import PUBLIC, covering, outcome, quoted_list, run_child

# The public contract: the registered functions in registration order, with
# their parameters.  The module tests compare the module with this list; the
# other tests loop over the functions as the module declares them.
CONTRACT = [
    ("witt_mao_magnification", ("l", "re", "rstar")),
    ("integrated_witt_mao_magnification", ("l", "re", "rstar")),
    ("integrated_flux_map_witt_mao_magnification", ("l", "re", "rstar", "bl", "bf")),
    ("multi_witt_mao_magnification", ("l", "re", "rstar")),
    ("heyrovsky_magnification", ("l", "r", "re", "rstar")),
    ("integrated_heyrovsky_magnification", ("l", "re", "rstar")),
    ("integrated_flux_map_heyrovsky_magnification", ("l", "re", "rstar", "bl", "bf")),
    ("discrete_flux_map_heyrovsky_magnification", ("l", "re", "rstar", "bl", "bf")),
]
CONTRACT_IDS = [name for name, _ in CONTRACT]

# One set of arguments that each function accepts.
SAMPLES = covering({
    "witt_mao_magnification": ([0.0, 1.0, 3.0], 1.0, 0.5),
    "integrated_witt_mao_magnification": ([0.0, 1.0, 3.0], 1.0, 0.5),
    "integrated_flux_map_witt_mao_magnification":
        ([0.0, 1.0, 3.0], 1.0, 0.5, [0.0, 0.5, 1.0], [1.0, 0.8, 0.4]),
    "multi_witt_mao_magnification": ([0.0, 1.0, 3.0], [1.0], [0.5]),
    "heyrovsky_magnification": (0.5, 1.0, 1.0, 1.0),
    "integrated_heyrovsky_magnification": ([0.0, 1.0, 3.0], 1.0, 0.5),
    "integrated_flux_map_heyrovsky_magnification":
        ([0.0, 1.0, 3.0], 1.0, 0.5, [0.0, 0.5, 1.0], [1.0, 0.8, 0.4]),
    "discrete_flux_map_heyrovsky_magnification":
        ([0.0, 1.0, 3.0], 1.0, 0.5, [0.0, 0.5, 1.0], [1.0, 0.8, 0.4]),
})
FUNCTIONS = [(name, params, SAMPLES[name]) for name, params in PUBLIC.items()]
FUNCTION_IDS = [name for name, _, _ in FUNCTIONS]
BINDINGS = pytest.mark.parametrize("name, params, sample", FUNCTIONS, ids=FUNCTION_IDS)
CONTRACT_BINDINGS = pytest.mark.parametrize("name, params", CONTRACT, ids=CONTRACT_IDS)

# Every text an elliptic-integral kernel can fail with.
KERNEL_TEXTS = {
    "elliprf: x, y, and z must be non-negative, and at most one can be zero.",
    "elliprf: Failed to converge.",
    "elliprc: x must be non-negative.",
    "elliprc: y must be non-zero.",
    "elliprd: x and y must be non-negative, and at most one can be zero.",
    "elliprd: z must be positive",
    "elliprd: Failed to converge.",
    "elliprj: x, y, and z must be non-negative, and at most one can be zero.",
    "elliprj: p must be non-zero",
    "elliprj: Fail to converge",
    "elliprg: x, y, and z must be non-negative.",
    "ellipk: m must be less than 1.",
    "ellipe: m must be less than 1.",
    "ellippi: m must be less than 1.",
    "ellippi: n cannot be 1.",
}

wm = caustrix.witt_mao_magnification
L = [0.0, 1.0, 3.0]
NAN = float("nan")
INF = float("inf")


def reference(values, re=1.0, rstar=0.5):
    return outcome(lambda: wm(list(values), re, rstar))


class Unconvertible:
    """Neither a number nor a sequence."""


class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Raising:
    """A number whose conversion raises the given exception."""

    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc


class Boom(Exception):
    pass


class Fatal(BaseException):
    pass


class NarrowTypeError(TypeError):
    pass


# --------------------------------------------------------------------------
# The module object


class TestModule:
    def test_all_lists_the_functions_in_registration_order(self):
        assert type(caustrix.__all__) is list
        assert caustrix.__all__ == CONTRACT_IDS

    def test_public_namespace_is_all_and_the_fitting_functions(self):
        # The fitting functions are attributes beside the classic eight,
        # documented, and not listed in __all__.
        fitting = {"magnification", "light_curve", "magnification_and_gradient",
                   "light_curve_and_gradient"}
        public = {name for name in vars(caustrix) if not name.startswith("_")}
        assert public == set(caustrix.__all__) | fitting
        assert not hasattr(caustrix, "PanicException")
        for name in sorted(fitting):
            function = getattr(caustrix, name)
            assert function.__module__ == "caustrix"
            assert function.__doc__ and function.__doc__.strip(), name
        assert str(inspect.signature(caustrix.magnification)) == (
            "(u, rho, law='uniform', coefficients=(), *, out=None)")
        assert str(inspect.signature(caustrix.light_curve)) == (
            "(t, t0, u0, tE, rho, law='uniform', coefficients=(), *, out=None)")
        assert str(inspect.signature(caustrix.magnification_and_gradient)) == (
            "(u, rho, law='uniform', coefficients=())")
        assert str(inspect.signature(caustrix.light_curve_and_gradient)) == (
            "(t, t0, u0, tE, rho, law='uniform', coefficients=())")

    def test_module_docstring_is_a_sentence(self):
        assert isinstance(caustrix.__doc__, str) and caustrix.__doc__.strip()

    @BINDINGS
    def test_function_identity(self, name, params, sample):
        function = getattr(caustrix, name)
        assert function.__name__ == name
        assert function.__module__ == "caustrix"
        assert function.__self__ is caustrix
        assert function.__doc__ is None

    @CONTRACT_BINDINGS
    def test_text_signature_lists_the_parameters(self, name, params):
        function = getattr(caustrix, name)
        assert function.__text_signature__ == "(" + ", ".join(params) + ")"
        signature = inspect.signature(function)
        assert tuple(signature.parameters) == params
        for parameter in signature.parameters.values():
            assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
            assert parameter.default is inspect.Parameter.empty

    def test_reimport_returns_the_identical_module(self):
        original = sys.modules["caustrix"]
        function = original.witt_mao_magnification
        try:
            del sys.modules["caustrix"]
            again = importlib.import_module("caustrix")
            assert again is original
            del sys.modules["caustrix"]
            import caustrix as third  # noqa: PLC0415

            assert third is original
            assert third.witt_mao_magnification is function
            assert third.__all__ == CONTRACT_IDS  # not registered twice
        finally:
            sys.modules["caustrix"] = original


@pytest.mark.skipif(sys.version_info[:2] != (3, 11),
                    reason="drives the 3.11 sub-interpreter module")
class TestSubInterpreters:
    def test_import_in_a_second_interpreter_is_refused(self):
        child = run_child("""
            import caustrix
            import _xxsubinterpreters as interpreters
            other = interpreters.create()
            try:
                interpreters.run_string(other, "import caustrix")
            except interpreters.RunFailedError as exc:
                print("REFUSED", exc)
            else:
                print("ACCEPTED")
            print("STILL", caustrix.witt_mao_magnification([0.0], 1.0, 1.0))
        """)
        assert child.returncode == 0, child.stderr
        refused = [line for line in child.stdout.splitlines() if line.startswith("REFUSED")]
        assert refused, child.stdout
        assert "ImportError" in refused[0]
        assert "interpreter" in refused[0].lower()
        assert "STILL [2.23606797749979]" in child.stdout

    def test_the_first_importing_interpreter_keeps_the_module(self):
        child = run_child("""
            import _xxsubinterpreters as interpreters
            first = interpreters.create()
            interpreters.run_string(first, "import caustrix; print('FIRST', caustrix.witt_mao_magnification([0.0], 1.0, 1.0))")
            try:
                import caustrix
            except ImportError as exc:
                print("MAIN REFUSED", exc)
            else:
                print("MAIN ACCEPTED")
        """)
        assert child.returncode == 0, child.stderr
        assert "FIRST [2.23606797749979]" in child.stdout
        assert "MAIN REFUSED" in child.stdout, child.stdout


# --------------------------------------------------------------------------
# Binding of arguments to parameters


def raises_exactly(exc_type, message, call):
    with pytest.raises(exc_type) as info:
        call()
    assert type(info.value) is exc_type
    assert str(info.value) == message
    return info.value


class TestBindingMessages:
    @BINDINGS
    @pytest.mark.parametrize("extra", [1, 2])
    def test_too_many_positional(self, name, params, sample, extra):
        function = getattr(caustrix, name)
        given = len(params) + extra
        args = [object()] * given
        message = (f"{name}() takes {len(params)} positional arguments "
                   f"but {given} {'was' if given == 1 else 'were'} given")
        raises_exactly(TypeError, message, lambda: function(*args))
        # Checked before any keyword, good or bad, is looked at.
        raises_exactly(TypeError, message, lambda: function(*args, bogus=1))
        raises_exactly(TypeError, message, lambda: function(*args, **{params[0]: 1}))

    @BINDINGS
    @pytest.mark.parametrize("keyword", ["bogus", "L", "RE", "rst", "rstarx", "l ", "ρ"])
    def test_unexpected_keyword(self, name, params, sample, keyword):
        function = getattr(caustrix, name)
        kwargs = dict.fromkeys(params, object())
        kwargs[keyword] = object()
        raises_exactly(TypeError, f"{name}() got an unexpected keyword argument '{keyword}'",
                       lambda: function(**kwargs))

    @BINDINGS
    def test_keyword_problems_are_found_in_call_order(self, name, params, sample):
        function = getattr(caustrix, name)
        first = params[0]
        raises_exactly(TypeError, f"{name}() got multiple values for argument '{first}'",
                       lambda: function(object(), **{first: 1, "bogus": 2}))
        raises_exactly(TypeError, f"{name}() got an unexpected keyword argument 'bogus'",
                       lambda: function(object(), **{"bogus": 2, first: 1}))
        # An unknown keyword is reported although required arguments are missing.
        raises_exactly(TypeError, f"{name}() got an unexpected keyword argument 'bogus'",
                       lambda: function(bogus=1))

    @BINDINGS
    def test_multiple_values(self, name, params, sample):
        function = getattr(caustrix, name)
        for given in range(1, len(params) + 1):
            for index in range(given):
                raises_exactly(TypeError,
                               f"{name}() got multiple values for argument '{params[index]}'",
                               lambda: function(*[object()] * given, **{params[index]: 1}))

    @BINDINGS
    def test_missing_arguments_list_every_empty_slot(self, name, params, sample):
        function = getattr(caustrix, name)
        for filled in itertools.chain.from_iterable(
                itertools.combinations(params, k) for k in range(len(params))):
            missing = [p for p in params if p not in filled]
            count = len(missing)
            message = (f"{name}() missing {count} required positional "
                       f"{'argument' if count == 1 else 'arguments'}: {quoted_list(missing)}")
            kwargs = dict.fromkeys(filled, object())
            raises_exactly(TypeError, message, lambda: function(**kwargs))
            # The same slots left empty by a positional prefix.
            if list(filled) == list(params[:len(filled)]):
                raises_exactly(TypeError, message, lambda: function(*[object()] * len(filled)))

    def test_missing_argument_examples(self):
        raises_exactly(TypeError, "witt_mao_magnification() missing 3 required positional "
                                  "arguments: 'l', 're', and 'rstar'", wm)
        raises_exactly(TypeError, "witt_mao_magnification() missing 2 required positional "
                                  "arguments: 're' and 'rstar'", lambda: wm(L))
        raises_exactly(TypeError, "witt_mao_magnification() missing 1 required positional "
                                  "argument: 'rstar'", lambda: wm(L, 1.0))

    @BINDINGS
    def test_keywords_in_any_order_equal_positional(self, name, params, sample):
        function = getattr(caustrix, name)
        expected = outcome(lambda: function(*sample))
        assert expected[0] == "returned"
        for order in itertools.permutations(range(len(params))):
            kwargs = {params[i]: sample[i] for i in order}
            assert outcome(lambda: function(**kwargs)) == expected
        for split in range(1, len(params)):
            kwargs = {params[i]: sample[i] for i in reversed(range(split, len(params)))}
            assert outcome(lambda: function(*sample[:split], **kwargs)) == expected

    def test_keywords_reach_their_own_parameters(self):
        # re and rstar do not commute, so a swapped slot would show.
        assert wm(L, 1.0, 0.5) != wm(L, 0.5, 1.0)
        assert wm(rstar=0.5, re=1.0, l=L) == wm(L, 1.0, 0.5)
        assert wm(L, rstar=1.0, re=0.5) == wm(L, 0.5, 1.0)


# --------------------------------------------------------------------------
# Conversion of arguments


class FakeSequence:
    """A sequence by __getitem__ alone, with a __len__ that may lie or fail."""

    def __init__(self, items, length=None):
        self.items = list(items)
        self.length = length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, index):
        return self.items[index]


class LyingList(list):
    def __len__(self):
        return 10**18


class TestSequenceConversion:
    @pytest.mark.parametrize("make", [
        list, tuple, LyingList,
        lambda v: array.array("d", v),
        lambda v: FakeSequence(v),
        lambda v: [Floaty(x) for x in v],
        lambda v: tuple(Floaty(x) for x in v),
    ], ids=["list", "tuple", "list-subclass", "array", "getitem-sequence",
            "list-of-__float__", "tuple-of-__float__"])
    def test_sequence_kinds_convert_alike(self, make):
        assert outcome(lambda: wm(make(L), 1.0, 0.5)) == reference(L)

    def test_integer_sequences(self):
        assert outcome(lambda: wm(range(4), 1.0, 0.5)) == reference([0.0, 1.0, 2.0, 3.0])
        assert outcome(lambda: wm(b"\x00\x01\x03", 1.0, 0.5)) == reference(L)
        assert outcome(lambda: wm(bytearray(b"\x00\x01\x03"), 1.0, 0.5)) == reference(L)
        assert outcome(lambda: wm([0, True, 3], 1.0, 0.5)) == reference(L)

    def test_numpy_arrays(self):
        np = pytest.importorskip("numpy")
        assert outcome(lambda: wm(np.array(L), 1.0, 0.5)) == reference(L)
        assert outcome(lambda: wm(np.array([0, 1, 3]), 1.0, 0.5)) == reference(L)
        assert outcome(lambda: wm(np.array(L, dtype=np.float32), 1.0, 0.5)) == reference(L)
        assert outcome(lambda: wm(L, np.float64(1.0), np.int64(2) / 4)) == reference(L)
        with pytest.raises(TypeError, match=r"^argument 'l': "):
            wm(np.ones((2, 2)), 1.0, 0.5)

    @pytest.mark.parametrize("length", [
        10**18, 0, 1, 2**63, -1, RuntimeError("no length"), Boom("no length"),
    ], ids=["huge", "zero", "short", "overflowing", "negative", "raises", "raises-custom"])
    def test_length_is_only_a_hint(self, length):
        assert outcome(lambda: wm(FakeSequence(L, length), 1.0, 0.5)) == reference(L)

    def test_list_shortened_during_conversion(self):
        values = [0.0, None, 2.0, 3.0]

        class Shortening:
            def __float__(self):
                values.pop()
                return 1.0

        values[1] = Shortening()
        assert outcome(lambda: wm(values, 1.0, 0.5)) == reference([0.0, 1.0, 2.0])

    def test_list_cleared_by_its_only_owner_of_the_element(self):
        values = [0.0]

        class Clearing:
            def __float__(self):
                values.clear()  # drops the list's reference to this element
                return 1.0

        values.append(Clearing())
        values.append(3.0)
        assert outcome(lambda: wm(values, 1.0, 0.5)) == reference([0.0, 1.0])

    def test_list_extended_during_conversion(self):
        values = [0.0, None, 3.0]

        class Extending:
            def __float__(self):
                values.append(2.0)
                return 1.0

        values[1] = Extending()
        assert outcome(lambda: wm(values, 1.0, 0.5)) == reference([0.0, 1.0, 3.0, 2.0])

    def test_large_inputs_keep_length_and_order(self):
        count = 10**6
        separations = [2.0 + i * 1e-5 for i in range(count)]
        result = wm(separations, 1.0, 1.0)
        assert type(result) is list and len(result) == count
        # Outside the source the magnification falls strictly with distance.
        assert all(a > b for a, b in zip(result, result[1:]))
        for index in (0, 1, 4321, count // 2, count - 1):
            assert result[index] == wm([separations[index]], 1.0, 1.0)[0]
        assert wm(tuple(separations), 1.0, 1.0) == result

    def test_str_is_refused(self):
        class Text(str):
            pass

        for text in ("12", Text("12"), ""):
            raises_exactly(TypeError, "argument 'l': Can't extract `str` to `Vec`",
                           lambda: wm(text, 1.0, 0.5))

    def test_non_sequences_are_refused_by_qualified_type_name(self):
        class Mapping(dict):
            pass

        class OnlyIterable:
            def __iter__(self):
                return iter(L)

        cases = [
            (5, "int"), (1.5, "float"), (None, "NoneType"), ({}, "dict"),
            (Mapping(), Mapping.__qualname__), (set(L), "set"), (frozenset(L), "frozenset"),
            ((x for x in L), "generator"), (iter(L), "list_iterator"),
            (OnlyIterable(), OnlyIterable.__qualname__),
            (Unconvertible(), "Unconvertible"),
        ]
        assert "<locals>" in Mapping.__qualname__
        for value, qualname in cases:
            raises_exactly(TypeError,
                           f"argument 'l': '{qualname}' object cannot be converted to 'Sequence'",
                           lambda: wm(value, 1.0, 0.5))

    def test_bad_element_names_the_sequence(self):
        for element in ("a", None, [1.0], Unconvertible()):
            with pytest.raises(TypeError, match=r"^argument 'l': ") as info:
                wm([0.0, element, 3.0], 1.0, 0.5)
            assert type(info.value) is TypeError

    def test_iteration_type_errors_are_renamed(self):
        class BadIter(FakeSequence):
            def __iter__(self):
                return 5

        with pytest.raises(TypeError, match=r"^argument 'l': iter\(\) returned non-iterator"):
            wm(BadIter(L), 1.0, 0.5)


class TestNumberConversion:
    @pytest.mark.parametrize("value, as_float", [
        (1, 1.0), (True, 1.0), (Floaty(1.0), 1.0), (Floaty(-1.0), -1.0), (-1, -1.0),
    ], ids=["int", "bool", "__float__", "__float__-minus-one", "int-minus-one"])
    def test_numbers(self, value, as_float):
        assert outcome(lambda: wm(L, value, 0.5)) == reference(L, as_float, 0.5)
        assert outcome(lambda: wm(L, 1.0, value)) == reference(L, 1.0, as_float)

    def test_minus_one_as_an_element(self):
        assert outcome(lambda: wm([2.0, Floaty(-1.0)], 1.0, 0.5)) == reference([2.0, -1.0])

    def test_index_and_float_subclass(self):
        class Index:
            def __index__(self):
                return 3

        class Real(float):
            def __float__(self):  # the stored value is read, not this
                return 99.0

        assert outcome(lambda: wm([0.0, 1.0, Index()], Real(1.0), 0.5)) == reference(L)
        assert outcome(lambda: wm([0.0, Real(1.0), 3], 1, Real(0.5))) == reference(L)

    def test_bad_number_names_the_parameter(self):
        with pytest.raises(TypeError, match=r"^argument 're': ") as info:
            wm(L, "1.0", 0.5)
        assert type(info.value) is TypeError
        with pytest.raises(TypeError, match=r"^argument 'rstar': "):
            wm(L, 1.0, "0.5")

    @BINDINGS
    def test_first_bad_parameter_is_the_one_reported(self, name, params, sample):
        function = getattr(caustrix, name)
        for index in range(len(params)):
            args = list(sample[:index]) + [Unconvertible()] * (len(params) - index)
            with pytest.raises(TypeError, match=rf"^argument '{params[index]}': "):
                function(*args)

    def test_later_parameters_are_not_converted(self):
        calls = []

        class Counting:
            def __float__(self):
                calls.append(self)
                return 1.0

        with pytest.raises(TypeError, match=r"^argument 'l': "):
            wm("12", Counting(), Counting())
        with pytest.raises(TypeError, match=r"^argument 're': "):
            wm(L, "x", Counting())
        assert calls == []

    def test_overflow_is_not_renamed(self):
        for call in (lambda: wm(L, 10**400, 0.5), lambda: wm([0.0, 10**400], 1.0, 0.5)):
            with pytest.raises(OverflowError) as info:
                call()
            assert type(info.value) is OverflowError
            assert "argument" not in str(info.value)


class ExceptionFrom:
    """Places a raising conversion into one argument position."""

    @staticmethod
    def element(exc):
        return lambda: wm([0.0, Raising(exc), 3.0], 1.0, 0.5)

    @staticmethod
    def re(exc):
        return lambda: wm(L, Raising(exc), 0.5)

    @staticmethod
    def iter(exc):
        class Failing(FakeSequence):
            def __iter__(self):
                raise exc

        return lambda: wm(Failing(L), 1.0, 0.5)

    @staticmethod
    def midway(exc):
        class Failing(FakeSequence):
            def __iter__(self):
                yield 0.0
                raise exc

        return lambda: wm(Failing(L), 1.0, 0.5)


PLACES = pytest.mark.parametrize("place", ["element", "re", "iter", "midway"])
PREFIX = {"element": "l", "re": "re", "iter": "l", "midway": "l"}


class TestConversionExceptions:
    @PLACES
    @pytest.mark.parametrize("exc_type", [ValueError, Boom, Fatal, NarrowTypeError, OverflowError])
    def test_foreign_exceptions_pass_unchanged(self, place, exc_type):
        original = exc_type("from user code")
        with pytest.raises(exc_type) as info:
            getattr(ExceptionFrom, place)(original)()
        assert info.value is original
        assert str(info.value) == "from user code"

    @PLACES
    def test_exact_type_error_is_replaced(self, place):
        original = TypeError("not today")
        with pytest.raises(TypeError) as info:
            getattr(ExceptionFrom, place)(original)()
        renamed = info.value
        assert type(renamed) is TypeError
        assert renamed is not original
        assert renamed.args == (f"argument '{PREFIX[place]}': not today",)
        assert renamed.__cause__ is None

    @PLACES
    def test_replacement_keeps_the_cause(self, place):
        cause = KeyError("underneath")
        try:
            raise TypeError("on top") from cause
        except TypeError as raised:
            original = raised
        with pytest.raises(TypeError) as info:
            getattr(ExceptionFrom, place)(original)()
        assert info.value is not original
        assert str(info.value) == f"argument '{PREFIX[place]}': on top"
        assert info.value.__cause__ is cause

    def test_replacement_uses_the_text_of_the_whole_exception(self):
        with pytest.raises(TypeError) as info:
            wm(L, Raising(TypeError("a", 2)), 0.5)
        assert str(info.value) == "argument 're': ('a', 2)"


# --------------------------------------------------------------------------
# Results


class TestResults:
    def test_a_new_list_of_floats_per_element(self):
        separations = [0.0, 0.5, 1.0, 2.0, 30.0]
        result = wm(separations, 1.0, 0.5)
        assert type(result) is list and len(result) == len(separations)
        assert all(type(v) is float for v in result)
        assert wm(separations, 1.0, 0.5) is not result
        assert separations == [0.0, 0.5, 1.0, 2.0, 30.0]

    @pytest.mark.parametrize("empty", [[], (), range(0), b"", FakeSequence([], 10**18)],
                             ids=["list", "tuple", "range", "bytes", "lying"])
    def test_empty_input_gives_an_empty_list(self, empty):
        assert wm(empty, 1.0, 0.5) == []
        # Nothing is evaluated, so even values the kernels reject are fine.
        assert wm(empty, NAN, 0.0) == []

    def test_integers_equal_floats(self):
        assert wm((1, 2), 1, 0.5) == wm([1.0, 2.0], 1.0, 0.5)

    def test_known_values(self):
        centre, limb = wm([0.0, 1.0], 1.0, 1.0)
        assert abs(centre - 2.23606797749979) <= math.ulp(2.23606797749979)
        assert limb == 1.6366197723675813
        inside, outside, far = wm([1 - 1e-3, 1 + 1e-3, 100.0], 1.0, 1.0)
        assert inside == pytest.approx(1.64149, abs=5e-6)
        assert outside == pytest.approx(1.63176, abs=5e-6)
        assert far == pytest.approx(1.00000002, abs=1e-10)

    def test_nan_results_come_back_as_floats(self):
        # A source of no size: the closed form on the limb is 0/0.
        (value,) = wm([1.0], 1.0, 0.0)
        assert type(value) is float and math.isnan(value)


# --------------------------------------------------------------------------
# Kernel errors


class TestKernelErrors:
    @pytest.mark.parametrize("l, re, rstar", [
        ([NAN], 1.0, 1.0), ([INF], 1.0, 1.0), ([2.0], NAN, 1.0), ([2.0], 1.0, NAN),
        ([2.0], 0.0, 1.0),
    ], ids=["nan-l", "inf-l", "nan-re", "nan-rstar", "zero-re"])
    def test_kernel_error_is_a_runtime_error_with_the_text(self, l, re, rstar):
        with pytest.raises(RuntimeError) as info:
            wm(l, re, rstar)
        error = info.value
        assert type(error) is RuntimeError
        assert len(error.args) == 1 and error.args[0] in KERNEL_TEXTS
        assert str(error) == error.args[0]
        assert error.__cause__ is None and error.__context__ is None

    def test_an_error_anywhere_discards_the_whole_curve(self):
        expected = outcome(lambda: wm([NAN], 1.0, 1.0))
        assert expected[0] == "raised"
        for separations in ([0.0, 2.0, NAN], [NAN, 0.0, 2.0], [0.0, NAN, 2.0, 3.0]):
            assert outcome(lambda: wm(separations, 1.0, 1.0)) == expected

    def test_module_stays_usable_after_an_error(self):
        before = wm(L, 1.0, 0.5)
        with pytest.raises(RuntimeError):
            wm([NAN], 1.0, 1.0)
        assert wm(L, 1.0, 0.5) == before
