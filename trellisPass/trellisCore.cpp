#include "trellisCore.h"

#include "addexp.h"

namespace trellis {

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

// An empty model (no states or no steps) has empty outputs: nothing to write.
static bool isEmpty(const Model &m)
{
    return m.n <= 0 || m.t <= 0;
}

void forwardStep(const Model &m, const Scratch &s, double *alpha)
{
    if (isEmpty(m))
        return;
    const kernel::Isa isa = kernel::bestIsa();
    const std::int64_t n = m.n;
    const double *a = m.logA;
    const double *b = m.logB;

    for (std::int64_t i = 0; i < n; ++i)
        alpha[i] = kernel::oneNaN(m.logPi[i] + b[i]);
    if (m.t < 2)
        return;

    // The kernel sums the terms alpha(k, t-1) + A(k, j) over k for every j
    // at once, one j per register lane: it reads A by rows, so the work
    // matrix holds A with its rows laid out contiguously.
    double *aRows = s.work;
    forEachTile(n, [&](std::int64_t j, std::int64_t k) { aRows[j + k * n] = a[k + j * n]; });

    for (std::int64_t t = 1; t < m.t; ++t) {
        const double *prev = alpha + (t - 1) * n;
        kernel::addexpRows(prev, aRows, n, n, n, s.sum, s.maxima, kernel::AllMinusInf::MinusInf, isa);
        double *cur = alpha + t * n;
        const double *bt = b + t * n;
        for (std::int64_t j = 0; j < n; ++j)
            cur[j] = kernel::oneNaN(s.sum[j] + bt[j]);
    }
}

void backwardStep(const Model &m, const Scratch &s, double *beta)
{
    if (isEmpty(m))
        return;
    const kernel::Isa isa = kernel::bestIsa();
    const std::int64_t n = m.n;
    const double *a = m.logA;
    const double *b = m.logB;

    double *last = beta + (m.t - 1) * n;
    for (std::int64_t i = 0; i < n; ++i)
        last[i] = 0.0;

    for (std::int64_t t = m.t - 2; t >= 0; --t) {
        const double *bNext = b + (t + 1) * n;
        const double *betaNext = beta + (t + 1) * n;
        // B(k, t+1) + beta(k, t+1) is the same for every j: formed once per k
        // in the state vector, which this step does not otherwise use.
        for (std::int64_t k = 0; k < n; ++k)
            s.state[k] = bNext[k] + betaNext[k];
        // The terms state(k) + A(j, k), summed over k for every j at once:
        // for a fixed k, A(j, k) over j is column k of A, contiguous.
        double *cur = beta + t * n;
        kernel::addexpRows(s.state, a, n, n, n, cur, s.maxima, kernel::AllMinusInf::MinusInf, isa);
    }
}

void statePosteriorStep(const Model &m, const Scratch &s, const double *alpha,
                        const double *beta, double *gamma)
{
    if (isEmpty(m))
        return;
    const kernel::Isa isa = kernel::bestIsa();
    const std::int64_t n = m.n;
    const std::int64_t column[2] = {n, 1};
    for (std::int64_t t = 0; t < m.t; ++t) {
        const std::int64_t off = t * n;
        for (std::int64_t j = 0; j < n; ++j)
            s.state[j] = alpha[off + j] + beta[off + j];
        kernel::addexp(s.state, column, s.sum, s.maxima, kernel::AllMinusInf::MinusInf, isa);
        const double total = s.sum[0];
        for (std::int64_t j = 0; j < n; ++j)
            gamma[off + j] = kernel::oneNaN(s.state[j] - total);
    }
}

void pairwiseStep(const Model &m, const Scratch &s, const double *alpha, const double *beta,
                  double *xi)
{
    if (isEmpty(m))
        return;
    const kernel::Isa isa = kernel::bestIsa();
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
        for (std::int64_t i = 0; i < n; ++i) {
            second[i + n * i] = kernel::oneNaN(second[i + n * i] - total[1]);
            for (std::int64_t j = i + 1; j < n; ++j) {
                const double below = second[j + i * n];
                second[j + i * n] = kernel::oneNaN(second[i + j * n] - total[1]);
                second[i + j * n] = kernel::oneNaN(below - total[1]);
            }
        }
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

void forwardBackward(const Model &m, const Scratch &s, int outputs, double *alpha, double *beta,
                     double *gamma, double *xi)
{
    forwardStep(m, s, alpha);
    if (outputs > 1)
        backwardStep(m, s, beta);
    if (outputs > 2)
        statePosteriorStep(m, s, alpha, beta, gamma);
    if (outputs > 3)
        pairwiseStep(m, s, alpha, beta, xi);
}

} // namespace trellis
