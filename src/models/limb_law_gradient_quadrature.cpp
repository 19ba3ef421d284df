#include <limits>

#include "models/limb_law_gradient.hpp"

namespace models {

LawGradient darkened_gradient(const LimbLaw& law, double lens, double rho, std::span<double> dc) {
    constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
    for (double& d : dc) {
        d = NaN;
    }
    return LawGradient{law.magnification(lens * rho, rho), NaN, NaN};
}

}  // namespace models
