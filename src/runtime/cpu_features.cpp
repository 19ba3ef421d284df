#include "runtime/cpu_features.hpp"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace runtime {

bool simd_supported(SimdLevel level) noexcept {
    switch (level) {
        case SimdLevel::baseline:
            return true;
#if defined(__x86_64__) && defined(__GNUC__)
        // libgcc's cpuid model also checks (xgetbv) that the operating system
        // saves the ymm and zmm registers.
        case SimdLevel::avx2:
            __builtin_cpu_init();  // idempotent; needed if asked before constructors ran
            return __builtin_cpu_supports("avx2");
        case SimdLevel::avx512:
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("avx512f");
#endif
        default:
            return false;
    }
}

const char* simd_name(SimdLevel level) noexcept {
    switch (level) {
        case SimdLevel::avx2:
            return "avx2";
        case SimdLevel::avx512:
            return "avx512";
        default:
            return "baseline";
    }
}

namespace {

SimdLevel detect() noexcept {
    SimdLevel level = SimdLevel::baseline;
    for (SimdLevel wider : {SimdLevel::avx2, SimdLevel::avx512}) {
        if (simd_supported(wider)) {
            level = wider;
        }
    }
    const char* wanted = std::getenv("CAUSTRIX_SIMD");
    if (wanted != nullptr) {
        for (SimdLevel cap : {SimdLevel::baseline, SimdLevel::avx2, SimdLevel::avx512}) {
            if (std::strcmp(wanted, simd_name(cap)) == 0 && cap < level) {
                level = cap;
            }
        }
    }
    return level;
}

}  // namespace

SimdLevel simd_level() noexcept {
    // A function-local static: detected once, safely across threads.
    static const SimdLevel level = detect();
    return level;
}

}  // namespace runtime
