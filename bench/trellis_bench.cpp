// The forward-backward core: nanoseconds per T N^2 per pass (forward; forward
// and backward; all four outputs, three passes), with the scaled sums and
// with every sum an exact log-sum-exp (the engine before the scaled sums),
// on dense models and on left-to-right models with peaked emissions. It
// prints only what it measures on the machine it runs on; figures of other
// implementations, with the machine they came from, are in the README's
// Performance section.
#include "timing.h"
#include "ownedScratch.h"
#include "trellisCore.h"

#include <cmath>
#include <cstdio>
#include <random>

namespace {

struct Model {
    std::vector<double> pi, a, b;
};

// Dense: log probabilities; leftToRight: stay or move one or two states on,
// with -Inf elsewhere, and emissions that are peaked (a fifth of them far
// below the rest, down to -1000).
Model makeModel(std::int64_t n, std::int64_t t, bool leftToRight)
{
    std::mt19937 rng(1);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    Model m{std::vector<double>(n), std::vector<double>(n * n), std::vector<double>(n * t)};
    for (std::int64_t i = 0; i < n; ++i) {
        m.pi[i] = leftToRight ? (i == 0 ? 0.0 : -INFINITY) : std::log(1.0 / n);
        double total = 0;
        for (std::int64_t j = 0; j < n; ++j)
            total += m.a[i + j * n] = (leftToRight && (j < i || j > i + 2)) ? 0.0 : 0.05 + u(rng);
        for (std::int64_t j = 0; j < n; ++j)
            m.a[i + j * n] = std::log(m.a[i + j * n] / total);
    }
    for (auto &v : m.b)
        v = leftToRight && u(rng) < 0.2 ? -1000.0 * u(rng) : -3.0 * u(rng);
    return m;
}

// Seconds of one call with `outputs` outputs, best of `repeats`.
double timeCall(const Model &md, std::int64_t n, std::int64_t t, int outputs, bool exact, int repeats)
{
    std::vector<double> alpha(n * t), beta(n * t), gamma(n * t), xi(outputs > 3 ? n * n * t : 1);
    const trellis::OwnedScratch owned(n, !exact);
    const trellis::Scratch &s = owned.scratch();
    const trellis::Model m{n, t, md.pi.data(), md.a.data(), md.b.data()};
    return bench::bestSeconds(repeats, [&] {
        trellis::forwardBackward(m, s, outputs, alpha.data(), beta.data(), gamma.data(), xi.data());
    });
}

void run(std::int64_t n, std::int64_t t, bool exactToo)
{
    const double terms = static_cast<double>(t) * n * n;
    for (bool leftToRight : {false, true}) {
        const Model md = makeModel(n, t, leftToRight);
        double ns[3], exact[3] = {0, 0, 0};
        const int outputs[3] = {1, 2, 4};
        const int passes[3] = {1, 2, 3};
        // (Best of 15 calls: this machine is shared, and a call of these sizes
        // takes well under a second.)
        for (int k = 0; k < 3; ++k) {
            ns[k] = 1e9 * timeCall(md, n, t, outputs[k], false, 15) / (terms * passes[k]);
            if (exactToo)
                exact[k] = 1e9 * timeCall(md, n, t, outputs[k], true, 2) / (terms * passes[k]);
        }
        std::printf("N=%-3lld T=%-6lld %-14s %6.3f / %6.3f / %6.3f ns", (long long)n, (long long)t,
                    leftToRight ? "left-to-right" : "dense", ns[0], ns[1], ns[2]);
        if (exactToo)
            std::printf("   exact sums %6.3f / %6.3f / %6.3f (%.1fx / %.1fx / %.1fx)", exact[0], exact[1], exact[2],
                        exact[0] / ns[0], exact[1] / ns[1], exact[2] / ns[2]);
        std::printf("\n");
    }
}

} // namespace

int main()
{
    std::printf("trellisPass core, ns per T N^2 per pass: forward / forward+backward / four outputs\n");
    std::printf("(targets for forward+backward: <= 1.5 at N=4, <= 0.5 at N=16, <= 0.25 at N=64; four outputs <= 0.6 "
                "at N=64; left-to-right within 1.5x of dense)\n");
    run(4, 10000, true);
    run(16, 10000, true);
    run(64, 10000, true);
    run(256, 2000, false);
    return 0;
}
