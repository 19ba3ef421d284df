"""Reference and memory balance of every caustrix function, on every path.

Run under a debug build of CPython (one that has sys.gettotalrefcount), with
the module built for that interpreter on the import path:

    PYTHONPATH=build/dbg python3.11d tests/refcount/check_refcounts.py

Each case is one call of one function that must either return or raise one
particular exception.  The call is first made once and checked (so that a
case cannot silently take a different path from the one it names), then
repeated as a warm-up, then repeated in a few measured rounds.  A round reads
three counters before and after its calls, each time after a full collection:

- refs:   sys.gettotalrefcount(), the interpreter's total of references;
- blocks: sys.getallocatedblocks(), the memory blocks held by the object
          allocator (every live Python object is one);
- heap:   bytes in use in the C heap (glibc's mallinfo2), where the native
          code's own vectors and strings live.  mallinfo2 sees only the main
          arena, and counts as in use what a thread has freed into its own
          cache, so the worker threads of the batched function would make it
          jitter by a few hundred bytes.  The script therefore runs itself
          again, before anything else, with one arena for all threads and no
          per-thread cache (GLIBC_TUNABLES); then the count is exact.

A leak of one reference per call shows as a refs delta equal to the number of
calls in the round, so every refs and blocks delta must be exactly zero
(and the heap may move by less than a byte per call, see leaked()): the warm-up absorbs
the one-off costs (the worker pool, the interned keyword strings, the
allocator's free lists), and a full collection empties the free lists before
each reading.  Two controls run first: a call that does nothing, which must
measure zero everywhere, and a call that leaks one object and one 64-byte C
block, which must measure exactly one reference and one block per call, and
at least 64 heap bytes per call.  They show that the harness neither invents
nor misses a leak.

Exits 1 if any case deviates, 2 if the interpreter is not a debug build.
"""

from __future__ import annotations

import argparse
import array
import ctypes
import gc
import itertools
import math
import os
import signal
import sys

if not hasattr(sys, "gettotalrefcount"):
    print("this check needs a debug build of CPython (sys.gettotalrefcount)", file=sys.stderr)
    sys.exit(2)

# One malloc arena shared by every thread, and no per-thread cache of freed
# chunks: only then does mallinfo2 count all of the process's C heap, exactly.
# The tunables are read when the process starts, hence the re-execution.
EXACT_HEAP = "glibc.malloc.arena_max=1:glibc.malloc.tcache_count=0"
_tunables = os.environ.get("GLIBC_TUNABLES", "")
if EXACT_HEAP not in _tunables and sys.platform.startswith("linux"):
    os.environ["GLIBC_TUNABLES"] = f"{_tunables}:{EXACT_HEAP}" if _tunables else EXACT_HEAP
    sys.stdout.flush()
    os.execv(sys.executable, sys.orig_argv)

import caustrix  # noqa: E402

# The public functions and their parameters as the module declares them.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
from helpers import PUBLIC, covering, is_sequence  # noqa: E402

NAN = math.nan
KERNEL_FAILURE = "elliprj: Fail to converge"


# ---------------------------------------------------------------------------
# Counters

class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd",
        "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]


LIBC = ctypes.CDLL(None)
try:
    _mallinfo2 = LIBC.mallinfo2
    _mallinfo2.restype = MallInfo2
    _mallinfo2.argtypes = []
except AttributeError:  # a C library without mallinfo2: the heap column is skipped
    _mallinfo2 = None


def heap_bytes():
    return _mallinfo2().uordblks


COUNTERS = [("refs", sys.gettotalrefcount), ("blocks", sys.getallocatedblocks)]
if _mallinfo2 is not None:
    COUNTERS.append(("heap", heap_bytes))


def leaked(deltas, n, through_numpy=False):
    """Whether a round's deltas show a leak.  References and blocks must
    balance exactly.  The heap must not grow or shrink by a byte per call on
    average: a leak of even one chunk per call moves it by at least 16 bytes
    a call, while the batched function's worker threads, which may return a
    single chunk of their own bookkeeping just before or just after a
    reading on a loaded machine, move it by that one chunk per round."""
    for name, ds in deltas.items():
        if through_numpy and name == "refs":
            continue  # see fitting_cases()
        limit = n if name == "heap" or through_numpy else 1
        if any(abs(d) >= limit for d in ds):
            return True
    return False


def repeat(call, n):
    for _ in range(n):
        call()


def measure(call, warmup, rounds, n):
    """Per counter, the change over each of `rounds` rounds of `n` calls.

    The readings go into a list allocated beforehand and filled with distinct
    large integers: storing a reading then frees the integer it replaces, so
    that taking one reading changes no counter that the next one sees."""
    repeat(call, warmup)
    k = len(COUNTERS)
    marks = [10**9 + i for i in range(2 * rounds * k)]
    counters = [counter for _, counter in COUNTERS]
    collect = gc.collect
    for r in range(rounds):
        base = 2 * r * k
        collect()
        collect()
        for j in range(k):
            marks[base + j] = counters[j]()
        repeat(call, n)
        collect()
        collect()
        for j in range(k):
            marks[base + k + j] = counters[j]()
    return {
        name: [marks[2 * r * k + k + j] - marks[2 * r * k + j] for r in range(rounds)]
        for j, (name, _) in enumerate(COUNTERS)
    }


# ---------------------------------------------------------------------------
# Arguments that take particular conversion paths

class UserFailure(Exception):
    """Raised by the user-defined protocol methods below."""


class NarrowTypeError(TypeError):
    """A TypeError subclass: conversions let it pass without naming the parameter."""


class Interrupted(Exception):
    """Raised by the signal handler installed for the interrupt cases."""


class Real:
    """A number that only the float protocol knows."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Index:
    """An integer that only the index protocol knows."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class FloatRaises:
    def __float__(self):
        raise UserFailure("__float__ failed")


class FloatRaisesCausedTypeError:
    """A TypeError with a cause: re-raised naming the parameter, cause kept."""

    def __float__(self):
        try:
            raise ValueError("underlying")
        except ValueError as exc:
            raise TypeError("no float here") from exc


class FloatRaisesNarrowTypeError:
    def __float__(self):
        raise NarrowTypeError("narrow")


class Sequence:
    """The sequence protocol by __len__ and __getitem__ only: iterated through
    the interpreter's generic sequence iterator."""

    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


class LenRaises(Sequence):
    """A failing size query only loses the size hint; the call succeeds."""

    def __len__(self):
        raise UserFailure("__len__ failed")


class IterRaises(Sequence):
    def __iter__(self):
        raise UserFailure("__iter__ failed")


class NextRaises(Sequence):
    def __iter__(self):
        yield from self.items[:1]
        raise UserFailure("__next__ failed")


# A signal that arrives while the arguments are converted but is handled only
# when the model asks between elements.  The iterator is native code through
# and through (chain, filter, and the C library's raise through ctypes), so
# the interpreter gets no chance to run the handler before the model does;
# raise() returns 0, which filter() drops, so no element is added.
_raise = getattr(LIBC, "raise")
_raise.argtypes = [ctypes.c_int]
_raise.restype = ctypes.c_int
INTERRUPT_SIGNAL = signal.SIGUSR1


class SignalsWhileIterated(Sequence):
    """`iterated` records that the iteration went on past the signal, so the
    handler did not run during the conversion."""

    def __init__(self, items):
        super().__init__(items)
        self.iterated = set()

    def __iter__(self):
        return itertools.chain(self.items, filter(_raise, (INTERRUPT_SIGNAL,)),
                               filter(self.iterated.add, (True,)))


class SignalsEarlyInALongSequence(Sequence):
    """The signal comes before thousands more elements: the conversion asks
    for pending signals every few thousand, so it stops before `iterated`
    records the end."""

    def __init__(self, items):
        super().__init__(items)
        self.iterated = set()

    def __iter__(self):
        return itertools.chain(self.items, filter(_raise, (INTERRUPT_SIGNAL,)),
                               itertools.repeat(0.5, 20000), filter(self.iterated.add, (True,)))


def _interrupt_handler(signum, frame):
    raise Interrupted("interrupted")


# ---------------------------------------------------------------------------
# Cases

class Case:
    def __init__(self, function, path, args, kwargs=None, raises=None, check=None):
        self.function = function
        self.path = path
        self.args = tuple(args)
        self.kwargs = dict(kwargs or {})
        self.raises = raises  # an exception type, a tuple of type names, or None
        self.check = check    # a predicate of the result or of the exception
        self.through_numpy = False

    def call(self):
        f = getattr(caustrix, self.function)
        args, kwargs, raises = self.args, self.kwargs, self.raises
        if raises is None:
            def call():
                f(*args, **kwargs)
        else:
            catch = BaseException if isinstance(raises, tuple) else raises

            def call():
                try:
                    f(*args, **kwargs)
                except catch:
                    pass
        return call

    def verify(self):
        """Makes the call once; None if it took the named path, else why not."""
        f = getattr(caustrix, self.function)
        try:
            result = f(*self.args, **self.kwargs)
        except BaseException as exc:  # noqa: BLE001 - the case decides what is expected
            if self.raises is None:
                return f"raised {type(exc).__name__}: {exc}"
            if isinstance(self.raises, tuple):
                if type(exc).__name__ not in self.raises:
                    return f"raised {type(exc).__name__}: {exc}"
            elif type(exc) is not self.raises:
                return f"raised {type(exc).__name__}: {exc}"
            if self.check is not None and not self.check(exc):
                return f"raised {type(exc).__name__} but not as expected: {exc!r}"
            return None
        if self.raises is not None:
            return f"returned {result!r}"
        if self.check is not None and not self.check(result):
            return f"returned an unexpected result: {result!r}"
        return None


def message_starts(prefix):
    return lambda exc: str(exc).startswith(prefix)


def message_is(text):
    return lambda exc: str(exc) == text


def unprefixed(exc):
    return not str(exc).startswith("argument ")


def kernel_text(exc):
    return exc.args == (KERNEL_FAILURE,)


def caused_by_value_error(prefix):
    return lambda exc: (str(exc).startswith(prefix)
                        and type(exc.__cause__) is ValueError)


def is_curve(n):
    return lambda r: type(r) is list and len(r) == n and all(type(x) is float for x in r)


def is_batch(curves, n):
    return lambda r: (type(r) is list and len(r) == curves
                      and all(is_curve(n)(c) for c in r))


def is_float(r):
    return type(r) is float


# name: arguments that succeed, the check of their result, and calls that
# reach a kernel failure.
SAMPLES = covering({
    "witt_mao_magnification": (
        ([0.0, 0.5, 1.0, 3.0], 1.0, 0.5), is_curve(4),
        {"kernel error": ([NAN], 1.0, 0.5),
         "kernel error after computed elements": ([0.5, 1.0, NAN, 2.0], 1.0, 0.5)}),
    "integrated_witt_mao_magnification": (
        ([0.0, 0.5, 1.0, 3.0], 1.0, 0.5), is_curve(4),
        {"kernel error": ([NAN], 1.0, 0.5),
         "kernel error after computed elements": ([0.5, 1.0, NAN, 2.0], 1.0, 0.5)}),
    "integrated_flux_map_witt_mao_magnification": (
        ([0.0, 0.5, 1.0, 3.0], 1.0, 0.5, [0.0, 0.5, 1.0], [1.0, 0.8, 0.4]), is_curve(4),
        {"kernel error": ([NAN], 1.0, 0.5, [0.0, 0.5, 1.0], [1.0, 0.8, 0.4]),
         "kernel error after computed elements":
             ([0.5, 1.0, NAN, 2.0], 1.0, 0.5, [0.0, 0.5, 1.0], [1.0, 0.8, 0.4])}),
    "multi_witt_mao_magnification": (
        ([0.0, 0.5, 3.0], [1.0, 2.0], [0.5, 0.25, 0.125]), is_batch(6, 3),
        {"kernel error, one curve": ([NAN], [1.0], [0.5]),
         "kernel error in a later curve of the pool":
             ([0.5, 1.0], [1.0, 2.0, NAN], [0.5, 0.25]),
         "kernel error in every curve of the pool": ([NAN, 0.5], [1.0, 2.0], [0.5, 0.25])}),
    "heyrovsky_magnification": (
        (0.5, 0.3, 1.0, 0.5), is_float,
        {"kernel error": (NAN, 0.3, 1.0, 0.5),
         "kernel error from rstar": (0.5, 0.3, 1.0, NAN)}),
    # The ring integrands give up a ring whose kernel fails instead of failing
    # the call, so no kernel error reaches the next two functions.
    "integrated_heyrovsky_magnification": (
        ([0.0, 0.5, 1.0, 3.0], 1.0, 0.5), is_curve(4), {}),
    "integrated_flux_map_heyrovsky_magnification": (
        ([0.0, 0.5, 1.0, 3.0], 1.0, 0.5, [0.0, 0.5, 1.0], [1.0, 0.8, 0.4]), is_curve(4), {}),
    "discrete_flux_map_heyrovsky_magnification": (
        ([0.0, 0.5, 1.0, 3.0], 1.0, 0.5, [0.25, 0.5, 0.75], [1.0, 0.8, 0.4]), is_curve(4),
        {"kernel error": ([NAN], 1.0, 0.5, [0.25, 0.5, 0.75], [1.0, 0.8, 0.4]),
         "kernel error from bl": ([0.5], 1.0, 0.5, [0.25, NAN], [1.0, 0.8])}),
})

# name: parameters, the set of those that take sequences, and the samples.
FUNCTIONS = {
    name: (params, {p for p in params if is_sequence(name, p)}, *SAMPLES[name])
    for name, params in PUBLIC.items()
}


def with_arg(args, i, value):
    args = list(args)
    args[i] = value
    return tuple(args)


def sequence_errors(name, params, args, i, full):
    p = params[i]
    good = list(args[i])
    prefix = f"argument '{p}': "
    yield (f"str as {p}", with_arg(args, i, "12"), TypeError,
           message_is(prefix + "Can't extract `str` to `Vec`"))
    yield (f"bad element in list {p}", with_arg(args, i, good[:1] + ["x"] + good[1:]),
           TypeError, message_starts(prefix))
    if not full:
        return
    yield (f"int as {p}", with_arg(args, i, 5), TypeError,
           message_is(prefix + "'int' object cannot be converted to 'Sequence'"))
    yield (f"dict as {p}", with_arg(args, i, {1.0: 2.0}), TypeError,
           message_is(prefix + "'dict' object cannot be converted to 'Sequence'"))
    yield (f"generator as {p}", with_arg(args, i, (x for x in ())), TypeError,
           message_is(prefix + "'generator' object cannot be converted to 'Sequence'"))
    yield (f"bad element in tuple {p}", with_arg(args, i, tuple(good) + (None,)),
           TypeError, message_starts(prefix))
    yield (f"bad element in sequence {p}", with_arg(args, i, Sequence(good + [object()])),
           TypeError, message_starts(prefix))
    yield (f"10**400 in {p}", with_arg(args, i, good + [10**400]), OverflowError, unprefixed)
    yield (f"user __float__ raising in {p}", with_arg(args, i, good + [FloatRaises()]),
           UserFailure, None)
    yield (f"TypeError with cause in {p}",
           with_arg(args, i, good + [FloatRaisesCausedTypeError()]), TypeError,
           caused_by_value_error(prefix + "no float here"))
    yield (f"TypeError subclass in {p}",
           with_arg(args, i, good + [FloatRaisesNarrowTypeError()]), NarrowTypeError,
           unprefixed)
    yield (f"user __iter__ raising as {p}", with_arg(args, i, IterRaises(good)),
           UserFailure, None)
    yield (f"user __next__ raising in {p}", with_arg(args, i, NextRaises(good)),
           UserFailure, None)


def number_errors(name, params, args, i, full):
    p = params[i]
    prefix = f"argument '{p}': "
    yield (f"str as {p}", with_arg(args, i, "1.0"), TypeError, message_starts(prefix))
    if not full:
        return
    yield (f"list as {p}", with_arg(args, i, [1.0]), TypeError, message_starts(prefix))
    yield (f"10**400 as {p}", with_arg(args, i, 10**400), OverflowError, unprefixed)
    yield (f"user __float__ raising as {p}", with_arg(args, i, FloatRaises()), UserFailure,
           None)
    yield (f"TypeError with cause as {p}", with_arg(args, i, FloatRaisesCausedTypeError()),
           TypeError, caused_by_value_error(prefix + "no float here"))
    yield (f"TypeError subclass as {p}", with_arg(args, i, FloatRaisesNarrowTypeError()),
           NarrowTypeError, unprefixed)


def cases_of(name):
    params, sequences, args, result_ok, kernel_errors = FUNCTIONS[name]
    n = len(params)
    seq_index = [i for i, p in enumerate(params) if p in sequences]
    num_index = [i for i, p in enumerate(params) if p not in sequences]

    def case(path, call_args, kwargs=None, raises=None, check=None):
        return Case(name, path, call_args, kwargs, raises, check)

    # Success, by every way of passing the arguments.
    yield case("success", args, check=result_ok)
    yield case("success, by keyword in reverse order", (),
               dict(reversed(list(zip(params, args)))), check=result_ok)
    yield case("success, positional and keyword", args[:1], dict(zip(params[1:], args[1:])),
               check=result_ok)
    converted = list(args)
    for k, i in enumerate(seq_index):
        converted[i] = (tuple, Sequence, LenRaises)[k % 3](args[i])
    for i in num_index:
        converted[i] = Index(1) if args[i] == 1.0 else Real(args[i])
    yield case("success, tuple/sequence/__float__/__index__ inputs", converted,
               check=result_ok)
    # Arrays of doubles, read through their buffers (which must be released).
    buffered = list(args)
    for k, i in enumerate(seq_index):
        values = array.array("d", args[i])
        buffered[i] = (values, memoryview(values), memoryview(values)[::1])[k % 3]
    yield case("success, array.array and memoryview inputs", buffered, check=result_ok)
    if seq_index and seq_index[0] == 0:
        yield case("success, strided memoryview as l",
                   with_arg(args, 0, memoryview(array.array("d", [0.0, 9.0, 1.0, 9.0, 2.0]))[::2]),
                   check=is_batch(6, 3) if name.startswith("multi") else is_curve(3))
        yield case("success, range as l", with_arg(args, 0, range(3)),
                   check=is_batch(6, 3) if name.startswith("multi") else is_curve(3))

    # Empty inputs.
    if name == "multi_witt_mao_magnification":
        yield case("empty l", with_arg(args, 0, []), check=is_batch(6, 0))
        yield case("empty re", with_arg(args, 1, []), check=lambda r: r == [])
        yield case("empty rstar", with_arg(args, 2, ()), check=lambda r: r == [])
    elif seq_index:
        yield case("empty l", with_arg(args, 0, []), check=lambda r: r == [])
    if "bl" in params:
        yield case("empty bl and bf", args[:3] + ([], []), check=result_ok)

    # Binding.
    yield case("too many positional", args + (args[-1],), raises=TypeError,
               check=message_starts(f"{name}() takes {n} positional arguments but "
                                    f"{n + 1} were given"))
    yield case("too many positional and an unknown keyword", args + (args[-1],), {"rho": 1.0},
               raises=TypeError, check=message_starts(f"{name}() takes {n} positional"))
    yield case("unknown keyword", args, {"rho": 1.0}, raises=TypeError,
               check=message_is(f"{name}() got an unexpected keyword argument 'rho'"))
    yield case("multiple values", args, {params[0]: args[0]}, raises=TypeError,
               check=message_is(f"{name}() got multiple values for argument '{params[0]}'"))
    yield case("missing all", (), raises=TypeError,
               check=message_starts(f"{name}() missing {n} required positional arguments: "))
    yield case("missing last", args[:-1], raises=TypeError,
               check=message_is(f"{name}() missing 1 required positional argument: "
                                f"'{params[-1]}'"))

    # Conversion: the first parameter of each kind in full, the others by a
    # failure that comes after earlier parameters were converted.
    for k, i in enumerate(seq_index):
        for path, call_args, raises, check in sequence_errors(name, params, args, i, k == 0):
            yield case(path, call_args, raises=raises, check=check)
    for k, i in enumerate(num_index):
        for path, call_args, raises, check in number_errors(name, params, args, i, k == 0):
            yield case(path, call_args, raises=raises, check=check)

    # Model failures.
    for path, call_args in kernel_errors.items():
        yield case(path, call_args, raises=RuntimeError, check=kernel_text)
    if "bl" in params:
        # Whether the surface or the model catches the mismatch, it raises
        # one of these two.
        yield case("unequal bl and bf", args[:3] + ([0.0, 0.5, 1.0], [1.0, 0.8]),
                   raises=("ValueError", "PanicException"))
    if seq_index:
        signalling = SignalsWhileIterated(args[0])
        yield case("interrupted by a signal", with_arg(args, 0, signalling), raises=Interrupted,
                   check=lambda exc: signalling.iterated == {True})
        early = SignalsEarlyInALongSequence(args[0])
        yield case("interrupted while converting a long sequence", with_arg(args, 0, early),
                   raises=Interrupted, check=lambda exc: early.iterated == set())


# ---------------------------------------------------------------------------
# Controls

_incref = ctypes.pythonapi.Py_IncRef
_incref.argtypes = [ctypes.py_object]
_incref.restype = None
_malloc = LIBC.malloc
_malloc.argtypes = [ctypes.c_size_t]
_malloc.restype = ctypes.c_void_p


def does_nothing():
    pass


def leaks_one_object_and_one_c_block():
    _incref(object())
    _malloc(64)


# ---------------------------------------------------------------------------
# The fitting functions, beside the classic ones: numpy arrays held through
# their buffers, a law parsed from a name and coefficients.
#
# numpy here is a release build, whose own reference counting does not reach
# the debug interpreter's total: for these calls the total moves with
# numpy's work and is not read.  Instead, the reference count of every
# argument (the arrays, out=, the law and its coefficients) must be the same
# after the rounds as before, and the object blocks and the heap must not
# move by one per call (a leaked array or tuple per call moves the blocks by
# at least one a call; numpy's caches settle for a few blocks once).

def argument_refcounts(case):
    # None and the booleans are shared by everything the interpreter runs.
    return [sys.getrefcount(a) for a in (*case.args, *case.kwargs.values())
            if a is not None and type(a) is not bool]


def fitting_cases():
    import numpy as np

    u = np.linspace(0.0, 0.3, 7)
    table = ([0.0, 0.5, 1.0], [1.0, 0.8, 0.4])
    out = np.empty(7)
    shared = np.linspace(0.0, 0.3, 7)
    read_only = np.empty(7)
    read_only.flags.writeable = False

    def is_array(shape):
        return lambda r: isinstance(r, np.ndarray) and r.shape == shape

    def case(function, path, args, kwargs=None, raises=None, check=None):
        c = Case(function, path, args, kwargs, raises, check)
        c.through_numpy = True
        return c

    m, lc = "magnification", "light_curve"
    yield case(m, "success, scalars", (0.5, 0.1), check=is_array(()))
    yield case(m, "success, broadcast arrays", (u[:, None], [0.05, 0.1]), check=is_array((7, 2)))
    yield case(m, "success, ints, float32 and a strided view",
               (np.arange(4)[::2], np.float32(0.1)), check=is_array((2,)))
    yield case(m, "success, out=", (u, 0.1), dict(out=out), check=lambda r: r is out)
    yield case(m, "success, out= overlapping u", (shared, 0.1), dict(out=shared),
               check=lambda r: r is shared)
    yield case(m, "success, linear law", (u, 0.1, "linear", [0.6]), check=is_array((7,)))
    yield case(m, "success, table law", (u, 0.1, "table", table), check=is_array((7,)))
    yield case(m, "success, on the worker pool", (np.linspace(0, 3, 40_000), 0.1),
               check=is_array((40_000,)))
    yield case(lc, "success", (u, 0.0, 0.1, 1.0, 0.05, "table", table), check=is_array((7,)))
    yield case(m, "unknown law", (u, 0.1, "foo"), raises=ValueError,
               check=message_starts("unknown law 'foo'"))
    yield case(m, "law not a str", (u, 0.1, 3), raises=TypeError)
    yield case(m, "wrong coefficient count", (u, 0.1, "quadratic", (0.1,)), raises=ValueError)
    yield case(m, "negative brightness", (u, 0.1, "linear", (1.5,)), raises=ValueError,
               check=message_starts("law 'linear' with coefficients (1.5,)"))
    yield case(m, "coefficient __float__ raising", (u, 0.1, "linear", [FloatRaises()]),
               raises=UserFailure)
    yield case(m, "coefficients __iter__ raising", (u, 0.1, "linear", IterRaises([0.5])),
               raises=UserFailure)
    yield case(m, "table column not numbers", (u, 0.1, "table", ([0.0, "x"], [1.0, 1.0])),
               raises=TypeError)
    yield case(m, "table problem", (u, 0.1, "table", ([0.5, 0.1], [1.0, 1.0])),
               raises=ValueError)
    yield case(m, "strings as u", (["0.5"], 0.1), raises=TypeError)
    yield case(m, "ragged u", ([[0.5], [0.5, 1.0]], 0.1), raises=ValueError)
    yield case(m, "shapes that do not broadcast", (u, np.ones(3)), raises=ValueError)
    yield case(m, "negative rho", (u, [0.1, -0.1] * 3 + [0.1]), raises=ValueError)
    yield case(m, "out of the wrong dtype", (u, 0.1), dict(out=np.empty(7, np.float32)),
               raises=TypeError)
    yield case(m, "out of the wrong shape", (u, 0.1), dict(out=np.empty(3)), raises=ValueError)
    yield case(m, "read-only out", (u, 0.1), dict(out=read_only), raises=ValueError)
    yield case(m, "out not an array", (u, 0.1), dict(out=[0.0] * 7), raises=TypeError)
    yield case(m, "too many positional arguments", (u, 0.1, "uniform", (), None),
               raises=TypeError)
    yield case(lc, "light_curve, shapes that do not broadcast", (u, 0.0, np.ones(3), 1.0, 0.1),
               raises=ValueError)
    # The signal is raised while the coefficients are read and handled at
    # the first look for signals, before the first element.
    yield case(m, "interrupted", (u, 0.1, "linear", SignalsWhileIterated([0.5])),
               raises=Interrupted)

    mg, lg = "magnification_and_gradient", "light_curve_and_gradient"

    def arrays_of(*shapes):
        return lambda r: (isinstance(r, tuple) and len(r) == len(shapes)
                          and all(is_array(s)(a) for s, a in zip(shapes, r)))

    yield case(mg, "gradient, uniform", (u[:, None], [0.05, 0.1]),
               check=arrays_of((7, 2), (7, 2), (7, 2), (7, 2, 0)))
    yield case(mg, "gradient, quadratic law", (u, 0.1, "quadratic", (0.4, 0.2)),
               check=arrays_of((7,), (7,), (7,), (7, 2)))
    yield case(mg, "gradient, on the worker pool", (np.linspace(0, 3, 40_000), 0.1),
               check=arrays_of((40_000,), (40_000,), (40_000,), (40_000, 0)))
    yield case(lg, "gradient, light curve", (u, 0.0, 0.1, 1.0, 0.05, "linear", [0.6]),
               check=arrays_of((7,), (7, 5)))
    yield case(mg, "gradient, table law", (u, 0.1, "table", table), raises=ValueError)
    yield case(mg, "gradient, negative rho", (u, -0.1), raises=ValueError)
    yield case(lg, "gradient, shapes that do not broadcast", (u, 0.0, np.ones(3), 1.0, 0.1),
               raises=ValueError)
    yield case(mg, "gradient, out= is not taken", (u, 0.1), dict(out=out), raises=TypeError)


# ---------------------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=200, help="calls per measured round")
    parser.add_argument("--rounds", type=int, default=2, help="measured rounds per case")
    parser.add_argument("--warmup", type=int, default=20, help="calls before measuring")
    parser.add_argument("-k", dest="match", default="",
                        help="only the cases whose function or path contains this text")
    opts = parser.parse_args()
    n, rounds, warmup = opts.calls, opts.rounds, opts.warmup

    previous_handler = signal.signal(INTERRUPT_SIGNAL, _interrupt_handler)
    names = [name for name, _ in COUNTERS]
    failures = []

    # One unreported round first: the harness's own first readings may
    # allocate or free something once.
    measure(does_nothing, warmup, rounds, n)
    zero = measure(does_nothing, warmup, rounds, n)
    leak = measure(leaks_one_object_and_one_c_block, warmup, rounds, n)
    controls_ok = (all(d == 0 for ds in zero.values() for d in ds)
                   and leak["refs"] == [n] * rounds and leak["blocks"] == [n] * rounds
                   and all(d >= 64 * n for d in leak.get("heap", [64 * n])))
    print(f"caustrix from {caustrix.__file__}")
    print(f"{n} calls per round, {rounds} rounds, {warmup} warm-up calls; "
          f"counters: {', '.join(names)}")
    print(f"control, does nothing:            {zero}")
    print(f"control, leaks per call:          {leak}")
    if not controls_ok:
        print("the controls did not measure as they must: the harness cannot be trusted")
        return 1

    cases = [c for name in caustrix.__all__ for c in cases_of(name)
             if opts.match in c.function or opts.match in c.path]
    try:
        import numpy  # noqa: F401
    except ImportError:
        failures.append("numpy is not importable here: the fitting functions went unchecked")
    else:
        cases += [c for c in fitting_cases()
                  if opts.match in c.function or opts.match in c.path]
    width = max(len(c.path) for c in cases)
    current = None
    for c in cases:
        if c.function != current:
            current = c.function
            print(f"\n{current}")
            print(f"  {'path':<{width}}  " + "  ".join(f"{x:>12}" for x in names))
        problem = c.verify()
        if problem is not None:
            failures.append(f"{c.function}: {c.path}: {problem}")
            print(f"  {c.path:<{width}}  WRONG PATH: {problem}")
            continue
        before = argument_refcounts(c)
        deltas = measure(c.call(), warmup, rounds, n)
        if leaked(deltas, n, c.through_numpy):
            # A leak repeats with every call; a one-off change in the
            # interpreter's own caches does not survive a second measurement.
            deltas = measure(c.call(), warmup, rounds, n)
        cells = "  ".join(f"{' '.join(str(d) for d in deltas[x]):>12}" for x in names)
        bad = leaked(deltas, n, c.through_numpy)
        moved = [b - a for a, b in zip(before, argument_refcounts(c))]
        if c.through_numpy and any(moved):
            bad = True
            deltas = {**deltas, "argument refs": moved}
        print(f"  {c.path:<{width}}  {cells}{'  LEAK' if bad else ''}")
        if bad:
            failures.append(f"{c.function}: {c.path}: {deltas}")

    signal.signal(INTERRUPT_SIGNAL, previous_handler)
    print(f"\nrefcount: {len(cases) - len(failures)} passed, {len(failures)} failed")
    for f in failures:
        print(f"  {f}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
