// The project's exp over 10^6 arguments in [-745, 0], on the widest path
// this processor runs, against a loop of std::exp and against glibc's
// vector exp (libmvec, what GCC calls for a plain loop built with
// -ffast-math -mavx2 -mfma; see vectorExp in exp_bench_libmvec.cpp).
#include "addexp.h"
#include "timing.h"

#include <cstdio>
#include <random>

void vectorExp(const double *x, double *y, int n); // libmvec through GCC

int main()
{
    const int n = 1000000;
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> u(-745.0, 0.0);
    std::vector<double> x(n), y(n), z(n), w(n);
    for (auto &v : x)
        v = u(rng);
    const auto [own, scalar] = bench::bestAlternating(
        15, [&] { kernel::expArray(x.data(), y.data(), n); },
        [&] {
            for (int i = 0; i < n; ++i)
                z[i] = std::exp(x[i]);
        });
    const auto [own2, mvec] = bench::bestAlternating(
        15, [&] { kernel::expArray(x.data(), y.data(), n); }, [&] { vectorExp(x.data(), w.data(), n); });
    const double best = std::min(own, own2);
    const char *paths[] = {"scalar", "SSE2", "AVX2", "AVX-512", "NEON"};
    std::printf("own exp (%s path): %.2f ns per argument\n", paths[static_cast<int>(kernel::bestIsa())],
                1e9 * best / n);
    std::printf("std::exp loop: %.2f ns, libmvec vector exp: %.2f ns per argument\n", 1e9 * scalar / n,
                1e9 * mvec / n);
    std::printf("std::exp / own: %.2fx faster (target >= 3.5); own / libmvec: %.2f (target <= 1.3)\n",
                scalar / best, best / mvec);
    return 0;
}
