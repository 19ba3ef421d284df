#include "module/convert.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <span>

#include "models/multi_witt_mao.hpp"
#include "models/witt_mao.hpp"

namespace surface {

namespace {

// A length reported by an arbitrary __len__ is only a hint: reserve at most
// this many elements up front and let the vector grow past it, so that a
// sequence claiming 10^18 elements cannot make us ask for absurd memory.
constexpr Py_ssize_t UNTRUSTED_RESERVE_LIMIT = Py_ssize_t{1} << 16;

// Converting or building a few thousand elements takes well under a
// millisecond, so asking for pending signals this often keeps Ctrl-C prompt
// on the longest sequences at a negligible cost.
constexpr std::size_t SIGNAL_POLL_INTERVAL = 4096;

// A curve made straight into its list is computed this many separations at a
// time into a buffer on the stack (2 KiB: a thread may have a small stack);
// it divides the interval at which a whole curve polls for interrupts.
constexpr std::size_t CURVE_BLOCK = 256;
static_assert(runtime::POLL_CHEAP % CURVE_BLOCK == 0);

// Counts elements and runs the pending signal handlers (Ctrl-C's raises
// KeyboardInterrupt) every SIGNAL_POLL_INTERVAL of them; false when a handler
// raised.
class SignalPoll {
public:
    explicit SignalPoll(std::size_t interval = SIGNAL_POLL_INTERVAL) : interval_(interval) {}

    bool operator()(std::size_t elements = 1) {
        since_last_ += elements;
        if (since_last_ < interval_) {
            return true;
        }
        since_last_ = 0;
        return PyErr_CheckSignals() == 0;
    }

    // How many elements may pass before the next poll is due: a loop may
    // take that many without counting them one by one.
    [[nodiscard]] std::size_t room() const noexcept { return interval_ - since_last_; }

private:
    std::size_t interval_;
    std::size_t since_last_ = 0;
};

bool append_converted(PyObject* item, std::vector<double>& out) {
    double v;
    if (!to_double(item, v)) {
        return false;
    }
    out.push_back(v);
    return true;
}

// Whether `type` is the very type object `module`.`attribute` of an already
// imported module.  Nothing is imported: an array type whose module was
// never imported cannot have instances.  Any failure of the look-up answers
// no, which only sends the object down the element-by-element road.
bool is_type_of_loaded_module(PyTypeObject* type, const char* module, const char* attribute) {
    // Made per look-up rather than kept: the strings are short, and nothing
    // of an interpreter outlives it here.
    PyObject* module_name = PyUnicode_FromString(module);
    if (module_name == nullptr) {
        PyErr_Clear();
        return false;
    }
    // The interpreter's table of loaded modules; looking a name up in it
    // (unlike PyImport_GetModule) asks nothing of the module's import state.
    PyObject* loaded = PyDict_GetItemWithError(PyImport_GetModuleDict(), module_name);
    Py_DECREF(module_name);
    if (loaded == nullptr) {
        PyErr_Clear();
        return false;
    }
    PyObject* loaded_dict = PyModule_Check(loaded) ? PyModule_GetDict(loaded) : nullptr;
    if (loaded_dict == nullptr) {
        PyErr_Clear();
        return false;
    }
    PyObject* attribute_name = PyUnicode_FromString(attribute);
    if (attribute_name == nullptr) {
        PyErr_Clear();
        return false;
    }
    // The module's own namespace: no module-level __getattr__ runs.
    PyObject* found = PyDict_GetItemWithError(loaded_dict, attribute_name);  // borrowed
    Py_DECREF(attribute_name);
    if (found == nullptr) {
        PyErr_Clear();
        return false;
    }
    return found == reinterpret_cast<PyObject*>(type);
}

// The array types whose iteration yields exactly their buffer's doubles:
// memoryview, and exactly numpy's ndarray and array.array.  A subclass may
// iterate differently (a masked array yields its mask, any class may define
// its own __iter__), whatever its type is called, so only the type objects
// themselves qualify.  The name test only spares the module look-up for
// every other exporter of a buffer (bytes, bytearray).
bool is_plain_array_type(PyTypeObject* type) {
    if (type == &PyMemoryView_Type) {
        return true;
    }
    if (std::strcmp(type->tp_name, "numpy.ndarray") == 0) {
        return is_type_of_loaded_module(type, "numpy", "ndarray");
    }
    if (std::strcmp(type->tp_name, "array.array") == 0) {
        return is_type_of_loaded_module(type, "array", "array");
    }
    return false;
}

// Reads a one-dimensional array of native doubles through the buffer
// protocol, strided or not, instead of making one Python float per element.
// Returns false, with nothing set, when the object does not qualify, and
// false with an exception set when a signal handler raised while copying.
bool read_double_buffer(PyObject* obj, std::vector<double>& out, bool& failed) {
    failed = false;
    // Lists and tuples, the common case, export no buffer: one slot test.
    if (!PyObject_CheckBuffer(obj) || !is_plain_array_type(Py_TYPE(obj))) {
        return false;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_RECORDS_RO) != 0) {
        PyErr_Clear();
        return false;
    }
    const char* format = view.format != nullptr ? view.format : "B";
    const bool native_double =
        view.ndim == 1 && view.itemsize == sizeof(double) &&
        (std::strcmp(format, "d") == 0 || std::strcmp(format, "@d") == 0 ||
         (std::strcmp(format, "=d") == 0 && PY_LITTLE_ENDIAN) ||
         (std::strcmp(format, "<d") == 0 && PY_LITTLE_ENDIAN) ||
         (std::strcmp(format, ">d") == 0 && !PY_LITTLE_ENDIAN));
    if (!native_double) {
        PyBuffer_Release(&view);
        return false;
    }
    const Py_ssize_t n = view.shape[0];
    const Py_ssize_t stride = view.strides != nullptr ? view.strides[0] : view.itemsize;
    const char* base = static_cast<const char*>(view.buf);
    try {
        out.resize(static_cast<size_t>(n));
    } catch (...) {
        PyBuffer_Release(&view);
        throw;
    }
    // A plain copy is far faster per element than a conversion, so signals
    // are asked for less often.
    SignalPoll poll(SIGNAL_POLL_INTERVAL * 16);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!poll()) {
            PyBuffer_Release(&view);
            out.clear();
            failed = true;
            return false;
        }
        // memcpy: a strided view need not be aligned for double.
        std::memcpy(&out[static_cast<size_t>(i)], base + i * stride, sizeof(double));
    }
    PyBuffer_Release(&view);
    return true;
}

// An exact list, walked by index as its iterator walks it (see to_vector).
bool list_to_vector(PyObject* obj, std::vector<double>& out) {
    SignalPoll poll;
    // The values read so far are the first `w` of `out`, which is sized
    // ahead of the walk a block at a time and trimmed at its end: the
    // values are stored through a plain index, not appended one by one.
    std::size_t w = out.size();
    Py_ssize_t i = 0;
    while (i < PyList_GET_SIZE(obj)) {
        const Py_ssize_t end =
            std::min<Py_ssize_t>(PyList_GET_SIZE(obj), i + SIGNAL_POLL_INTERVAL);
        const std::size_t block = static_cast<std::size_t>(end - i);
        if (out.size() < w + block) {
            out.resize(w + block);
        }
        double* values = out.data();
        const Py_ssize_t start = i;
        // Exact floats, the common case, run no Python code when read, so
        // the list cannot change under a run of them: each is read, type
        // and value together, a block at a time between polls for signals.
        PyObject* const* items = reinterpret_cast<PyListObject*>(obj)->ob_item;
        for (; i < end; ++i) {
            PyObject* item = items[i];
            if (!PyFloat_CheckExact(item)) {
                break;
            }
            values[w++] = PyFloat_AS_DOUBLE(item);
        }
        if (i > start && !poll(static_cast<std::size_t>(i - start))) {
            return false;
        }
        // The poll may have run a signal handler that changed the list:
        // the element after the run is read afresh, and only if the list
        // still reaches it (`items` and `end` may be stale).
        if (i < end && i < PyList_GET_SIZE(obj)) {
            // An element of another type, whose conversion may run
            // Python code (and change the list): the length and the
            // items are read afresh after it.  Its slot is in the block
            // sized above, which it has not filled.
            PyObject* item = Py_NewRef(PyList_GET_ITEM(obj, i));
            double v;
            const bool ok = to_double(item, v);
            Py_DECREF(item);
            if (!ok) {
                return false;
            }
            out[w++] = v;
            if (!poll()) {
                return false;
            }
            ++i;
        }
    }
    out.resize(w);
    return true;
}

}  // namespace

bool to_double(PyObject* obj, double& out) {
    if (PyFloat_CheckExact(obj)) {
        out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) {
        return false;
    }
    out = v;
    return true;
}

bool to_vector(PyObject* obj, std::vector<double>& out) {
    // An exact list, the common case, is a sequence, no str and exports no
    // buffer: it goes straight to the walk.
    if (PyList_CheckExact(obj)) {
        out.clear();
        out.reserve(static_cast<size_t>(PyList_GET_SIZE(obj)));
        return list_to_vector(obj, out);
    }
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(obj)) {
        PyObject* qualname = PyType_GetQualName(Py_TYPE(obj));
        if (qualname == nullptr) {
            PyErr_Clear();
            PyErr_SetString(PyExc_TypeError,
                            "'<failed to extract type name>' object cannot be converted to "
                            "'Sequence'");
            return false;
        }
        PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'Sequence'", qualname);
        Py_DECREF(qualname);
        return false;
    }

    out.clear();
    bool failed = false;
    if (read_double_buffer(obj, out, failed)) {
        return true;
    }
    if (failed) {
        return false;
    }
    const bool exact_container = PyList_CheckExact(obj) || PyTuple_CheckExact(obj);
    Py_ssize_t size = PySequence_Size(obj);
    if (size < 0) {
        PyErr_Clear();
        size = 0;
    }
    out.reserve(static_cast<size_t>(exact_container ? size
                                                    : std::min(size, UNTRUSTED_RESERVE_LIMIT)));

    // Lists and tuples are walked the way their own iterators walk them: by
    // index, re-reading the length at each step, so a list that an element's
    // __float__ shortens or extends is seen exactly as iteration would see it.
    SignalPoll poll;
    if (PyList_CheckExact(obj)) {
        return list_to_vector(obj, out);
    }
    if (PyTuple_CheckExact(obj)) {
        // A tuple cannot change, whatever an element's conversion runs: its
        // values are stored through a plain index into a vector of its size.
        const Py_ssize_t n = PyTuple_GET_SIZE(obj);
        out.resize(static_cast<std::size_t>(n));
        double* values = out.data();
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* item = PyTuple_GET_ITEM(obj, i);
            if (PyFloat_CheckExact(item)) {
                values[i] = PyFloat_AS_DOUBLE(item);
            } else if (!to_double(item, values[i])) {
                return false;
            }
            if (!poll()) {
                return false;
            }
        }
        return true;
    }

    PyObject* iterator = PyObject_GetIter(obj);
    if (iterator == nullptr) {
        return false;
    }
    while (PyObject* item = PyIter_Next(iterator)) {
        const bool ok = append_converted(item, out);
        Py_DECREF(item);
        if (!ok || !poll()) {
            Py_DECREF(iterator);
            return false;
        }
    }
    Py_DECREF(iterator);
    return !PyErr_Occurred();
}

namespace {

// Whether floats are made here rather than by PyFloat_FromDouble: on 3.11
// and 3.12 release builds a new reference needs nothing but its count of 1
// (a debug build also counts every reference, a trace-refs build links every
// object, and 3.13 adds reference tracers and the free-threaded layout).
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030D0000 && !defined(Py_REF_DEBUG) && \
    !defined(Py_TRACE_REFS) && !defined(Py_GIL_DISABLED)
#define CAUSTRIX_MAKES_FLOATS 1
#else
#define CAUSTRIX_MAKES_FLOATS 0
#endif

// How many freed floats the interpreter keeps for reuse (100 in 3.11 and
// 3.12); only a matter of speed, were it to change.
constexpr std::size_t FLOAT_FREE_LIST = 100;

// A new exact float holding `value`, or null with MemoryError set.  Where
// CAUSTRIX_MAKES_FLOATS, it is what PyFloat_FromDouble makes when its free
// list is empty, less two calls: a block of the interpreter's object
// allocator (which tracemalloc, when tracing, has traced at this very call)
// with the float's header written into it.  A float made so is freed by the
// float type as any other.
inline PyObject* new_float(double value) {
#if CAUSTRIX_MAKES_FLOATS
    auto* op = static_cast<PyFloatObject*>(PyObject_Malloc(sizeof(PyFloatObject)));
    if (op == nullptr) {
        return PyErr_NoMemory();
    }
    PyObject* object = reinterpret_cast<PyObject*>(op);
    Py_SET_TYPE(object, &PyFloat_Type);  // a static type: its count is not kept
    // Stored, not set through Py_SET_REFCNT: from 3.12 that first reads the
    // count to leave immortal objects alone, and a fresh block's first word
    // is whatever the allocator left there.
    object->ob_refcnt = 1;
    op->ob_fval = value;
    return object;
#else
    return PyFloat_FromDouble(value);
#endif
}

// Puts a float of each of `values` into the empty slots at, at + 1, ... of
// `list`, polling for signals as `poll` asks.  False, with an exception set,
// when a float could not be made or a signal handler raised; the slots not
// reached stay empty, which freeing the list skips.
bool fill_floats(PyObject* list, Py_ssize_t at, std::span<const double> values,
                 SignalPoll& poll) {
    PyObject** slots = reinterpret_cast<PyListObject*>(list)->ob_item + at;
    std::size_t i = 0;
    while (i < values.size()) {
        // A run ends where the next poll is due, so the count is kept per run.
        const std::size_t end = std::min(values.size(), i + poll.room());
        const std::size_t start = i;
        for (; i < end; ++i) {
            // The first floats of a list come from the float type's free
            // list, refilled by the floats of every list freed before, which
            // is cheaper than the allocator; the rest are made here.
            const bool spare = static_cast<std::size_t>(at) + i < FLOAT_FREE_LIST;
            PyObject* item = spare ? PyFloat_FromDouble(values[i]) : new_float(values[i]);
            if (item == nullptr) {
                return false;
            }
            slots[i] = item;
        }
        if (!poll(end - start)) {
            return false;
        }
    }
    return true;
}

// A new list of the curve's floats, filled while the collector cannot see it
// (see list_from_curve), and tracked only once every slot holds its float.
PyObject* untracked_list_from_curve(std::span<const double> curve, SignalPoll& poll) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(curve.size()));
    if (list == nullptr) {
        return nullptr;
    }
    PyObject_GC_UnTrack(list);
    // An empty curve's list counts as one element: a batch of millions of
    // empty curves takes seconds to make, and must still poll for signals.
    if (!fill_floats(list, 0, curve, poll) || (curve.empty() && !poll())) {
        Py_DECREF(list);  // the empty slots are skipped when it is freed
        return nullptr;
    }
    return list;
}

}  // namespace

models::Outcome<Owned> witt_mao_list(std::vector<double> l, double re, double rstar,
                                     const models::Interrupt& interrupt) {
    Owned list(PyList_New(static_cast<Py_ssize_t>(l.size())));
    if (list.get() == nullptr) {
        return models::interrupted();
    }
    // Untracked until every slot holds its float (see list_from_curve).
    PyObject_GC_UnTrack(list.get());
    // The values of a block live on the stack only until its floats are
    // made: no curve-sized buffer is allocated, cleared, copied and freed.
    double values[CURVE_BLOCK];
    static const models::Interrupt never;
    SignalPoll poll;
    const std::span<const double> all(l);
    for (std::size_t b = 0; b < all.size(); b += CURVE_BLOCK) {
        const std::size_t len = std::min(CURVE_BLOCK, all.size() - b);
        // The model asks at the start of each call; only every
        // runtime::POLL_CHEAP-th element is a point where the whole curve
        // would have asked, so the other blocks pass no question.
        const bool asks = b % runtime::POLL_CHEAP == 0;
        const models::Outcome<models::Filled> filled = models::witt_mao_magnification_into(
            all.subspan(b, len), re, rstar, std::span<double>(values, len),
            asks ? interrupt : never);
        if (!filled.ok()) {
            return filled.error();
        }
        if (!fill_floats(list.get(), static_cast<Py_ssize_t>(b),
                         std::span<const double>(values, len), poll)) {
            return models::interrupted();
        }
    }
    PyObject_GC_Track(list.get());
    return list;
}

// A list with empty slots must never be visible to the garbage collector: a
// collection may start whenever an object is allocated, and its callbacks
// (memory profilers walking gc.get_objects()) or the signal handlers run
// while polling would read the empty slots.  So every list is untracked from
// its creation until it is full.
PyObject* list_from_curve(const std::vector<double>& curve) {
    SignalPoll poll;
    PyObject* list = untracked_list_from_curve(curve, poll);
    if (list != nullptr) {
        PyObject_GC_Track(list);
    }
    return list;
}

PyObject* list_from_batch(const std::vector<std::vector<double>>& batch) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(batch.size()));
    if (list == nullptr) {
        return nullptr;
    }
    PyObject_GC_UnTrack(list);
    SignalPoll poll;
    for (size_t i = 0; i < batch.size(); ++i) {
        PyObject* inner = untracked_list_from_curve(batch[i], poll);
        if (inner == nullptr || !poll()) {
            Py_XDECREF(inner);
            Py_DECREF(list);
            return nullptr;
        }
        PyObject_GC_Track(inner);
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), inner);
    }
    PyObject_GC_Track(list);
    return list;
}

namespace {

// A batch of at most this many values (one or a few short curves) is
// computed into a buffer on the stack, on the calling thread, and its lists
// made afterwards: handing curves over as they finish only pays where the
// pool computes, and the heap buffer and the hand-over would cost a small
// batch more than its few elements.
constexpr std::size_t SMALL_BATCH_VALUES = 256;

models::Outcome<Owned> small_batch_lists(std::span<const double> l, std::span<const double> re,
                                         std::span<const double> rstar, std::size_t pairs,
                                         const models::Interrupt& interrupt) {
    double values[SMALL_BATCH_VALUES];
    const std::span<double> out(values, pairs * l.size());
    const models::Outcome<models::Filled> filled =
        models::multi_witt_mao_magnification_here(l, re, rstar, out, interrupt);
    if (!filled.ok()) {
        return filled.error();
    }
    SignalPoll poll;
    if (pairs == 1) {
        // The one curve's list is complete before the outer list exists, and
        // nothing allocates between the two: the outer list is never seen
        // with an empty slot, so it needs no hiding from the collector.
        PyObject* inner = untracked_list_from_curve(out, poll);
        if (inner == nullptr) {
            return models::interrupted();
        }
        PyObject_GC_Track(inner);
        Owned single(PyList_New(1));
        if (single.get() == nullptr) {
            Py_DECREF(inner);
            return models::interrupted();
        }
        PyList_SET_ITEM(single.get(), 0, inner);
        return single;
    }
    Owned outer(PyList_New(static_cast<Py_ssize_t>(pairs)));
    if (outer.get() == nullptr) {
        return models::interrupted();
    }
    // Untracked until every slot holds its curve's list (see list_from_curve).
    PyObject_GC_UnTrack(outer.get());
    for (std::size_t k = 0; k < pairs; ++k) {
        PyObject* inner = untracked_list_from_curve(out.subspan(k * l.size(), l.size()), poll);
        if (inner == nullptr) {
            return models::interrupted();  // the empty slots are skipped when it is freed
        }
        PyObject_GC_Track(inner);
        PyList_SET_ITEM(outer.get(), static_cast<Py_ssize_t>(k), inner);
    }
    PyObject_GC_Track(outer.get());
    return outer;
}

// Copies an exact list or tuple of at most `room` exact floats into `out`;
// false, with nothing set, for anything else.  Reading an exact float runs no
// Python code, so the copy is what the element-by-element conversion gives.
bool read_exact_floats(PyObject* obj, double* out, std::size_t room, std::size_t& n) {
    PyObject* const* items;
    Py_ssize_t size;
    if (PyList_CheckExact(obj)) {
        items = reinterpret_cast<PyListObject*>(obj)->ob_item;
        size = PyList_GET_SIZE(obj);
    } else if (PyTuple_CheckExact(obj)) {
        items = reinterpret_cast<PyTupleObject*>(obj)->ob_item;
        size = PyTuple_GET_SIZE(obj);
    } else {
        return false;
    }
    if (static_cast<std::size_t>(size) > room) {
        return false;
    }
    for (Py_ssize_t i = 0; i < size; ++i) {
        if (!PyFloat_CheckExact(items[i])) {
            return false;
        }
        out[i] = PyFloat_AS_DOUBLE(items[i]);
    }
    n = static_cast<std::size_t>(size);
    return true;
}

}  // namespace

std::optional<models::Outcome<Owned>> small_multi_witt_mao_lists(
    PyObject* const* args, const models::Interrupt& interrupt) {
    double l[SMALL_BATCH_VALUES];
    double re[SMALL_BATCH_VALUES];
    double rstar[SMALL_BATCH_VALUES];
    std::size_t nl = 0;
    std::size_t nre = 0;
    std::size_t nrstar = 0;
    if (!read_exact_floats(args[0], l, SMALL_BATCH_VALUES, nl) ||
        !read_exact_floats(args[1], re, SMALL_BATCH_VALUES, nre) ||
        !read_exact_floats(args[2], rstar, SMALL_BATCH_VALUES, nrstar) ||
        nre * nrstar > SMALL_BATCH_VALUES || nre * nrstar * nl > SMALL_BATCH_VALUES) {
        return std::nullopt;
    }
    return small_batch_lists(std::span<const double>(l, nl), std::span<const double>(re, nre),
                             std::span<const double>(rstar, nrstar), nre * nrstar, interrupt);
}

models::Outcome<Owned> multi_witt_mao_lists(std::vector<double> l, std::vector<double> re,
                                            std::vector<double> rstar,
                                            const models::Interrupt& interrupt) {
    std::size_t pairs = 0;
    std::size_t values = 0;
    if (__builtin_mul_overflow(re.size(), rstar.size(), &pairs) ||
        __builtin_mul_overflow(pairs, l.size(), &values) ||
        pairs > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
        throw std::bad_alloc();
    }
    if (values <= SMALL_BATCH_VALUES) {
        return small_batch_lists(l, re, rstar, pairs, interrupt);
    }
    // Untracked until every slot holds its curve's list (see list_from_curve).
    Owned outer(PyList_New(static_cast<Py_ssize_t>(pairs)));
    if (outer.get() == nullptr) {
        return models::interrupted();
    }
    PyObject_GC_UnTrack(outer.get());
    // Left uninitialised: every value is written by the worker that computes
    // it, so the pages of a large batch are first touched by the workers, in
    // parallel, instead of being cleared by the calling thread beforehand.
    const std::unique_ptr<double[]> values_buffer(new double[values]);
    const std::span<double> out(values_buffer.get(), values);
    struct Lists {
        PyObject* outer;
        SignalPoll poll;
    } lists{outer.get(), SignalPoll()};
    // One pointer captured: the handler fits in the function object itself.
    const models::CurveReady ready = [state = &lists](std::size_t k,
                                                     std::span<const double> curve) {
        PyObject* inner = untracked_list_from_curve(curve, state->poll);
        if (inner == nullptr) {
            return false;
        }
        PyObject_GC_Track(inner);
        // A curve is handed over again only in a child forked during the
        // call, which computes the batch anew.
        PyObject* previous = PyList_GET_ITEM(state->outer, static_cast<Py_ssize_t>(k));
        PyList_SET_ITEM(state->outer, static_cast<Py_ssize_t>(k), inner);
        Py_XDECREF(previous);
        return true;
    };
    const models::Outcome<models::Filled> filled =
        models::multi_witt_mao_magnification_into(l, re, rstar, out, ready, interrupt);
    if (!filled.ok()) {
        return filled.error();
    }
    PyObject_GC_Track(outer.get());
    return outer;
}

}  // namespace surface
