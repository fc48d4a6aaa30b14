// The scaled sums of one step of a pass (the engine): every sum over
// states as a sum of products in the probability domain, in bands, with
// the exact column log-sum-exp only where the products could lose a term.
// Included by the passes alone.
#ifndef ZEB_TRELLIS_SCALED_SUMS_H
#define ZEB_TRELLIS_SCALED_SUMS_H

#include "trellisInternal.h"

#include <algorithm>
#include <cstdint>

namespace trellis {

// Scaled sums: every sum over states of one step, log sum_k exp(x_k + M(k, c))
// for each c, as a sum of products in the probability domain, with the
// exact log-domain column sum only where the products could lose a term.
//
// M(k, c) = colMax(c) + log S(k, c), S(k, c) = exp(M(k, c) - colMax(c)) in
// [e^-R, 1] or exactly 0 (M = -Inf), prepared once per call. A column with
// a finite entry more than R below its maximum (a -1e300 log zero beside
// finite entries, say) is "wide": its product could underflow, so it is
// always summed exactly. The terms x_k are grouped in bands: band 0 holds
// the x_k within W of the largest, top_0; band 1 those within W of the
// largest below top_0 - W; and so on. With p_k = exp(x_k - top_b) in
// [e^-W, 1] (or 0 for x_k = -Inf) every nonzero product p_k S(k, c) lies in
// [e^-(W+R), 1] = [e^-700, 1]: a normal double, rounded once, never lost.
// Each band's sum s_b(c) = sum of p_k S(k, c) over its states, in state
// order, and the column's result is
//   (top_b0 + colMax(c)) + log s_b0(c)
// for the first band b0 whose sum is nonzero, when s_b0(c) >= 2^-722 (about
// e^-500): every state of a later band lies more than W below top_b0, so
// all of them together change the sum by less than N e^-100 of itself.
// Below that the next band is combined with it (log-sum of the two); the
// bands after it lie 2W below and are negligible again. A column whose
// every band sum is 0 has only -Inf terms: -Inf.
//
// Error: each product carries the errors of two exps (0.571 ulp each) and
// its own rounding, each addition one rounding, so s_b0(c) is within
// (N + 2) u of its exact value (u = 2^-53), relative; the log adds 0.505
// ulp of its result and the two additions one rounding each. A step's
// result is thus within (N + 3) u + 2 ulp(max(|result|, |top + colMax|)) of
// the exact log-sum of its computed inputs, and as each step's sums are
// 1-Lipschitz in their inputs, errors add up over the steps: after t steps
// at most t ((N + 3) u + 2 ulp(max |value|)). The exact sums meet the same
// bound with N u in place of (N + 3) u.
//
// A step whose largest term is not finite (NaN anywhere, +Inf, or every
// term -Inf) is summed exactly, column by column, as before, and so is a
// whole call whose logA holds a NaN or +Inf.
//
// Near the ends of the double range the literal recurrence's terms can
// overflow: a term alpha(k) + A(k, j) that is +Inf makes its column's sum
// NaN, where a scaled sum would see a finite largest value and give +Inf.
// So the scaled sums (and the probability-domain steps) take only values
// within the guard (overflowGuard): a step whose values, or a call whose
// logA, reach beyond it takes the exact sums, which are the literal
// recurrence's bits.
namespace {

constexpr double bandWidth = 600.0; // W
constexpr double spreadOfA = 100.0; // R
constexpr double oneBandEnough = 0x1p-722;
// The largest state count whose steps run in the probability domain.
constexpr std::int64_t probabilityStates = 16;
// Up to this many states, a step whose values span more than one band takes
// the exact sums.
constexpr std::int64_t smallSpread = 16;

// The largest of n values (a strict scan from the first), the least finite
// one (+Inf when none) and whether any is NaN.
struct Span {
    double top, least;
    bool nan;
};

inline __attribute__((always_inline)) Span spanOf(const double *x, std::int64_t n)
{
    // Four running maxima and minima, so that the comparisons do not wait
    // on one another: the same largest and least values. (Where the largest
    // is zero, the scan from the first picks which zero; where any value is
    // NaN, no caller reads the largest.)
    double t0 = x[0], t1 = x[0], t2 = x[0], t3 = x[0];
    double l0 = inf, l1 = inf, l2 = inf, l3 = inf;
    bool nan = false;
    std::int64_t k = 0;
    for (; k + 4 <= n; k += 4) {
        const double v0 = x[k], v1 = x[k + 1], v2 = x[k + 2], v3 = x[k + 3];
        t0 = v0 > t0 ? v0 : t0;
        t1 = v1 > t1 ? v1 : t1;
        t2 = v2 > t2 ? v2 : t2;
        t3 = v3 > t3 ? v3 : t3;
        l0 = v0 > -inf && v0 < l0 ? v0 : l0;
        l1 = v1 > -inf && v1 < l1 ? v1 : l1;
        l2 = v2 > -inf && v2 < l2 ? v2 : l2;
        l3 = v3 > -inf && v3 < l3 ? v3 : l3;
        nan |= (v0 != v0) | (v1 != v1) | (v2 != v2) | (v3 != v3);
    }
    for (; k < n; ++k) {
        const double v = x[k];
        t0 = v > t0 ? v : t0;
        l0 = v > -inf && v < l0 ? v : l0;
        nan |= v != v;
    }
    const double ta = t1 > t0 ? t1 : t0, tb = t3 > t2 ? t3 : t2;
    const double la = l1 < l0 ? l1 : l0, lb = l3 < l2 ? l3 : l2;
    Span s{tb > ta ? tb : ta, lb < la ? lb : la, nan};
    if (s.top == 0.0) {
        s.top = x[0];
        for (k = 0; k < n; ++k)
            s.top = x[k] > s.top ? x[k] : s.top;
    }
    return s;
}

// The engine's scratch, carved out of Scratch::engine.
struct Engine {
    std::int64_t n;
    double *scaled;  // N x N: row k holds S(k, c) for every c
    double *p;       // N: exp(x_k - top) in band order
    double *colMax;  // N
    double *wide;    // N: 1 where the column is summed exactly
    double *bandTop; // N
    double *sum;     // N: each column's first nonzero band sum, then its sum
    double *next;    // N: the band sum after it, where that is needed
    double *band;    // N: one band's sums
    std::int32_t *order;     // N: the states of each band
    std::int32_t *bandStart; // N + 1
    std::int32_t *first;     // N: each column's first band with a nonzero sum
    std::int32_t *lo, *hi;   // N each: the first and last nonzero column of row k of S
    std::int32_t *every;     // N: 0, 1, ..., N - 1
    double *weights;         // block x N: a block of steps' emission weights
    double *scales;          // block: each step's largest weight sum
    double *tops;            // block: each step's largest log emission, then its level
    static constexpr std::int64_t block = 128;
    // A sparse M: each column's finite entries (k ascending), listed `depth`
    // deep (the most any column has) for `ld` columns (N rounded up to 8),
    // the shorter columns padded with -Inf, where that takes at most N^2/4
    // entries.
    bool sparse = false;
    Span columnSpan{};       // of colMax
    std::int64_t ld = 0, depth = 0;
    double *values;          // depth x ld: M(k, c)
    std::int32_t *rowOf;     // depth x ld: k
    static std::int64_t capacity(std::int64_t n) { return n * n / 4; }

    Engine(double *e, std::int64_t n_) : n(n_)
    {
        scaled = e;
        p = scaled + n * n;
        colMax = p + n;
        wide = colMax + n;
        bandTop = wide + n;
        sum = bandTop + n;
        next = sum + n;
        band = next + n;
        order = reinterpret_cast<std::int32_t *>(band + n);
        bandStart = order + n;
        first = bandStart + n + 1;
        lo = first + n;
        hi = lo + n;
        every = hi + n;
        for (std::int64_t k = 0; k < n; ++k)
            every[k] = static_cast<std::int32_t>(k);
        double *const blockStart = e + n * n + 11 * n + 1;
        weights = scales = tops = nullptr;
        if (n <= probabilityStates) {
            weights = blockStart;
            scales = weights + block * n;
            tops = scales + block;
        }
        values = blockStart + blockDoubles(n);
        rowOf = reinterpret_cast<std::int32_t *>(values + capacity(n));
    }

    // A block of steps' weights, scales and tops, for the models whose
    // steps run in the probability domain.
    static std::int64_t blockDoubles(std::int64_t n) { return n <= probabilityStates ? block * (n + 2) : 0; }

    // N^2 + 8N doubles and 6N + 1 32-bit integers, rounded up to N^2 + 11N + 1
    // doubles, then, for the models whose steps run in the probability
    // domain (16 states or fewer), a block of 128 steps' N weights, scales
    // and tops; then a sparse M's entries (floor(N^2/4) doubles) and their
    // rows (as many 32-bit integers, rounded up to whole doubles).
    static std::int64_t doubles(std::int64_t n)
    {
        return n * n + 11 * n + 1 + blockDoubles(n) + capacity(n) + (capacity(n) + 1) / 2;
    }

    // S from the raw matrix M(k, c) = raw[k * kStride + c * cStride].
    void prepare(const double *raw, std::int64_t kStride, std::int64_t cStride, kernel::Isa isa)
    {
        for (std::int64_t c = 0; c < n; ++c) {
            double top = raw[c * cStride];
            for (std::int64_t k = 1; k < n; ++k)
                if (raw[k * kStride + c * cStride] > top)
                    top = raw[k * kStride + c * cStride];
            colMax[c] = top;
            wide[c] = 0.0;
            for (std::int64_t k = 0; k < n; ++k) {
                const double v = raw[k * kStride + c * cStride];
                // A column that is -Inf throughout has no term: all zeros.
                const double d = top == -inf ? -inf : v - top;
                if (v > -inf && d < -spreadOfA)
                    wide[c] = 1.0;
                scaled[k * n + c] = d;
            }
        }
        kernel::expArray(scaled, scaled, n * n, isa);
        columnSpan = spanOf(colMax, n); // (M has no NaN here)
        // The finite entries, where few enough to be listed.
        depth = 1;
        for (std::int64_t c = 0; c < n; ++c) {
            std::int64_t finite = 0;
            for (std::int64_t k = 0; k < n; ++k)
                finite += raw[k * kStride + c * cStride] > -inf;
            depth = finite > depth ? finite : depth;
        }
        ld = (n + 7) / 8 * 8;
        sparse = depth * ld <= capacity(n);
        for (std::int64_t c = 0; sparse && c < ld; ++c) {
            std::int64_t r = 0;
            for (std::int64_t k = 0; c < n && k < n; ++k) {
                const double v = raw[k * kStride + c * cStride];
                if (v > -inf) {
                    values[r * ld + c] = v;
                    rowOf[r++ * ld + c] = static_cast<std::int32_t>(k);
                }
            }
            for (; r < depth; ++r) {
                values[r * ld + c] = -inf;
                rowOf[r * ld + c] = 0;
            }
        }
        for (std::int64_t k = 0; k < n; ++k) {
            lo[k] = static_cast<std::int32_t>(n);
            hi[k] = -1;
            for (std::int64_t c = 0; c < n; ++c) {
                if (wide[c] != 0.0)
                    scaled[k * n + c] = 0.0;
                if (scaled[k * n + c] != 0.0) {
                    if (lo[k] == n)
                        lo[k] = static_cast<std::int32_t>(c);
                    hi[k] = static_cast<std::int32_t>(c);
                }
            }
        }
    }

    // out[c] = log sum_k exp(x[k] + M(k, c)) for every c that is not wide;
    // false when the step must be summed exactly (its largest term is not
    // finite, or lies beyond the guard).
    bool step(const double *x, double *out, kernel::Isa isa) { return step(x, spanOf(x, n), out, isa); }

    // Every column's exact sum, as kernel::addexpRows forms it (the largest
    // term by a strict scan, exp(term - largest) added in k order from 0,
    // log of the sum plus the largest, -Inf where every term is -Inf), from
    // the finite entries of M alone: every other term is -Inf (x has no NaN
    // or +Inf: step declines those first), whose exp, +0, leaves each sum
    // as it is, so the results are the exact sums' own bits.
    void exactSparse(const double *x, double *out, kernel::Isa isa)
    {
        kernel::addexpSparse(x, rowOf, values, ld, depth, n, out, band, kernel::AllMinusInf::MinusInf, isa);
    }

    // The same, with x's span already known.
    bool step(const double *x, const Span &span, double *out, kernel::Isa isa)
    {
        const double m = span.top;
        if (span.nan || !withinGuard(m))
            return false;

        if (span.least >= m - bandWidth) {
            // One band, every state in state order (a -Inf term's weight is
            // exp(-Inf) = 0 and adds nothing): no per-column decisions.
            for (std::int64_t k = 0; k < n; ++k)
                p[k] = x[k] - m;
            kernel::expArray(p, p, n, isa);
            kernel::weightedRows(p, every, n, scaled, n, n, sum, isa);
            kernel::logArray(sum, p, n, isa);
            for (std::int64_t c = 0; c < n; ++c)
                out[c] = (m + colMax[c]) + p[c];
            return true;
        }

        // A sparse M's step spread over more than one band: the exact sums
        // from the finite terms alone.
        if (sparse) {
            exactSparse(x, out, isa);
            return true;
        }

        // A small model's step spread over more than one band costs less as
        // exact sums (N^2 exps) than sorted into bands.
        if (n <= smallSpread)
            return false;

        // Bands: the finite terms in decreasing order (by state where equal),
        // a new band wherever a term falls more than W below its band's top.
        std::int32_t count = 0, bands = 0;
        for (std::int64_t k = 0; k < n; ++k)
            if (x[k] > -inf)
                order[count++] = static_cast<std::int32_t>(k);
        std::sort(order, order + count, [x](std::int32_t i, std::int32_t j) {
            return x[i] > x[j] || (x[i] == x[j] && i < j);
        });
        double top = m;
        bandStart[0] = 0;
        bandTop[0] = m;
        for (std::int32_t idx = 0; idx < count; ++idx) {
            const double v = x[order[idx]];
            if (v < top - bandWidth) {
                bandStart[++bands] = idx;
                bandTop[bands] = top = v;
            }
            p[idx] = v - top;
        }
        bandStart[++bands] = count;
        kernel::expArray(p, p, count, isa);

        // Band by band, over the columns its states reach: each column keeps
        // its first nonzero band sum and, where that is small, the next one.
        for (std::int64_t c = 0; c < n; ++c) {
            first[c] = -1;
            next[c] = 0.0;
        }
        for (std::int32_t b = 0; b < bands; ++b) {
            std::int32_t from = static_cast<std::int32_t>(n), to = -1;
            for (std::int32_t idx = bandStart[b]; idx < bandStart[b + 1]; ++idx) {
                from = std::min(from, lo[order[idx]]);
                to = std::max(to, hi[order[idx]]);
            }
            if (to < from)
                continue;
            kernel::weightedRows(p + bandStart[b], order + bandStart[b], bandStart[b + 1] - bandStart[b],
                                 scaled + from, n, to - from + 1, band + from, isa);
            for (std::int32_t c = from; c <= to; ++c) {
                const double v = band[c];
                if (first[c] < 0) {
                    if (v != 0.0) {
                        first[c] = b;
                        sum[c] = v;
                    }
                } else if (first[c] == b - 1 && sum[c] < oneBandEnough) {
                    next[c] = v;
                }
            }
        }

        for (std::int64_t c = 0; c < n; ++c) {
            const std::int32_t b = first[c];
            if (b < 0) { // only -Inf terms (or a wide column, summed exactly)
                sum[c] = 0.0;
                band[c] = 0.0;
                continue;
            }
            const double s0 = sum[c], s1 = next[c];
            if (s0 >= oneBandEnough || s1 == 0.0) {
                band[c] = bandTop[b] + colMax[c];
                continue;
            }
            // Two bands: each as a log, then the larger plus the log of 1
            // plus the exp of their difference.
            double l[2] = {s0, s1};
            kernel::logArray(l, l, 2, isa);
            const double b0 = bandTop[b] + l[0], b1 = bandTop[b + 1] + l[1];
            const double larger = b0 > b1 ? b0 : b1;
            double rest = (b0 > b1 ? b1 : b0) - larger;
            kernel::expArray(&rest, &rest, 1, isa);
            sum[c] = 1.0 + rest;
            band[c] = larger + colMax[c];
        }
        kernel::logArray(sum, p, n, isa);
        for (std::int64_t c = 0; c < n; ++c)
            out[c] = band[c] + p[c];
        return true;
    }
};

} // namespace

} // namespace trellis

#endif
