// The module's functions: bind and convert the arguments, call one model
// operation, convert its result or raise its error.
#include "module/functions.hpp"

#include <utility>
#include <vector>

#include "models/heyrovsky.hpp"
#include "models/multi_witt_mao.hpp"
#include "models/witt_mao.hpp"
#include "module/binding.hpp"
#include "module/convert.hpp"
#include "module/errors.hpp"

namespace surface {

namespace {

constexpr const char* L_RE_RSTAR[] = {"l", "re", "rstar"};
constexpr const char* L_R_RE_RSTAR[] = {"l", "r", "re", "rstar"};

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

PyObject* multi_witt_mao_magnification(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                       PyObject* kwnames) {
    static constexpr Signature signature{"multi_witt_mao_magnification", 3, L_RE_RSTAR};
    return guarded([&]() -> PyObject* {
        Arguments a(signature);
        std::vector<double> l, re, rstar;
        if (!a.bind(args, nargsf, kwnames) || !a.sequence(l) || !a.sequence(re) ||
            !a.sequence(rstar)) {
            return nullptr;
        }
        const auto outcome = models::multi_witt_mao_magnification(l, re, rstar);
        if (!outcome.ok()) {
            raise_model_error(outcome.error());
            return nullptr;
        }
        return list_from_batch(outcome.value());
    });
}

PyObject* heyrovsky_magnification(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                  PyObject* kwnames) {
    static constexpr Signature signature{"heyrovsky_magnification", 4, L_R_RE_RSTAR};
    return guarded([&]() -> PyObject* {
        Arguments a(signature);
        double l, r, re, rstar;
        if (!a.bind(args, nargsf, kwnames) || !a.number(l) || !a.number(r) || !a.number(re) ||
            !a.number(rstar)) {
            return nullptr;
        }
        const ellip::Result value = models::heyrovsky_magnification(l, r, re, rstar);
        if (!value.ok()) {
            raise_model_error(models::runtime_error(value.error));
            return nullptr;
        }
        return PyFloat_FromDouble(value.value);
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
    {"multi_witt_mao_magnification", fastcall<multi_witt_mao_magnification>(), FASTCALL_KEYWORDS,
     "multi_witt_mao_magnification(l, re, rstar)\n--\n\n"},
    {"heyrovsky_magnification", fastcall<heyrovsky_magnification>(), FASTCALL_KEYWORDS,
     "heyrovsky_magnification(l, r, re, rstar)\n--\n\n"},
};

}  // namespace

std::span<PyMethodDef> function_table() noexcept { return table; }

}  // namespace surface
