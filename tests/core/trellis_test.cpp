#include "trellisCore.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace {

// A model and the four outputs of one pass over it.
struct Pass {
    std::int64_t n, t;
    std::vector<double> pi, a, b;
    std::vector<double> alpha, beta, gamma, xi;

    Pass(std::int64_t n_, std::int64_t t_) : n(n_), t(t_), pi(n_), a(n_ * n_), b(n_ * t_) {}

    void run(int outputs = 4)
    {
        alpha.assign(n * t, 0.0);
        beta.assign(n * t, 0.0);
        gamma.assign(n * t, 0.0);
        xi.assign(n * n * t, 0.0);
        std::vector<double> maxima(n), work(n * n), sum(n), state(n);
        const trellis::Model m{n, t, pi.data(), a.data(), b.data()};
        const trellis::Scratch s{maxima.data(), work.data(), sum.data(), state.data()};
        trellis::forwardBackward(m, s, outputs, alpha.data(), beta.data(), gamma.data(), xi.data());
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
        EXPECT_EQ(p.xi[t], t + 1 < p.t ? 0.0 : -1e300);
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
        EXPECT_NEAR(p.xi[e], std::log(0.25), 1e-15);
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

} // namespace
