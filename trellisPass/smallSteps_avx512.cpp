// The probability-domain steps' per-step work for up to sixteen states in
// AVX-512 registers. This unit alone is compiled for AVX-512F (isaUnit.h)
// and runs only where the processor has it; no multiply and add are fused,
// and every value is the portable steps' own.
#include "smallSteps.h"

#define ZEB_UNIT_AVX512
#include "isaUnit.h"

#include "addexp.h"
#include "expLog.h"

#include <cstdlib>

namespace trellis {
namespace avx512 {

#if defined(ZEB_ISA_UNIT)

namespace {

// The lanes of a register that hold states from..from+7 of n.
inline __mmask8 lanesOf(std::int64_t n, std::int64_t from)
{
    const std::int64_t k = n - from;
    return static_cast<__mmask8>(k >= 8 ? 0xFFu : k > 0 ? (1u << k) - 1u : 0u);
}

// Where the states from 8 on of a row at p lie: p + 8 where the row has
// them, p itself (read through no lane) where it does not.
inline const double *upper(const double *p, std::int64_t n)
{
    return n > 8 ? p + 8 : p;
}
inline double *upper(double *p, std::int64_t n)
{
    return n > 8 ? p + 8 : p;
}

// Two rows of up to four states in one register: a's in lanes 0-3, b's in
// lanes 4-7 (the `lanes` of each; +0 in the others).
inline __m512d twoRows(const double *a, const double *b, __mmask8 lanes)
{
    return _mm512_insertf64x4(_mm512_maskz_loadu_pd(lanes, a),
                              _mm512_castpd512_pd256(_mm512_maskz_loadu_pd(lanes, b)), 1);
}

} // namespace

std::int64_t emissionWeights(const double *b, std::int64_t stride, const double *add, std::int64_t n,
                             std::int64_t count, double *w, double *tops)
{
    const __mmask8 first = lanesOf(n, 0), second = lanesOf(n, 8);
    const __m512d inf = _mm512_set1_pd(__builtin_inf()), minusInf = _mm512_set1_pd(-__builtin_inf());
    const __m512d zero = _mm512_setzero_pd(), limit = _mm512_set1_pd(-emissionSpread);
    const __m512d add0 = add ? _mm512_maskz_loadu_pd(first, add) : zero;
    const __m512d add1 = add ? _mm512_maskz_loadu_pd(second, upper(add, n)) : zero;
    std::int64_t k = 0;
    if (n <= 4) {
        // Two steps to a register: step k in lanes 0-3, step k + 1 in 4-7.
        const __mmask8 both = static_cast<__mmask8>(first | (first << 4));
        const __m512d addBoth = add ? twoRows(add, add, first) : zero;
        for (; k + 2 <= count; k += 2) {
            __m512d v = twoRows(b + k * stride, b + (k + 1) * stride, first);
            if (add)
                v = _mm512_add_pd(v, addBoth);
            const unsigned bad =
                _mm512_mask_cmp_pd_mask(both, v, v, _CMP_UNORD_Q) | _mm512_mask_cmp_pd_mask(both, v, inf, _CMP_EQ_OQ);
            // Each step's largest in each of its lanes.
            const __m512d top = _mm512_mask_mov_pd(minusInf, both, v);
            const __m512d pairs = _mm512_max_pd(top, _mm512_permutex_pd(top, 0x4E));
            const __m512d m = _mm512_max_pd(pairs, _mm512_permutex_pd(pairs, 0xB1));
            const __m512d weights = _mm512_sub_pd(v, m);
            const unsigned far = _mm512_mask_cmp_pd_mask(both, weights, minusInf, _CMP_GT_OQ) &
                                 _mm512_mask_cmp_pd_mask(both, weights, limit, _CMP_LT_OQ);
            // (m: no NaN; -Inf where a step has no finite value.)
            const unsigned dead = (_mm512_cmp_pd_mask(m, _mm512_set1_pd(-overflowGuard), _CMP_LE_OQ) |
                                   _mm512_cmp_pd_mask(m, _mm512_set1_pd(overflowGuard), _CMP_GE_OQ)) &
                                  0x11u;
            const unsigned stop = bad | far | dead;
            if (stop & 0x0Fu)
                return k;
            _mm512_mask_storeu_pd(w + k * n, first, weights);
            tops[k] = _mm512_cvtsd_f64(m);
            if (stop)
                return k + 1;
            _mm512_mask_storeu_pd(w + (k + 1) * n, first, _mm512_shuffle_f64x2(weights, weights, 0x4E));
            tops[k + 1] = _mm256_cvtsd_f64(_mm512_extractf64x4_pd(m, 1));
        }
    }
    for (; k < count; ++k) {
        const double *row = b + k * stride;
        __m512d v0 = _mm512_maskz_loadu_pd(first, row), v1 = _mm512_maskz_loadu_pd(second, upper(row, n));
        if (add) {
            v0 = _mm512_add_pd(v0, add0);
            v1 = _mm512_add_pd(v1, add1);
        }
        // NaN or +Inf anywhere: the step is not done.
        const unsigned bad = (_mm512_mask_cmp_pd_mask(first, v0, v0, _CMP_UNORD_Q) |
                              _mm512_mask_cmp_pd_mask(first, v0, inf, _CMP_EQ_OQ) |
                              _mm512_mask_cmp_pd_mask(second, v1, v1, _CMP_UNORD_Q) |
                              _mm512_mask_cmp_pd_mask(second, v1, inf, _CMP_EQ_OQ));
        if (bad)
            break;
        // The largest value (no NaN here: any order finds it, but for the
        // sign of a zero).
        const __m512d top =
            _mm512_max_pd(_mm512_mask_mov_pd(minusInf, first, v0), _mm512_mask_mov_pd(minusInf, second, v1));
        const __m256d half = _mm256_max_pd(_mm512_castpd512_pd256(top), _mm512_extractf64x4_pd(top, 1));
        const __m128d quarter = _mm_max_pd(_mm256_castpd256_pd128(half), _mm256_extractf128_pd(half, 1));
        const double most = _mm_cvtsd_f64(_mm_max_sd(quarter, _mm_unpackhi_pd(quarter, quarter)));
        if (!withinGuard(most))
            break;
        double *out = w + k * n;
        const __m512d m = _mm512_set1_pd(most);
        const __m512d w0 = _mm512_sub_pd(v0, m), w1 = _mm512_sub_pd(v1, m);
        // A finite weight below -600: not done either.
        const unsigned far = (_mm512_mask_cmp_pd_mask(first, w0, minusInf, _CMP_GT_OQ) &
                              _mm512_mask_cmp_pd_mask(first, w0, limit, _CMP_LT_OQ)) |
                             (_mm512_mask_cmp_pd_mask(second, w1, minusInf, _CMP_GT_OQ) &
                              _mm512_mask_cmp_pd_mask(second, w1, limit, _CMP_LT_OQ));
        if (far)
            break;
        _mm512_mask_storeu_pd(out, first, w0);
        _mm512_mask_storeu_pd(upper(out, n), second, w1);
        tops[k] = most;
    }
    return k;
}

std::int64_t upToSixteen(bool backward, const double *scaled, std::int64_t n, const double *emissions,
                         const double *rowScale, const double *q0, double *out, std::int64_t outStride,
                         double *levels, double level, double extra, std::int64_t count)
{
    const __mmask8 first = lanesOf(n, 0), second = lanesOf(n, 8);
    const std::int64_t low = n < 8 ? n : 8;
    const __m512d zero = _mm512_setzero_pd(), floor = _mm512_set1_pd(weightFloor);
    const __m512i exponentBits = _mm512_set1_epi64(0x7FFLL << 52), twice = _mm512_set1_epi64(2046LL << 52);
    const __m512d fixed0 = backward ? _mm512_maskz_loadu_pd(first, rowScale) : zero;
    const __m512d fixed1 = backward ? _mm512_maskz_loadu_pd(second, upper(rowScale, n)) : zero;
    __m512d q0a = _mm512_maskz_loadu_pd(first, q0), q0b = _mm512_maskz_loadu_pd(second, upper(q0, n));
    // Lanes beyond n stay +0 throughout: their products are 0 S = 0.
    const auto nonzero = [&](__mmask8 lanes, __m512d a, __m512d b) {
        return _mm512_mask_cmp_pd_mask(_mm512_mask_cmp_pd_mask(lanes, a, zero, _CMP_NEQ_UQ), b, zero, _CMP_NEQ_UQ);
    };
    std::int64_t k = 0;
    for (; k < count; ++k) {
        const double *em = emissions + k * n;
        const __m512d wa = _mm512_maskz_loadu_pd(first, em), wb = _mm512_maskz_loadu_pd(second, upper(em, n));
        __m512d pa = q0a, pb = q0b;
        if (backward) {
            pa = _mm512_mul_pd(q0a, wa);
            pb = _mm512_mul_pd(q0b, wb);
            const unsigned small = (_mm512_mask_cmp_pd_mask(nonzero(first, q0a, wa), pa, floor, _CMP_LT_OQ) |
                                    _mm512_mask_cmp_pd_mask(nonzero(second, q0b, wb), pb, floor, _CMP_LT_OQ));
            if (small)
                break;
        }
        // s(j) = sum_i p(i) S(i, j), i in order from 0 (each product >= +0,
        // so 0 + p(0) S(0, j) is p(0) S(0, j), where the sum starts).
        const __m512d p0 = _mm512_permutexvar_pd(_mm512_setzero_si512(), pa);
        __m512d sa = _mm512_mul_pd(p0, _mm512_maskz_loadu_pd(first, scaled));
        __m512d sb = _mm512_mul_pd(p0, _mm512_maskz_loadu_pd(second, upper(scaled, n)));
        for (std::int64_t i = 1; i < low; ++i) {
            const __m512d p = _mm512_permutexvar_pd(_mm512_set1_epi64(i), pa);
            sa = _mm512_add_pd(sa, _mm512_mul_pd(p, _mm512_maskz_loadu_pd(first, scaled + i * n)));
            sb = _mm512_add_pd(sb, _mm512_mul_pd(p, _mm512_maskz_loadu_pd(second, upper(scaled + i * n, n))));
        }
        for (std::int64_t i = 8; i < n; ++i) {
            const __m512d p = _mm512_permutexvar_pd(_mm512_set1_epi64(i - 8), pb);
            sa = _mm512_add_pd(sa, _mm512_mul_pd(p, _mm512_maskz_loadu_pd(first, scaled + i * n)));
            sb = _mm512_add_pd(sb, _mm512_mul_pd(p, _mm512_maskz_loadu_pd(second, scaled + i * n + 8)));
        }
        const __m512d fa = backward ? fixed0 : wa, fb = backward ? fixed1 : wb;
        const __m512d ba = _mm512_mul_pd(sa, fa), bb = _mm512_mul_pd(sb, fb);
        // The largest one's exponent field in every lane: the largest of the
        // fields (all values >= +0, no NaN), as integers.
        const __m512i fields = _mm512_and_si512(
            _mm512_max_epu64(_mm512_castpd_si512(ba), _mm512_castpd_si512(bb)), exponentBits);
        const __m512i half = _mm512_max_epu64(fields, _mm512_shuffle_i64x2(fields, fields, 0x4E));
        const __m512i quarter = _mm512_max_epu64(half, _mm512_shuffle_i64x2(half, half, 0xB1));
        const __m512i exponent = _mm512_max_epu64(quarter, _mm512_shuffle_epi32(quarter, _MM_PERM_BADC));
        // The largest below 2^-100 (its field below 923): not done.
        const int field = _mm_cvtsi128_si32(_mm_srli_si128(_mm512_castsi512_si128(exponent), 4)) >> 20;
        if (field < 1023 + scaleFloorExponent)
            break;
        const __m512d inverse = _mm512_castsi512_pd(_mm512_sub_epi64(twice, exponent));
        const __m512d na = _mm512_mul_pd(ba, inverse), nb = _mm512_mul_pd(bb, inverse);
        const unsigned tiny = (_mm512_mask_cmp_pd_mask(nonzero(first, sa, fa), na, floor, _CMP_LT_OQ) |
                               _mm512_mask_cmp_pd_mask(nonzero(second, sb, fb), nb, floor, _CMP_LT_OQ));
        _mm512_mask_storeu_pd(out + k * outStride, first, na);
        _mm512_mask_storeu_pd(upper(out + k * outStride, n), second, nb);
        if (tiny)
            break;
        level = nextLevel(level, levels[k], extra, field - 1023);
        levels[k] = level;
        q0a = na;
        q0b = nb;
    }
    return k;
}

void fourStateLogs(double *rows, std::int64_t count, const double *levels, std::int64_t levelStride)
{
    using V = numerics::Avx512;
    const __m512d nan = _mm512_set1_pd(kernel::theNaN), one = _mm512_set1_pd(1.0);
    std::int64_t r = 0;
    for (; r + 2 <= count; r += 2) {
        const __m512d level = _mm512_insertf64x4(_mm512_set1_pd(levels[r * levelStride]),
                                                 _mm256_set1_pd(levels[(r + 1) * levelStride]), 1);
        const __m512d y = _mm512_add_pd(level, numerics::log<V>(_mm512_loadu_pd(rows + 4 * r)));
        _mm512_storeu_pd(rows + 4 * r, _mm512_mask_blend_pd(_mm512_cmp_pd_mask(y, y, _CMP_UNORD_Q), y, nan));
    }
    if (r < count) {
        // The last row alone, the other lanes 1 (log 1 = 0 takes the
        // ordinary steps) and dropped.
        const __m512d level = _mm512_set1_pd(levels[r * levelStride]);
        const __m512d y = _mm512_add_pd(level, numerics::log<V>(_mm512_mask_loadu_pd(one, 0x0F, rows + 4 * r)));
        _mm512_mask_storeu_pd(rows + 4 * r, 0x0F, _mm512_mask_blend_pd(_mm512_cmp_pd_mask(y, y, _CMP_UNORD_Q), y, nan));
    }
}

#else

std::int64_t emissionWeights(const double *, std::int64_t, const double *, std::int64_t, std::int64_t, double *,
                             double *)
{
    std::abort(); // never chosen: only the AVX-512 path calls it
}

std::int64_t upToSixteen(bool, const double *, std::int64_t, const double *, const double *, const double *, double *,
                         std::int64_t, double *, double, double, std::int64_t)
{
    std::abort();
}

void fourStateLogs(double *, std::int64_t, const double *, std::int64_t)
{
    std::abort();
}

#endif

} // namespace avx512
} // namespace trellis

#include "isaUnitEnd.h"
