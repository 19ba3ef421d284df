// The module's functions: bind and convert the arguments, call one model
// operation, convert its result or raise its error.
#include "module/functions.hpp"

#include <utility>
#include <vector>

#include "models/flux_map.hpp"
#include "models/heyrovsky.hpp"
#include "models/integrated.hpp"
#include "models/multi_witt_mao.hpp"
#include "models/witt_mao.hpp"
#include "module/binding.hpp"
#include "module/convert.hpp"
#include "module/errors.hpp"

namespace surface {

namespace {

constexpr const char* L_RE_RSTAR[] = {"l", "re", "rstar"};
constexpr const char* L_R_RE_RSTAR[] = {"l", "r", "re", "rstar"};
constexpr const char* L_RE_RSTAR_BL_BF[] = {"l", "re", "rstar", "bl", "bf"};

// A curve, or the model's error raised.
PyObject* curve_result(models::Outcome<models::Curve>&& outcome) {
    if (!outcome.ok()) {
        raise_model_error(outcome.error());
        return nullptr;
    }
    return list_from_curve(outcome.value());
}

// Long computations ask between elements whether a signal is pending; the
// pending signal's handler (Ctrl-C's raises KeyboardInterrupt) then decides,
// and its exception ends the call.
const runtime::Interrupt& pending_signals() {
    static const runtime::Interrupt poll = [] { return PyErr_CheckSignals() < 0; };
    return poll;
}

// A function of (l, re, rstar) returning a curve.
template <auto Model>
PyObject* curve_of_l_re_rstar(const Signature& signature, PyObject* const* args,
                              Py_ssize_t nargsf, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments a(signature);
        std::vector<double> l;
        double re, rstar;
        if (!a.bind(args, nargsf, kwnames) || !a.sequence(l) || !a.number(re) ||
            !a.number(rstar)) {
            return nullptr;
        }
        return curve_result(Model(std::move(l), re, rstar, pending_signals()));
    });
}

// A function of (l, re, rstar, bl, bf) returning a curve; the two columns of
// the flux map must have one length.
template <auto Model>
PyObject* curve_of_flux_map(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf,
                            PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments a(signature);
        std::vector<double> l, bl, bf;
        double re, rstar;
        if (!a.bind(args, nargsf, kwnames) || !a.sequence(l) || !a.number(re) ||
            !a.number(rstar) || !a.sequence(bl) || !a.sequence(bf)) {
            return nullptr;
        }
        if (bl.size() != bf.size()) {
            PyErr_Format(PyExc_ValueError,
                         "%s(): bl and bf must have the same length, but bl has %zu elements "
                         "and bf has %zu",
                         signature.name, bl.size(), bf.size());
            return nullptr;
        }
        return curve_result(
            Model(std::move(l), re, rstar, std::move(bl), std::move(bf), pending_signals()));
    });
}

PyObject* witt_mao_magnification(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                 PyObject* kwnames) {
    static constexpr Signature signature{"witt_mao_magnification", 3, L_RE_RSTAR};
    return curve_of_l_re_rstar<models::witt_mao_magnification>(signature, args, nargsf, kwnames);
}

PyObject* integrated_witt_mao_magnification(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                            PyObject* kwnames) {
    static constexpr Signature signature{"integrated_witt_mao_magnification", 3, L_RE_RSTAR};
    return curve_of_l_re_rstar<models::integrated_witt_mao_magnification>(signature, args,
                                                                          nargsf, kwnames);
}

PyObject* integrated_heyrovsky_magnification(PyObject*, PyObject* const* args,
                                             Py_ssize_t nargsf, PyObject* kwnames) {
    static constexpr Signature signature{"integrated_heyrovsky_magnification", 3, L_RE_RSTAR};
    return curve_of_l_re_rstar<models::integrated_heyrovsky_magnification>(signature, args,
                                                                           nargsf, kwnames);
}

PyObject* integrated_flux_map_witt_mao_magnification(PyObject*, PyObject* const* args,
                                                     Py_ssize_t nargsf, PyObject* kwnames) {
    static constexpr Signature signature{"integrated_flux_map_witt_mao_magnification", 5,
                                         L_RE_RSTAR_BL_BF};
    return curve_of_flux_map<models::integrated_flux_map_witt_mao_magnification>(
        signature, args, nargsf, kwnames);
}

PyObject* integrated_flux_map_heyrovsky_magnification(PyObject*, PyObject* const* args,
                                                      Py_ssize_t nargsf, PyObject* kwnames) {
    static constexpr Signature signature{"integrated_flux_map_heyrovsky_magnification", 5,
                                         L_RE_RSTAR_BL_BF};
    return curve_of_flux_map<models::integrated_flux_map_heyrovsky_magnification>(
        signature, args, nargsf, kwnames);
}

PyObject* discrete_flux_map_heyrovsky_magnification(PyObject*, PyObject* const* args,
                                                    Py_ssize_t nargsf, PyObject* kwnames) {
    static constexpr Signature signature{"discrete_flux_map_heyrovsky_magnification", 5,
                                         L_RE_RSTAR_BL_BF};
    return curve_of_flux_map<models::discrete_flux_map_heyrovsky_magnification>(
        signature, args, nargsf, kwnames);
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
        const auto outcome = models::multi_witt_mao_magnification(l, re, rstar, pending_signals());
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
    {"integrated_witt_mao_magnification", fastcall<integrated_witt_mao_magnification>(),
     FASTCALL_KEYWORDS, "integrated_witt_mao_magnification(l, re, rstar)\n--\n\n"},
    {"integrated_flux_map_witt_mao_magnification",
     fastcall<integrated_flux_map_witt_mao_magnification>(), FASTCALL_KEYWORDS,
     "integrated_flux_map_witt_mao_magnification(l, re, rstar, bl, bf)\n--\n\n"},
    {"multi_witt_mao_magnification", fastcall<multi_witt_mao_magnification>(), FASTCALL_KEYWORDS,
     "multi_witt_mao_magnification(l, re, rstar)\n--\n\n"},
    {"heyrovsky_magnification", fastcall<heyrovsky_magnification>(), FASTCALL_KEYWORDS,
     "heyrovsky_magnification(l, r, re, rstar)\n--\n\n"},
    {"integrated_heyrovsky_magnification", fastcall<integrated_heyrovsky_magnification>(),
     FASTCALL_KEYWORDS, "integrated_heyrovsky_magnification(l, re, rstar)\n--\n\n"},
    {"integrated_flux_map_heyrovsky_magnification",
     fastcall<integrated_flux_map_heyrovsky_magnification>(), FASTCALL_KEYWORDS,
     "integrated_flux_map_heyrovsky_magnification(l, re, rstar, bl, bf)\n--\n\n"},
    {"discrete_flux_map_heyrovsky_magnification",
     fastcall<discrete_flux_map_heyrovsky_magnification>(), FASTCALL_KEYWORDS,
     "discrete_flux_map_heyrovsky_magnification(l, re, rstar, bl, bf)\n--\n\n"},
};

}  // namespace

std::span<PyMethodDef> function_table() noexcept { return table; }

}  // namespace surface
