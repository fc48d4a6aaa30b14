// Probability-domain blocks of steps for models of up to 16 states: a
// block's emission weights, its steps (portable, or in registers), and its
// end (the steps' logs and levels). Included by the passes alone.
#ifndef ZEB_TRELLIS_BLOCK_STEPS_H
#define ZEB_TRELLIS_BLOCK_STEPS_H

#include "scaledSums.h"

#include <cstdint>
#include <cstring>
#include <type_traits>

namespace trellis {

// f(std::integral_constant<int, N>) with N = n where n is small enough for
// the steps to be unrolled, 0 (any n) otherwise.
template <class F>
static std::int64_t bySize(std::int64_t n, F &&f)
{
    switch (n) {
    case 1: return f(std::integral_constant<int, 1>());
    case 2: return f(std::integral_constant<int, 2>());
    case 3: return f(std::integral_constant<int, 3>());
    case 4: return f(std::integral_constant<int, 4>());
    case 5: return f(std::integral_constant<int, 5>());
    case 6: return f(std::integral_constant<int, 6>());
    case 7: return f(std::integral_constant<int, 7>());
    case 8: return f(std::integral_constant<int, 8>());
    default: return f(std::integral_constant<int, 0>());
    }
}

// The exponent k of a scale mu = 2^k (k from -100 up).
static int exponentOf(double mu)
{
    std::uint64_t bits;
    std::memcpy(&bits, &mu, sizeof bits);
    return static_cast<int>(bits >> 52) - 1023;
}

// The steps of a block to keep, of `done` whose levels are `levels`: up to
// the first level beyond the guard, which the next step may not take in the
// probability domain. (A first pass that the compiler vectorises: most
// blocks keep every step.)
static std::int64_t stepsWithinGuard(const double *levels, std::int64_t done)
{
    std::uint64_t beyond = 0;
    for (std::int64_t k = 0; k < done; ++k)
        beyond |= beyondBit(levels[k]);
    if (!(beyond >> 63))
        return done;
    for (std::int64_t k = 0; k + 1 < done; ++k)
        if (!withinGuard(levels[k]))
            return k + 1;
    return done;
}

// The end of a block of probability-domain steps: `done` steps' weights,
// stored in the rows first, first + step, ... (step +1 or -1) of out, become
// logs, and each step's level L = ((L + top) + extra) + log scale is added
// to its row, in the same pass. `levelsDone`: the steps left their levels
// in place of their tops (the register steps do); otherwise they are formed
// here from the tops and scales. The block's emission weights, used up, make
// room for each element's level. Returns the steps kept: up to the first
// whose level lies beyond the guard, whose values the next step may not
// take in the probability domain (it is left to the exact sums).
static std::int64_t finishBlock(Engine &e, double *out, std::int64_t n, std::int64_t first, int step,
                                std::int64_t done, double level, double extra, bool levelsDone, kernel::Isa isa)
{
    if (done <= 0)
        return 0;
    for (std::int64_t k = 0; !levelsDone && k < done; ++k) {
        level = nextLevel(level, e.tops[k], extra, exponentOf(e.scales[k]));
        e.tops[k] = level;
    }
    done = stepsWithinGuard(e.tops, done);
    const std::int64_t lowest = step > 0 ? first : first - (done - 1);
    if (n == 4 && isa == kernel::Isa::Avx512) {
        // Row r from the lowest is step r going forward, step done - 1 - r
        // going backward.
        avx512::fourStateLogs(out + lowest * n, done, step > 0 ? e.tops : e.tops + (done - 1), step > 0 ? 1 : -1);
        return done;
    }
    // (Rows of a fixed N where it is small: the stores of a row unrolled.)
    bySize(n, [&](auto states) {
        constexpr int N = decltype(states)::value;
        const std::int64_t width = N > 0 ? N : n;
        for (std::int64_t k = 0; k < done; ++k) {
            double *levels = e.weights + (first + step * k - lowest) * width;
            const double level = e.tops[k];
            for (std::int64_t j = 0; j < width; ++j)
                levels[j] = level;
        }
        return std::int64_t(0);
    });
    kernel::logPlus(out + lowest * n, e.weights, out + lowest * n, done * n, isa);
    return done;
}

// The largest of value(0 .. n-1) and `start` (NaN never chosen), in four
// running maxima so that the comparisons do not wait on one another: the
// same value as one scan.
template <class F>
static inline double runningMaximum(std::int64_t n, F &&value, double start)
{
    double top[4] = {start, start, start, start};
    std::int64_t j = 0;
    for (; j + 4 <= n; j += 4)
        for (int k = 0; k < 4; ++k) {
            const double v = value(j + k);
            top[k] = v > top[k] ? v : top[k];
        }
    for (; j < n; ++j) {
        const double v = value(j);
        top[0] = v > top[0] ? v : top[0];
    }
    const double a = top[0] > top[1] ? top[0] : top[1], b = top[2] > top[3] ? top[2] : top[3];
    return a > b ? a : b;
}

// A step's emission weights w = (b + add) - largest (add may be null), and
// that largest: false where the step cannot run in the probability domain
// (a NaN or +Inf, nothing finite, the largest beyond the guard, or a weight
// more than 600 below the largest).
static bool emissionWeights(const double *b, const double *add, std::int64_t n, double *w, double &largest)
{
    // (b, or b + add: the same loops either way, chosen once.)
    const auto weigh = [&](auto value) {
        bool bad = false;
        const double most = runningMaximum(
            n,
            [&](std::int64_t j) {
                const double v = value(j);
                bad = bad || v != v || v == inf;
                return v;
            },
            -inf);
        for (std::int64_t j = 0; j < n && !bad; ++j) {
            w[j] = value(j) - most;
            bad = w[j] > -inf && w[j] < -emissionSpread;
        }
        largest = most;
        return !bad && withinGuard(most);
    };
    if (add)
        return weigh([&](std::int64_t j) { return b[j] + add[j]; });
    return weigh([&](std::int64_t j) { return b[j]; });
}

// The largest of x[0 .. n), all >= +0 and none NaN (0 when n is 0), by
// halves where n is a fixed N: the same value either way.
template <int N>
static inline double largestOf(std::int64_t n, const double *x)
{
    if (N == 0)
        return runningMaximum(n, [x](std::int64_t j) { return x[j]; }, 0.0);
    if (N == 1)
        return x[0];
    const double a = largestOf<N / 2>(N / 2, x), b = largestOf<N - N / 2>(N - N / 2, x + N / 2);
    return a > b ? a : b;
}

// The next weights next = r 2^-k, r = sum * factor, 2^k <= max r < 2^(k+1):
// false where they would leave the range (max r below 2^-100, or a weight
// below 2^-860 from terms that are not all zero). Scaling by a power of two
// is exact, and its factor is read off max r's exponent (no division);
// mu = 2^k. N is the state count where it is small enough to unroll (0: n).
template <int N>
static inline bool rescale(std::int64_t n, const double *sum, const double *factor, double *band, double *next,
                           double &mu)
{
    if (N > 0)
        n = N;
    for (std::int64_t j = 0; j < n; ++j)
        band[j] = sum[j] * factor[j];
    const double largest = largestOf<N>(n, band);
    if (!(largest >= scaleFloor))
        return false;
    // largest is a normal double below 2^1023 (r is at most N), so both
    // 2^k and 2^-k are too.
    std::uint64_t bits;
    std::memcpy(&bits, &largest, sizeof bits);
    const std::uint64_t exponent = bits & (std::uint64_t(0x7FF) << 52);
    const std::uint64_t inverseBits = (std::uint64_t(2046) << 52) - exponent;
    double inverse;
    std::memcpy(&mu, &exponent, sizeof mu);
    std::memcpy(&inverse, &inverseBits, sizeof inverse);
    bool tiny = false;
    for (std::int64_t j = 0; j < n; ++j) {
        const double v = band[j] * inverse;
        tiny = tiny || (v < weightFloor && sum[j] != 0.0 && factor[j] != 0.0);
        next[j] = v;
    }
    return !tiny;
}

// out(j) = sum_i w(i) S(i, j) over i in order from 0, S's rows contiguous:
// the kernel's weighted row sums, inline for small N (the same operations
// in the same order, so the same bits).
template <int N>
static inline void weighted(std::int64_t n, const double *w, const Engine &e, double *out, kernel::Isa isa)
{
    const double *scaled = e.scaled;
    if (N == 0) {
        kernel::weightedRows(w, e.every, n, scaled, n, n, out, isa);
        return;
    }
    double acc[N > 0 ? N : 1];
    for (int j = 0; j < N; ++j)
        acc[j] = 0.0;
    for (int i = 0; i < N; ++i)
        for (int j = 0; j < N; ++j)
            acc[j] = acc[j] + w[i] * scaled[i * N + j];
    for (int j = 0; j < N; ++j)
        out[j] = acc[j];
}

// One probability-domain step: out = the rescaled weights of the sums
// (sum_i q(i) S(i, j)) factor(j), mu their scale; false where they would
// leave the range.
template <int N>
static inline bool advance(std::int64_t n, Engine &e, const double *q, const double *factor, double *out, double &mu,
                           kernel::Isa isa)
{
    weighted<N>(n, q, e, e.sum, isa);
    return rescale<N>(n, e.sum, factor, e.band, out, mu);
}

// A block's probability-domain steps in registers where they run there: in
// AVX2 registers for four states (on the AVX2 and AVX-512 paths), in AVX-512
// registers from five states on (the arguments are avx2::fourStates', the
// engine's matrix, weights and tops among them: the tops become the steps'
// levels). Returns the steps done, or -1 where the portable steps are to
// run (fewer states, other paths). Every way gives the same bits.
static bool stepsInRegisters(std::int64_t n, kernel::Isa isa)
{
    return (n == 4 && (isa == kernel::Isa::Avx2 || isa == kernel::Isa::Avx512)) ||
           (n >= 5 && isa == kernel::Isa::Avx512);
}

static std::int64_t registerSteps(bool backward, const Engine &e, const double *rowScale, const double *q0,
                                  double *out, std::int64_t outStride, double level, double extra,
                                  std::int64_t count, kernel::Isa isa)
{
    const std::int64_t n = e.n;
    if (!stepsInRegisters(n, isa))
        return -1;
    if (n == 4)
        return avx2::fourStates(backward, e.scaled, e.weights, rowScale, q0, out, outStride, e.tops, level, extra,
                                count);
    return avx512::upToSixteen(backward, e.scaled, n, e.weights, rowScale, q0, out, outStride, e.tops, level,
                                   extra, count);
}

// The emission weights of up to `count` steps, from the rows b, b + stride,
// ... of logB (plus add), into the engine's weights and tops, as far as
// they stay in range: returns the steps done.
static std::int64_t blockEmissions(const double *b, std::int64_t stride, const double *add, std::int64_t n,
                                   std::int64_t count, Engine &e, kernel::Isa isa)
{
    if (isa == kernel::Isa::Avx512)
        return avx512::emissionWeights(b, stride, add, n, count, e.weights, e.tops);
    std::int64_t k = 0;
    while (k < count && emissionWeights(b + k * stride, add, n, e.weights + k * n, e.tops[k]))
        ++k;
    return k;
}

// A block's first weights q0 = exp(x - top) over the N states, in q0.
static const double *firstWeights(const double *x, double top, std::int64_t n, double *q0, kernel::Isa isa)
{
    for (std::int64_t i = 0; i < n; ++i)
        q0[i] = x[i] - top;
    kernel::expArray(q0, q0, n, isa);
    return q0;
}

// A block of probability-domain steps whose emission weights are ready:
// its chain's arguments (avx2::fourStates'), and whether it runs in
// registers.
struct Block {
    avx2::ChainArgs chain;
    bool inRegisters;
};

// The steps of one block run in registers where they can (registerSteps),
// else by the portable steps `portable` (returning the steps done).
template <class F>
static std::int64_t runBlock(const Engine &e, const Block &b, kernel::Isa isa, F &&portable)
{
    if (!b.inRegisters)
        return portable();
    const avx2::ChainArgs &c = b.chain;
    return registerSteps(c.backward, e, c.rowScale, c.q0, c.out, c.outStride, c.level, c.extra, c.count, isa);
}

// Whether a block's weights exp(x - top) stay in range: x without NaN,
// its largest finite, and every finite x within 590 of it.
static inline bool inRange(const Span &span)
{
    return !span.nan && withinGuard(span.top) && span.least >= span.top - blockSpread;
}

} // namespace trellis

#endif
