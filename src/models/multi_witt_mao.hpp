// Many uniform-disc curves at once, one per pair of an Einstein radius and a
// source radius, computed on the process-wide worker pool.
#pragma once

#include <vector>

#include "models/model_result.hpp"

namespace models {

using Batch = std::vector<Curve>;

// The curve over l for every pair (re[i], rstar[j]), at index
// i * rstar.size() + j; or the error of the lowest-indexed failing pair.
// `interrupt` is asked on the calling thread only, while it waits.
Outcome<Batch> multi_witt_mao_magnification(const Curve& l, const Curve& re, const Curve& rstar,
                                            const Interrupt& interrupt = {});

}  // namespace models
