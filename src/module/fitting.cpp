// magnification(u, rho, law, coefficients, *, out) and
// light_curve(t, t0, u0, tE, rho, law, coefficients, *, out): the
// magnification of a limb-darkened source star over numpy arrays.
//
// A call parses the law once, turns each argument into a float64 array (or
// keeps an exact float or int as a plain double), broadcasts them by numpy's
// rules, checks every source radius, and then computes element by element
// straight from the arrays' buffers into the output's, with the interpreter
// lock released; large calls are divided between the process's worker pool.
// Every element depends on its own inputs only, so the result does not
// depend on how the work is divided.
#include "module/fitting.hpp"

#include <cxxabi.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <numeric>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "models/limb_law.hpp"
#include "models/limb_law_uniform_batch.hpp"
#include "models/limb_law_gradient.hpp"
#include "module/convert.hpp"
#include "module/errors.hpp"
#include "module/strided_loop.hpp"
#include "runtime/worker_pool.hpp"

namespace surface {

namespace {

// ---------------------------------------------------------------------------
// numpy, imported on first use and kept for the process's life (the module
// lives in one interpreter only).  The classic functions never ask for it.

struct Numpy {
    PyObject* asarray = nullptr;
    PyObject* empty = nullptr;
    PyObject* ndarray = nullptr;
    PyObject* float64 = nullptr;
};

Numpy numpy_api;  // written once, with the interpreter lock held

const Numpy* numpy(const char* function) {
    if (numpy_api.asarray != nullptr) {
        return &numpy_api;
    }
    PyObject* module = PyImport_ImportModule("numpy");
    if (module == nullptr) {
        // Say which function needs it, keeping the import's own failure as
        // the cause.
        PyObject *type, *cause, *traceback;
        PyErr_Fetch(&type, &cause, &traceback);
        PyErr_NormalizeException(&type, &cause, &traceback);
        if (traceback != nullptr && cause != nullptr) {
            PyException_SetTraceback(cause, traceback);
        }
        Py_XDECREF(type);
        Py_XDECREF(traceback);
        PyErr_Format(PyExc_ImportError, "%s() needs numpy, which could not be imported",
                     function);
        PyObject *raised_type, *raised, *raised_traceback;
        PyErr_Fetch(&raised_type, &raised, &raised_traceback);
        PyErr_NormalizeException(&raised_type, &raised, &raised_traceback);
        if (raised != nullptr && cause != nullptr) {
            PyException_SetCause(raised, Py_NewRef(cause));
            PyException_SetContext(raised, Py_NewRef(cause));
        }
        Py_XDECREF(cause);
        PyErr_Restore(raised_type, raised, raised_traceback);
        return nullptr;
    }
    Numpy found;
    found.asarray = PyObject_GetAttrString(module, "asarray");
    found.empty = found.asarray ? PyObject_GetAttrString(module, "empty") : nullptr;
    found.ndarray = found.empty ? PyObject_GetAttrString(module, "ndarray") : nullptr;
    found.float64 = found.ndarray ? PyObject_GetAttrString(module, "float64") : nullptr;
    Py_DECREF(module);
    if (found.float64 == nullptr) {
        Py_XDECREF(found.asarray);
        Py_XDECREF(found.empty);
        Py_XDECREF(found.ndarray);
        return nullptr;
    }
    numpy_api = found;
    return &numpy_api;
}

// ---------------------------------------------------------------------------
// Texts

// "(3,)", "()", "(2, 3)": a shape as numpy prints it.
std::string shape_text(std::span<const std::ptrdiff_t> shape) {
    std::string text = "(";
    for (std::size_t i = 0; i < shape.size(); ++i) {
        if (i > 0) {
            text += ", ";
        }
        text += std::to_string(shape[i]);
    }
    text += shape.size() == 1 ? ",)" : ")";
    return text;
}

// "(1.5,)", "(0.3, 0.2)": the coefficients as Python prints a tuple of floats.
std::string coefficients_text(std::span<const double> values) {
    std::string text = "(";
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i > 0) {
            text += ", ";
        }
        char* repr = PyOS_double_to_string(values[i], 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
        if (repr == nullptr) {
            throw std::bad_alloc();
        }
        text += repr;
        PyMem_Free(repr);
    }
    text += values.size() == 1 ? ",)" : ")";
    return text;
}

// ---------------------------------------------------------------------------
// The law

// The numbers of a coefficient (or a column of a table), or false with a
// TypeError naming the law and `what`.
bool read_numbers(PyObject* obj, const char* law, const char* what, std::vector<double>& out) {
    const auto refuse = [&] {
        PyErr_Format(PyExc_TypeError, "law '%s': %s must be a sequence of numbers, not '%s'",
                     law, what, Py_TYPE(obj)->tp_name);
        return false;
    };
    // A string is a sequence, of strings.
    if (PyUnicode_Check(obj) || PyBytes_Check(obj) || PyByteArray_Check(obj)) {
        return refuse();
    }
    // A set has no order in which its items could be the law's coefficients.
    if (PyAnySet_Check(obj)) {
        return refuse();
    }
    // The items as they are now, in a tuple or a list of our own: an item's
    // __float__ may change a list being read (even empty it), and the items
    // must stay alive.  (A list, not a tuple, for other iterables: a tuple
    // is made at the length the object claims and filled at once, a list
    // only reserved.)
    PyObject* items = PyTuple_CheckExact(obj) ? Py_NewRef(obj) : PySequence_List(obj);
    if (items == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) {
            return false;  // the object's own iteration failed: its exception stands
        }
        PyErr_Clear();
        return refuse();
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items);
    out.clear();
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(items, i);
        double v;
        if (PyUnicode_Check(item) || PyBytes_Check(item) || !to_double(item, v)) {
            if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_TypeError)) {
                Py_DECREF(items);
                return false;  // OverflowError, or the item's own __float__ failing
            }
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError,
                         "law '%s': %s must be a sequence of numbers, but item %zd is '%s'", law,
                         what, i, Py_TYPE(item)->tp_name);
            Py_DECREF(items);
            return false;
        }
        out.push_back(v);
    }
    Py_DECREF(items);
    return true;
}

// The law named by `law_obj` with `coefficients_obj`, or nothing with the
// TypeError or ValueError that says what is wrong with them.
std::optional<models::LimbLaw> parse_law(PyObject* law_obj, PyObject* coefficients_obj,
                                         const char*& name) {
    if (!PyUnicode_Check(law_obj)) {
        PyErr_Format(PyExc_TypeError, "law must be a str, not '%s'", Py_TYPE(law_obj)->tp_name);
        return std::nullopt;
    }
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(law_obj, &length);
    if (text == nullptr) {
        return std::nullopt;
    }
    const models::LawName* law = models::find_law(std::string_view(text, static_cast<std::size_t>(length)));
    if (law == nullptr) {
        std::string names;
        for (const models::LawName& known : models::law_names()) {
            names += names.empty() ? "'" : ", '";
            names += known.name;
            names += "'";
        }
        PyErr_Format(PyExc_ValueError, "unknown law %R (laws: %s)", law_obj, names.c_str());
        return std::nullopt;
    }
    name = law->name;

    std::vector<double> values;
    std::size_t given = 0;
    if (law->kind != models::LawKind::table) {
        if (!read_numbers(coefficients_obj, law->name, "the coefficients", values)) {
            return std::nullopt;
        }
        given = values.size();
    } else {
        // (radii, brightnesses): a pair of sequences, read one by one below.
        const Py_ssize_t n = PyUnicode_Check(coefficients_obj) || PyBytes_Check(coefficients_obj) ||
                                     !PySequence_Check(coefficients_obj)
                                 ? -1
                                 : PySequence_Size(coefficients_obj);
        if (n < 0) {
            if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_TypeError)) {
                return std::nullopt;  // the pair's own __len__ failed: its exception stands
            }
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError,
                         "law 'table' takes its coefficients as a pair (radii, brightnesses) of "
                         "sequences, not '%s'",
                         Py_TYPE(coefficients_obj)->tp_name);
            return std::nullopt;
        }
        given = static_cast<std::size_t>(n);
    }
    if (given != static_cast<std::size_t>(law->count) && law->count == 0) {
        PyErr_Format(PyExc_ValueError, "law '%s' takes no coefficients, got %zu", law->name,
                     given);
        return std::nullopt;
    }
    if (given != static_cast<std::size_t>(law->count)) {
        PyErr_Format(PyExc_ValueError, "law '%s' takes %d coefficient%s %s, got %zu", law->name,
                     law->count, law->count == 1 ? "" : "s", law->coefficients, given);
        return std::nullopt;
    }

    if (law->kind == models::LawKind::table) {
        std::vector<double> radii;
        std::vector<double> brightness;
        PyObject* radii_obj = PySequence_GetItem(coefficients_obj, 0);
        if (radii_obj == nullptr) {
            return std::nullopt;
        }
        bool ok = read_numbers(radii_obj, law->name, "the radii", radii);
        Py_DECREF(radii_obj);
        if (!ok) {
            return std::nullopt;
        }
        PyObject* brightness_obj = PySequence_GetItem(coefficients_obj, 1);
        if (brightness_obj == nullptr) {
            return std::nullopt;
        }
        ok = read_numbers(brightness_obj, law->name, "the brightnesses", brightness);
        Py_DECREF(brightness_obj);
        if (!ok) {
            return std::nullopt;
        }
        if (const char* problem = models::LimbLaw::table_problem(radii, brightness)) {
            PyErr_Format(PyExc_ValueError, "law 'table': %s", problem);
            return std::nullopt;
        }
        return models::LimbLaw(std::move(radii), std::move(brightness));
    }
    if (const char* problem = models::LimbLaw::problem(law->kind, values)) {
        PyErr_Format(PyExc_ValueError, "law '%s' with coefficients %s: %s", law->name,
                     coefficients_text(values).c_str(), problem);
        return std::nullopt;
    }
    return models::LimbLaw(law->kind, values);
}

// ---------------------------------------------------------------------------
// Arrays

// One input or the output: a float64 array held through its buffer, or an
// exact float or int held as a plain double.
struct Operand {
    const char* name = nullptr;
    PyObject* array = nullptr;  // owned; null for a plain double
    Py_buffer view{};
    double scalar = 0;
    std::vector<std::ptrdiff_t> shape;
    std::vector<std::ptrdiff_t> strides;

    Operand() = default;
    Operand(const Operand&) = delete;
    Operand& operator=(const Operand&) = delete;
    ~Operand() { release(); }

    void release() {
        if (array != nullptr) {
            PyBuffer_Release(&view);
            Py_CLEAR(array);
        }
    }

    [[nodiscard]] char* data() {
        return array != nullptr ? static_cast<char*>(view.buf) : reinterpret_cast<char*>(&scalar);
    }

    [[nodiscard]] OperandView as_view() { return {data(), shape, strides}; }

    // Holds `held` (a new reference, taken over) through its buffer, which
    // must be of native doubles.
    bool hold(PyObject* held) {
        release();
        if (PyObject_GetBuffer(held, &view, PyBUF_RECORDS_RO) != 0) {
            Py_DECREF(held);
            return false;
        }
        array = held;
        shape.assign(view.shape, view.shape + view.ndim);
        strides.assign(view.strides, view.strides + view.ndim);
        return true;
    }

    // The bytes the operand may touch, [first, last).
    [[nodiscard]] std::pair<const char*, const char*> extent() {
        const char* first = data();
        const char* last = first + sizeof(double);
        for (std::size_t axis = 0; axis < shape.size(); ++axis) {
            if (shape[axis] == 0) {
                return {first, first};
            }
            const std::ptrdiff_t reach = (shape[axis] - 1) * strides[axis];
            (reach < 0 ? first : last) += reach;
        }
        return {first, last};
    }
};

bool is_native_double(const Py_buffer& view) {
    const char* f = view.format != nullptr ? view.format : "B";
    return view.itemsize == sizeof(double) &&
           (std::strcmp(f, "d") == 0 || std::strcmp(f, "@d") == 0 ||
            (PY_LITTLE_ENDIAN && (std::strcmp(f, "<d") == 0 || std::strcmp(f, "=d") == 0)) ||
            (!PY_LITTLE_ENDIAN && (std::strcmp(f, ">d") == 0 || std::strcmp(f, "=d") == 0)));
}

// The kinds of numpy dtype that convert to float64 as numbers: bool, signed
// and unsigned integers, floats.  Strings would be parsed, complex numbers
// cut to their real part, objects converted one by one: all refused.
bool is_real_kind(PyObject* array) {
    PyObject* dtype = PyObject_GetAttrString(array, "dtype");
    if (dtype == nullptr) {
        return false;
    }
    PyObject* kind = PyObject_GetAttrString(dtype, "kind");
    Py_DECREF(dtype);
    if (kind == nullptr) {
        return false;
    }
    const char* k = PyUnicode_Check(kind) ? PyUnicode_AsUTF8(kind) : nullptr;
    const bool real = k != nullptr && k[0] != '\0' && k[1] == '\0' && std::strchr("biuf", k[0]);
    Py_DECREF(kind);
    return real;
}

bool read_operand(const Numpy& np, PyObject* obj, const char* name, Operand& op) {
    op.name = name;
    if (PyFloat_CheckExact(obj)) {
        op.scalar = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    if (PyLong_CheckExact(obj)) {
        op.scalar = PyLong_AsDouble(obj);
        return !(op.scalar == -1.0 && PyErr_Occurred());
    }
    PyObject* array = PyObject_CallOneArg(np.asarray, obj);
    if (array == nullptr) {
        return false;
    }
    if (!is_real_kind(array)) {
        if (!PyErr_Occurred()) {
            PyObject* dtype = PyObject_GetAttrString(array, "dtype");
            if (dtype != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s must be real numbers, not an array of dtype %S",
                             name, dtype);
                Py_DECREF(dtype);
            }
        }
        Py_DECREF(array);
        return false;
    }
    PyObject* converted = PyObject_CallFunctionObjArgs(np.asarray, array, np.float64, nullptr);
    Py_DECREF(array);
    if (converted == nullptr) {
        return false;
    }
    if (!op.hold(converted)) {
        return false;
    }
    if (!is_native_double(op.view)) {  // asarray(..., float64) gives native doubles
        PyErr_Format(PyExc_SystemError, "%s did not convert to native float64", name);
        return false;
    }
    return true;
}

// The shape that every operand broadcasts to, or false with the ValueError
// that lists the shapes.
bool broadcast(std::span<Operand> inputs, const char* law, std::vector<std::ptrdiff_t>& shape) {
    std::size_t nd = 0;
    for (const Operand& op : inputs) {
        nd = std::max(nd, op.shape.size());
    }
    shape.assign(nd, 1);
    bool agree = true;
    for (const Operand& op : inputs) {
        const std::size_t lead = nd - op.shape.size();
        for (std::size_t axis = 0; axis < op.shape.size(); ++axis) {
            std::ptrdiff_t& target = shape[lead + axis];
            const std::ptrdiff_t extent = op.shape[axis];
            if (target == 1) {
                target = extent;
            } else if (extent != 1 && extent != target) {
                agree = false;
            }
        }
    }
    if (agree) {
        return true;
    }
    std::string text;
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        if (i > 0) {
            text += i + 1 == inputs.size() ? " and " : ", ";
        }
        text += inputs[i].name;
        text += " of shape ";
        text += shape_text(inputs[i].shape);
    }
    PyErr_Format(PyExc_ValueError, "%s do not broadcast together (law '%s')", text.c_str(), law);
    return false;
}

// A new float64 array of `shape` with a trailing axis of length `trailing`
// (none when negative), held in `op`.
bool new_array(const Numpy& np, std::span<const std::ptrdiff_t> shape, std::ptrdiff_t trailing,
               Operand& op) {
    const std::size_t nd = shape.size() + (trailing >= 0 ? 1 : 0);
    PyObject* dims = PyTuple_New(static_cast<Py_ssize_t>(nd));
    if (dims == nullptr) {
        return false;
    }
    for (std::size_t axis = 0; axis < nd; ++axis) {
        PyObject* extent = PyLong_FromSsize_t(axis < shape.size() ? shape[axis] : trailing);
        if (extent == nullptr) {
            Py_DECREF(dims);
            return false;
        }
        PyTuple_SET_ITEM(dims, static_cast<Py_ssize_t>(axis), extent);
    }
    PyObject* array = PyObject_CallOneArg(np.empty, dims);
    Py_DECREF(dims);
    return array != nullptr && op.hold(array);
}

// The output: `out` checked against the result's shape, or a new array.
bool prepare_output(const Numpy& np, PyObject* out, std::span<const std::ptrdiff_t> shape,
                    const char* law, Operand& op) {
    op.name = "out";
    if (out == Py_None || out == nullptr) {
        return new_array(np, shape, -1, op);
    }
    const int is_array = PyObject_IsInstance(out, np.ndarray);
    if (is_array < 0) {
        return false;
    }
    if (is_array == 0) {
        PyErr_Format(PyExc_TypeError, "out must be a numpy.ndarray of float64, not '%s'",
                     Py_TYPE(out)->tp_name);
        return false;
    }
    if (!op.hold(Py_NewRef(out))) {
        return false;
    }
    if (!is_native_double(op.view)) {
        PyObject* dtype = PyObject_GetAttrString(out, "dtype");
        if (dtype != nullptr) {
            PyErr_Format(PyExc_TypeError, "out must be a numpy.ndarray of float64, not of dtype %S",
                         dtype);
            Py_DECREF(dtype);
        }
        return false;
    }
    if (!std::equal(shape.begin(), shape.end(), op.shape.begin(), op.shape.end())) {
        PyErr_Format(PyExc_ValueError, "out has shape %s, but the result has shape %s (law '%s')",
                     shape_text(op.shape).c_str(), shape_text(shape).c_str(), law);
        return false;
    }
    if (op.view.readonly) {
        PyErr_Format(PyExc_ValueError, "out is read-only (law '%s')", law);
        return false;
    }
    return true;
}

// An input that shares memory with the output is read from a copy: the
// output's elements are written while other elements still read theirs.
bool separate_from_output(std::span<Operand> inputs, Operand& out) {
    const auto [out_first, out_last] = out.extent();
    for (Operand& op : inputs) {
        if (op.array == nullptr) {
            continue;
        }
        const auto [first, last] = op.extent();
        if (first < out_last && out_first < last) {
            PyObject* copy = PyObject_CallMethod(op.array, "copy", nullptr);
            if (copy == nullptr || !op.hold(copy)) {
                return false;
            }
        }
    }
    return true;
}

// Every source radius finite and not negative, checked before any work.
bool check_rho(Operand& rho, const char* law) {
    const OperandView view[] = {rho.as_view()};
    const StridedLoop loop(rho.shape, view);
    bool good = true;
    (void)loop.run(
        0, loop.size(), [&](const StridedLoop::Pointers& p) {
            const double r = load(p[0]);
            good = good && std::isfinite(r) && r >= 0;
        },
        [] { return false; }, loop.size() + 1);
    if (!good) {
        PyErr_Format(PyExc_ValueError, "rho must be finite and not negative (law '%s')", law);
    }
    return good;
}

// ---------------------------------------------------------------------------
// The computation

// What one element of each law costs, roughly: the uniform disc is a few
// elliptic integrals, a law a quadrature over the source radius, a table one
// over each of its segments (about a quarter of a microsecond each, 10 us
// at least), so that a table of 10^5 points costs some 20 ms an element.
double nanoseconds_per_element(const models::LimbLaw& law) {
    switch (law.kind()) {
        case models::LawKind::uniform:
            return 35.0;  // the disc in vector lanes
        case models::LawKind::table:
            return std::max(10e3, 250.0 * static_cast<double>(law.table_points()));
        default:
            return 1500.0;
    }
}

// Below this much work the interpreter lock is kept: giving it up and
// taking it back costs more than the other threads could gain.
constexpr double KEEP_LOCK_BELOW_NS = 20e3;
// Below this much work the calling thread computes alone: waking the pool
// costs tens of microseconds.
constexpr double SERIAL_BELOW_NS = 2e6;
// The least work worth handing to a worker as one chunk.
constexpr double CHUNK_AT_LEAST_NS = 250e3;
// Chunks per worker, so that a worker slowed by the machine, or given the
// costly stretch of a sorted light curve (the points across the source cost
// several times the rest), does not hold up the others.
constexpr std::size_t CHUNKS_PER_WORKER = 32;
// The chunk that item k of the pool's range computes.  The pool hands each
// worker a contiguous half of its range to compute in one go, and the
// elements of a light curve sorted in time or separation differ in cost
// (those across the source cost several times the rest): the items visit
// the chunks with a stride near the golden section of their number,
// coprime with it, so that every stretch of items mixes chunks from the
// whole array.  A permutation: each chunk is computed once.
std::size_t spread(std::size_t k, std::size_t chunks) noexcept {
    if (chunks < 3) {
        return k;
    }
    std::size_t stride = chunks * 618 / 1000;
    while (std::gcd(stride, chunks) != 1) {
        ++stride;
    }
    return (k * stride) % chunks;
}

// How often a computing caller looks for pending signals (Ctrl-C).
constexpr auto POLL_INTERVAL = std::chrono::milliseconds(5);

// The interpreter lock as a long call handles it: released while numbers
// are computed, taken back briefly to run pending signal handlers.
class Lock {
public:
    explicit Lock(bool release) : saved_(release ? PyEval_SaveThread() : nullptr) {}

    // Runs pending signal handlers; true when one raised (its exception is
    // set) and the call is to stop.
    bool signalled() {
        if (saved_ == nullptr) {
            return PyErr_CheckSignals() < 0;
        }
        PyEval_RestoreThread(saved_);
        const bool raised = PyErr_CheckSignals() < 0;
        saved_ = PyEval_SaveThread();
        return raised;
    }

    // Takes the lock back for good.
    void reacquire() {
        if (saved_ != nullptr) {
            PyEval_RestoreThread(std::exchange(saved_, nullptr));
        }
    }

private:
    PyThreadState* saved_;
};

// An element that takes its points a run at a time (it names its BLOCK).
template <class Element>
concept RunElement = requires { std::remove_cvref_t<Element>::BLOCK; };

// Signals are looked for between runs only: a run is cut to about this
// much work, so that Ctrl-C is not left waiting on a run of costly
// elements (those of a long table take milliseconds each).
constexpr double RUN_AT_MOST_NS = 2e6;

// The elements [begin, end) of `loop` by `element`, one at a time or in runs.
template <class Element, class Stop>
bool run_range(const StridedLoop& loop, std::size_t begin, std::size_t end, Element& element,
               Stop&& stop, std::size_t every, double cost_ns) {
    if constexpr (RunElement<Element>) {
        constexpr std::size_t most = std::remove_cvref_t<Element>::BLOCK;
        const auto fit = static_cast<std::size_t>(RUN_AT_MOST_NS / cost_ns);
        return loop.run_blocks(begin, end, std::clamp<std::size_t>(fit, 1, most), element, stop,
                               every);
    } else {
        return loop.run(begin, end, element, stop, every);
    }
}

// The elements of `loop`, each by `element`, on the calling thread or on the
// pool; false when a signal handler raised.  Called without the interpreter
// lock when `lock` released it.
template <class Element>
bool compute(const StridedLoop& loop, double cost_ns, bool serial, Element&& element,
             Lock& lock) {
    const std::size_t n = loop.size();
    // Elements between two looks at the clock: about 10 us of work.
    const std::size_t every = std::max<std::size_t>(1, static_cast<std::size_t>(1e4 / cost_ns));
    const double work = cost_ns * static_cast<double>(n);

    runtime::WorkerPool* pool = nullptr;
    if (!serial && work >= SERIAL_BELOW_NS) {
        pool = &runtime::global_pool();
        if (pool->size() < 2) {
            pool = nullptr;
        }
    }
    if (pool == nullptr) {
        // The first look is before the first element: a signal that came
        // while the arguments were converted is handled at once.
        auto next_poll = std::chrono::steady_clock::now();
        return run_range(
            loop, 0, n, element,
            [&] {
                const auto now = std::chrono::steady_clock::now();
                if (now < next_poll) {
                    return false;
                }
                next_poll = now + POLL_INTERVAL;
                return lock.signalled();
            },
            every, cost_ns);
    }

    const auto least = static_cast<std::size_t>(CHUNK_AT_LEAST_NS / cost_ns) + 1;
    const std::size_t wanted = pool->size() * CHUNKS_PER_WORKER;
    const std::size_t chunk = std::max(least, (n + wanted - 1) / wanted);
    const std::size_t chunks = (n + chunk - 1) / chunk;
    while (true) {
        // Once the caller is interrupted the chunks being computed stop at
        // their next look too.
        std::atomic<bool> stop{false};
        const auto stopped = [&stop] { return stop.load(std::memory_order_relaxed); };
        const std::function<bool()> poll = [&] {
            try {
                if (!lock.signalled()) {
                    return false;
                }
            } catch (...) {
                stop.store(true, std::memory_order_relaxed);
                throw;
            }
            stop.store(true, std::memory_order_relaxed);
            return true;
        };
        try {
            return pool->for_each_index(
                chunks,
                [&](std::size_t k) {
                    const std::size_t c = spread(k, chunks);
                    (void)run_range(loop, c * chunk, std::min(n, (c + 1) * chunk), element,
                                    stopped, every, cost_ns);
                },
                poll);
        } catch (const runtime::ForkedDuringCall&) {
            // A child forked by a signal handler while the parent's workers
            // computed: they do not exist here, so the child computes every
            // element again on its own pool.  Each element is written whole
            // by one thread, so the result is the parent's.
            pool = &runtime::global_pool();
        }
    }
}

// Whether two elements of `op` may share a byte.  They cannot when, with
// the axes taken by growing stride, each stride steps past everything the
// smaller axes span (a zero stride or strides that interleave, as
// as_strided makes, fail this); a layout that fails it is treated as
// overlapping, which costs only the pool.
bool may_overlap_itself(const Operand& op) {
    std::vector<std::pair<std::ptrdiff_t, std::ptrdiff_t>> axes;  // (|stride|, extent)
    for (std::size_t axis = 0; axis < op.shape.size(); ++axis) {
        if (op.shape[axis] == 0) {
            return false;  // no elements
        }
        if (op.shape[axis] > 1) {
            axes.emplace_back(op.strides[axis] < 0 ? -op.strides[axis] : op.strides[axis],
                              op.shape[axis]);
        }
    }
    std::sort(axes.begin(), axes.end());
    std::ptrdiff_t span = sizeof(double);  // the bytes the smaller axes cover
    for (const auto& [stride, extent] : axes) {
        if (stride < span) {
            return true;
        }
        // A span beyond the largest offset (only as_strided makes one) is
        // held at it, which a further axis cannot step past.
        std::ptrdiff_t reach;
        if (__builtin_mul_overflow(stride, extent - 1, &reach) ||
            __builtin_add_overflow(reach, span, &span)) {
            span = PTRDIFF_MAX;
        }
    }
    return false;
}

// Computes with the lock released (when the work is worth it) and takes it
// back on every way out but the forced unwind that ends a daemon thread at
// exit: that thread must not touch the interpreter again, so `operands`
// are abandoned, not released.  False with an exception set when a signal
// handler raised.
template <class Element, class Held>
bool compute_released(const StridedLoop& loop, double cost_ns, Element&& element,
                      Held& operands) {
    const bool release = cost_ns * static_cast<double>(loop.size()) >= KEEP_LOCK_BELOW_NS;
    // An output that may write several elements to one place, or to
    // overlapping bytes, is filled on the calling thread, in index order, so
    // that the last element's value is the one that stays, whatever the pool.
    const bool serial = may_overlap_itself(operands.out());
    Lock lock(release);
    bool complete;
    try {
        complete = compute(loop, cost_ns, serial, element, lock);
    } catch (abi::__forced_unwind&) {
        operands.abandon();
        throw;
    } catch (...) {
        lock.reacquire();
        throw;
    }
    lock.reacquire();
    return complete;
}

// ---------------------------------------------------------------------------
// The functions

// Keeps the arguments' references straight: inputs first, output last.
template <std::size_t N>
struct Operands {
    std::array<Operand, N + 1> all;

    std::span<Operand> inputs() { return std::span<Operand>(all).first(N); }
    Operand& rho() { return all[N - 1]; }
    Operand& out() { return all[N]; }

    void abandon() {
        for (Operand& op : all) {
            op.array = nullptr;
        }
    }

    std::array<OperandView, N + 1> views() {
        std::array<OperandView, N + 1> v;
        for (std::size_t k = 0; k <= N; ++k) {
            v[k] = all[k].as_view();
        }
        return v;
    }
};

// Converts the inputs, broadcasts them, prepares the output and checks rho;
// false with an exception set.
template <std::size_t N>
bool prepare(const char* function, PyObject* const (&objects)[N],
             const char* const (&names)[N], PyObject* out, const char* law, Operands<N>& ops,
             std::vector<std::ptrdiff_t>& shape) {
    const Numpy* np = numpy(function);
    if (np == nullptr) {
        return false;
    }
    for (std::size_t k = 0; k < N; ++k) {
        if (!read_operand(*np, objects[k], names[k], ops.all[k])) {
            return false;
        }
    }
    return broadcast(ops.inputs(), law, shape) && prepare_output(*np, out, shape, law, ops.out()) &&
           separate_from_output(ops.inputs(), ops.out()) && check_rho(ops.rho(), law);
}

constexpr const char* MAGNIFICATION_DOC =
    "magnification(u, rho, law=\"uniform\", coefficients=(), *, out=None)\n--\n\n"
    "Magnification of a limb-darkened source star by a point lens.\n\n"
    "u is the lens-source separation and rho the source radius, both in\n"
    "Einstein radii (u counts by its size).  Any array-likes or numbers; they\n"
    "broadcast by numpy's rules and the result is a float64 array of the\n"
    "broadcast shape (0-d for scalars).  The value is the brightness-weighted\n"
    "mean of the point-lens magnification over the source disc, for the\n"
    "brightness I(mu), mu = sqrt(1 - r^2), of the law:\n\n"
    "    \"uniform\"      ()                  1\n"
    "    \"linear\"       (a,)                1 - a(1-mu)\n"
    "    \"quadratic\"    (a, b)              1 - a(1-mu) - b(1-mu)^2\n"
    "    \"square-root\"  (c, d)              1 - c(1-mu) - d(1-sqrt(mu))\n"
    "    \"logarithmic\"  (e, f)              1 - e(1-mu) - f mu ln(mu)\n"
    "    \"power-2\"      (c, alpha)          1 - c(1-mu^alpha), 0 < alpha <= 50\n"
    "    \"nonlinear\"    (a1, a2, a3, a4)    1 - sum a_k(1-mu^(k/2))\n"
    "    \"table\"        (radii, brightnesses), piecewise linear in the radius r\n"
    "                   (source radii, ascending in [0, 1])\n\n"
    "A NaN u gives NaN; rho = 0 is a point source.  ValueError for an unknown\n"
    "law, the wrong number of coefficients, coefficients whose brightness is\n"
    "negative somewhere on the disc or has no flux, shapes that do not\n"
    "broadcast, or a negative or non-finite rho.  out, a float64 array of the\n"
    "result's shape, is filled and returned.";

constexpr const char* LIGHT_CURVE_DOC =
    "light_curve(t, t0, u0, tE, rho, law=\"uniform\", coefficients=(), *, out=None)\n--\n\n"
    "Magnification of a limb-darkened source star along a straight path past\n"
    "a point lens, at the times t.\n\n"
    "The separation is u = sqrt(u0^2 + ((t - t0)/tE)^2) Einstein radii: t0 is\n"
    "the time of closest approach, u0 the separation then and tE the Einstein\n"
    "time; rho is the source radius in Einstein radii.  All five broadcast\n"
    "together; law, coefficients and out are those of magnification().";

constexpr const char* MAGNIFICATION_KEYWORDS[] = {"u", "rho", "law", "coefficients", "out",
                                                  nullptr};
constexpr const char* LIGHT_CURVE_KEYWORDS[] = {"t",   "t0", "u0",           "tE",
                                                "rho", "law", "coefficients", "out",
                                                nullptr};

PyObject* law_default() {
    static PyObject* uniform = PyUnicode_InternFromString("uniform");
    return uniform;
}

// Fills the output of a prepared call element by element, with the lock
// released when the work is worth it; the output array, or nullptr with the
// exception set.
template <class Ops, class Element>
PyObject* evaluate(Ops& ops, const std::vector<std::ptrdiff_t>& shape,
                   const models::LimbLaw& law, const Element& element) {
    const auto views = ops.views();
    const StridedLoop loop(shape, views);
    if (!compute_released(loop, nanoseconds_per_element(law), element, ops)) {
        return nullptr;
    }
    return Py_NewRef(ops.out().array);
}

// The law of a call from its name and its coefficients (none given: an
// empty tuple), or nullopt with the exception set.
std::optional<models::LimbLaw> law_argument(PyObject* law_obj, PyObject* coefficients,
                                            const char*& name) {
    if (coefficients != nullptr) {
        return parse_law(law_obj, coefficients, name);
    }
    PyObject* none = PyTuple_New(0);
    if (none == nullptr) {
        return std::nullopt;
    }
    std::optional<models::LimbLaw> law = parse_law(law_obj, none, name);
    Py_DECREF(none);
    return law;
}

// Whether element i of a run at p with byte stride s is ((double*)p)[i]:
// then the run is read or written in place instead of through a buffer.
inline bool is_plain_run(const char* p, std::ptrdiff_t s) noexcept {
    return s == static_cast<std::ptrdiff_t>(sizeof(double)) &&
           reinterpret_cast<std::uintptr_t>(p) % alignof(double) == 0;
}

// The count >= 1 values of a run at p with byte stride s, into out (the
// first set apart so that the compiler sees out written before it is read).
inline void load_run(const char* p, std::ptrdiff_t s, std::size_t count, double* out) {
    out[0] = load(p);
    for (std::size_t i = 1; i < count; ++i) {
        out[i] = load(p + static_cast<std::ptrdiff_t>(i) * s);
    }
}

// A law over the runs of a loop: a run's separations and radii are
// gathered into contiguous buffers, computed together (the discs of several
// points in vector lanes) and scattered to the output; each point's value
// is the one LimbLaw::magnification gives it.  `separation` forms the u of
// point i of a run; rho is operand RHO and the output operand OUT.  With
// U_OPERAND (the operand u is read as it stands) a contiguous run of u is
// read in place, a contiguous output is written in place, and a radius
// shared by the whole run (a zero stride) is handed over once: the common
// call, an array of separations and one radius, then copies nothing.
template <std::size_t RHO, std::size_t OUT, bool U_OPERAND, class Separation>
struct LawRuns {
    static constexpr std::size_t BLOCK = 256;
    const models::LimbLaw* law;
    Separation separation;

    // The uniform disc takes its own batch, which leaves out the law's
    // per-point routing.  Radius: one double, or a pointer to one per point.
    template <class Radius>
    void run(const double* u, Radius rho, double* out, std::size_t count) const {
        if (law->kind() == models::LawKind::uniform) {
            models::uniform_magnifications(u, rho, out, count);
        } else {
            law->magnifications(u, rho, out, count);
        }
    }

    void operator()(const StridedLoop::Pointers& p, const StridedLoop::Strides& s,
                    std::size_t count) const {
        // A run has at least one point (the first is set here so that the
        // compiler sees the buffers written before they are read).
        double u[BLOCK];
        const double* us = u;
        if (U_OPERAND && is_plain_run(p[0], s[0])) {
            us = reinterpret_cast<const double*>(p[0]);
        } else {
            u[0] = separation(p, s, 0);
            for (std::size_t i = 1; i < count; ++i) {
                u[i] = separation(p, s, static_cast<std::ptrdiff_t>(i));
            }
        }
        const bool direct_out = is_plain_run(p[OUT], s[OUT]);
        double* out = direct_out ? reinterpret_cast<double*>(p[OUT]) : u;
        if (s[RHO] == 0) {
            run(us, load(p[RHO]), out, count);
        } else {
            double rho[BLOCK];
            load_run(p[RHO], s[RHO], count, rho);
            run(us, rho, out, count);
        }
        if (!direct_out) {
            for (std::size_t i = 0; i < count; ++i) {
                store(p[OUT] + static_cast<std::ptrdiff_t>(i) * s[OUT], u[i]);
            }
        }
    }
};

template <std::size_t RHO, std::size_t OUT, bool U_OPERAND = false, class Separation>
LawRuns<RHO, OUT, U_OPERAND, Separation> law_runs(const models::LimbLaw& law,
                                                  Separation separation) {
    return {&law, separation};
}

PyObject* magnification(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* u = nullptr;
        PyObject* rho = nullptr;
        PyObject* law_obj = law_default();
        PyObject* coefficients = nullptr;
        PyObject* out = Py_None;
        if (law_obj == nullptr ||
            !PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OO$O:magnification",
                                         const_cast<char**>(MAGNIFICATION_KEYWORDS), &u, &rho,
                                         &law_obj, &coefficients, &out)) {
            return nullptr;
        }
        const char* name = nullptr;
        const std::optional<models::LimbLaw> law = law_argument(law_obj, coefficients, name);
        if (!law) {
            return nullptr;
        }
        Operands<2> ops;
        std::vector<std::ptrdiff_t> shape;
        if (!prepare("magnification", {u, rho}, {"u", "rho"}, out, name, ops, shape)) {
            return nullptr;
        }
        const models::LimbLaw& l = *law;
        return evaluate(ops, shape, l,
                        law_runs<1, 2, true>(l, [](const StridedLoop::Pointers& p,
                                                   const StridedLoop::Strides& s,
                                                   std::ptrdiff_t i) {
                            return load(p[0] + i * s[0]);
                        }));
    });
}

PyObject* light_curve(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* t = nullptr;
        PyObject* t0 = nullptr;
        PyObject* u0 = nullptr;
        PyObject* tE = nullptr;
        PyObject* rho = nullptr;
        PyObject* law_obj = law_default();
        PyObject* coefficients = nullptr;
        PyObject* out = Py_None;
        if (law_obj == nullptr ||
            !PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOO|OO$O:light_curve",
                                         const_cast<char**>(LIGHT_CURVE_KEYWORDS), &t, &t0, &u0,
                                         &tE, &rho, &law_obj, &coefficients, &out)) {
            return nullptr;
        }
        const char* name = nullptr;
        const std::optional<models::LimbLaw> law = law_argument(law_obj, coefficients, name);
        if (!law) {
            return nullptr;
        }
        Operands<5> ops;
        std::vector<std::ptrdiff_t> shape;
        if (!prepare("light_curve", {t, t0, u0, tE, rho}, {"t", "t0", "u0", "tE", "rho"}, out,
                     name, ops, shape)) {
            return nullptr;
        }
        const models::LimbLaw& l = *law;
        return evaluate(ops, shape, l,
                        law_runs<4, 5>(l, [](const StridedLoop::Pointers& p,
                                             const StridedLoop::Strides& s, std::ptrdiff_t i) {
                            const double tau =
                                (load(p[0] + i * s[0]) - load(p[1] + i * s[1])) /
                                load(p[3] + i * s[3]);
                            const double u0_value = load(p[2] + i * s[2]);
                            return std::sqrt(u0_value * u0_value + tau * tau);
                        }));
    });
}


// ---------------------------------------------------------------------------
// The gradients

// A prepared call and the gradient arrays beside its value: C-contiguous
// new arrays, so that the flat index of an element, read off its place in
// the value's array, finds its place in each of them.
template <std::size_t N, std::size_t M>
struct GradientOperands {
    Operands<N> base;
    std::array<Operand, M> gradients;
    std::array<char*, M> data{};

    Operand& out() { return base.out(); }
    void abandon() {
        base.abandon();
        for (Operand& op : gradients) {
            op.array = nullptr;
        }
    }
    auto views() { return base.views(); }
};

// The law of a gradient call, refused for a brightness table: its
// brightnesses enter only through the table's flux map, which has no
// derivatives.
std::optional<models::LimbLaw> gradient_law(PyObject* law_obj, PyObject* coefficients,
                                            const char*& name) {
    std::optional<models::LimbLaw> law = law_argument(law_obj, coefficients, name);
    if (law && !models::has_gradient(*law)) {
        PyErr_Format(PyExc_ValueError,
                     "law '%s' has no gradient: its brightnesses are a table, not coefficients",
                     name);
        return std::nullopt;
    }
    return law;
}

// The flat index of the element that `value` (a place in the C-contiguous
// value array starting at `first`) belongs to.
inline std::size_t flat_index(const char* value, const char* first) noexcept {
    return static_cast<std::size_t>(value - first) / sizeof(double);
}

constexpr const char* MAGNIFICATION_AND_GRADIENT_DOC =
    "magnification_and_gradient(u, rho, law=\"uniform\", coefficients=())\n--\n\n"
    "The magnification of magnification() with its exact derivatives.\n\n"
    "Returns (A, dA_du, dA_drho, dA_dc): A is bit for bit magnification(u,\n"
    "rho, law, coefficients); dA_du and dA_drho have its shape; dA_dc has a\n"
    "trailing axis of length len(coefficients) (0 for \"uniform\"), in the\n"
    "coefficients' order.  u counts by its size: dA_du is sign(u) times the\n"
    "derivative with respect to the distance, and 0 at u = 0.  With the lens\n"
    "exactly on the limb of a uniform disc (u = rho) the magnification has a\n"
    "logarithmic kink: dA_du is -inf and dA_drho +inf there.  rho = 0 gives\n"
    "the point lens's slope, 0 for dA_drho and dA_dc.  Arguments, broadcasting\n"
    "and errors as magnification(); the law \"table\" has no gradient\n"
    "(ValueError).";

constexpr const char* LIGHT_CURVE_AND_GRADIENT_DOC =
    "light_curve_and_gradient(t, t0, u0, tE, rho, law=\"uniform\", coefficients=())\n--\n\n"
    "The light curve of light_curve() with its exact derivatives.\n\n"
    "Returns (A, dA_dparams): A is bit for bit light_curve(t, t0, u0, tE,\n"
    "rho, law, coefficients) and dA_dparams has A's shape with a trailing\n"
    "axis of length 4 + len(coefficients): the derivatives with respect to\n"
    "t0, u0, tE, rho and then the coefficients.  At the closest approach\n"
    "with u0 = 0 the derivatives with respect to the path are 0.  Arguments,\n"
    "broadcasting and errors as light_curve(); the law \"table\" has no\n"
    "gradient (ValueError).";

constexpr const char* GRADIENT_KEYWORDS[] = {"u", "rho", "law", "coefficients", nullptr};
constexpr const char* LIGHT_CURVE_GRADIENT_KEYWORDS[] = {
    "t", "t0", "u0", "tE", "rho", "law", "coefficients", nullptr};

// What one gradient element costs against one value.
constexpr double GRADIENT_COST = 1.5;

// A law's gradients over the runs of a loop: a run's separations and radii
// are gathered, computed together (the discs of several points in vector
// lanes), and each point's value, slopes and coefficient slopes (a row of
// the law's coefficient count) handed to `scatter` with its place in the
// run; each is magnification_gradient's for the point, bit for bit.
// `separation` forms the u of point i of a run; rho is operand RHO, handed
// over once when the run shares it.
template <std::size_t RHO, class Separation, class Scatter>
struct GradientRuns {
    // Eight buffers of a run live on the stack, which may be a small one
    // (a Python thread's); the law's batch takes at most 64 points at a
    // time anyway.
    static constexpr std::size_t BLOCK = 64;
    static constexpr std::size_t MAX_COEFFICIENTS = models::GRADIENT_COEFFICIENTS;
    const models::LimbLaw& law;
    Separation separation;
    Scatter scatter;

    void operator()(const StridedLoop::Pointers& p, const StridedLoop::Strides& s,
                    std::size_t count) const {
        // A run has at least one point (the first is set here so that the
        // compiler sees the buffers written before they are read).
        double u[BLOCK];
        double value[BLOCK];
        double du[BLOCK];
        double drho[BLOCK];
        double dc[BLOCK * MAX_COEFFICIENTS];
        const std::size_t k = law.coefficients().size();
        u[0] = separation(p, s, 0);
        for (std::size_t i = 1; i < count; ++i) {
            u[i] = separation(p, s, static_cast<std::ptrdiff_t>(i));
        }
        const models::LawGradients out{value, du, drho, dc};
        if (s[RHO] == 0) {
            models::law_gradients(law, u, load(p[RHO]), out, count);
        } else {
            double rho[BLOCK];
            load_run(p[RHO], s[RHO], count, rho);
            models::law_gradients(law, u, rho, out, count);
        }
        for (std::size_t i = 0; i < count; ++i) {
            scatter(p, s, static_cast<std::ptrdiff_t>(i), value[i], du[i], drho[i], dc + i * k);
        }
    }
};

template <std::size_t RHO, class Separation, class Scatter>
GradientRuns<RHO, Separation, Scatter> gradient_runs(const models::LimbLaw& law,
                                                     Separation separation, Scatter scatter) {
    return {law, separation, scatter};
}

// Runs the gradients over the loop a run at a time.
template <class Runs, class Held>
bool compute_gradients(const StridedLoop& loop, const models::LimbLaw& law, Runs&& runs,
                       Held& operands) {
    const double cost = GRADIENT_COST * nanoseconds_per_element(law);
    return compute_released(loop, cost, runs, operands);
}

PyObject* magnification_and_gradient(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* u = nullptr;
        PyObject* rho = nullptr;
        PyObject* law_obj = law_default();
        PyObject* coefficients = nullptr;
        if (law_obj == nullptr ||
            !PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OO:magnification_and_gradient",
                                         const_cast<char**>(GRADIENT_KEYWORDS), &u, &rho,
                                         &law_obj, &coefficients)) {
            return nullptr;
        }
        const char* name = nullptr;
        const std::optional<models::LimbLaw> law = gradient_law(law_obj, coefficients, name);
        if (!law) {
            return nullptr;
        }
        GradientOperands<2, 3> ops;
        std::vector<std::ptrdiff_t> shape;
        if (!prepare("magnification_and_gradient", {u, rho}, {"u", "rho"}, Py_None, name,
                     ops.base, shape)) {
            return nullptr;
        }
        const Numpy& np = *numpy("magnification_and_gradient");
        const std::size_t k = law->coefficients().size();
        if (!new_array(np, shape, -1, ops.gradients[0]) ||
            !new_array(np, shape, -1, ops.gradients[1]) ||
            !new_array(np, shape, static_cast<std::ptrdiff_t>(k), ops.gradients[2])) {
            return nullptr;
        }
        const models::LimbLaw& l = *law;
        const char* first = ops.out().data();
        double* du = reinterpret_cast<double*>(ops.gradients[0].data());
        double* drho = reinterpret_cast<double*>(ops.gradients[1].data());
        double* dc = reinterpret_cast<double*>(ops.gradients[2].data());
        const auto views = ops.views();
        const StridedLoop loop(shape, views);
        const auto runs = gradient_runs<1>(
            l,
            [](const StridedLoop::Pointers& p, const StridedLoop::Strides& s, std::ptrdiff_t i) {
                return load(p[0] + i * s[0]);
            },
            [&](const StridedLoop::Pointers& p, const StridedLoop::Strides& s, std::ptrdiff_t i,
                double value, double slope_u, double slope_rho, const double* slopes_c) {
                char* place = p[2] + i * s[2];
                const std::size_t at = flat_index(place, first);
                store(place, value);
                du[at] = slope_u;
                drho[at] = slope_rho;
                std::copy_n(slopes_c, k, dc + at * k);
            });
        if (!compute_gradients(loop, l, runs, ops)) {
            return nullptr;
        }
        return PyTuple_Pack(4, ops.out().array, ops.gradients[0].array, ops.gradients[1].array,
                            ops.gradients[2].array);
    });
}

PyObject* light_curve_and_gradient(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* t = nullptr;
        PyObject* t0 = nullptr;
        PyObject* u0 = nullptr;
        PyObject* tE = nullptr;
        PyObject* rho = nullptr;
        PyObject* law_obj = law_default();
        PyObject* coefficients = nullptr;
        if (law_obj == nullptr ||
            !PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOO|OO:light_curve_and_gradient",
                                         const_cast<char**>(LIGHT_CURVE_GRADIENT_KEYWORDS), &t,
                                         &t0, &u0, &tE, &rho, &law_obj, &coefficients)) {
            return nullptr;
        }
        const char* name = nullptr;
        const std::optional<models::LimbLaw> law = gradient_law(law_obj, coefficients, name);
        if (!law) {
            return nullptr;
        }
        GradientOperands<5, 1> ops;
        std::vector<std::ptrdiff_t> shape;
        if (!prepare("light_curve_and_gradient", {t, t0, u0, tE, rho},
                     {"t", "t0", "u0", "tE", "rho"}, Py_None, name, ops.base, shape)) {
            return nullptr;
        }
        const Numpy& np = *numpy("light_curve_and_gradient");
        const std::size_t k = law->coefficients().size();
        const std::size_t width = 4 + k;
        if (!new_array(np, shape, static_cast<std::ptrdiff_t>(width), ops.gradients[0])) {
            return nullptr;
        }
        const models::LimbLaw& l = *law;
        const char* first = ops.out().data();
        double* grad = reinterpret_cast<double*>(ops.gradients[0].data());
        const auto views = ops.views();
        const StridedLoop loop(shape, views);
        // The separation exactly as light_curve() forms it, at point i of
        // a run.
        const auto separation = [](const StridedLoop::Pointers& p, const StridedLoop::Strides& s,
                                   std::ptrdiff_t i) {
            const double tau =
                (load(p[0] + i * s[0]) - load(p[1] + i * s[1])) / load(p[3] + i * s[3]);
            const double u0_value = load(p[2] + i * s[2]);
            return std::sqrt(u0_value * u0_value + tau * tau);
        };
        // The row of a point from its magnification and slopes.
        const auto fill_row = [](const StridedLoop::Pointers& p, const StridedLoop::Strides& s,
                                 std::ptrdiff_t i, double u, const models::LawGradient& g,
                                 double* row) {
            const double te = load(p[3] + i * s[3]);
            const double tau = (load(p[0] + i * s[0]) - load(p[1] + i * s[1])) / te;
            const double u0_value = load(p[2] + i * s[2]);
            store(p[5] + i * s[5], g.value);
            // du/dt0 = -tau / (tE u), du/du0 = u0 / u, du/dtE = -tau^2 / (tE u),
            // with the ratios to u taken from hypot, which neither overflows
            // nor underflows where u0^2 + tau^2 would.  At u = 0 the
            // magnification is flat in the separation.
            const double size = std::hypot(u0_value, tau);
            const double along = size > 0 ? tau / size : 0.0;
            const double across = size > 0 ? u0_value / size : 0.0;
            const double slope = u > 0 || size > 0 ? g.du : 0.0;
            row[0] = -(slope * along) / te;
            row[1] = slope * across;
            row[2] = -(slope * along) * (tau / te);
            row[3] = g.drho;
        };
        const auto runs = gradient_runs<4>(
            l, separation,
            [&](const StridedLoop::Pointers& p, const StridedLoop::Strides& s, std::ptrdiff_t i,
                double value, double slope_u, double slope_rho, const double* slopes_c) {
                double* row = grad + flat_index(p[5] + i * s[5], first) * width;
                fill_row(p, s, i, separation(p, s, i),
                         models::LawGradient{value, slope_u, slope_rho}, row);
                std::copy_n(slopes_c, k, row + 4);
            });
        if (!compute_gradients(loop, l, runs, ops)) {
            return nullptr;
        }
        return PyTuple_Pack(2, ops.out().array, ops.gradients[0].array);
    });
}

PyMethodDef table[] = {
    {"magnification", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&magnification)),
     METH_VARARGS | METH_KEYWORDS, MAGNIFICATION_DOC},
    {"light_curve", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&light_curve)),
     METH_VARARGS | METH_KEYWORDS, LIGHT_CURVE_DOC},
    {"magnification_and_gradient",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&magnification_and_gradient)),
     METH_VARARGS | METH_KEYWORDS, MAGNIFICATION_AND_GRADIENT_DOC},
    {"light_curve_and_gradient",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&light_curve_and_gradient)),
     METH_VARARGS | METH_KEYWORDS, LIGHT_CURVE_AND_GRADIENT_DOC},
};

}  // namespace

std::span<PyMethodDef> fitting_table() noexcept { return table; }

}  // namespace surface
