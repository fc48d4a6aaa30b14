// The four-state probability-domain steps in AVX2 registers. This unit alone
// is compiled for AVX2 (by the pragma below) and runs only where the
// processor has it; no multiply and add are fused.
#include "smallSteps.h"

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define ZEB_SMALL_STEPS_UNIT 1
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC target("avx2")
#endif
#include <immintrin.h>
#endif

#include <cstdlib>

namespace trellis {
namespace avx2 {

#if defined(ZEB_SMALL_STEPS_UNIT)

std::int64_t fourStates(bool backward, const double *scaled, const double *emissions, const double *rowScale,
                        const double *q0, double *out, std::int64_t outStride, double *scales, std::int64_t count)
{
    const __m256d s0 = _mm256_loadu_pd(scaled), s1 = _mm256_loadu_pd(scaled + 4);
    const __m256d s2 = _mm256_loadu_pd(scaled + 8), s3 = _mm256_loadu_pd(scaled + 12);
    const __m256d zero = _mm256_setzero_pd(), floor = _mm256_set1_pd(0x1p-860);
    const __m256i exponentBits = _mm256_set1_epi64x(0x7FFLL << 52), twice = _mm256_set1_epi64x(2046LL << 52);
    const __m256d fixed = backward ? _mm256_loadu_pd(rowScale) : zero;
    __m256d q = _mm256_loadu_pd(q0);
    std::int64_t k = 0;
    for (; k < count; ++k) {
        const __m256d w = _mm256_loadu_pd(emissions + 4 * k);
        __m256d p = q;
        if (backward) {
            p = _mm256_mul_pd(q, w);
            const __m256d small = _mm256_and_pd(_mm256_cmp_pd(p, floor, _CMP_LT_OQ),
                                                _mm256_and_pd(_mm256_cmp_pd(q, zero, _CMP_NEQ_UQ),
                                                              _mm256_cmp_pd(w, zero, _CMP_NEQ_UQ)));
            if (_mm256_movemask_pd(small))
                break;
        }
        // s = ((0 + p0 S0) + p1 S1) + p2 S2) + p3 S3: each product >= +0, so
        // 0 + p0 S0 is p0 S0, and the chain starts there.
        __m256d s = _mm256_mul_pd(_mm256_permute4x64_pd(p, 0x00), s0);
        s = _mm256_add_pd(s, _mm256_mul_pd(_mm256_permute4x64_pd(p, 0x55), s1));
        s = _mm256_add_pd(s, _mm256_mul_pd(_mm256_permute4x64_pd(p, 0xAA), s2));
        s = _mm256_add_pd(s, _mm256_mul_pd(_mm256_permute4x64_pd(p, 0xFF), s3));
        const __m256d factor = backward ? fixed : w;
        const __m256d band = _mm256_mul_pd(s, factor);
        // The largest one's exponent field in every lane: the largest of the
        // fields (all values >= +0, no NaN), as 32-bit integers (a field
        // lies in the upper half of its lane, the lower half is 0).
        const __m256i fields = _mm256_and_si256(_mm256_castpd_si256(band), exponentBits);
        const __m256i half = _mm256_max_epi32(fields, _mm256_permute4x64_epi64(fields, 0x4E));
        const __m256i exponent = _mm256_max_epi32(half, _mm256_shuffle_epi32(half, 0x4E));
        // The largest below 2^-100 (its field below 923): not done.
        if (_mm_extract_epi32(_mm256_castsi256_si128(exponent), 1) < (923 << 20))
            break;
        const __m256d inverse = _mm256_castsi256_pd(_mm256_sub_epi64(twice, exponent));
        const __m256d next = _mm256_mul_pd(band, inverse);
        const __m256d tiny = _mm256_and_pd(_mm256_cmp_pd(next, floor, _CMP_LT_OQ),
                                           _mm256_and_pd(_mm256_cmp_pd(s, zero, _CMP_NEQ_UQ),
                                                         _mm256_cmp_pd(factor, zero, _CMP_NEQ_UQ)));
        _mm256_storeu_pd(out + k * outStride, next);
        if (_mm256_movemask_pd(tiny))
            break;
        scales[k] = _mm256_cvtsd_f64(_mm256_castsi256_pd(exponent));
        q = next;
    }
    return k;
}

#else

std::int64_t fourStates(bool, const double *, const double *, const double *, const double *, double *, std::int64_t,
                        double *, std::int64_t)
{
    std::abort(); // never chosen: only the AVX2 and AVX-512 paths call it
}

#endif

} // namespace avx2
} // namespace trellis

#if defined(ZEB_SMALL_STEPS_UNIT) && defined(__clang__)
#pragma clang attribute pop
#endif
