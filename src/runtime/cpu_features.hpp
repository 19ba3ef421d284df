// The vector instruction sets this processor offers, detected once.
#pragma once

namespace runtime {

// Widths of the vector code, narrowest first: the baseline is plain x86-64
// (or any other processor), avx2 four doubles a lane group, avx512 eight.
enum class SimdLevel { baseline = 0, avx2 = 1, avx512 = 2 };

// Whether the processor (and the operating system, which must save the wide
// registers) supports `level`.
[[nodiscard]] bool simd_supported(SimdLevel level) noexcept;

// The level the vectorised code runs at: the widest supported one that pays,
// lowered (never raised) by the environment variable CAUSTRIX_SIMD
// ("baseline", "avx2" or "avx512"), which is read once, on first use, so that
// a run can be compared against a narrower path.
[[nodiscard]] SimdLevel simd_level() noexcept;

// The name of a level, as CAUSTRIX_SIMD spells it.
[[nodiscard]] const char* simd_name(SimdLevel level) noexcept;

}  // namespace runtime
