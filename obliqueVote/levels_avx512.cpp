// The AVX-512 split of a node's rows. This unit alone is compiled for
// AVX-512F (isaUnit.h), and runs only where the processor has it.
#include "levels.h"

#define ZEB_UNIT_AVX512
#include "isaUnit.h"

#include <cstdlib>

namespace oblique {
namespace avx512 {

#if defined(ZEB_ISA_UNIT)

int split(const double *w, const double *const *columns, std::int64_t d, double threshold, const std::int32_t *ids,
          int count, std::int32_t *to)
{
    const __m512d zero = _mm512_setzero_pd(), limit = _mm512_set1_pd(threshold);
    int front = 0, back = count;
    for (int q = 0; q < count; q += 8) {
        const int lanes = count - q < 8 ? count - q : 8;
        const __mmask16 used = static_cast<__mmask16>((1u << lanes) - 1u);
        const __m512i rows = _mm512_maskz_loadu_epi32(used, ids + q);
        const __m256i index = _mm512_castsi512_si256(rows);
        __m512d s = zero;
        for (std::int64_t j = 0; j < d; ++j) {
            const __m512d x = _mm512_mask_i32gather_pd(zero, static_cast<__mmask8>(used), index, columns[j], 8);
            s = _mm512_add_pd(s, _mm512_mul_pd(_mm512_set1_pd(w[j]), x));
        }
        // NaN compares false: the first child.
        const unsigned second = _mm512_cmp_pd_mask(_mm512_sub_pd(s, limit), zero, _CMP_GE_OQ) & used;
        const unsigned first = ~second & used;
        const int toFirst = __builtin_popcount(first), toSecond = lanes - toFirst;
        _mm512_mask_storeu_epi32(to + front, static_cast<__mmask16>((1u << toFirst) - 1u),
                                 _mm512_maskz_compress_epi32(static_cast<__mmask16>(first), rows));
        _mm512_mask_storeu_epi32(to + back - toSecond, static_cast<__mmask16>((1u << toSecond) - 1u),
                                 _mm512_maskz_compress_epi32(static_cast<__mmask16>(second), rows));
        front += toFirst;
        back -= toSecond;
    }
    return front;
}

#else

int split(const double *, const double *const *, std::int64_t, double, const std::int32_t *, int, std::int32_t *)
{
    std::abort(); // never chosen: the processor check does not offer this width here
}

#endif

} // namespace avx512
} // namespace oblique

#include "isaUnitEnd.h"
