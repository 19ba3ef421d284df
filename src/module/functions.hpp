// The module's functions, in the order in which they are registered and
// listed in __all__.
#pragma once

#include <Python.h>

#include <span>

namespace surface {

std::span<PyMethodDef> function_table() noexcept;

}  // namespace surface
