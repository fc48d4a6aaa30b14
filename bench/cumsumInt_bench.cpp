// The wrapping column sums of a 4000 x 1000 int32 array against a memcpy of
// the same bytes.
#include "cumsumCore.h"
#include "timing.h"

#include <cstdio>
#include <cstring>
#include <random>

int main()
{
    const std::int64_t rows = 4000, cols = 1000, count = rows * cols;
    std::mt19937 rng(6);
    std::vector<std::int32_t> in(count), out(count), copy(count);
    for (auto &v : in)
        v = static_cast<std::int32_t>(rng());
    const auto [sums, memcpyTime] = bench::bestAlternating(
        15, [&] { cumsum::columns(in.data(), out.data(), rows, cols); },
        [&] { std::memcpy(copy.data(), in.data(), count * sizeof(std::int32_t)); });
    std::printf("cumsumInt core, %lldx%lld int32: %.2f ms\n", (long long)rows, (long long)cols, 1e3 * sums);
    std::printf("memcpy of the same %lld bytes: %.2f ms\n", (long long)(count * 4), 1e3 * memcpyTime);
    std::printf("ratio core / memcpy: %.2f (target <= 2)\n", sums / memcpyTime);
    return out[count - 1] == 12345 ? 1 : 0; // keeps the sums from being dropped
}
