// Many uniform-disc curves at once, one per pair of an Einstein radius and a
// source radius, computed on the process-wide worker pool.
#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <vector>

#include "models/model_result.hpp"

namespace models {

using Batch = std::vector<Curve>;

// Takes one finished curve: the pair's index and its values.  Called on the
// calling thread only.  Returns false to abandon the call (it could not keep
// the curve); the call then ends as interrupted.
using CurveReady = std::function<bool(std::size_t, std::span<const double>)>;

// The curve over l for every pair (re[i], rstar[j]) into out (of
// re.size() * rstar.size() * l.size() values, pair k's curve at
// k * l.size()); or the error of the lowest-indexed failing pair.  Every
// pair is evaluated, also after another has failed, and each value is that
// of the single-curve model bit for bit, whatever the pool's size.
//
// `ready` (if given) is handed every curve that completed without error,
// each once, in no particular order, some of them while later ones are still
// computed: the caller can convert finished curves while the workers compute
// the rest.  When the call succeeds, every curve has been handed over.  In a
// child forked during the call (by a signal handler or a finaliser run from
// `interrupt` or `ready`) the batch is computed again on the child's own
// pool, and curves already handed over are handed over again.
//
// `interrupt` is asked on the calling thread only; once it answers true the
// curves being computed stop early.
Outcome<Filled> multi_witt_mao_magnification_into(std::span<const double> l,
                                                  std::span<const double> re,
                                                  std::span<const double> rstar,
                                                  std::span<double> out,
                                                  const CurveReady& ready,
                                                  const Interrupt& interrupt = {});

// The same values and error, computed on the calling thread and handed to
// nobody: for batches small enough that the pool would cost more than it
// saves.
Outcome<Filled> multi_witt_mao_magnification_here(std::span<const double> l,
                                                  std::span<const double> re,
                                                  std::span<const double> rstar,
                                                  std::span<double> out,
                                                  const Interrupt& interrupt = {});

// The same as a batch of curves, at index i * rstar.size() + j.
Outcome<Batch> multi_witt_mao_magnification(const Curve& l, const Curve& re, const Curve& rstar,
                                            const Interrupt& interrupt = {});

}  // namespace models
