// Many uniform-disc curves at once, one per pair of an Einstein radius and a
// source radius, computed on the process-wide worker pool.
#pragma once

#include <vector>

#include "models/model_result.hpp"

namespace models {

using Batch = std::vector<Curve>;

// The curve over l for every pair (re[i], rstar[j]), at index
// i * rstar.size() + j; or the error of the lowest-indexed failing pair.
// `interrupt` is asked on the calling thread only, while it waits; once it
// answers true the curves being computed stop early.  A child forked during
// the call (by a signal handler) computes the batch again on its own pool.
Outcome<Batch> multi_witt_mao_magnification(const Curve& l, const Curve& re, const Curve& rstar,
                                            const Interrupt& interrupt = {});

}  // namespace models
