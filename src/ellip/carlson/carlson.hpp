// Carlson's symmetric elliptic integrals RF, RC, RD, RJ and RG.
//
// B. C. Carlson, "Numerical computation of real or complex elliptic
// integrals", Numer. Algorithms 10 (1995) 13-26; DLMF 19.16, 19.20 and 19.36.
// Each operation returns either its value or one of its static error texts.
#pragma once

#include "ellip/result.hpp"

namespace ellip::carlson {

// RF(x, y, z) = 1/2 int_0^inf [(t+x)(t+y)(t+z)]^(-1/2) dt.
Result elliprf(double x, double y, double z) noexcept;

// RC(x, y) = RF(x, y, y); the Cauchy principal value for y < 0.
Result elliprc(double x, double y) noexcept;

// RD(x, y, z) = RJ(x, y, z, z).
Result elliprd(double x, double y, double z) noexcept;

// RJ(x, y, z, p) = 3/2 int_0^inf (t+p)^(-1) [(t+x)(t+y)(t+z)]^(-1/2) dt, any p != 0.
Result elliprj(double x, double y, double z, double p) noexcept;

// RJ for p > 0 (or a NaN p), once elliprj has tested the arguments.
Result _elliprj(double x, double y, double z, double p) noexcept;

// RG(x, y, z) = 1/4 int_0^inf [(t+x)(t+y)(t+z)]^(-1/2) (x/(t+x) + y/(t+y) + z/(t+z)) t dt.
Result elliprg(double x, double y, double z) noexcept;

}  // namespace ellip::carlson
