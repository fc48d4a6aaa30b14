// Probability-domain steps of four-state models in AVX2 registers, one state
// per lane: the portable steps' operations in the same order, so the same
// bits (blockSteps.h chooses them on the AVX2 and AVX-512 paths).
#ifndef ZEB_TRELLIS_SMALL_STEPS_H
#define ZEB_TRELLIS_SMALL_STEPS_H

#include "expLogTables.h"

#include <cstdint>

namespace trellis {

namespace {

// The guard on the values the probability-domain steps and the scaled sums
// take: within it, |x| < 2^1020, three or four of them and the logs beside
// them add up to less than 2^1022 in magnitude, so that neither those steps
// nor the literal recurrence's terms overflow. (Where a literal term does,
// +Inf, its sum is NaN, which a scaled sum would not give.)
constexpr double overflowGuard = 0x1p1020;

inline bool withinGuard(double v)
{
    return v > -overflowGuard && v < overflowGuard;
}

// The range the probability-domain steps keep to: every nonzero weight at
// least 2^-860, each step's largest weight sum at least 2^-100, each step's
// emissions within 600 of their largest, a block's first values within 590
// of theirs (so that every product is a normal double and no term is lost).
constexpr double weightFloor = 0x1p-860;
constexpr int scaleFloorExponent = -100;
constexpr double scaleFloor = 0x1p-100;
constexpr double emissionSpread = 600.0;
constexpr double blockSpread = 590.0;

// A step's level from the last one's: ((L + top) + extra) + log 2^e, the
// scale 2^e's log read off its exponent as e ln2Hi + e ln2Lo, rounded once:
// the project's log at a power of two (its table holds 0 for ln 1, and
// every other part of it is 0 there). One definition for the register
// steps and the portable ones, so all form the same bits.
inline double nextLevel(double level, double top, double extra, int e)
{
    const double power = e;
    return ((level + top) + extra) + (power * numerics::tables::ln2Hi + power * numerics::tables::ln2Lo);
}

} // namespace

namespace avx2 {

// Up to `count` steps from the weights q0 (4 doubles): step k forms
//   p = q (.) before_k            (backward only; stops if a p(j) falls below
//                                  2^-860 from nonzero factors)
//   s(j) = sum_i p(i) S(i, j)     (i in order; S's rows at scaled)
//   r = s (.) after_k,  2^e <= max r (stops if max r < 2^-100),
//   q = r 2^-e                    (stops if a q(j) falls below 2^-860 from
//                                  nonzero factors)
// writing q to out + k * outStride. before_k, after_k: the rows k of
// `emissions` (4 doubles each) and the fixed `rowScale`, the forward pass
// multiplying after, the backward pass before. levels[k] holds the step's
// top on entry and its level on return: L = ((L + top) + extra) + log 2^e,
// L starting at `level`, and log 2^e = e ln2Hi + e ln2Lo (the project's log
// at a power of two). That chain of additions runs beside the steps' own,
// which is longer, instead of after them. Returns the steps done.
std::int64_t fourStates(bool backward, const double *scaled, const double *emissions, const double *rowScale,
                        const double *q0, double *out, std::int64_t outStride, double *levels, double level,
                        double extra, std::int64_t count);

// fourStates' arguments, for two chains at once.
struct ChainArgs {
    bool backward;
    const double *scaled, *emissions, *rowScale, *q0;
    double *out;
    std::int64_t outStride;
    double *levels;
    double level, extra;
    std::int64_t count;
};

// fourStates for a forward and a backward chain at once (their `backward`
// flags are not read), their steps interleaved so that each one's latency
// hides the other's: done[0] and done[1] receive the steps each did, the
// bits each would give alone.
void fourStatesTwo(const ChainArgs &forward, const ChainArgs &backward, std::int64_t *done);

} // namespace avx2

namespace avx512 {

// The emission weights of up to `count` steps of n <= 16 states: step k's
// values v = row k (at b + k * stride), plus `add` where it is not null,
// give w = v - max v (row k of w, n apart) and tops[k] = max v: the
// portable steps' values, but for the sign of a zero maximum, which no
// result sees (exp(-0) = exp(+0), and a step's level is the sum of its top
// and log mu, +0 or not zero). Returns the steps done: it stops at the
// first step with a NaN or +Inf, no finite value, its largest value beyond
// the guard, or a finite weight below -600.
std::int64_t emissionWeights(const double *b, std::int64_t stride, const double *add, std::int64_t n,
                             std::int64_t count, double *w, double *tops);

// avx2::fourStates for any n <= 16 states (S's rows n apart, emissions'
// rows n apart): the same steps, the same bits.
std::int64_t upToSixteen(bool backward, const double *scaled, std::int64_t n, const double *emissions,
                         const double *rowScale, const double *q0, double *out, std::int64_t outStride,
                         double *levels, double level, double extra, std::int64_t count);

// Rows of four states (row r at rows + 4r, `count` of them) become
// oneNaN(level + log row), level = levels[r * levelStride]: kernel::logPlus's
// values, with each row's level read once instead of spread over its row.
void fourStateLogs(double *rows, std::int64_t count, const double *levels, std::int64_t levelStride);

} // namespace avx512
} // namespace trellis

#endif
