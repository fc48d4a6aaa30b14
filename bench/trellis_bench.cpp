// Time of the forward-backward core for all four outputs against the time of
// the exponentials the literal pass makes: 3(T-1)N^2 + TN calls of std::exp.
#include "timing.h"
#include "trellisCore.h"

#include <cstdio>
#include <random>

namespace {

void run(std::int64_t n, std::int64_t t)
{
    std::mt19937 rng(1);
    std::uniform_real_distribution<double> u(-6.0, 0.0);
    std::vector<double> pi(n), a(n * n), b(n * t);
    for (auto *v : {&pi, &a, &b})
        for (auto &x : *v)
            x = u(rng);
    std::vector<double> alpha(n * t), beta(n * t), gamma(n * t), xi(n * n * t);
    std::vector<double> maxima(n), work(n * n), sum(n), state(n);
    const trellis::Model m{n, t, pi.data(), a.data(), b.data()};
    const trellis::Scratch s{maxima.data(), work.data(), sum.data(), state.data()};

    const std::int64_t calls = 3 * (t - 1) * n * n + t * n;
    std::vector<double> args(4096);
    for (auto &x : args)
        x = u(rng) - 3.0; // shifted log terms, as the kernel sees them
    volatile double sink = 0;
    const auto [core, exps] = bench::bestAlternating(
        5, [&] { trellis::forwardBackward(m, s, 4, alpha.data(), beta.data(), gamma.data(), xi.data()); },
        [&] { sink = sink + bench::expLoop(args, calls); });
    std::printf("N=%-3lld T=%-5lld four outputs %8.1f ms, %lld std::exp calls %8.1f ms, ratio %.3f\n",
                (long long)n, (long long)t, 1e3 * core, (long long)calls, 1e3 * exps, core / exps);
}

} // namespace

int main()
{
    std::printf("trellisPass core against the std::exp calls of the literal pass (target at N=64: <= 0.35)\n");
    run(8, 10000);
    run(64, 10000);
    run(256, 1000);
    return 0;
}
