#include "trellisCore.h"

#include "addexp.h"
#include "fpState.h"
#include "smallSteps.h"
#include "threads.h"

#include <algorithm>
#include <type_traits>
#include <cstdint>
#include <cstring>

namespace trellis {

static constexpr double inf = __builtin_inf();

// Bit 63 set where v lies beyond the guard (overflowGuard = 2^1020): NaN,
// +-Inf, or a value whose sums could overflow, all of them with an exponent
// field of at least 2043 (0x7FB), which 5 more carries into bit 63. Bit
// operations only, so that loops that or these together vectorise.
static inline std::uint64_t beyondBit(double v)
{
    static_assert(overflowGuard == 0x1p1020, "the exponent field of the guard is 0x7FB");
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return (bits & 0x7FF0000000000000ULL) + 0x0050000000000000ULL;
}

// The same where v is wild: beyond the guard, but not -Inf (log 0).
static inline std::uint64_t wildBit(double v)
{
    return beyondBit(v == -inf ? 0.0 : v);
}

// Calls f(outer, inner) for every pair of 0 <= outer, inner < n, in square
// tiles, for loops that read or write one of two n x n matrices across its
// columns. Each element is computed on its own, so the visiting order does
// not change any result.
template <class F>
static void forEachTile(std::int64_t n, F &&f)
{
    const std::int64_t tile = 8;
    for (std::int64_t o0 = 0; o0 < n; o0 += tile) {
        const std::int64_t o1 = o0 + tile < n ? o0 + tile : n;
        for (std::int64_t i0 = 0; i0 < n; i0 += tile) {
            const std::int64_t i1 = i0 + tile < n ? i0 + tile : n;
            for (std::int64_t o = o0; o < o1; ++o)
                for (std::int64_t i = i0; i < i1; ++i)
                    f(o, i);
        }
    }
}

// Every value the pass writes goes through kernel::oneNaN, so each NaN it
// writes has the same bits whatever made it (the kernel's own results
// already are).

// One column of pairwise terms: out[j] = ((aRow[j] + b[j]) + beta[j]) + alpha.
static void pairwiseTerms(const double *__restrict aRow, const double *__restrict b,
                          const double *__restrict beta, double alpha, double *__restrict out,
                          std::int64_t n)
{
    for (std::int64_t j = 0; j < n; ++j)
        out[j] = ((aRow[j] + b[j]) + beta[j]) + alpha;
}

// The register width of a pass: the widest this processor runs (asked once
// per process), unless a test chose one.
static kernel::Isa pathOf(const Scratch &s)
{
    return s.path < 0 ? kernel::bestIsa() : static_cast<kernel::Isa>(s.path);
}

// An empty model (no states or no steps) has empty outputs: nothing to write.
static bool isEmpty(const Model &m)
{
    return m.n <= 0 || m.t <= 0;
}

// The totals over states of alpha + beta (each a column log-sum-exp, -Inf
// for all -Inf) of up to `chunk` steps at once (N^2/2, their totals and
// maxima in the work matrix, free once the passes are done; one step for a
// single state), from step t0: alpha + beta into `sums` a step to a column
// (n * count doubles, which the caller lends from an output about to be
// written), each total into totals[k]; and whether none of those alpha and
// beta is wild. As one matrix, several steps share a register; each
// column's bits are its own.
struct Totals {
    std::int64_t chunk;
    double *totals, *maxima;
    Totals(const Scratch &s, std::int64_t n)
        : chunk(n > 1 ? n * n / 2 : 1), totals(n > 1 ? s.work : s.sum), maxima(n > 1 ? s.work + n * n / 2 : s.maxima)
    {
    }
    bool of(const Model &m, const double *alpha, const double *beta, std::int64_t t0, std::int64_t count,
            double *sums, kernel::Isa isa) const
    {
        const std::int64_t n = m.n;
        std::uint64_t wild = 0;
        for (std::int64_t k = 0; k < n * count; ++k) {
            const double a = alpha[t0 * n + k], b = beta[t0 * n + k];
            sums[k] = a + b;
            wild |= wildBit(a) | wildBit(b);
        }
        const std::int64_t dims[2] = {n, count};
        kernel::addexp(sums, dims, totals, maxima, kernel::AllMinusInf::MinusInf, isa);
        return !(wild >> 63);
    }
};

// The state posteriors of the steps [t0, t1).
static void statePosteriors(const Model &m, const Scratch &s, const double *alpha, const double *beta, double *gamma,
                            std::int64_t t0, std::int64_t t1)
{
    const kernel::Isa isa = pathOf(s);
    const std::int64_t n = m.n;
    const Totals totals(s, n);
    for (std::int64_t t = t0; t < t1; t += totals.chunk) {
        const std::int64_t count = std::min(totals.chunk, t1 - t);
        double *g = gamma + t * n;
        totals.of(m, alpha, beta, t, count, g, isa);
        for (std::int64_t k = 0; k < count; ++k)
            for (std::int64_t j = 0; j < n; ++j)
                g[k * n + j] = kernel::oneNaN(g[k * n + j] - totals.totals[k]);
    }
}

void statePosteriorStep(const Model &m, const Scratch &s, const double *alpha,
                        const double *beta, double *gamma)
{
    if (!isEmpty(m))
        statePosteriors(m, s, alpha, beta, gamma, 0, m.t);
}

// A slice holding its step's terms in the work matrix's layout (the
// transition i -> j at j + i n) becomes the slice (at i + n j), each term
// less the step's total: turned round in place.
static void turnRound(double *slice, std::int64_t n, double total)
{
    for (std::int64_t i = 0; i < n; ++i) {
        slice[i + n * i] = kernel::oneNaN(slice[i + n * i] - total);
        for (std::int64_t j = i + 1; j < n; ++j) {
            const double below = slice[j + i * n];
            slice[j + i * n] = kernel::oneNaN(slice[i + j * n] - total);
            slice[i + j * n] = kernel::oneNaN(below - total);
        }
    }
}

// Step t's slice from the log-sum-exp of its own N^2 terms, in the work
// matrix's order (exactPairwiseStep's bits), formed in the slice itself.
static void exactSlice(const Model &m, const double *alpha, const double *beta, std::int64_t t, double *slice,
                       kernel::Isa isa)
{
    const std::int64_t n = m.n;
    const double *bNext = m.logB + (t + 1) * n;
    const double *betaNext = beta + (t + 1) * n;
    for (std::int64_t i = 0; i < n; ++i)
        for (std::int64_t j = 0; j < n; ++j)
            slice[j + i * n] = ((m.logA[i + j * n] + bNext[j]) + betaNext[j]) + alpha[i + t * n];
    const std::int64_t whole[2] = {n * n, 1};
    double total, largest;
    kernel::addexp(slice, whole, &total, &largest, kernel::AllMinusInf::MinusInf, isa);
    turnRound(slice, n, total);
}

static void exactPairwiseStep(const Model &m, const Scratch &s, const double *alpha, const double *beta,
                              double *xi)
{
    if (isEmpty(m))
        return;
    const kernel::Isa isa = pathOf(s);
    const std::int64_t n = m.n;
    const std::int64_t nn = n * n;
    const double *a = m.logA;
    const double *b = m.logB;
    const std::int64_t whole[2] = {nn, 1};
    double *lastSlice = xi + (m.t - 1) * nn;

    // The last slice is written only at the end: until then it holds A
    // transposed, so the terms below read A along its rows contiguously.
    double *aT = lastSlice;
    forEachTile(n, [&](std::int64_t i, std::int64_t j) { aT[j + i * n] = a[i + j * n]; });

    // terms(j, i), moving from state i at t to state j at t+1: the
    // transpose of the slice it fills.
    auto terms = [&](std::int64_t t, double *out) {
        const double *bNext = b + (t + 1) * n;
        const double *betaNext = beta + (t + 1) * n;
        const double *alphaNow = alpha + t * n;
        for (std::int64_t i = 0; i < n; ++i)
            pairwiseTerms(aT + i * n, bNext, betaNext, alphaNow[i], out + i * n, n);
    };

    // Two steps at a time: the N*N additions of each step's sum follow one
    // another in a fixed order, so two steps' sums are interleaved. The
    // second step's terms wait in its own slice, and are turned round there.
    std::int64_t t = 0;
    for (; t + 2 < m.t; t += 2) {
        double *second = xi + (t + 1) * nn;
        terms(t, s.work);
        terms(t + 1, second);
        const double *columns[2] = {s.work, second};
        double total[2], maxima[2];
        kernel::addexpTwo(columns, nn, total, maxima, kernel::AllMinusInf::MinusInf, isa);
        double *slice = xi + t * nn;
        forEachTile(n, [&](std::int64_t j, std::int64_t i) {
            slice[i + n * j] = kernel::oneNaN(s.work[j + i * n] - total[0]);
        });
        turnRound(second, n, total[1]);
    }
    if (t + 1 < m.t) {
        terms(t, s.work);
        kernel::addexp(s.work, whole, s.sum, s.maxima, kernel::AllMinusInf::MinusInf, isa);
        const double total = s.sum[0];
        double *slice = xi + t * nn;
        forEachTile(n, [&](std::int64_t j, std::int64_t i) { slice[i + n * j] = kernel::oneNaN(s.work[j + i * n] - total); });
    }

    for (std::int64_t e = 0; e < nn; ++e)
        lastSlice[e] = logZero;
}

// ---------------------------------------------------------------------------
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

// Whether every value is -Inf or within the guard (no NaN, no +Inf).
bool tame(const double *v, std::int64_t count)
{
    std::uint64_t wild = 0;
    for (std::int64_t k = 0; k < count; ++k)
        wild |= wildBit(v[k]);
    return !(wild >> 63);
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

bool twoThreadsPay(std::int64_t n, std::int64_t t)
{
    // A step of one pass costs about N^2 + 48N + 200 units of 0.1-0.15 ns
    // on one core: its N^2 terms, an exp and a log per state, and a fixed
    // part. The passes go to two threads from 2^23 units each, about a
    // millisecond (small models cost more per term, so they reach it at
    // fewer terms).
    // (logA's N^2 doubles exist, so N^2 + 48N + 200 fits in 64 bits.)
    if (n <= 0 || t <= 1)
        return false;
    const std::int64_t perStep = n * n + 48 * n + 200;
    const std::int64_t units = t > INT64_MAX / perStep ? INT64_MAX : perStep * t;
    return threads::forWork(units, std::int64_t(1) << 22, 2) >= 2;
}

std::int64_t engineDoubles(std::int64_t n)
{
    // Up to 16 states, an engine for each pass (backwardEngine).
    return Engine::doubles(n) * (n <= probabilityStates ? 2 : 1);
}

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
            bad = w[j] > -inf && w[j] < -600.0;
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
    if (!(largest >= 0x1p-100))
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
        tiny = tiny || (v < 0x1p-860 && sum[j] != 0.0 && factor[j] != 0.0);
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
    return !span.nan && withinGuard(span.top) && span.least >= span.top - 590.0;
}

// Two states whose values lay more than 600 apart when a step last looked
// (none: -1). While they still do, the step's values span more than one
// band: it cannot run in the probability domain, and a small model's engine
// (no sparse entries) declines it. Such a model then takes the exact sums
// without finding the values' span first, with the same bits; a
// left-to-right model's steps mostly do.
struct Spread {
    bool on = false; // the engine declines such steps (declinesSpread)
    std::int32_t hi = -1, lo = -1;

    // x's span (true), noted; or false, nothing found, while the two states
    // noted last still lie more than a band apart in x.
    inline __attribute__((always_inline)) bool find(const double *x, std::int64_t n, Span &span)
    {
        if (on && holds(x))
            return false;
        span = spanOf(x, n);
        if (on)
            note(x, n, span);
        return true;
    }

    // (The engine's own test of a step's span, x[lo] standing for the least
    // value and x[hi] for the largest: it fails wherever this holds.)
    bool holds(const double *x) const { return hi >= 0 && x[lo] > -inf && x[lo] < x[hi] - bandWidth; }

    // The states of the largest and the least finite value of x (span),
    // where they lie more than 600 apart.
    void note(const double *x, std::int64_t n, const Span &span)
    {
        hi = lo = -1;
        if (span.nan || !(span.top < inf) || !(span.least < span.top - bandWidth))
            return;
        for (std::int64_t k = 0; k < n; ++k) {
            if (hi < 0 && x[k] == span.top)
                hi = static_cast<std::int32_t>(k);
            if (lo < 0 && x[k] == span.least)
                lo = static_cast<std::int32_t>(k);
        }
        if (hi < 0 || lo < 0)
            hi = lo = -1;
    }
};

// Whether the engine e declines every step whose values span more than one
// band (a small model without sparse entries), so that Spread may skip it.
static bool declinesSpread(const Engine *e)
{
    return e && e->n <= smallSpread && !e->sparse;
}

// Whether any column (forward) or row (backward) of the engine e is wide:
// summed exactly even on the engine's steps.
static bool anyWideOf(const Engine *e, std::int64_t n)
{
    for (std::int64_t j = 0; e && j < n; ++j)
        if (e->wide[j] != 0.0)
            return true;
    return false;
}

// One step's exact sums out[j] = log sum_k exp(terms[k] + rows[j + k n]):
// the engine's where `engine` and it takes the step (its wide ones redone
// by the kernel), the kernel's otherwise.
static inline __attribute__((always_inline)) void exactSums(Engine *e, bool engine, bool anyWide,
                                                             const double *terms, const Span &span,
                                                             const double *rows, std::int64_t n, double *out,
                                                             double *maxima, kernel::Isa isa)
{
    if (!engine || !e || !e->step(terms, span, out, isa)) {
        kernel::addexpRows(terms, rows, n, n, n, out, maxima, kernel::AllMinusInf::MinusInf, isa);
    } else if (anyWide) {
        for (std::int64_t j = 0; j < n; ++j)
            if (e->wide[j] != 0.0)
                kernel::addexpRows(terms, rows + j, n, n, 1, out + j, maxima, kernel::AllMinusInf::MinusInf, isa);
    }
}

// The forward steps, one block of probability-domain steps or one exact step
// at a time (next): through the engine e where it runs (null: every sum an
// exact column log-sum-exp), with the exact row sums of the wide columns and
// of the steps the engine declines.
//
// Probability-domain steps, up to a block of them from step t0 (alpha(t0 - 1)
// known): while every state's weight stays within about 596 nats of the
// largest, alpha(t) = L(t) + log q(t) with q(j, t) in (2^-860, 2) or exactly
// 0 (only -Inf terms), carried from step to step by
//   r(j) = (sum_i q(i, t-1) S(i, j)) E(j, t),  E(j, t) = exp(logB(j, t) + c_j - e_t),
//   mu = 2^k <= max_j r(j) < 2^(k+1),  q(j, t) = r(j) / mu (exact),
//   L(t) = (L(t-1) + e_t) + log mu,
// e_t the step's largest logB(j, t) + c_j: N^2 multiply-adds and a few
// multiplications per step, the exps of a block's emissions and the logs of
// its results each taken in one pass. Every product is a normal double (no
// term lost), so the error bound of the band sums holds. A step that would
// leave the range (a weight below 2^-860 that is not 0, an emission more
// than 600 below the step's largest, a non-finite value) is left undone,
// and taken exactly where it is a block's first.
class ForwardPass {
public:
    ForwardPass(const Model &m, const Scratch &s, double *alpha, Engine *e, kernel::Isa isa)
        : m_(m), s_(s), alpha_(alpha), e_(e), isa_(isa), n_(m.n)
    {
        // The exact sums take the terms alpha(k, t-1) + A(k, j) over k for
        // every j at once, one j per register lane: they read A by rows, so
        // the work matrix holds A with its rows laid out contiguously.
        const double *a = m.logA;
        double *aRows = s.work;
        const std::int64_t n = n_;
        forEachTile(n, [&](std::int64_t j, std::int64_t k) { aRows[j + k * n] = a[k + j * n]; });
        anyWide_ = anyWideOf(e, n);
        spread_.on = declinesSpread(e);
    }

    bool done() const { return t_ >= m_.t; }

    // A block of probability-domain steps from the next step, ready to run
    // (true), where they stay in range (no wide column), for the models
    // whose steps are short enough that their exps and logs, not their sums,
    // would set the pace; otherwise the next step, taken exactly (false).
    bool next(Block &b)
    {
        const double *prev = alpha_ + (t_ - 1) * n_;
        span_ = Span{};
        if (e_ && !spread_.find(prev, n_, span_)) {
            exact(false);
            return false;
        }
        if (e_ && !anyWide_ && n_ <= probabilityStates && inRange(span_) && ready(b))
            return true;
        exact();
        return false;
    }

    // The block's steps (in registers, or the portable ones).
    std::int64_t run(const Block &b)
    {
        return runBlock(*e_, b, isa_, [&] { return bySize(n_, [&](auto states) { return portable(b, states); }); });
    }

    // The end of a block whose first `done` steps were done: their logs and
    // levels (of those kept); where none was, its first step taken exactly.
    void finish(const Block &b, std::int64_t done)
    {
        done = finishBlock(*e_, alpha_, n_, t_, 1, done, b.chain.level, 0.0, b.inRegisters, isa_);
        if (done == 0)
            exact();
        else
            t_ += done;
    }

private:
    bool ready(Block &b)
    {
        const std::int64_t n = n_, t0 = t_;
        Engine &e = *e_;
        const std::int64_t end = std::min(m_.t, t0 + Engine::block);
        const double top = span_.top;
        // Each step's emission weights, as far as they stay in range.
        const std::int64_t count = blockEmissions(m_.logB + t0 * n, n, e.colMax, n, end - t0, e, isa_);
        if (count == 0)
            return false;
        kernel::expArray(e.weights, e.weights, count * n, isa_);
        const double *q0 = firstWeights(alpha_ + (t0 - 1) * n, top, n, e.p, isa_);
        // Each step's weights go straight into its row of alpha, the next
        // step's q; the block's logs are taken at the end.
        b.chain = avx2::ChainArgs{false, e.scaled, e.weights, nullptr, q0, alpha_ + t0 * n, n, e.tops, top, 0.0,
                                  count};
        b.inRegisters = stepsInRegisters(n, isa_);
        return true;
    }

    template <class States>
    std::int64_t portable(const Block &b, States)
    {
        constexpr int N = States::value;
        Engine &e = *e_;
        const std::int64_t n = n_, t0 = t_;
        const double *q = b.chain.q0;
        std::int64_t k = 0;
        for (; k < b.chain.count; ++k) {
            const double *w = e.weights + k * n;
            double mu;
            if (!advance<N>(n, e, q, w, alpha_ + (t0 + k) * n, mu, isa_))
                break;
            q = alpha_ + (t0 + k) * n;
            e.scales[k] = mu;
        }
        return k;
    }

    // Step t taken exactly (the engine's sums where it takes them, unless
    // `engine` is false: it would decline the step).
    inline __attribute__((always_inline)) void exact(bool engine = true)
    {
        const std::int64_t n = n_, t = t_;
        const double *prev = alpha_ + (t - 1) * n;
        const Scratch &s = s_;
        exactSums(e_, engine, anyWide_, prev, span_, s.work, n, s.sum, s.maxima, isa_);
        double *cur = alpha_ + t * n;
        const double *bt = m_.logB + t * n;
        for (std::int64_t j = 0; j < n; ++j)
            cur[j] = kernel::oneNaN(s.sum[j] + bt[j]);
        ++t_;
    }

    const Model &m_;
    const Scratch &s_;
    double *alpha_;
    Engine *e_;
    kernel::Isa isa_;
    std::int64_t n_;
    std::int64_t t_ = 1; // the next step
    bool anyWide_ = false;
    Spread spread_; // of alpha(t - 1)
    Span span_{};   // alpha(t - 1)'s
};

// The backward steps, as ForwardPass, down from step T - 2: the terms
// state(k) + A(j, k), state(k) = B(k, t+1) + beta(k, t+1) formed once per
// k, summed over k for every j; for a fixed k, A(j, k) over j is column k
// of A, contiguous.
//
// Probability-domain steps, up to a block of them down from step t1
// (beta(t1 + 1) known), with r_i the largest entry of row i of logA,
// R_i = exp(r_i - rmax), S(j, i) = exp(A(i, j) - r_i),
//   p(j) = q(j, t+1) F(j),  F(j) = exp(logB(j, t+1) - e_t),
//   r(i) = (sum_j p(j) S(j, i)) R_i,  q(i, t) = r(i) / mu (mu a power of two),
//   L(t) = ((L(t+1) + e_t) + rmax) + log mu,  beta(t) = L(t) + log q(t).
class BackwardPass {
public:
    BackwardPass(const Model &m, const Scratch &s, double *beta, Engine *e, kernel::Isa isa)
        : m_(m), s_(s), beta_(beta), e_(e), isa_(isa), n_(m.n), t_(m.t - 2)
    {
        anyWide_ = anyWideOf(e, n_);
        afterSpread_.on = stateSpread_.on = declinesSpread(e);
    }

    bool done() const { return t_ < 0; }

    // As ForwardPass::next (no wide row).
    bool next(Block &b)
    {
        if (e_ && !anyWide_ && n_ <= probabilityStates && ready(b))
            return true;
        exact();
        return false;
    }

    std::int64_t run(const Block &b)
    {
        return runBlock(*e_, b, isa_, [&] { return bySize(n_, [&](auto states) { return portable(b, states); }); });
    }

    void finish(const Block &b, std::int64_t done)
    {
        done = finishBlock(*e_, beta_, n_, t_, -1, done, b.chain.level, b.chain.extra, b.inRegisters, isa_);
        if (done == 0)
            exact();
        else
            t_ -= done;
    }

private:
    bool ready(Block &b)
    {
        const std::int64_t n = n_, t1 = t_;
        Engine &e = *e_;
        const std::int64_t low = std::max<std::int64_t>(0, t1 - Engine::block + 1);
        const double *after = beta_ + (t1 + 1) * n;
        Span span;
        if (!afterSpread_.find(after, n, span))
            return false;
        const Span rows = e.columnSpan;
        const double top = span.top, rmax = rows.top;
        if (!inRange(span) || !(rmax > -inf) || rows.least < rmax - 100.0)
            return false;
        double *rowScale = e.bandTop;
        for (std::int64_t i = 0; i < n; ++i)
            rowScale[i] = e.colMax[i] - rmax;
        kernel::expArray(rowScale, rowScale, n, isa_);
        // Each step's emission weights (of the step after it), as far as
        // they stay in range.
        const std::int64_t count = blockEmissions(m_.logB + (t1 + 1) * n, -n, nullptr, n, t1 - low + 1, e, isa_);
        if (count == 0)
            return false;
        kernel::expArray(e.weights, e.weights, count * n, isa_);
        const double *q0 = firstWeights(after, top, n, e.p, isa_);
        b.chain = avx2::ChainArgs{true, e.scaled, e.weights, rowScale, q0, beta_ + t1 * n, -n, e.tops, top, rmax,
                                  count};
        b.inRegisters = stepsInRegisters(n, isa_);
        return true;
    }

    template <class States>
    std::int64_t portable(const Block &b, States)
    {
        constexpr int N = States::value;
        Engine &e = *e_;
        const std::int64_t n = n_, t1 = t_;
        const std::int64_t width = N > 0 ? N : n;
        const double *q = b.chain.q0;
        std::int64_t k = 0;
        for (; k < b.chain.count; ++k) {
            const double *w = e.weights + k * n;
            bool tiny = false;
            for (std::int64_t j = 0; j < width; ++j) {
                e.next[j] = q[j] * w[j];
                tiny = tiny || (e.next[j] < 0x1p-860 && q[j] != 0.0 && w[j] != 0.0);
            }
            if (tiny)
                break;
            double mu;
            if (!advance<N>(n, e, e.next, b.chain.rowScale, beta_ + (t1 - k) * n, mu, isa_))
                break;
            q = beta_ + (t1 - k) * n;
            e.scales[k] = mu;
        }
        return k;
    }

    inline __attribute__((always_inline)) void exact()
    {
        const std::int64_t n = n_, t = t_;
        const Scratch &s = s_;
        const double *a = m_.logA;
        const double *bNext = m_.logB + (t + 1) * n;
        const double *betaNext = beta_ + (t + 1) * n;
        for (std::int64_t k = 0; k < n; ++k)
            s.state[k] = bNext[k] + betaNext[k];
        double *cur = beta_ + t * n;
        Span span{};
        const bool engine = e_ && stateSpread_.find(s.state, n, span);
        exactSums(e_, engine, anyWide_, s.state, span, a, n, cur, s.maxima, isa_);
        for (std::int64_t i = 0; i < n; ++i)
            cur[i] = kernel::oneNaN(cur[i]);
        --t_;
    }

    const Model &m_;
    const Scratch &s_;
    double *beta_;
    Engine *e_;
    kernel::Isa isa_;
    std::int64_t n_;
    std::int64_t t_; // the next step
    bool anyWide_ = false;
    Spread afterSpread_, stateSpread_; // of beta(t + 1) and of the step's terms
};

// One pass to its end, a block or an exact step at a time.
template <class Pass>
static void runPass(Pass &&pass)
{
    Block b;
    while (!pass.done())
        if (pass.next(b))
            pass.finish(b, pass.run(b));
}

// Pairwise posteriors from the state posteriors' normaliser: the N^2 terms
// of step t sum to the total over states of alpha(t+1) + beta(t+1), so
// each element is a few additions, written in logXi's own order.
// The slices of the steps [t0, t1) (t1 <= T - 1). A step whose alpha(t) or
// beta(t+1) is wild (NaN, +Inf, beyond the guard: its terms could overflow,
// and the literal sum of a step with a +Inf term is NaN throughout) takes
// its own sum instead (exactSlice).
static void scaledPairwise(const Model &m, const Scratch &s, const double *alpha, const double *beta, double *xi,
                           std::int64_t t0, std::int64_t t1)
{
    const kernel::Isa isa = pathOf(s);
    const std::int64_t n = m.n;
    const std::int64_t nn = n * n;
    const double *a = m.logA;
    const double *b = m.logB;
    const Totals totals(s, n);
    // Whether alpha of the next chunk's first step is tame (after the first
    // chunk, the last row of alpha that the chunk before read for its totals).
    bool tameBefore = tame(alpha + t0 * n, n);
    for (std::int64_t c = t0; c < t1; c += totals.chunk) {
        // The next steps' totals, their sums lent by these steps' slices.
        const std::int64_t count = std::min(totals.chunk, t1 - c);
        const bool tameNext = totals.of(m, alpha, beta, c + 1, count, xi + c * nn, isa);
        const bool allTame = tameBefore && tameNext;
        tameBefore = tameNext;
        for (std::int64_t t = c; t < c + count; ++t) {
            if (!allTame && !(tame(alpha + t * n, n) && tame(beta + (t + 1) * n, n))) {
                exactSlice(m, alpha, beta, t, xi + t * nn, isa);
                continue;
            }
            const double *alphaNow = alpha + t * n;
            const double *bNext = b + (t + 1) * n;
            const double *betaNext = beta + (t + 1) * n;
            const double total = totals.totals[t - c];
            double *slice = xi + t * nn;
            for (std::int64_t j = 0; j < n; ++j) {
                const double *aColumn = a + j * n;
                const double bj = bNext[j], betaJ = betaNext[j];
                double *out = slice + j * n;
                for (std::int64_t i = 0; i < n; ++i)
                    out[i] = kernel::oneNaN((((aColumn[i] + bj) + betaJ) + alphaNow[i]) - total);
            }
        }
    }
}

static void scaledPairwiseStep(const Model &m, const Scratch &s, const double *alpha, const double *beta,
                               double *xi)
{
    scaledPairwise(m, s, alpha, beta, xi, 0, m.t - 1);
    double *lastSlice = xi + (m.t - 1) * m.n * m.n;
    for (std::int64_t e = 0; e < m.n * m.n; ++e)
        lastSlice[e] = logZero;
}

// Whether the engine runs: scratch for it, and a logA without NaN, +Inf or
// a value beyond the guard.
static bool engineRuns(const Model &m, const Scratch &s)
{
    return s.engine && tame(m.logA, m.n * m.n);
}

// Whether logXi comes from the state normaliser: the engine runs, and logPi
// and logB hold no NaN, +Inf or value beyond the guard either (a step whose
// alpha or beta does takes its own sum: scaledPairwise).
static bool xiFromNormaliser(const Model &m, const Scratch &s)
{
    return engineRuns(m, s) && tame(m.logPi, m.n) && tame(m.logB, m.n * m.t);
}

// The backward pass's engine: after the forward pass's where the steps may
// run in the probability domain, so that both passes can run together.
static double *backwardEngine(const Scratch &s, std::int64_t n)
{
    return s.engine + (n <= probabilityStates ? Engine::doubles(n) : 0);
}

// alpha(0); false where no step follows.
static bool startForward(const Model &m, double *alpha)
{
    for (std::int64_t i = 0; i < m.n; ++i)
        alpha[i] = kernel::oneNaN(m.logPi[i] + m.logB[i]);
    return m.t > 1;
}

// beta(T - 1) = 0; false where no step follows.
static bool startBackward(const Model &m, double *beta)
{
    double *last = beta + (m.t - 1) * m.n;
    for (std::int64_t i = 0; i < m.n; ++i)
        last[i] = 0.0;
    return m.t > 1;
}

void forwardStep(const Model &m, const Scratch &s, double *alpha)
{
    if (isEmpty(m) || !startForward(m, alpha))
        return;
    const kernel::Isa isa = pathOf(s);
    if (!engineRuns(m, s))
        return runPass(ForwardPass(m, s, alpha, nullptr, isa));
    Engine e(s.engine, m.n);
    e.prepare(m.logA, 1, m.n, isa); // M(i, j) = A(i, j): rows k = i, columns c = j
    runPass(ForwardPass(m, s, alpha, &e, isa));
}

void backwardStep(const Model &m, const Scratch &s, double *beta)
{
    if (isEmpty(m) || !startBackward(m, beta))
        return;
    const kernel::Isa isa = pathOf(s);
    if (!engineRuns(m, s))
        return runPass(BackwardPass(m, s, beta, nullptr, isa));
    Engine e(backwardEngine(s, m.n), m.n);
    e.prepare(m.logA, m.n, 1, isa); // M(j, i) = A(i, j): rows k = j, columns c = i
    runPass(BackwardPass(m, s, beta, &e, isa));
}

// Both passes on one thread, a block (or an exact step) of each in turn:
// where both blocks run four states in AVX2 registers, their chains of
// steps run together, each one's latency hidden by the other's work. The
// bits of one pass after the other.
static void bothPasses(const Model &m, const Scratch &s, double *alpha, double *beta)
{
    const std::int64_t n = m.n;
    if (isEmpty(m) || !engineRuns(m, s) || n > probabilityStates) {
        forwardStep(m, s, alpha);
        backwardStep(m, s, beta);
        return;
    }
    startForward(m, alpha);
    if (!startBackward(m, beta))
        return;
    const kernel::Isa isa = pathOf(s);
    Engine ef(s.engine, n), eb(backwardEngine(s, n), n);
    ef.prepare(m.logA, 1, n, isa);
    eb.prepare(m.logA, n, 1, isa);
    ForwardPass forward(m, s, alpha, &ef, isa);
    BackwardPass backward(m, s, beta, &eb, isa);
    const bool together = n == 4 && (isa == kernel::Isa::Avx2 || isa == kernel::Isa::Avx512);
    Block fb, bb;
    while (!forward.done() || !backward.done()) {
        const bool f = !forward.done() && forward.next(fb);
        const bool b = !backward.done() && backward.next(bb);
        if (f && b && together) {
            std::int64_t done[2];
            avx2::fourStatesTwo(fb.chain, bb.chain, done);
            forward.finish(fb, done[0]);
            backward.finish(bb, done[1]);
            continue;
        }
        if (f)
            forward.finish(fb, forward.run(fb));
        if (b)
            backward.finish(bb, backward.run(bb));
    }
}

void pairwiseStep(const Model &m, const Scratch &s, const double *alpha, const double *beta, double *xi)
{
    if (isEmpty(m))
        return;
    if (xiFromNormaliser(m, s))
        scaledPairwiseStep(m, s, alpha, beta, xi);
    else
        exactPairwiseStep(m, s, alpha, beta, xi);
}

namespace {

// Two threads' shares of a pass: the forward and the backward steps, which
// do not depend on each other, then the posteriors by halves of the steps;
// each thread with its own scratch and in the module's floating-point state.
struct TwoThreads {
    const Model *m;
    const Scratch *s[2];
    int outputs;
    double *alpha, *beta, *gamma, *xi;
    bool posteriors; // the second phase
    bool scaledXi;
};

void half(void *arg, int k)
{
    const TwoThreads &job = *static_cast<const TwoThreads *>(arg);
    const Model &m = *job.m;
    const fpstate::Saved saved = fpstate::enter();
    if (!job.posteriors) {
        if (k == 0)
            forwardStep(m, *job.s[0], job.alpha);
        else
            backwardStep(m, *job.s[1], job.beta);
    } else {
        const std::int64_t middle = m.t / 2;
        const std::int64_t t0 = k == 0 ? 0 : middle, t1 = k == 0 ? middle : m.t;
        statePosteriors(m, *job.s[k], job.alpha, job.beta, job.gamma, t0, t1);
        if (job.outputs > 3 && job.scaledXi)
            scaledPairwise(m, *job.s[k], job.alpha, job.beta, job.xi, t0, t1 < m.t ? t1 : m.t - 1);
    }
    fpstate::leave(saved);
}

} // namespace

void forwardBackward(const Model &m, const Scratch &s, int outputs, double *alpha, double *beta,
                     double *gamma, double *xi, const Scratch *second)
{
    if (!second || outputs < 2 || isEmpty(m)) {
        if (outputs > 1)
            bothPasses(m, s, alpha, beta);
        else
            forwardStep(m, s, alpha);
        if (outputs > 2)
            statePosteriorStep(m, s, alpha, beta, gamma);
        if (outputs > 3)
            pairwiseStep(m, s, alpha, beta, xi);
        return;
    }
    const bool scaledXi = xiFromNormaliser(m, s);
    TwoThreads job{&m, {&s, second}, outputs, alpha, beta, gamma, xi, false, scaledXi};
    threads::run(2, half, &job);
    if (outputs < 3)
        return;
    job.posteriors = true;
    threads::run(2, half, &job);
    if (outputs > 3) {
        if (scaledXi) {
            double *lastSlice = xi + (m.t - 1) * m.n * m.n;
            for (std::int64_t e = 0; e < m.n * m.n; ++e)
                lastSlice[e] = logZero;
        } else {
            pairwiseStep(m, s, alpha, beta, xi);
        }
    }
}

} // namespace trellis
