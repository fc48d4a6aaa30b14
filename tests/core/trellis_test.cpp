#include "trellisCore.h"
#include "ownedScratch.h"

#include "addexp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

// A model and the four outputs of one pass over it.
struct Pass {
    std::int64_t n, t;
    std::vector<double> pi, a, b;
    std::vector<double> alpha, beta, gamma, xi;
    int path = -1; // the kernel's register width (kernel::Isa), -1 the widest

    Pass(std::int64_t n_, std::int64_t t_) : n(n_), t(t_), pi(n_), a(n_ * n_), b(n_ * t_) {}

    // exact: every sum an exact column log-sum-exp (no engine scratch).
    void run(int outputs = 4, bool exact = false)
    {
        alpha.assign(n * t, 0.0);
        beta.assign(n * t, 0.0);
        gamma.assign(n * t, 0.0);
        xi.assign(n * n * t, 0.0);
        const trellis::OwnedScratch s(n, !exact, path);
        const trellis::Model m{n, t, pi.data(), a.data(), b.data()};
        trellis::forwardBackward(m, s.scratch(), outputs, alpha.data(), beta.data(), gamma.data(), xi.data());
    }
    double &A(std::int64_t i, std::int64_t j) { return a[i + j * n]; }
    double &B(std::int64_t j, std::int64_t k) { return b[j + k * n]; }
    double Xi(std::int64_t i, std::int64_t j, std::int64_t k) const { return xi[i + n * (j + n * k)]; }
};

// A random model of normalised log probabilities.
Pass randomModel(std::int64_t n, std::int64_t t, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0.05, 1.0);
    Pass p(n, t);
    auto normalise = [&](double *v, std::int64_t count, std::int64_t stride) {
        double total = 0;
        for (std::int64_t k = 0; k < count; ++k)
            total += v[k * stride] = u(rng);
        for (std::int64_t k = 0; k < count; ++k)
            v[k * stride] = std::log(v[k * stride] / total);
    };
    normalise(p.pi.data(), n, 1);
    for (std::int64_t i = 0; i < n; ++i)
        normalise(&p.A(i, 0), n, n); // each row of A sums to 1
    for (auto &v : p.b)
        v = std::log(u(rng));
    return p;
}

// Posteriors by enumerating every state path in plain probability.
struct Enumerated {
    std::vector<double> gamma, xi; // probabilities
};

Enumerated enumerate(Pass &p)
{
    const std::int64_t n = p.n, t = p.t;
    Enumerated e{std::vector<double>(n * t, 0.0), std::vector<double>(n * n * t, 0.0)};
    std::vector<std::int64_t> path(t, 0);
    double total = 0;
    for (;;) {
        double w = std::exp(p.pi[path[0]] + p.B(path[0], 0));
        for (std::int64_t k = 1; k < t; ++k)
            w *= std::exp(p.A(path[k - 1], path[k]) + p.B(path[k], k));
        total += w;
        for (std::int64_t k = 0; k < t; ++k) {
            e.gamma[path[k] + k * n] += w;
            if (k + 1 < t)
                e.xi[path[k] + n * (path[k + 1] + n * k)] += w;
        }
        std::int64_t k = 0;
        while (k < t && ++path[k] == n)
            path[k++] = 0;
        if (k == t)
            break;
    }
    for (auto &v : e.gamma)
        v /= total;
    for (auto &v : e.xi)
        v /= total;
    return e;
}

TEST(TrellisPass, PosteriorsMatchPathEnumeration)
{
    for (unsigned seed = 1; seed <= 6; ++seed) {
        Pass p = randomModel(3, 5 + seed % 2, seed);
        p.run();
        const Enumerated e = enumerate(p);
        for (std::int64_t k = 0; k < p.n * p.t; ++k)
            EXPECT_NEAR(std::exp(p.gamma[k]), e.gamma[k], 1e-12) << "seed " << seed;
        for (std::int64_t k = 0; k < p.n * p.n * (p.t - 1); ++k)
            EXPECT_NEAR(std::exp(p.xi[k]), e.xi[k], 1e-12) << "seed " << seed;
        // The total likelihood is the log-sum-exp of the last alpha column.
        double last = 0, pathTotal = 0;
        for (std::int64_t j = 0; j < p.n; ++j)
            last += std::exp(p.alpha[j + (p.t - 1) * p.n]);
        for (std::int64_t j = 0; j < p.n; ++j)
            pathTotal += std::exp(p.alpha[j] + p.beta[j]);
        EXPECT_NEAR(last, pathTotal, 1e-12 * last);
    }
}

TEST(TrellisPass, PosteriorIdentities)
{
    Pass p = randomModel(7, 40, 99);
    p.run();
    for (std::int64_t t = 0; t < p.t; ++t) {
        double g = 0;
        for (std::int64_t i = 0; i < p.n; ++i)
            g += std::exp(p.gamma[i + t * p.n]);
        EXPECT_NEAR(g, 1.0, 1e-13);
        if (t + 1 == p.t)
            break;
        double slice = 0;
        for (std::int64_t i = 0; i < p.n; ++i) {
            double row = 0;
            for (std::int64_t j = 0; j < p.n; ++j)
                row += std::exp(p.Xi(i, j, t));
            EXPECT_NEAR(row, std::exp(p.gamma[i + t * p.n]), 1e-13);
            slice += row;
        }
        EXPECT_NEAR(slice, 1.0, 1e-13);
    }
    for (std::int64_t e = 0; e < p.n * p.n; ++e)
        EXPECT_EQ(p.xi[e + p.n * p.n * (p.t - 1)], -1e300);
}

TEST(TrellisPass, SingleStateIsExactSums)
{
    Pass p = randomModel(1, 6, 3);
    p.A(0, 0) = -0.25;
    p.run();
    EXPECT_EQ(p.alpha[0], p.pi[0] + p.b[0]);
    for (std::int64_t t = 1; t < p.t; ++t)
        EXPECT_EQ(p.alpha[t], (p.alpha[t - 1] + p.A(0, 0)) + p.b[t]);
    EXPECT_EQ(p.beta[p.t - 1], 0.0);
    for (std::int64_t t = p.t - 2; t >= 0; --t)
        EXPECT_EQ(p.beta[t], (p.b[t + 1] + p.beta[t + 1]) + p.A(0, 0));
    for (std::int64_t t = 0; t < p.t; ++t) {
        EXPECT_EQ(p.gamma[t], 0.0);
        if (t + 1 < p.t)
            EXPECT_NEAR(p.xi[t], 0.0, 1e-13); // log 1, from sums that are rounded differently
        else
            EXPECT_EQ(p.xi[t], -1e300);
    }
}

TEST(TrellisPass, SingleStepMakesNoTransition)
{
    Pass p = randomModel(4, 1, 5);
    p.run();
    double total = 0;
    for (std::int64_t i = 0; i < 4; ++i) {
        EXPECT_EQ(p.alpha[i], p.pi[i] + p.b[i]);
        EXPECT_EQ(p.beta[i], 0.0);
        EXPECT_FALSE(std::signbit(p.beta[i]));
        total += std::exp(p.gamma[i]);
    }
    EXPECT_NEAR(total, 1.0, 1e-15);
    for (double v : p.xi)
        EXPECT_EQ(v, -1e300);
}

TEST(TrellisPass, UniformTwoStateModel)
{
    Pass p(2, 9);
    const double half = std::log(0.5);
    for (auto *v : {&p.pi, &p.a, &p.b})
        v->assign(v->size(), half);
    p.run();
    for (double g : p.gamma)
        EXPECT_NEAR(g, half, 1e-15);
    for (std::int64_t e = 0; e < 4 * 8; ++e)
        EXPECT_NEAR(p.xi[e], std::log(0.25), 4e-15);
}

TEST(TrellisPass, FewerOutputsLeaveTheRestUntouched)
{
    Pass p = randomModel(3, 4, 8);
    p.run(1);
    for (double v : p.beta)
        EXPECT_EQ(v, 0.0);
    p.run(2);
    for (double v : p.gamma)
        EXPECT_EQ(v, 0.0);
    p.run(3);
    for (double v : p.xi)
        EXPECT_EQ(v, 0.0);
}

TEST(TrellisPass, EmptyModelsWriteNothing)
{
    for (auto shape : {std::pair<int, int>{0, 5}, {3, 0}, {0, 0}}) {
        const std::int64_t n = shape.first, t = shape.second;
        double sentinel[4] = {7, 7, 7, 7};
        const trellis::Model m{n, t, nullptr, nullptr, nullptr};
        const trellis::Scratch s{sentinel, sentinel, sentinel, sentinel};
        trellis::forwardBackward(m, s, 4, sentinel, sentinel, sentinel, sentinel);
        for (double v : sentinel)
            EXPECT_EQ(v, 7.0);
    }
}

TEST(TrellisPass, ImpossibleTransitionsWithLogZero)
{
    // A left-to-right chain: state 0 can only stay or move to 1, 1 only stays.
    Pass p(2, 5);
    p.pi = {0.0, -1e300};
    p.a = {std::log(0.5), -1e300, std::log(0.5), 0.0};
    for (auto &v : p.b)
        v = std::log(0.5);
    p.run();
    for (double v : p.gamma)
        EXPECT_FALSE(std::isnan(v));
    EXPECT_NEAR(std::exp(p.gamma[0]), 1.0, 1e-15); // starts in state 0
    EXPECT_LT(std::exp(p.Xi(1, 0, 2)), 1e-200);    // never moves back
}

// The four outputs by the literal log-domain recurrences (each sum over
// states shifted by its largest term; a NaN term gives NaN, a +Inf one too,
// all -Inf terms -Inf), their terms added in the pass's order, in long
// double (the accuracy reference) or in double (where values overflow).
template <class Real>
struct ReferenceOf {
    std::vector<Real> alpha, beta, gamma, xi;
};
using Reference = ReferenceOf<long double>;

template <class Real>
Real logSum(const std::vector<Real> &terms)
{
    Real m = -INFINITY;
    for (Real v : terms) {
        if (v != v)
            return v;
        if (v > m)
            m = v;
    }
    if (m == -INFINITY)
        return -INFINITY;
    Real sum = 0;
    for (Real v : terms)
        sum += std::exp(v - m);
    return m + std::log(sum);
}

template <class Real = long double>
ReferenceOf<Real> reference(const Pass &p)
{
    const std::int64_t n = p.n, t = p.t;
    ReferenceOf<Real> r{std::vector<Real>(n * t), std::vector<Real>(n * t), std::vector<Real>(n * t),
                        std::vector<Real>(n * n * t, static_cast<Real>(trellis::logZero))};
    std::vector<Real> terms(n), pairs(n * n);
    auto A = [&](std::int64_t i, std::int64_t j) { return static_cast<Real>(p.a[i + j * n]); };
    auto B = [&](std::int64_t j, std::int64_t k) { return static_cast<Real>(p.b[j + k * n]); };
    for (std::int64_t i = 0; i < n; ++i)
        r.alpha[i] = p.pi[i] + B(i, 0);
    for (std::int64_t k = 1; k < t; ++k)
        for (std::int64_t j = 0; j < n; ++j) {
            for (std::int64_t i = 0; i < n; ++i)
                terms[i] = r.alpha[i + (k - 1) * n] + A(i, j);
            r.alpha[j + k * n] = logSum(terms) + B(j, k);
        }
    for (std::int64_t i = 0; i < n; ++i)
        r.beta[i + (t - 1) * n] = 0;
    for (std::int64_t k = t - 2; k >= 0; --k)
        for (std::int64_t i = 0; i < n; ++i) {
            for (std::int64_t j = 0; j < n; ++j)
                terms[j] = (B(j, k + 1) + r.beta[j + (k + 1) * n]) + A(i, j);
            r.beta[i + k * n] = logSum(terms);
        }
    for (std::int64_t k = 0; k < t; ++k) {
        for (std::int64_t i = 0; i < n; ++i)
            terms[i] = r.alpha[i + k * n] + r.beta[i + k * n];
        const Real z = logSum(terms);
        for (std::int64_t i = 0; i < n; ++i)
            r.gamma[i + k * n] = terms[i] - z;
        if (k + 1 == t)
            break;
        for (std::int64_t j = 0; j < n; ++j)
            for (std::int64_t i = 0; i < n; ++i)
                pairs[i + j * n] = ((A(i, j) + B(j, k + 1)) + r.beta[j + (k + 1) * n]) + r.alpha[i + k * n];
        const Real zz = logSum(pairs);
        for (std::int64_t e = 0; e < n * n; ++e)
            r.xi[e + k * n * n] = pairs[e] - zz;
    }
    return r;
}

// A sum whose largest terms lie in two bands: state 1's term (-590 - 100)
// is in the band of the largest state but tiny there, and state 2's term
// (-601), in the band below, is the larger one.
TEST(TrellisPass, TheBandBelowTheLargestTermCounts)
{
    Pass p(3, 2);
    p.pi = {0.0, -590.0, -601.0};
    p.a = {0.0, 0.0, 0.0, -INFINITY, -100.0, 0.0, 0.0, 0.0, 0.0};
    p.b.assign(6, 0.0);
    p.run(1);
    const Reference r = reference(p);
    EXPECT_NEAR(p.alpha[4], static_cast<double>(r.alpha[4]), 1e-12);
    EXPECT_NEAR(p.alpha[4], -601.0, 1e-9);
}

// A left-to-right model whose every step spreads over several bands (each
// three states 700 below the three before them, so that a column's terms
// are alike in size and their order counts): its sums, taken from the
// finite terms alone, are the exact sums' own bits, on every path; states
// reaching 3 on (a column's terms in registers) and 20 on (read again).
TEST(TrellisPass, SparseStepsAreTheExactSums)
{
    const std::int64_t cases[][2] = {{5, 3}, {33, 3}, {64, 3}, {96, 20}};
    for (auto nr : cases) {
        const std::int64_t n = nr[0], reach = nr[1];
        Pass p = randomModel(n, 12, static_cast<unsigned>(n));
        for (std::int64_t i = 0; i < n; ++i) {
            const double drop = 700.0 * static_cast<double>(i / 3);
            p.pi[i] -= drop;
            for (std::int64_t j = 0; j < n; ++j)
                if (j < i || j >= i + reach)
                    p.A(i, j) = -INFINITY;
            for (std::int64_t k = 0; k < p.t; ++k)
                p.B(i, k) -= drop;
        }
        Pass exact = p;
        exact.run(2, true);
        kernel::Isa isas[5];
        const int paths = kernel::availableIsas(isas);
        for (int k = 0; k < paths; ++k) {
            p.path = static_cast<int>(isas[k]);
            p.run(2);
            EXPECT_EQ(0, std::memcmp(p.alpha.data(), exact.alpha.data(), p.alpha.size() * sizeof(double))) << n;
            EXPECT_EQ(0, std::memcmp(p.beta.data(), exact.beta.data(), p.beta.size() * sizeof(double))) << n;
        }
    }
}

// The model kinds a faster engine can get wrong.
enum class Kind { Dense, MinusInfZeros, LogZeros, LeftToRight, Peaked, Dominant, Fading, Sinking, Unobserved, FarLogs };

Pass model(Kind kind, std::int64_t n, std::int64_t t, unsigned seed)
{
    Pass p = randomModel(n, t, seed);
    std::mt19937 rng(seed * 7 + 1);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const double zero = kind == Kind::LogZeros ? -1e300 : -INFINITY;
    switch (kind) {
    case Kind::Dense:
        break;
    case Kind::MinusInfZeros:
    case Kind::LogZeros:
        for (std::int64_t i = 0; i < n; ++i) {
            if (u(rng) < 0.3 && i > 0)
                p.pi[i] = zero;
            for (std::int64_t j = 0; j < n; ++j)
                if (u(rng) < 0.4 && j != i)
                    p.A(i, j) = zero;
        }
        break;
    case Kind::LeftToRight:
    case Kind::Peaked:
        if (kind == Kind::LeftToRight) {
            for (std::int64_t i = 0; i < n; ++i) {
                p.pi[i] = i == 0 ? 0.0 : -INFINITY;
                for (std::int64_t j = 0; j < n; ++j)
                    if (j < i || j > i + 2)
                        p.A(i, j) = -INFINITY;
            }
        }
        for (auto &v : p.b) // peaked emissions: log likelihoods from -1000 to 0
            v = u(rng) < 0.2 ? -1000.0 * u(rng) : -3.0 * u(rng);
        break;
    case Kind::Dominant: // state 0 ahead of every other by 800 nats and more
        for (std::int64_t i = 1; i < n; ++i)
            p.pi[i] -= 800.0 + 100.0 * u(rng);
        for (std::int64_t k = 0; k < t; ++k)
            for (std::int64_t j = 1; j < n; ++j)
                p.B(j, k) -= 850.0 * u(rng);
        break;
    case Kind::Fading:
    case Kind::Sinking:
        // Weights that leave the probability-domain steps' range in the
        // middle of a block. Fading: state 0 feeds state 1 at 90 below the
        // column's largest and state 1's emissions are 550 below, so state
        // 1's weight falls below 2^-860. Sinking: state 0 also stays with log
        // 80 below its column's largest (from state 1), so while it holds
        // the weight a step's largest falls below 2^-100.
        for (std::int64_t i = 0; i < n; ++i) {
            p.pi[i] = i == 0 ? 0.0 : -INFINITY;
            for (std::int64_t j = 0; j < n; ++j)
                p.A(i, j) = j == i ? (i == 0 && kind == Kind::Sinking ? -80.0 : 0.0)
                            : j == i + 1 ? -90.0
                            : i == 1 && j == 0 ? 0.0
                                               : -INFINITY;
        }
        for (std::int64_t k = 0; k < t; ++k)
            for (std::int64_t j = 1; j < n; ++j)
                p.B(j, k) = -550.0 - 10.0 * u(rng);
        break;
    case Kind::Unobserved: // an observation no state emits, halfway
        for (std::int64_t j = 0; j < n; ++j)
            p.B(j, t / 2) = -INFINITY;
        break;
    case Kind::FarLogs: // finite near-zeros (about -1e5) that the variables never come near
        for (std::int64_t i = 0; i < n; ++i)
            for (std::int64_t j = 0; j < n; ++j)
                if (j != i && u(rng) < 0.4)
                    p.A(i, j) = -1e5 - 2e4 * u(rng);
        break;
    }
    return p;
}

// Every register width this machine runs gives the four outputs of `want`
// (a model already run) bit for bit.
void expectEveryPathGivesTheBitsOf(const Pass &want)
{
    kernel::Isa isas[5];
    const int paths = kernel::availableIsas(isas);
    for (int k = 0; k < paths; ++k) {
        Pass q = want;
        q.path = static_cast<int>(isas[k]);
        q.run();
        for (const auto output : {&Pass::alpha, &Pass::beta, &Pass::gamma, &Pass::xi})
            EXPECT_EQ(0, std::memcmp((q.*output).data(), (want.*output).data(), (q.*output).size() * sizeof(double)))
                << "N=" << q.n << " path " << q.path;
    }
}

// Against the long double reference: every finite output within
// t (N + 11) u max(G, 1) after t steps (G the largest finite magnitude of
// the forward and backward variables; three times that for the
// posteriors, and for logXi(i, j, t) 4u max(|logXi(i, j, t)|, |logA(i, j)|)
// more, the roundings of its four additions), -Inf exactly where the
// reference is -Inf, NaN only where it is NaN; and every register width
// gives the scalar path's bits.
TEST(TrellisPass, ScaledSumsMatchALongDoubleReferenceOnEveryPath)
{
    const Kind kinds[] = {Kind::Dense,    Kind::MinusInfZeros, Kind::LogZeros, Kind::LeftToRight,
                          Kind::Peaked,   Kind::Dominant,      Kind::Fading,   Kind::Sinking,
                          Kind::Unobserved, Kind::FarLogs};
    const std::int64_t sizes[][2] = {{1, 9}, {2, 30}, {3, 40}, {4, 60}, {5, 33}, {8, 50}, {13, 25}, {33, 20},
                                     {64, 12}, {300, 5}};
    const double u = std::ldexp(1.0, -53);
    double worst = 0;
    for (Kind kind : kinds)
        for (auto size : sizes) {
            const std::int64_t n = size[0], t = size[1];
            Pass p = model(kind, n, t, static_cast<unsigned>(n * 31 + t + static_cast<int>(kind)));
            const Reference r = reference(p);
            double g = 1;
            for (const auto *v : {&r.alpha, &r.beta})
                for (long double x : *v)
                    if (std::isfinite(static_cast<double>(x)) && std::fabs(static_cast<double>(x)) > g)
                        g = std::fabs(static_cast<double>(x));
            const double perStep = (n + 11) * u * g;
            auto check = [&](const std::vector<double> &got, const std::vector<long double> &want, double whole,
                             const char *what, bool pairwise = false) {
                for (std::size_t e = 0; e < got.size(); ++e) {
                    double rounding = 0;
                    if (pairwise) {
                        const double logA = p.a[e % static_cast<std::size_t>(n * n)];
                        rounding = 4 * u * std::max(std::fabs(static_cast<double>(want[e])), std::fabs(logA));
                    }
                    const double tol = whole + rounding;
                    const double w = static_cast<double>(want[e]);
                    if (std::isnan(w)) {
                        EXPECT_TRUE(std::isnan(got[e])) << what << " " << e;
                    } else if (std::isinf(w)) {
                        EXPECT_EQ(got[e], w) << what << " " << e << " N=" << n << " kind " << int(kind);
                    } else {
                        ASSERT_FALSE(std::isnan(got[e])) << what << " " << e << " N=" << n << " kind " << int(kind);
                        const double err = std::fabs(static_cast<double>(got[e] - want[e]));
                        worst = std::max(worst, (err - rounding) / perStep);
                        EXPECT_LE(err, tol) << what << " " << e << " N=" << n << " kind " << int(kind);
                    }
                }
            };
            p.run();
            const double whole = t * perStep;
            check(p.alpha, r.alpha, whole, "alpha");
            check(p.beta, r.beta, whole, "beta");
            check(p.gamma, r.gamma, 3 * whole, "gamma");
            check(p.xi, r.xi, 3 * whole, "xi", true);
            expectEveryPathGivesTheBitsOf(p);
        }
    std::printf("largest error: %.3f of the per-step bound (N + 11) u max(G, 1)\n", worst);
}

// Every register width this build has code for, on models that take the
// probability-domain blocks in registers (4 and 5 to 16 states), the band
// sums (33) and the sparse sums (a left-to-right model): where this
// processor runs it, the scalar path's bits; where it does not, the test
// says so by name, as skipped.
class TrellisWidth : public ::testing::TestWithParam<kernel::Isa> {};

const char *const widthNames[] = {"Scalar", "Sse2", "Avx2", "Avx512", "Neon"};

TEST_P(TrellisWidth, RunsHereAndGivesTheScalarBits)
{
    const char *name = widthNames[static_cast<int>(GetParam())];
    kernel::Isa isas[5];
    const int paths = kernel::availableIsas(isas);
    if (std::find(isas, isas + paths, GetParam()) == isas + paths)
        GTEST_SKIP() << name << " is not run by this processor: its code is not tested here";
    for (Kind kind : {Kind::Dense, Kind::LeftToRight})
        for (std::int64_t n : {4, 5, 16, 33}) {
            Pass p = model(kind, n, 300, static_cast<unsigned>(n));
            Pass q = p;
            p.path = static_cast<int>(kernel::Isa::Scalar);
            q.path = static_cast<int>(GetParam());
            p.run();
            q.run();
            for (const auto output : {&Pass::alpha, &Pass::beta, &Pass::gamma, &Pass::xi})
                EXPECT_EQ(0, std::memcmp((q.*output).data(), (p.*output).data(), (q.*output).size() * sizeof(double)))
                    << name << " N=" << n << " kind " << int(kind);
        }
}

std::vector<kernel::Isa> everyBuiltPath()
{
    kernel::Isa isas[5];
    const int n = kernel::builtIsas(isas);
    return std::vector<kernel::Isa>(isas, isas + n);
}

std::string widthName(const ::testing::TestParamInfo<kernel::Isa> &i)
{
    return widthNames[static_cast<int>(i.param)];
}

INSTANTIATE_TEST_SUITE_P(EveryBuiltPath, TrellisWidth, ::testing::ValuesIn(everyBuiltPath()), widthName);

// Near the top of the double range a literal term can overflow: a +Inf term
// makes its sum NaN, where a scaled sum would see a finite largest value and
// give +Inf. Every path gives what the literal recurrence gives in double:
// NaN, +Inf and -Inf at the same elements (finite ones within 1e-12 of the
// largest finite magnitude G among the inputs and variables, as the
// posteriors' normalisations of values near G round), and the scalar
// path's bits. Models whose logA, emissions
// or start lie near 1e306 to 8.5e307, or whose variables grow there over
// many blocks of steps, or rise to overflow while beta falls (so that a
// pairwise term, added in another order, stays finite where alpha overflows).
TEST(TrellisPass, OverflowGivesTheLiteralRecurrencesResultsOnEveryPath)
{
    std::vector<Pass> models;
    Pass single(1, 4); // every step adds 8.5e307: the fourth alpha is NaN
    single.pi = {0.0};
    single.a = {8.5e307};
    single.b.assign(4, 0.0);
    models.push_back(single);
    for (std::int64_t n : {1, 2, 4, 5, 17})
        for (double big : {1e306, 8.5e307})
            for (int shape = 0; shape < 5; ++shape) {
                Pass p = randomModel(n, 300, static_cast<unsigned>(n * 10 + shape));
                for (std::int64_t i = 0; i < n; ++i) {
                    if (shape == 0) // one large column of logA
                        p.A(i, 0) += big / 7;
                    if (shape == 1) // all of logA large
                        for (std::int64_t j = 0; j < n; ++j)
                            p.A(i, j) += big;
                    for (std::int64_t k = 0; k < p.t; ++k) {
                        if (shape == 2 && k >= 4 && k < 7) // a few large emissions
                            p.B(i, k) = big;
                        if (shape == 3) // variables that grow over the steps
                            p.B(i, k) += big / 50;
                    }
                }
                if (shape == 4) // a large start
                    p.pi[0] = big;
                models.push_back(p);
            }
    for (std::int64_t n : {1, 2, 5}) {
        Pass p = randomModel(n, 30, static_cast<unsigned>(n));
        for (std::int64_t k = 1; k < p.t; ++k)
            for (std::int64_t i = 0; i < n; ++i)
                p.B(i, k) = k <= 18 ? 1e307 : -1e307;
        models.push_back(p);
    }
    for (Pass &p : models) {
        const ReferenceOf<double> r = reference<double>(p);
        double g = 1;
        for (const std::vector<double> &v : {r.alpha, r.beta, p.pi, p.a, p.b})
            for (double x : v)
                g = std::isfinite(x) ? std::max(g, std::fabs(x)) : g;
        Pass scalar = p;
        scalar.path = static_cast<int>(kernel::Isa::Scalar);
        scalar.run();
        const auto same = [&](const std::vector<double> &got, const std::vector<double> &want, const char *what) {
            for (std::size_t e = 0; e < got.size(); ++e) {
                if (std::isnan(want[e]) || std::isinf(want[e]))
                    ASSERT_EQ(std::isnan(got[e]) ? 0.0 : got[e], std::isnan(want[e]) ? 0.0 : want[e])
                        << what << " " << e << " N=" << p.n << " got " << got[e] << " want " << want[e];
                else
                    ASSERT_NEAR(got[e], want[e], 1e-12 * g) << what << " " << e << " N=" << p.n;
            }
        };
        same(scalar.alpha, r.alpha, "alpha");
        same(scalar.beta, r.beta, "beta");
        same(scalar.gamma, r.gamma, "gamma");
        same(scalar.xi, r.xi, "xi");
        expectEveryPathGivesTheBitsOf(scalar);
    }
    EXPECT_TRUE(std::isnan(reference<double>(models[0]).alpha[3]));
}

// Both passes on one thread run a block of each in turn (four states: their
// chains of steps together), the blocks ending at different steps: the bits
// of each pass run alone, on every path, over several blocks.
TEST(TrellisPass, PassesRunTogetherGiveTheBitsOfEachAlone)
{
    const Kind kinds[] = {Kind::Dense, Kind::LeftToRight, Kind::Peaked, Kind::Fading, Kind::Sinking,
                          Kind::Unobserved};
    kernel::Isa isas[5];
    const int paths = kernel::availableIsas(isas);
    // Ragged (the last kind): transitions down to 99 below their column's
    // largest and emissions down to 580 below the step's, so that weights
    // leave the range at scattered steps, in one pass or the other.
    const auto ragged = [](std::int64_t n, unsigned seed) {
        Pass p = randomModel(n, 333, seed);
        std::mt19937 rng(seed);
        std::uniform_real_distribution<double> u(0.0, 1.0);
        for (auto &v : p.a)
            v -= u(rng) < 0.3 ? 99.0 * u(rng) : 0.0;
        for (auto &v : p.b)
            v -= u(rng) < 0.15 ? 580.0 * u(rng) : 0.0;
        return p;
    };
    for (int kind = 0; kind <= 6; ++kind)
        for (std::int64_t n : {3, 4, 6}) {
            const unsigned seed = static_cast<unsigned>(n + 7 * kind);
            Pass p = kind < 6 ? model(kinds[kind], n, 333, seed) : ragged(n, seed);
            for (int k = 0; k < paths; ++k) {
                p.path = static_cast<int>(isas[k]);
                p.run(2);
                const std::int64_t t = p.t;
                std::vector<double> alpha(n * t), beta(n * t);
                const trellis::Model m{n, t, p.pi.data(), p.a.data(), p.b.data()};
                const trellis::OwnedScratch s(n, true, p.path);
                trellis::forwardStep(m, s.scratch(), alpha.data());
                trellis::backwardStep(m, s.scratch(), beta.data());
                EXPECT_EQ(0, std::memcmp(alpha.data(), p.alpha.data(), alpha.size() * sizeof(double)))
                    << "N=" << n << " kind " << int(kind) << " path " << p.path;
                EXPECT_EQ(0, std::memcmp(beta.data(), p.beta.data(), beta.size() * sizeof(double)))
                    << "N=" << n << " kind " << int(kind) << " path " << p.path;
            }
        }
}

// A small model whose states lie more than one band apart for its first
// and last steps (the engine declines those, and later steps skip asking
// while the same two states stay apart) and come back within one band in
// between: the forward steps at the start and the backward steps at the
// end (which depend on those alone) are the exact sums' bits, and the
// steps in between run scaled again (not the exact sums' bits, but within
// the bound of them).
TEST(TrellisPass, StepsBackWithinOneBandRunScaledAgain)
{
    for (std::int64_t n : {3, 4, 6}) {
        const std::int64_t t = 200;
        Pass p = randomModel(n, t, static_cast<unsigned>(40 + n));
        // State 0 far above the others, whose emissions hold them 700 down
        // for the first and the last 40 steps.
        for (std::int64_t i = 1; i < n; ++i)
            p.pi[i] -= 1500.0;
        for (std::int64_t k = 0; k < t; ++k)
            for (std::int64_t j = 1; j < n && (k < 40 || k >= t - 40); ++j)
                p.B(j, k) -= 700.0;
        Pass exact = p;
        p.run(2);
        exact.run(2, true);
        for (const auto pass : {&Pass::alpha, &Pass::beta}) {
            std::int64_t differ = 0;
            for (std::int64_t k = 0; k < t; ++k)
                for (std::int64_t j = 0; j < n; ++j) {
                    const double a = (p.*pass)[j + k * n], b = (exact.*pass)[j + k * n];
                    if (pass == &Pass::alpha ? k < 30 : k >= t - 30) {
                        EXPECT_EQ(0, std::memcmp(&a, &b, sizeof a)) << "N=" << n << " step " << k;
                    } else if (k >= 45 && k < t - 45) {
                        EXPECT_NEAR(a, b, 1e-9 * std::max(1.0, std::fabs(b)));
                        differ += a != b;
                    }
                }
            EXPECT_GT(differ, 0) << "N=" << n << ": no step ran scaled";
        }
    }
}

} // namespace
