// The fitting functions: magnification and light_curve over numpy arrays,
// for a limb-darkening law given by name and coefficients.  Module
// attributes beside the classic functions, not listed in __all__.
#pragma once

#include <Python.h>

#include <span>

namespace surface {

std::span<PyMethodDef> fitting_table() noexcept;

}  // namespace surface
