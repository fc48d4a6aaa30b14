// Time of the forward-backward core for all four outputs against the time of
// the exponentials it cannot avoid: 3(T-1)N^2 + TN calls of std::exp.
#include "timing.h"
#include "trellisCore.h"

#include <cstdio>
#include <random>

int main()
{
    const std::int64_t n = 64, t = 10000;
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
        7, [&] { trellis::forwardBackward(m, s, 4, alpha.data(), beta.data(), gamma.data(), xi.data()); },
        [&] { sink = sink + bench::expLoop(args, calls); });

    std::printf("trellisPass core, N=%lld T=%lld, four outputs: %.3f s\n", (long long)n, (long long)t, core);
    std::printf("%lld calls of std::exp:                      %.3f s\n", (long long)calls, exps);
    std::printf("ratio core / exp: %.3f (target <= 1.25)\n", core / exps);
    return 0;
}
