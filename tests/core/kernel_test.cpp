#include "addexp.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace {

const double inf = std::numeric_limits<double>::infinity();
const double nan = std::numeric_limits<double>::quiet_NaN();

// One column through the kernel.
double lse(const std::vector<double> &column)
{
    const std::int64_t dims[2] = {static_cast<std::int64_t>(column.size()), 1};
    double out = 0, maximum = 0;
    kernel::addexp(column.data(), dims, &out, &maximum);
    return out;
}

TEST(Addexp, NoColumnsTouchesNothing)
{
    const std::int64_t dims[2] = {7, 0};
    double out[2] = {1.5, 2.5}, maxima[2] = {3.5, 4.5};
    kernel::addexp(nullptr, dims, out, maxima); // a null source must not be read
    EXPECT_EQ(out[0], 1.5);
    EXPECT_EQ(maxima[1], 4.5);
    const std::int64_t negative[2] = {3, -2};
    kernel::addexp(nullptr, negative, out, maxima);
    EXPECT_EQ(out[1], 2.5);
}

TEST(Addexp, ColumnsWithoutRowsGiveMinusInfinityAndReadNothing)
{
    const std::int64_t dims[2] = {0, 3};
    double out[3] = {0, 0, 0}, maxima[3] = {0, 0, 0};
    kernel::addexp(nullptr, dims, out, maxima);
    for (double v : out)
        EXPECT_EQ(v, -inf);
}

TEST(Addexp, SingleRowReturnsItsEntriesAndMinusZeroBecomesPlusZero)
{
    const std::vector<double> row = {-0.0, 3.25, -1e-310, 1e308, -7.0};
    const std::int64_t dims[2] = {1, static_cast<std::int64_t>(row.size())};
    std::vector<double> out(row.size()), maxima(row.size());
    kernel::addexp(row.data(), dims, out.data(), maxima.data());
    for (std::size_t k = 1; k < row.size(); ++k)
        EXPECT_EQ(out[k], row[k]);
    EXPECT_EQ(out[0], 0.0);
    EXPECT_FALSE(std::signbit(out[0]));
}

TEST(Addexp, LargeMagnitudesNeitherOverflowNorUnderflow)
{
    EXPECT_EQ(lse({1000, 1000}), std::log(2.0) + 1000);
    EXPECT_EQ(lse({-1000, -1000}), std::log(2.0) + -1000);
    EXPECT_EQ(lse({0, 0, 0, 0, 0}), std::log(5.0));
    EXPECT_EQ(lse({-1e300, -1e300, -1e300}), -1e300);
    EXPECT_EQ(lse({1.0, -1e300, 2.0}), lse({1.0, 2.0}));
    // Two columns at once: each is shifted by its own maximum.
    const double data[4] = {1, 2, 3, 4};
    const std::int64_t dims[2] = {2, 2};
    double out[2], maxima[2];
    kernel::addexp(data, dims, out, maxima);
    EXPECT_EQ(out[0], std::log(std::exp(-1.0) + 1.0) + 2);
    EXPECT_EQ(out[1], std::log(std::exp(-1.0) + 1.0) + 4);
}

TEST(Addexp, NonFiniteEntries)
{
    EXPECT_TRUE(std::isnan(lse({-inf, -inf})));
    EXPECT_EQ(lse({-inf, 0.5, -inf}), 0.5);
    EXPECT_TRUE(std::isnan(lse({1.0, inf, 2.0})));
    EXPECT_TRUE(std::isnan(lse({nan, 1.0, 2.0})));
    EXPECT_TRUE(std::isnan(lse({1.0, 2.0, nan})));
}

TEST(Addexp, MaximumIsFirstOfTiesAndNotReplacedByNan)
{
    const double data[6] = {-0.0, 0.0, -1.0, 5.0, nan, 9.0};
    const std::int64_t dims[2] = {3, 2};
    double out[2], maxima[2];
    kernel::addexp(data, dims, out, maxima);
    // +0 is not strictly greater than -0: the earlier -0 stays the maximum.
    EXPECT_EQ(maxima[0], 0.0);
    EXPECT_TRUE(std::signbit(maxima[0]));
    // A NaN never wins; the column still ends NaN through its own term.
    EXPECT_EQ(maxima[1], 9.0);
    EXPECT_TRUE(std::isnan(out[1]));
}

TEST(Addexp, WholeMatrixViewSumsInMemoryOrder)
{
    // Terms whose sum depends on the order of addition: memory order is the
    // only order that reproduces this value bit for bit.
    const int n = 3;
    std::vector<double> w(n * n);
    for (int e = 0; e < n * n; ++e)
        w[e] = std::log(1.0 + e * 0.37) - 0.1 * (e % 4);
    double m = w[0];
    for (double v : w)
        if (v > m)
            m = v;
    double sum = 0;
    for (double v : w)
        sum = std::exp(v - m) + sum;
    const std::int64_t whole[2] = {n * n, 1};
    double out, maximum;
    kernel::addexp(w.data(), whole, &out, &maximum);
    EXPECT_EQ(out, std::log(sum) + m);
}

} // namespace
