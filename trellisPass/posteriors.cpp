// The state and pairwise posteriors, from the forward and backward
// variables.
#include "trellisInternal.h"

#include <algorithm>
#include <cstdint>

namespace trellis {

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
void statePosteriors(const Model &m, const Scratch &s, const double *alpha, const double *beta, double *gamma,
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

void fillLastSlice(const Model &m, double *xi)
{
    double *lastSlice = xi + (m.t - 1) * m.n * m.n;
    for (std::int64_t e = 0; e < m.n * m.n; ++e)
        lastSlice[e] = logZero;
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

    fillLastSlice(m, xi);
}

// Pairwise posteriors from the state posteriors' normaliser: the N^2 terms
// of step t sum to the total over states of alpha(t+1) + beta(t+1), so
// each element is a few additions, written in logXi's own order.
// The slices of the steps [t0, t1) (t1 <= T - 1). A step whose alpha(t) or
// beta(t+1) is wild (NaN, +Inf, beyond the guard: its terms could overflow,
// and the literal sum of a step with a +Inf term is NaN throughout) takes
// its own sum instead (exactSlice).
void scaledPairwise(const Model &m, const Scratch &s, const double *alpha, const double *beta, double *xi,
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
    fillLastSlice(m, xi);
}

// Whether logXi comes from the state normaliser: the engine runs, and logPi
// and logB hold no NaN, +Inf or value beyond the guard either (a step whose
// alpha or beta does takes its own sum: scaledPairwise).
bool xiFromNormaliser(const Model &m, const Scratch &s)
{
    return engineRuns(m, s) && tame(m.logPi, m.n) && tame(m.logB, m.n * m.t);
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

} // namespace trellis
