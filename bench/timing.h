// Best-of-n wall-clock timing for the ratio benchmarks.
#ifndef ZEB_BENCH_TIMING_H
#define ZEB_BENCH_TIMING_H

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

namespace bench {

template <class F>
double bestSeconds(int repetitions, F &&run)
{
    double best = 1e300;
    for (int k = 0; k < repetitions; ++k) {
        const auto start = std::chrono::steady_clock::now();
        run();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count());
    }
    return best;
}

// Best-of-n times of two pieces of work, run alternately so that a change in
// the machine's load affects both alike. Returns {first, second}.
template <class F, class G>
std::pair<double, double> bestAlternating(int repetitions, F &&first, G &&second)
{
    double a = 1e300, b = 1e300;
    for (int k = 0; k < repetitions; ++k) {
        a = std::min(a, bestSeconds(1, first));
        b = std::min(b, bestSeconds(1, second));
    }
    return {a, b};
}

// `count` calls of std::exp over the values of `args`, cycled, summed so the
// calls cannot be dropped.
inline double expLoop(const std::vector<double> &args, std::int64_t count)
{
    double sum = 0;
    const std::int64_t n = static_cast<std::int64_t>(args.size());
    std::int64_t k = 0;
    for (std::int64_t done = 0; done < count; ++done) {
        sum += std::exp(args[k]);
        if (++k == n)
            k = 0;
    }
    return sum;
}

} // namespace bench

#endif
