// The module's public functions, one row each, in the order in which they are
// registered and listed in __all__.  A row names the function, the shape of
// its result, the model operation it calls and its parameters with what each
// is converted into; the wrapper, the text signature and the method record
// are made from it (module/descriptor.hpp).
#include "module/functions.hpp"

#include <array>
#include <tuple>

#include "models/flux_map.hpp"
#include "models/heyrovsky.hpp"
#include "models/integrated.hpp"
#include "models/witt_mao.hpp"
#include "module/convert.hpp"
#include "module/descriptor.hpp"

namespace surface {

namespace {

constexpr std::tuple FUNCTIONS{
    Function{"witt_mao_magnification", Shape::curve, witt_mao_list,
             sequence("l"), number("re"), number("rstar")},
    Function{"integrated_witt_mao_magnification", Shape::curve,
             models::integrated_witt_mao_magnification,
             sequence("l"), number("re"), number("rstar")},
    Function{"integrated_flux_map_witt_mao_magnification", Shape::curve,
             models::integrated_flux_map_witt_mao_magnification,
             sequence("l"), number("re"), number("rstar"), sequence("bl"), sequence("bf")}
        .with_same_length("bl", "bf"),
    Function{"multi_witt_mao_magnification", Shape::batch, multi_witt_mao_lists,
             sequence("l"), sequence("re"), sequence("rstar")}
        .with_shortcut(small_multi_witt_mao_lists),
    Function{"heyrovsky_magnification", Shape::real, models::heyrovsky_magnification,
             number("l"), number("r"), number("re"), number("rstar")},
    Function{"integrated_heyrovsky_magnification", Shape::curve,
             models::integrated_heyrovsky_magnification,
             sequence("l"), number("re"), number("rstar")},
    Function{"integrated_flux_map_heyrovsky_magnification", Shape::curve,
             models::integrated_flux_map_heyrovsky_magnification,
             sequence("l"), number("re"), number("rstar"), sequence("bl"), sequence("bf")}
        .with_same_length("bl", "bf"),
    Function{"discrete_flux_map_heyrovsky_magnification", Shape::curve,
             models::discrete_flux_map_heyrovsky_magnification,
             sequence("l"), number("re"), number("rstar"), sequence("bl"), sequence("bf")}
        .with_same_length("bl", "bf"),
};

auto table = method_table<FUNCTIONS>();

}  // namespace

std::span<PyMethodDef> function_table() noexcept { return table; }

}  // namespace surface
