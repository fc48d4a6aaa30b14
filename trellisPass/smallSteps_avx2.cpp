// The four-state probability-domain steps in AVX2 registers. This unit alone
// is compiled for AVX2 (isaUnit.h) and runs only where the processor has
// it; no multiply and add are fused.
#include "smallSteps.h"

#define ZEB_UNIT_AVX2
#include "isaUnit.h"

#include <cstdlib>

namespace trellis {
namespace avx2 {

#if defined(ZEB_ISA_UNIT)

namespace {

// One chain of steps (fourStates' arguments), a step at a time; Backward:
// the backward pass's steps.
template <bool Backward>
class Chain {
public:
    explicit Chain(const ChainArgs &a)
        : emissions_(a.emissions), out_(a.out), outStride_(a.outStride), levels_(a.levels), level_(a.level),
          extra_(a.extra)
    {
        s0_ = _mm256_loadu_pd(a.scaled);
        s1_ = _mm256_loadu_pd(a.scaled + 4);
        s2_ = _mm256_loadu_pd(a.scaled + 8);
        s3_ = _mm256_loadu_pd(a.scaled + 12);
        fixed_ = Backward ? _mm256_loadu_pd(a.rowScale) : _mm256_setzero_pd();
        x_ = _mm256_loadu_pd(a.q0);
    }

    // Step k; false (nothing written) where it would leave the range.
    inline __attribute__((always_inline)) bool step(std::int64_t k)
    {
        const __m256d zero = _mm256_setzero_pd(), floor = _mm256_set1_pd(weightFloor);
        const __m256i exponentBits = _mm256_set1_epi64x(0x7FFLL << 52), twice = _mm256_set1_epi64x(2046LL << 52);
        const __m256d w = _mm256_loadu_pd(emissions_ + 4 * k);
        __m256d p = x_;
        if (Backward) {
            // p below 2^-860 from nonzero factors: in x's scale, 2^(c - 860).
            const __m256d floorC = _mm256_castsi256_pd(_mm256_set1_epi64x(static_cast<long long>(163 + c_) << 52));
            p = _mm256_mul_pd(x_, w);
            const __m256d small = _mm256_and_pd(_mm256_cmp_pd(p, floorC, _CMP_LT_OQ),
                                                _mm256_and_pd(_mm256_cmp_pd(x_, zero, _CMP_NEQ_UQ),
                                                              _mm256_cmp_pd(w, zero, _CMP_NEQ_UQ)));
            if (_mm256_movemask_pd(small))
                return false;
        }
        // s = ((0 + p0 S0) + p1 S1) + p2 S2) + p3 S3: each product >= +0, so
        // 0 + p0 S0 is p0 S0, and the chain starts there.
        __m256d s = _mm256_mul_pd(_mm256_permute4x64_pd(p, 0x00), s0_);
        s = _mm256_add_pd(s, _mm256_mul_pd(_mm256_permute4x64_pd(p, 0x55), s1_));
        s = _mm256_add_pd(s, _mm256_mul_pd(_mm256_permute4x64_pd(p, 0xAA), s2_));
        s = _mm256_add_pd(s, _mm256_mul_pd(_mm256_permute4x64_pd(p, 0xFF), s3_));
        const __m256d factor = Backward ? fixed_ : w;
        const __m256d band = _mm256_mul_pd(s, factor);
        // The chain's next x, scaled by what is known already.
        const int g = c_ + last_;
        const __m256d scaleG = _mm256_castsi256_pd(_mm256_set1_epi64x(static_cast<long long>(1023 - g) << 52));
        const __m256d ahead = _mm256_mul_pd(band, scaleG);
        // The largest one's exponent field in every lane: the largest of the
        // fields (all values >= +0, no NaN), as 32-bit integers (a field
        // lies in the upper half of its lane, the lower half is 0).
        const __m256i fields = _mm256_and_si256(_mm256_castpd_si256(band), exponentBits);
        const __m256i half = _mm256_max_epi32(fields, _mm256_permute4x64_epi64(fields, 0x4E));
        const __m256i exponent = _mm256_max_epi32(half, _mm256_shuffle_epi32(half, 0x4E));
        // This step's exponent: the largest's less c.
        const int e = (_mm_extract_epi32(_mm256_castsi256_si128(exponent), 1) >> 20) - 1023 - c_;
        // The largest below 2^-100: not done.
        if (e < scaleFloorExponent)
            return false;
        const __m256d inverse = _mm256_castsi256_pd(_mm256_sub_epi64(twice, exponent));
        const __m256d next = _mm256_mul_pd(band, inverse);
        const __m256d tiny = _mm256_and_pd(_mm256_cmp_pd(next, floor, _CMP_LT_OQ),
                                           _mm256_and_pd(_mm256_cmp_pd(s, zero, _CMP_NEQ_UQ),
                                                         _mm256_cmp_pd(factor, zero, _CMP_NEQ_UQ)));
        _mm256_storeu_pd(out_ + k * outStride_, next);
        if (_mm256_movemask_pd(tiny))
            return false;
        level_ = nextLevel(level_, levels_[k], extra_, e);
        levels_[k] = level_;
        x_ = ahead;
        c_ = e - last_;
        last_ = e;
        if (__builtin_expect(c_ < -16 || c_ > 64, 0)) {
            x_ = next;
            c_ = 0;
        }
        return true;
    }

private:
    const double *emissions_;
    double *out_;
    std::int64_t outStride_;
    double *levels_;
    double level_, extra_;
    __m256d s0_, s1_, s2_, s3_, fixed_;
    // The steps' chain carries x = q 2^c, the weights q off by a power of
    // two: its products and sums are q's own times 2^c, exactly, while c
    // lies in [-16, 64] (every nonzero product, at least 2^-1004 2^c, stays
    // a normal double), so this step's q, 2^-(its largest's exponent) times
    // its band, and every comparison are the portable steps' own. Each step
    // scales its band by 2^-(c + the last step's exponent), known before the
    // band is: finding this step's exponent is off the chain, and c becomes
    // the change of exponent from the last step to this one. Where that
    // leaves the window, the chain goes on from q itself.
    __m256d x_;
    int c_ = 0, last_ = 0;
};

template <bool Backward>
std::int64_t oneChain(const ChainArgs &a)
{
    Chain<Backward> chain(a);
    std::int64_t k = 0;
    while (k < a.count && chain.step(k))
        ++k;
    return k;
}

} // namespace

std::int64_t fourStates(bool backward, const double *scaled, const double *emissions, const double *rowScale,
                        const double *q0, double *out, std::int64_t outStride, double *levels, double level,
                        double extra, std::int64_t count)
{
    const ChainArgs a{backward, scaled, emissions, rowScale, q0, out, outStride, levels, level, extra, count};
    return backward ? oneChain<true>(a) : oneChain<false>(a);
}

void fourStatesTwo(const ChainArgs &forward, const ChainArgs &backward, std::int64_t *done)
{
    Chain<false> first(forward);
    Chain<true> second(backward);
    // Both chains a step at a time while both go on, then the one left.
    std::int64_t k = 0, both = forward.count < backward.count ? forward.count : backward.count;
    bool goesOn[2] = {true, true};
    for (; k < both; ++k) {
        goesOn[0] = first.step(k);
        goesOn[1] = second.step(k);
        if (!goesOn[0] || !goesOn[1])
            break;
    }
    done[0] = done[1] = k;
    if (k < both) {
        // One of them stopped at step k: the other has done step k too
        // where it went on.
        for (int c = 0; c < 2; ++c)
            done[c] = goesOn[c] ? k + 1 : k;
    }
    while (goesOn[0] && done[0] < forward.count && first.step(done[0]))
        ++done[0];
    while (goesOn[1] && done[1] < backward.count && second.step(done[1]))
        ++done[1];
}

#else

std::int64_t fourStates(bool, const double *, const double *, const double *, const double *, double *, std::int64_t,
                        double *, double, double, std::int64_t)
{
    std::abort(); // never chosen: only the AVX2 and AVX-512 paths call it
}

void fourStatesTwo(const ChainArgs &, const ChainArgs &, std::int64_t *)
{
    std::abort();
}

#endif

} // namespace avx2
} // namespace trellis

#include "isaUnitEnd.h"
