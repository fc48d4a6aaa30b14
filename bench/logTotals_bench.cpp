// Time per element of the column log-sum-exp kernel on a 2000 x 2000 matrix
// against a bare loop of std::exp over as many elements.
#include "addexp.h"
#include "timing.h"

#include <cstdio>
#include <random>

int main()
{
    const std::int64_t rows = 2000, cols = 2000, count = rows * cols;
    std::mt19937 rng(2);
    std::normal_distribution<double> nd(0.0, 3.0);
    std::vector<double> x(count), out(cols), maxima(cols), args(4096);
    for (auto &v : x)
        v = nd(rng);
    for (auto &v : args)
        v = nd(rng) - 9.0;
    const std::int64_t dims[2] = {rows, cols};
    volatile double sink = 0;
    const auto [kernelTime, expTime] = bench::bestAlternating(
        7, [&] { kernel::addexp(x.data(), dims, out.data(), maxima.data()); },
        [&] { sink = sink + bench::expLoop(args, count); });
    std::printf("addexp on %lldx%lld: %.2f ns per element\n", (long long)rows, (long long)cols,
                1e9 * kernelTime / count);
    std::printf("bare std::exp loop: %.2f ns per element\n", 1e9 * expTime / count);
    std::printf("ratio kernel / exp: %.3f (target <= 0.3)\n", kernelTime / expTime);
    return 0;
}
