// A public function described as data: its name, its parameters and what
// each one is converted into, the model operation it calls and the shape of
// the result.  From one such row come the function's wrapper (bind, convert,
// call, convert back or raise), its text signature and its method record.
#pragma once

#include <Python.h>

#include <array>
#include <concepts>
#include <optional>
#include <cstddef>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "ellip/result.hpp"
#include "models/model_result.hpp"
#include "module/binding.hpp"
#include "module/convert.hpp"
#include "module/errors.hpp"
#include "runtime/interrupt.hpp"

namespace surface {

// What a parameter is converted into: a vector of doubles or a double.
enum class Kind { sequence, number };

// What the model operation hands back, and so what the caller receives: a
// list of floats, one float, or a list of such lists.
enum class Shape { curve, real, batch };

struct Parameter {
    const char* name;
    Kind kind;
};

[[nodiscard]] constexpr Parameter sequence(const char* name) noexcept {
    return {name, Kind::sequence};
}
[[nodiscard]] constexpr Parameter number(const char* name) noexcept {
    return {name, Kind::number};
}

inline constexpr std::size_t NO_PARAMETER = static_cast<std::size_t>(-1);

// A faster road for the commonest small calls: given the positional
// arguments of a call that passes every parameter by position, it returns
// the result (or error) the general road would give, or nothing when the
// arguments are not of the kind it handles.
using Shortcut = std::optional<models::Outcome<Owned>> (*)(PyObject* const* args,
                                                          const runtime::Interrupt& interrupt);

// One public function.  Every parameter is required and accepted by position
// or by keyword; they are converted in order and passed to `operation` in
// that order, followed by the interrupt poll where the operation takes one.
template <class Operation, std::size_t N>
struct Function {
    static_assert(N <= MAX_PARAMETERS, "raise MAX_PARAMETERS for a longer signature");

    const char* name;
    Shape shape;
    Operation operation;
    std::array<Parameter, N> parameters;
    // Two sequence parameters that must have one length (the columns of a
    // table), checked after conversion; NO_PARAMETER when there are none.
    std::size_t same_length_first = NO_PARAMETER;
    std::size_t same_length_second = NO_PARAMETER;
    Shortcut shortcut = nullptr;
    // Whether there is a shortcut, as a flag: under UBSan's checks a
    // function's address compared with nullptr is no constant expression.
    bool has_shortcut = false;

    constexpr Function(const char* name_, Shape shape_, Operation operation_,
                       std::same_as<Parameter> auto... parameters_)
        : name(name_), shape(shape_), operation(operation_), parameters{parameters_...} {}

    // The same function, with the two named sequences required to have one
    // length.  A name that is no parameter does not compile.
    [[nodiscard]] constexpr Function with_same_length(std::string_view first,
                                                      std::string_view second) const {
        Function copy = *this;
        copy.same_length_first = index_of(first);
        copy.same_length_second = index_of(second);
        return copy;
    }

    // The same function, with a shortcut (a function, never null) tried
    // before the general binding and conversion.
    [[nodiscard]] constexpr Function with_shortcut(Shortcut road) const {
        Function copy = *this;
        copy.shortcut = road;
        copy.has_shortcut = true;
        return copy;
    }

    [[nodiscard]] constexpr std::size_t index_of(std::string_view parameter) const {
        for (std::size_t i = 0; i < N; ++i) {
            if (parameter == parameters[i].name) {
                return i;
            }
        }
        throw "no such parameter";  // in a constant expression: a compile error
    }
};

template <class Operation, class... P>
Function(const char*, Shape, Operation, P...) -> Function<Operation, sizeof...(P)>;

namespace detail {

template <Kind K>
using Value = std::conditional_t<K == Kind::sequence, std::vector<double>, double>;

// "name(a, b, c)\n--\n\n": the text signature and no docstring.
template <const auto& Table, std::size_t I>
struct TextSignature {
    static constexpr const auto& Row = std::get<I>(Table);
    static constexpr std::string_view END = "\n--\n\n";

    static constexpr std::size_t length() {
        std::size_t n = std::string_view(Row.name).size() + 2 + END.size();
        for (std::size_t i = 0; i < Row.parameters.size(); ++i) {
            n += std::string_view(Row.parameters[i].name).size() + (i > 0 ? 2 : 0);
        }
        return n;
    }

    static constexpr std::array<char, length() + 1> text = [] {
        std::array<char, length() + 1> out{};
        std::size_t at = 0;
        const auto put = [&](std::string_view part) {
            for (const char c : part) {
                out[at++] = c;
            }
        };
        put(Row.name);
        put("(");
        for (std::size_t i = 0; i < Row.parameters.size(); ++i) {
            if (i > 0) {
                put(", ");
            }
            put(Row.parameters[i].name);
        }
        put(")");
        put(END);
        return out;
    }();
};

// Long computations ask between elements whether a signal is pending; the
// pending signal's handler (Ctrl-C's raises KeyboardInterrupt) then decides,
// and its exception ends the call.
inline const runtime::Interrupt& pending_signals() {
    static const runtime::Interrupt poll = [] { return PyErr_CheckSignals() < 0; };
    return poll;
}

// The operation's result as a new Python object, or its error raised.
inline PyObject* settle(models::Outcome<models::Curve>&& outcome) {
    if (!outcome.ok()) {
        raise_model_error(outcome.error());
        return nullptr;
    }
    return list_from_curve(outcome.value());
}

inline PyObject* settle(models::Outcome<std::vector<models::Curve>>&& outcome) {
    if (!outcome.ok()) {
        raise_model_error(outcome.error());
        return nullptr;
    }
    return list_from_batch(outcome.value());
}

inline PyObject* settle(models::Outcome<Owned>&& outcome) {
    if (!outcome.ok()) {
        raise_model_error(outcome.error());
        return nullptr;
    }
    return std::move(outcome).value().release();
}

inline PyObject* settle(const ellip::Result& value) {
    if (!value.ok()) {
        raise_model_error(models::runtime_error(value.error()));
        return nullptr;
    }
    return PyFloat_FromDouble(value.value());
}

// Whether an operation returning Result hands back what a row of `shape`
// promises.  A list it made itself (Owned) may stand for a curve or a batch.
template <class Result>
constexpr bool has_shape(Shape shape) {
    if constexpr (std::is_same_v<Result, models::Outcome<models::Curve>>) {
        return shape == Shape::curve;
    } else if constexpr (std::is_same_v<Result, models::Outcome<std::vector<models::Curve>>>) {
        return shape == Shape::batch;
    } else if constexpr (std::is_same_v<Result, models::Outcome<Owned>>) {
        return shape == Shape::curve || shape == Shape::batch;
    } else {
        static_assert(std::is_same_v<Result, ellip::Result>, "an operation returns a curve, a "
                                                             "batch of curves or one value");
        return shape == Shape::real;
    }
}

// The wrapper of row I of a table: binds and converts the arguments, runs
// the model operation, converts its result or raises its error.
template <const auto& Table, std::size_t Index>
struct Wrapper {
    static constexpr const auto& Row = std::get<Index>(Table);
    static constexpr std::size_t N = Row.parameters.size();

    static constexpr std::array<const char*, N> NAMES = [] {
        std::array<const char*, N> out{};
        for (std::size_t i = 0; i < N; ++i) {
            out[i] = Row.parameters[i].name;
        }
        return out;
    }();

    static constexpr Signature SIGNATURE{Row.name, static_cast<Py_ssize_t>(N), NAMES.data()};

    template <std::size_t... I>
    static auto values(std::index_sequence<I...>) -> std::tuple<Value<Row.parameters[I].kind>...>;
    using Values = decltype(values(std::make_index_sequence<N>{}));

    template <std::size_t I>
    static bool convert(Arguments& a, Values& values) {
        if constexpr (Row.parameters[I].kind == Kind::sequence) {
            return a.sequence(std::get<I>(values));
        } else {
            return a.number(std::get<I>(values));
        }
    }

    // Converts in parameter order; the first failure ends the conversion.
    template <std::size_t... I>
    static bool convert_all(Arguments& a, Values& values, std::index_sequence<I...>) {
        return (convert<I>(a, values) && ...);
    }

    template <std::size_t... I>
    static auto run(Values& values, std::index_sequence<I...>) {
        using Operation = decltype(Row.operation);
        if constexpr (std::is_invocable_v<Operation, decltype(std::move(std::get<I>(values)))...,
                                          const runtime::Interrupt&>) {
            return Row.operation(std::move(std::get<I>(values))..., pending_signals());
        } else {
            return Row.operation(std::move(std::get<I>(values))...);
        }
    }

    static bool lengths_agree(const Values& values) {
        if constexpr (Row.same_length_first != NO_PARAMETER) {
            constexpr std::size_t first = Row.same_length_first;
            constexpr std::size_t second = Row.same_length_second;
            const std::size_t a = std::get<first>(values).size();
            const std::size_t b = std::get<second>(values).size();
            if (a != b) {
                PyErr_Format(PyExc_ValueError,
                             "%s(): %s and %s must have the same length, but %s has %zu elements "
                             "and %s has %zu",
                             Row.name, NAMES[first], NAMES[second], NAMES[first], a,
                             NAMES[second], b);
                return false;
            }
        }
        return true;
    }

    static PyObject* call(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                          PyObject* kwnames) {
        return guarded([&]() -> PyObject* {
            if constexpr (Row.has_shortcut) {
                // Only a call with every argument by position: its arguments
                // are the parameters in order, with nothing to bind.
                if (kwnames == nullptr && PyVectorcall_NARGS(nargsf) == static_cast<Py_ssize_t>(N)) {
                    if (auto result = Row.shortcut(args, pending_signals())) {
                        return settle(std::move(*result));
                    }
                }
            }
            Arguments a(SIGNATURE);
            Values values;
            if (!a.bind(args, nargsf, kwnames) ||
                !convert_all(a, values, std::make_index_sequence<N>{}) ||
                !lengths_agree(values)) {
                return nullptr;
            }
            auto result = run(values, std::make_index_sequence<N>{});
            static_assert(has_shape<decltype(result)>(Row.shape),
                          "the operation's result does not have the row's shape");
            return settle(std::move(result));
        });
    }

    static PyMethodDef method() {
        return {Row.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&call)),
                METH_FASTCALL | METH_KEYWORDS, TextSignature<Table, Index>::text.data()};
    }
};

template <const auto& Table, std::size_t... I>
std::array<PyMethodDef, sizeof...(I)> method_table(std::index_sequence<I...>) {
    return {Wrapper<Table, I>::method()...};
}

}  // namespace detail

// The method records of a table of functions, in table order.
template <const auto& Table>
std::array<PyMethodDef, std::tuple_size_v<std::remove_cvref_t<decltype(Table)>>> method_table() {
    return detail::method_table<Table>(
        std::make_index_sequence<std::tuple_size_v<std::remove_cvref_t<decltype(Table)>>>{});
}

}  // namespace surface
