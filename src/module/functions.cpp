// The module's functions: bind and convert the arguments, call one model
// operation, convert its result or raise its error.
#include "module/functions.hpp"

#include <utility>
#include <vector>

#include "models/witt_mao.hpp"
#include "module/binding.hpp"
#include "module/convert.hpp"
#include "module/errors.hpp"

namespace surface {

namespace {

constexpr const char* L_RE_RSTAR[] = {"l", "re", "rstar"};

// A curve, or the model's error raised.
PyObject* curve_result(models::Outcome<models::Curve>&& outcome) noexcept {
    if (!outcome.ok()) {
        raise_model_error(outcome.error());
        return nullptr;
    }
    return list_from_curve(outcome.value());
}

PyObject* witt_mao_magnification(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                 PyObject* kwnames) {
    static constexpr Signature signature{"witt_mao_magnification", 3, L_RE_RSTAR};
    return guarded([&]() -> PyObject* {
        Arguments a(signature);
        std::vector<double> l;
        double re, rstar;
        if (!a.bind(args, nargsf, kwnames) || !a.sequence(l) || !a.number(re) ||
            !a.number(rstar)) {
            return nullptr;
        }
        return curve_result(models::witt_mao_magnification(std::move(l), re, rstar));
    });
}

template <auto Function>
constexpr PyCFunction fastcall() noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Function));
}

constexpr int FASTCALL_KEYWORDS = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef table[] = {
    {"witt_mao_magnification", fastcall<witt_mao_magnification>(), FASTCALL_KEYWORDS,
     "witt_mao_magnification(l, re, rstar)\n--\n\n"},
};

}  // namespace

std::span<PyMethodDef> function_table() noexcept { return table; }

}  // namespace surface
