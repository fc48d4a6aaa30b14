// The project's own natural exponential and logarithm, written once as
// templates over a register type V (one double, two in SSE2, four in AVX2).
// Every operation is an IEEE add, subtract, multiply or divide rounded to
// double, a comparison, a bit operation or a table read, never a fused
// multiply-add, so every register width, build and processor returns the
// same bits for the same argument.
//
// exp: x = k ln2/16 + r with |r| <= ln2/32, k = 16 e + j;
//      exp(x) = 2^e 2^(j/16) (1 + p(r)), 2^(j/16) as a pair of doubles and
//      p the Taylor polynomial of exp(r) - 1 to r^7 (truncation < 2^-59).
// log: x = 2^e c (1 + r), c = k/128 nearest to x's mantissa taken in
//      [sqrt(1/2), sqrt(2)), r = (m - c)/c with |r| <= 1/181 (formed by
//      multiplying by a tabulated 1/c and correcting with the exact remainder);
//      log(x) = e ln2 + ln(c) + log1p(r), ln2 and ln(c) as pairs of doubles
//      and log1p its Taylor polynomial to r^10; the large parts are added
//      with their rounding errors kept (two-sum), so the result is rounded
//      once at the end.
#ifndef ZEB_KERNEL_EXP_LOG_H
#define ZEB_KERNEL_EXP_LOG_H

#include "expLogTables.h"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__aarch64__)
#include <arm_neon.h>
#endif
// AVX2 and AVX-512 registers only in the units compiled for them
// (addexp_avx2.cpp, addexp_avx512.cpp).
#if defined(__AVX2__) || defined(ZEB_AVX2_UNIT) || defined(ZEB_AVX512_UNIT)
#define ZEB_HAVE_AVX2 1
#include <immintrin.h>
#endif
#if defined(ZEB_AVX512_UNIT)
#define ZEB_HAVE_AVX512 1
#endif

namespace numerics {
// Each translation unit gets its own copy (internal linkage): the AVX2 one is
// compiled for AVX2, and must never stand in for another unit's copy.
namespace {

// One double at a time: the reference every wider path must equal.
struct Scalar {
    using D = double;
    using U = std::uint64_t;
    static constexpr int lanes = 1;
    static D load(const double *p) { return *p; }
    // The first `count` (1 .. lanes) doubles at p, `fill`'s lanes in the
    // others; nothing beyond them is read.
    static D loadFirst(const double *p, int, D) { return *p; }
    // base[index[l]] in lane l.
    static D gather(const double *base, const std::int32_t *index) { return base[index[0]]; }
    static void store(double *p, D v) { *p = v; }
    static D splat(double v) { return v; }
    static D strided(const double *p, std::int64_t) { return *p; }
    static void spill(D v, double *out) { out[0] = v; }
    static D add(D a, D b) { return a + b; }
    static D sub(D a, D b) { return a - b; }
    static D mul(D a, D b) { return a * b; }
    static D div(D a, D b) { return a / b; }
    // The SIMD minimum and maximum: the second operand unless the first is
    // strictly smaller (larger), so a NaN in either gives the second.
    static D min(D a, D b) { return a < b ? a : b; }
    static D max(D a, D b) { return a > b ? a : b; }
    // Masks: one flag per lane.
    using M = bool;
    static M gt(D a, D b) { return a > b; }
    static M lt(D a, D b) { return a < b; }
    static M eq(D a, D b) { return a == b; }
    static M isNaN(D a) { return a != a; }
    static M orM(M a, M b) { return a || b; }
    static M andM(M a, M b) { return a && b; }
    static bool anyM(M m) { return m; }
    static bool allM(M m) { return m; }
    static D select(M mask, D a, D b) { return mask ? a : b; } // mask ? a : b
    static U bits(D a)
    {
        U u;
        std::memcpy(&u, &a, sizeof u);
        return u;
    }
    static D real(U u)
    {
        D a;
        std::memcpy(&a, &u, sizeof a);
        return a;
    }
    static U ints(std::uint64_t v) { return v; }
    static U and_(U a, U b) { return a & b; }
    static U or_(U a, U b) { return a | b; }
    static U sub64(U a, U b) { return a - b; }
    template <int n>
    static U shr(U a) { return a >> n; }
    template <int n>
    static U shl(U a) { return a << n; }
    // 2^(j/16) as its pair, and ln(k/128) as its pair (i = k - 90).
    static void expPair(U j, D &hi, D &lo)
    {
        hi = tables::expHi[j];
        lo = tables::expLo[j];
    }
    static void logPair(U i, D &hi, D &lo)
    {
        hi = tables::logTable[2 * i];
        lo = tables::logTable[2 * i + 1];
    }
    static D logInverse(U i) { return tables::logInverse[i]; }
};

#if defined(__SSE2__)
struct Sse2 {
    using D = __m128d;
    using U = __m128i;
    static constexpr int lanes = 2;
    static D load(const double *p) { return _mm_loadu_pd(p); }
    static D loadFirst(const double *p, int count, D fill)
    {
        return count >= 2 ? _mm_loadu_pd(p) : _mm_loadl_pd(fill, p);
    }
    static D gather(const double *base, const std::int32_t *index)
    {
        return _mm_set_pd(base[index[1]], base[index[0]]);
    }
    static void store(double *p, D v) { _mm_storeu_pd(p, v); }
    static D splat(double v) { return _mm_set1_pd(v); }
    static D strided(const double *p, std::int64_t s) { return _mm_set_pd(p[s], p[0]); }
    static void spill(D v, double *out) { _mm_storeu_pd(out, v); }
    static D add(D a, D b) { return _mm_add_pd(a, b); }
    static D sub(D a, D b) { return _mm_sub_pd(a, b); }
    static D mul(D a, D b) { return _mm_mul_pd(a, b); }
    static D div(D a, D b) { return _mm_div_pd(a, b); }
    static D min(D a, D b) { return _mm_min_pd(a, b); }
    static D max(D a, D b) { return _mm_max_pd(a, b); }
    using M = __m128i;
    static M gt(D a, D b) { return _mm_castpd_si128(_mm_cmpgt_pd(a, b)); }
    static M lt(D a, D b) { return _mm_castpd_si128(_mm_cmplt_pd(a, b)); }
    static M eq(D a, D b) { return _mm_castpd_si128(_mm_cmpeq_pd(a, b)); }
    static M isNaN(D a) { return _mm_castpd_si128(_mm_cmpunord_pd(a, a)); }
    static M orM(M a, M b) { return _mm_or_si128(a, b); }
    static M andM(M a, M b) { return _mm_and_si128(a, b); }
    static bool anyM(M m) { return _mm_movemask_epi8(m) != 0; }
    static bool allM(M m) { return _mm_movemask_epi8(m) == 0xFFFF; }
    static D select(M mask, D a, D b)
    {
        const D m = _mm_castsi128_pd(mask);
        return _mm_or_pd(_mm_and_pd(m, a), _mm_andnot_pd(m, b));
    }
    static U bits(D a) { return _mm_castpd_si128(a); }
    static D real(U u) { return _mm_castsi128_pd(u); }
    static U ints(std::uint64_t v) { return _mm_set1_epi64x(static_cast<long long>(v)); }
    static U and_(U a, U b) { return _mm_and_si128(a, b); }
    static U or_(U a, U b) { return _mm_or_si128(a, b); }
    static U sub64(U a, U b) { return _mm_sub_epi64(a, b); }
    template <int n>
    static U shr(U a) { return _mm_srli_epi64(a, n); }
    template <int n>
    static U shl(U a) { return _mm_slli_epi64(a, n); }
    static void pair(const double *table, U i, D &hi, D &lo)
    {
        // Each lane's (hi, lo) pair is 16 contiguous bytes; the indices are
        // small, so the low 32 bits of each lane hold them.
        const int i0 = _mm_cvtsi128_si32(i);
        const int i1 = _mm_cvtsi128_si32(_mm_unpackhi_epi64(i, i));
        const D p0 = _mm_load_pd(table + 2 * i0);
        const D p1 = _mm_load_pd(table + 2 * i1);
        hi = _mm_unpacklo_pd(p0, p1);
        lo = _mm_unpackhi_pd(p0, p1);
    }
    static void expPair(U j, D &hi, D &lo) { pair(tables::expTable, j, hi, lo); }
    static void logPair(U i, D &hi, D &lo) { pair(tables::logTable, i, hi, lo); }
    static D logInverse(U i)
    {
        return _mm_set_pd(tables::logInverse[_mm_cvtsi128_si32(_mm_unpackhi_epi64(i, i))],
                          tables::logInverse[_mm_cvtsi128_si32(i)]);
    }
};
#endif

#if defined(__aarch64__)
// Two doubles per NEON register (every aarch64 processor has them).
struct Neon {
    using D = float64x2_t;
    using U = uint64x2_t;
    using M = uint64x2_t;
    static constexpr int lanes = 2;
    static D load(const double *p) { return vld1q_f64(p); }
    static D loadFirst(const double *p, int count, D fill)
    {
        return count >= 2 ? vld1q_f64(p) : vsetq_lane_f64(p[0], fill, 0);
    }
    static D gather(const double *base, const std::int32_t *index)
    {
        return vcombine_f64(vld1_f64(base + index[0]), vld1_f64(base + index[1]));
    }
    static void store(double *p, D v) { vst1q_f64(p, v); }
    static D splat(double v) { return vdupq_n_f64(v); }
    static D strided(const double *p, std::int64_t s) { return vsetq_lane_f64(p[s], vdupq_n_f64(p[0]), 1); }
    static void spill(D v, double *out) { vst1q_f64(out, v); }
    static D add(D a, D b) { return vaddq_f64(a, b); }
    static D sub(D a, D b) { return vsubq_f64(a, b); }
    static D mul(D a, D b) { return vmulq_f64(a, b); }
    static D div(D a, D b) { return vdivq_f64(a, b); }
    // As the scalar min and max: the second operand unless the first is
    // strictly smaller (larger); NEON's own give NaN for any NaN.
    static D min(D a, D b) { return vbslq_f64(vcltq_f64(a, b), a, b); }
    static D max(D a, D b) { return vbslq_f64(vcgtq_f64(a, b), a, b); }
    static M gt(D a, D b) { return vcgtq_f64(a, b); }
    static M lt(D a, D b) { return vcltq_f64(a, b); }
    static M eq(D a, D b) { return vceqq_f64(a, b); }
    static M isNaN(D a) { return veorq_u64(vceqq_f64(a, a), vdupq_n_u64(~std::uint64_t(0))); }
    static M orM(M a, M b) { return vorrq_u64(a, b); }
    static M andM(M a, M b) { return vandq_u64(a, b); }
    static bool anyM(M m) { return (vgetq_lane_u64(m, 0) | vgetq_lane_u64(m, 1)) != 0; }
    static bool allM(M m) { return (vgetq_lane_u64(m, 0) & vgetq_lane_u64(m, 1)) == ~std::uint64_t(0); }
    static D select(M mask, D a, D b) { return vbslq_f64(mask, a, b); }
    static U bits(D a) { return vreinterpretq_u64_f64(a); }
    static D real(U u) { return vreinterpretq_f64_u64(u); }
    static U ints(std::uint64_t v) { return vdupq_n_u64(v); }
    static U and_(U a, U b) { return vandq_u64(a, b); }
    static U or_(U a, U b) { return vorrq_u64(a, b); }
    static U sub64(U a, U b) { return vsubq_u64(a, b); }
    template <int n>
    static U shr(U a) { return vshrq_n_u64(a, n); }
    template <int n>
    static U shl(U a) { return vshlq_n_u64(a, n); }
    static void pair(const double *table, U i, D &hi, D &lo)
    {
        const D p0 = vld1q_f64(table + 2 * vgetq_lane_u64(i, 0));
        const D p1 = vld1q_f64(table + 2 * vgetq_lane_u64(i, 1));
        hi = vzip1q_f64(p0, p1);
        lo = vzip2q_f64(p0, p1);
    }
    static void expPair(U j, D &hi, D &lo) { pair(tables::expTable, j, hi, lo); }
    static void logPair(U i, D &hi, D &lo) { pair(tables::logTable, i, hi, lo); }
    static D logInverse(U i)
    {
        return vcombine_f64(vld1_f64(tables::logInverse + vgetq_lane_u64(i, 0)),
                            vld1_f64(tables::logInverse + vgetq_lane_u64(i, 1)));
    }
};
#endif

#if defined(ZEB_HAVE_AVX2)
struct Avx2 {
    using D = __m256d;
    using U = __m256i;
    static constexpr int lanes = 4;
    static D load(const double *p) { return _mm256_loadu_pd(p); }
    static D loadFirst(const double *p, int count, D fill)
    {
        const __m256i in = _mm256_cmpgt_epi64(_mm256_set1_epi64x(count), _mm256_setr_epi64x(0, 1, 2, 3));
        return _mm256_blendv_pd(fill, _mm256_maskload_pd(p, in), _mm256_castsi256_pd(in));
    }
    static D gather(const double *base, const std::int32_t *index)
    {
        return _mm256_i32gather_pd(base, _mm_loadu_si128(reinterpret_cast<const __m128i *>(index)), 8);
    }
    static void store(double *p, D v) { _mm256_storeu_pd(p, v); }
    static D splat(double v) { return _mm256_set1_pd(v); }
    static D strided(const double *p, std::int64_t s) { return _mm256_set_pd(p[3 * s], p[2 * s], p[s], p[0]); }
    static void spill(D v, double *out) { _mm256_storeu_pd(out, v); }
    static D add(D a, D b) { return _mm256_add_pd(a, b); }
    static D sub(D a, D b) { return _mm256_sub_pd(a, b); }
    static D mul(D a, D b) { return _mm256_mul_pd(a, b); }
    static D div(D a, D b) { return _mm256_div_pd(a, b); }
    static D min(D a, D b) { return _mm256_min_pd(a, b); }
    static D max(D a, D b) { return _mm256_max_pd(a, b); }
    using M = __m256d;
    static M gt(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_GT_OQ); }
    static M lt(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
    static M eq(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_EQ_OQ); }
    static M isNaN(D a) { return _mm256_cmp_pd(a, a, _CMP_UNORD_Q); }
    static M orM(M a, M b) { return _mm256_or_pd(a, b); }
    static M andM(M a, M b) { return _mm256_and_pd(a, b); }
    static bool anyM(M m) { return _mm256_movemask_pd(m) != 0; }
    static bool allM(M m) { return _mm256_movemask_pd(m) == 0xF; }
    static D select(M mask, D a, D b) { return _mm256_blendv_pd(b, a, mask); }
    static U bits(D a) { return _mm256_castpd_si256(a); }
    static D real(U u) { return _mm256_castsi256_pd(u); }
    static U ints(std::uint64_t v) { return _mm256_set1_epi64x(static_cast<long long>(v)); }
    static U and_(U a, U b) { return _mm256_and_si256(a, b); }
    static U or_(U a, U b) { return _mm256_or_si256(a, b); }
    static U sub64(U a, U b) { return _mm256_sub_epi64(a, b); }
    template <int n>
    static U shr(U a) { return _mm256_srli_epi64(a, n); }
    template <int n>
    static U shl(U a) { return _mm256_slli_epi64(a, n); }
    static void pair(const double *table, U i, D &hi, D &lo)
    {
        // Each lane's (hi, lo) pair is 16 contiguous bytes: four loads and
        // two shuffles, faster than two gathers.
        const __m128i i01 = _mm256_castsi256_si128(i);
        const __m128i i23 = _mm256_extracti128_si256(i, 1);
        const __m128d p0 = _mm_load_pd(table + 2 * _mm_cvtsi128_si32(i01));
        const __m128d p1 = _mm_load_pd(table + 2 * _mm_extract_epi32(i01, 2));
        const __m128d p2 = _mm_load_pd(table + 2 * _mm_cvtsi128_si32(i23));
        const __m128d p3 = _mm_load_pd(table + 2 * _mm_extract_epi32(i23, 2));
        const D a = _mm256_insertf128_pd(_mm256_castpd128_pd256(p0), p2, 1); // hi0 lo0 hi2 lo2
        const D b = _mm256_insertf128_pd(_mm256_castpd128_pd256(p1), p3, 1); // hi1 lo1 hi3 lo3
        hi = _mm256_unpacklo_pd(a, b);
        lo = _mm256_unpackhi_pd(a, b);
    }
    static void expPair(U j, D &hi, D &lo) { pair(tables::expTable, j, hi, lo); }
    static void logPair(U i, D &hi, D &lo) { pair(tables::logTable, i, hi, lo); }
    static D logInverse(U i)
    {
        const __m128i i01 = _mm256_castsi256_si128(i);
        const __m128i i23 = _mm256_extracti128_si256(i, 1);
        return _mm256_set_pd(tables::logInverse[_mm_extract_epi32(i23, 2)], tables::logInverse[_mm_cvtsi128_si32(i23)],
                             tables::logInverse[_mm_extract_epi32(i01, 2)], tables::logInverse[_mm_cvtsi128_si32(i01)]);
    }
};
#endif

#if defined(ZEB_HAVE_AVX512)
struct Avx512 {
    using D = __m512d;
    using U = __m512i;
    using M = __mmask8;
    static constexpr int lanes = 8;
    static D load(const double *p) { return _mm512_loadu_pd(p); }
    static D loadFirst(const double *p, int count, D fill)
    {
        return _mm512_mask_loadu_pd(fill, static_cast<__mmask8>(count >= 8 ? 0xFFu : (1u << count) - 1u), p);
    }
    static D gather(const double *base, const std::int32_t *index)
    {
        return _mm512_i32gather_pd(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(index)), base, 8);
    }
    static void store(double *p, D v) { _mm512_storeu_pd(p, v); }
    static D splat(double v) { return _mm512_set1_pd(v); }
    static D strided(const double *p, std::int64_t s)
    {
        return _mm512_set_pd(p[7 * s], p[6 * s], p[5 * s], p[4 * s], p[3 * s], p[2 * s], p[s], p[0]);
    }
    static void spill(D v, double *out) { _mm512_storeu_pd(out, v); }
    static D add(D a, D b) { return _mm512_add_pd(a, b); }
    static D sub(D a, D b) { return _mm512_sub_pd(a, b); }
    static D mul(D a, D b) { return _mm512_mul_pd(a, b); }
    static D div(D a, D b) { return _mm512_div_pd(a, b); }
    static D min(D a, D b) { return _mm512_min_pd(a, b); }
    static D max(D a, D b) { return _mm512_max_pd(a, b); }
    static M gt(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_GT_OQ); }
    static M lt(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ); }
    static M eq(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_EQ_OQ); }
    static M isNaN(D a) { return _mm512_cmp_pd_mask(a, a, _CMP_UNORD_Q); }
    static M orM(M a, M b) { return static_cast<M>(a | b); }
    static M andM(M a, M b) { return static_cast<M>(a & b); }
    static bool anyM(M m) { return m != 0; }
    static bool allM(M m) { return m == 0xFF; }
    static D select(M mask, D a, D b) { return _mm512_mask_blend_pd(mask, b, a); }
    static U bits(D a) { return _mm512_castpd_si512(a); }
    static D real(U u) { return _mm512_castsi512_pd(u); }
    static U ints(std::uint64_t v) { return _mm512_set1_epi64(static_cast<long long>(v)); }
    static U and_(U a, U b) { return _mm512_and_si512(a, b); }
    static U or_(U a, U b) { return _mm512_or_si512(a, b); }
    static U sub64(U a, U b) { return _mm512_sub_epi64(a, b); }
    template <int n>
    static U shr(U a) { return _mm512_srli_epi64(a, n); }
    template <int n>
    static U shl(U a) { return _mm512_slli_epi64(a, n); }
    // The sixteen pairs of 2^(j/16) fit in four registers: one two-source
    // permutation each for hi and lo.
    static void expPair(U j, D &hi, D &lo)
    {
        hi = _mm512_permutex2var_pd(_mm512_load_pd(tables::expHi), j, _mm512_load_pd(tables::expHi + 8));
        lo = _mm512_permutex2var_pd(_mm512_load_pd(tables::expLo), j, _mm512_load_pd(tables::expLo + 8));
    }
    static void logPair(U i, D &hi, D &lo)
    {
        const U twice = _mm512_add_epi64(i, i);
        hi = _mm512_i64gather_pd(twice, tables::logTable, 8);
        lo = _mm512_i64gather_pd(twice, tables::logTable + 1, 8);
    }
    static D logInverse(U i) { return _mm512_i64gather_pd(i, tables::logInverse, 8); }
};
#endif

// The steps every lane of exp takes, for xc in [-746, 710]: y = 2^(j/16)
// (1 + p(r)) with x = (16 (e) + j) ln2/16 + r, and 2^47 + e.
template <class V>
inline void expSteps(typename V::D xc, typename V::D &y, typename V::U &ePlus)
{
    using D = typename V::D;
    using U = typename V::U;
    // k = round(x 16/ln2) by the shifter 1.5 * 2^52: the sum's low bits
    // hold 2^51 + k, and subtracting the shifter again leaves k exactly.
    const D shifter = V::splat(0x1.8p52);
    const D kShifted = V::add(V::mul(xc, V::splat(tables::expSteps)), shifter);
    const D k = V::sub(kShifted, shifter);
    const D r = V::sub(V::sub(xc, V::mul(k, V::splat(tables::expStep1))), V::mul(k, V::splat(tables::expStep2)));

    // p(r) = r + r^2 ((1/2 + r/6) + r^2 ((1/24 + r/120) + r^2 (1/720 + r/5040)))
    const D r2 = V::mul(r, r);
    const D a = V::add(V::splat(1.0 / 2.0), V::mul(r, V::splat(1.0 / 6.0)));
    const D b = V::add(V::splat(1.0 / 24.0), V::mul(r, V::splat(1.0 / 120.0)));
    const D c = V::add(V::splat(1.0 / 720.0), V::mul(r, V::splat(1.0 / 5040.0)));
    const D p = V::add(r, V::mul(r2, V::add(a, V::mul(r2, V::add(b, V::mul(r2, c))))));

    // 2^51 + k = 16 (2^47 + e) + j with 0 <= j < 16.
    const U biased = V::and_(V::bits(kShifted), V::ints((std::uint64_t(1) << 52) - 1));
    D hi, lo;
    V::expPair(V::and_(biased, V::ints(15)), hi, lo);
    y = V::add(hi, V::add(V::mul(hi, p), lo));
    ePlus = V::template shr<4>(biased); // 2^47 + e
}

// y 2^e for lanes whose result is a normal double (x within [-708, 709]).
template <class V>
inline typename V::D expScaled(typename V::D y, typename V::U ePlus)
{
    return V::mul(y, V::real(V::template shl<52>(V::sub64(ePlus, V::ints((std::uint64_t(1) << 47) - 1023)))));
}

// exp where some lane lies outside [-708, 709] (or is NaN): out of line, so
// that the in-range steps stay small enough to inline where they are used.
template <class V>
__attribute__((noinline)) typename V::D expBeyond(typename V::D x, typename V::M inRange)
{
    using D = typename V::D;
    using U = typename V::U;
    using M = typename V::M;
    D y;
    U ePlus;
    // Lanes below -746 (-Inf among them: a log zero) are +0 whatever their
    // arithmetic; where every other lane is in range they are taken as 0
    // through the in-range steps, and +0 is put in at the end.
    const M dead = V::lt(x, V::splat(-746.0));
    if (V::allM(dead)) // a register of log zeros, as a sparse model's sums have
        return V::splat(0.0);
    if (V::allM(V::orM(inRange, dead))) {
        expSteps<V>(V::select(dead, V::splat(0.0), x), y, ePlus);
        return V::select(dead, V::splat(0.0), expScaled<V>(y, ePlus));
    }
    // Beyond, every result is +Inf or +0 from -746 and 710 on, so clamping
    // there keeps k, and the exponent arithmetic, in range. A NaN is put
    // back at the end.
    const D xc = V::min(V::max(x, V::splat(-746.0)), V::splat(710.0));
    expSteps<V>(xc, y, ePlus);

    // 2^e as two factors, 2^e1 2^e2 with e1 = floor(e/2): each a normal
    // double and the first product exact, so near overflow the result is
    // rounded once, by the second multiplication, exactly as the single
    // scaling rounds.
    const U e1Plus = V::template shr<1>(ePlus); // 2^46 + e1
    const U e2Plus = V::sub64(ePlus, e1Plus);   // 2^46 + e2
    const U bias = V::ints((std::uint64_t(1) << 46) - 1023);
    const D scale1 = V::real(V::template shl<52>(V::sub64(e1Plus, bias)));
    const D scale2 = V::real(V::template shl<52>(V::sub64(e2Plus, bias)));
    // Subnormal results (below 2^-1022) are rounded once as well, but in a
    // scaled copy: t = y 2^(e + 1074) is exact and below 2^52 there, and
    // t + 2^52 rounds it to an integer, the subnormal's own bits. No
    // multiplication forms a subnormal, which some processors finish slowly,
    // in microcode. (Lanes of x >= -700 are never subnormal; their t is y.)
    const M low = V::lt(xc, V::splat(-700.0));
    const D scale3 = V::select(
        low, V::real(V::template shl<52>(V::sub64(ePlus, V::ints((std::uint64_t(1) << 47) - 2097)))), V::splat(1.0));
    const D t = V::mul(y, scale3);
    const M tiny = V::andM(low, V::lt(t, V::splat(0x1p52)));
    const D subnormal = V::real(V::sub64(V::bits(V::add(t, V::splat(0x1p52))), V::bits(V::splat(0x1p52))));
    const D result = V::select(tiny, subnormal, V::mul(V::mul(y, scale1), V::select(tiny, V::splat(1.0), scale2)));
    return V::select(V::isNaN(x), V::add(x, x), result);
}

// exp(x) in every lane: at most 0.571 ulp from the exact value for normal
// results (subnormal results are rounded twice: at most 0.764 ulp of their
// spacing); the largest errors known, at -0x1.5688a9dc557c1p+9 and
// -0x1.6245731ad6f3cp+9. -Inf gives +0, +Inf gives +Inf, NaN gives NaN; results beyond
// the largest double are +Inf, below half the smallest subnormal +0.
template <class V>
inline typename V::D exp(typename V::D x)
{
    // Within [-708, 709] every result is a normal double and one scaling by
    // 2^e is exact.
    const typename V::M inRange = V::andM(V::gt(x, V::splat(-708.0)), V::lt(x, V::splat(709.0)));
    if (!V::allM(inRange))
        return expBeyond<V>(x, inRange);
    typename V::D y;
    typename V::U ePlus;
    expSteps<V>(x, y, ePlus);
    return expScaled<V>(y, ePlus);
}

// log(x) in every lane; Ordinary: every lane a positive normal finite
// number, where the steps for the other values change nothing and are left
// out (so both give the same bits there).
template <class V, bool Ordinary>
inline typename V::D logOf(typename V::D x)
{
    using D = typename V::D;
    using U = typename V::U;
    using M = typename V::M;
    const D two52 = V::splat(0x1p52);
    const D shifter = V::splat(0x1.8p52);

    // Subnormals: times 2^54, and 54 off the exponent.
    const M tiny = V::lt(x, V::splat(0x1p-1022));
    const D xs = Ordinary ? x : V::select(tiny, V::mul(x, V::splat(0x1p54)), x);

    // x = 2^e m with m in [sqrt(1/2), sqrt(2)): the mantissa in [1, 2),
    // halved (exactly) when it is sqrt(2) or more. Whatever x is, m lies in
    // that range, so the table index below does too.
    const U u = V::bits(xs);
    const D m1 = V::real(V::or_(V::and_(u, V::ints((std::uint64_t(1) << 52) - 1)), V::ints(1023ULL << 52)));
    const M lower = V::lt(m1, V::splat(0x1.6a09e667f3bcdp0));
    const D m = V::select(lower, m1, V::mul(m1, V::splat(0.5)));
    const D biasedExponent = V::sub(V::real(V::or_(V::template shr<52>(u), V::bits(two52))), two52);
    const D eNormal = V::add(V::sub(biasedExponent, V::splat(1023.0)), V::select(lower, V::splat(0.0), V::splat(1.0)));
    const D e = Ordinary ? eNormal : V::sub(eNormal, V::select(tiny, V::splat(54.0), V::splat(0.0)));

    // c = k/128 nearest to m (k = 90 .. 181); m - c is exact. The quotient
    // r = (m - c)/c is taken as (m - c) times 1/c (tabulated, rounded; no
    // division), within about an ulp; its remainder (m - c) - r c is exact
    // (r c in two exact pieces), and the remainder times 1/c corrects r to
    // far below the result's last bit. k is clamped
    // to the table, so that no rounding mode can make an index outside it
    // (under round-to-nearest the clamp never changes k).
    const D kShifted = V::min(V::max(V::add(V::mul(m, V::splat(128.0)), shifter), V::splat(0x1.8p52 + tables::logFirst)),
                              V::splat(0x1.8p52 + tables::logLast));
    const D c = V::mul(V::sub(kShifted, shifter), V::splat(1.0 / 128.0));
    const U index = V::sub64(V::and_(V::bits(kShifted), V::ints((std::uint64_t(1) << 52) - 1)),
                             V::ints((std::uint64_t(1) << 51) + tables::logFirst));
    const D d = V::sub(m, c);
    const D inverse = V::logInverse(index); // 1/c, rounded
    const D r = V::mul(d, inverse);
    const D rHi = V::real(V::and_(V::bits(r), V::ints(~std::uint64_t(0xFF)))); // rHi * c is exact
    const D remainder = V::sub(V::sub(d, V::mul(rHi, c)), V::mul(V::sub(r, rHi), c));
    const D rCorrection = V::mul(remainder, inverse);

    // log1p(r) = r + r^2 q(r), q = -1/2 + r/3 - r^2/4 + ... - r^8/10, in
    // pairs of terms by powers of r^2 (Estrin's scheme: a chain of five
    // operations instead of Horner's eighteen; q's own rounding errors,
    // a few units of 2^-53 q, reach the result scaled by r^2 <= 2^-15).
    const D r2 = V::mul(r, r);
    const D r4 = V::mul(r2, r2);
    const D q01 = V::add(V::splat(-1.0 / 2.0), V::mul(r, V::splat(1.0 / 3.0)));
    const D q23 = V::add(V::splat(-1.0 / 4.0), V::mul(r, V::splat(1.0 / 5.0)));
    const D q45 = V::add(V::splat(-1.0 / 6.0), V::mul(r, V::splat(1.0 / 7.0)));
    const D q67 = V::add(V::splat(-1.0 / 8.0), V::mul(r, V::splat(1.0 / 9.0)));
    const D q03 = V::add(q01, V::mul(r2, q23));
    const D q47 = V::add(q45, V::mul(r2, q67));
    const D q = V::add(V::add(q03, V::mul(r4, q47)), V::mul(V::mul(r4, r4), V::splat(-1.0 / 10.0)));

    // e ln2 + ln(c) + r, each addition's rounding error kept (two-sum),
    // plus the small parts; rounded once at the end.
    D cHi, cLo;
    V::logPair(index, cHi, cLo);
    const D a = V::mul(e, V::splat(tables::ln2Hi)); // exact: e has at most 11 bits
    const D s1 = V::add(a, cHi);
    const D b1 = V::sub(s1, a);
    const D err1 = V::add(V::sub(a, V::sub(s1, b1)), V::sub(cHi, b1));
    const D s2 = V::add(s1, r);
    const D b2 = V::sub(s2, s1);
    const D err2 = V::add(V::sub(s1, V::sub(s2, b2)), V::sub(r, b2));
    const D small = V::add(V::add(V::mul(e, V::splat(tables::ln2Lo)), cLo), V::add(rCorrection, V::mul(r2, q)));
    D result = V::add(s2, V::add(V::add(err1, err2), small));
    if (Ordinary)
        return result;

    const D inf = V::splat(__builtin_inf());
    result = V::select(V::eq(x, V::splat(0.0)), V::sub(V::splat(0.0), inf), result);
    result = V::select(V::lt(x, V::splat(0.0)), V::sub(inf, inf), result);
    result = V::select(V::eq(x, inf), inf, result);
    return V::select(V::isNaN(x), V::add(x, x), result);
}

// log(x) in every lane: at most 0.506 ulp from the exact value. +0 and -0
// give -Inf, negative numbers NaN, +Inf gives +Inf, NaN gives NaN;
// subnormal arguments are scaled into the normal range first.
template <class V>
inline typename V::D log(typename V::D x)
{
    // (x >= 2^-1022 and x < +Inf: false for NaN.)
    const auto ordinary = V::andM(V::gt(x, V::splat(0x1.fffffffffffffp-1023)), V::lt(x, V::splat(__builtin_inf())));
    return V::allM(ordinary) ? logOf<V, true>(x) : logOf<V, false>(x);
}

} // namespace
} // namespace numerics

#endif
