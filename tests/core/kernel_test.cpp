#include "addexp.h"
#include "cpuState.h"
#include "expLogTables.h"
#include "fpState.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

const double inf = std::numeric_limits<double>::infinity();
const double nan = std::numeric_limits<double>::quiet_NaN();

double fromBits(std::uint64_t b)
{
    double x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}

// Whether v is the one NaN the kernel writes.
bool isTheNaN(double v)
{
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b == 0x7FF8000000000000ULL;
}

// Every register width this build and processor can run.
std::vector<kernel::Isa> everyPath()
{
    kernel::Isa isas[5];
    const int n = kernel::availableIsas(isas);
    return std::vector<kernel::Isa>(isas, isas + n);
}

// The kernel's cases, run on every path.
class Addexp : public ::testing::TestWithParam<kernel::Isa> {
protected:
    void addexp(const double *source, const std::int64_t *dims, double *output, double *maxima,
                kernel::AllMinusInf allMinusInf = kernel::AllMinusInf::NaN)
    {
        kernel::addexp(source, dims, output, maxima, allMinusInf, GetParam());
    }

    // One column through the kernel.
    double lse(const std::vector<double> &column, kernel::AllMinusInf allMinusInf = kernel::AllMinusInf::NaN)
    {
        const std::int64_t dims[2] = {static_cast<std::int64_t>(column.size()), 1};
        double out = 0, maximum = 0;
        addexp(column.data(), dims, &out, &maximum, allMinusInf);
        return out;
    }

    double exp1(double x)
    {
        kernel::expArray(&x, &x, 1, GetParam());
        return x;
    }
};

TEST_P(Addexp, NoColumnsTouchesNothing)
{
    const std::int64_t dims[2] = {7, 0};
    double out[2] = {1.5, 2.5}, maxima[2] = {3.5, 4.5};
    addexp(nullptr, dims, out, maxima); // a null source must not be read
    EXPECT_EQ(out[0], 1.5);
    EXPECT_EQ(maxima[1], 4.5);
    const std::int64_t negative[2] = {3, -2};
    addexp(nullptr, negative, out, maxima);
    EXPECT_EQ(out[1], 2.5);
}

TEST_P(Addexp, ColumnsWithoutRowsGiveMinusInfinityAndReadNothing)
{
    const std::int64_t dims[2] = {0, 3};
    double out[3] = {0, 0, 0}, maxima[3] = {0, 0, 0};
    addexp(nullptr, dims, out, maxima);
    for (double v : out)
        EXPECT_EQ(v, -inf);
}

TEST_P(Addexp, SingleRowReturnsItsEntriesAndMinusZeroBecomesPlusZero)
{
    const std::vector<double> row = {-0.0, 3.25, -1e-310, 1e308, -7.0};
    const std::int64_t dims[2] = {1, static_cast<std::int64_t>(row.size())};
    std::vector<double> out(row.size()), maxima(row.size());
    addexp(row.data(), dims, out.data(), maxima.data());
    for (std::size_t k = 1; k < row.size(); ++k)
        EXPECT_EQ(out[k], row[k]);
    EXPECT_EQ(out[0], 0.0);
    EXPECT_FALSE(std::signbit(out[0]));
}

TEST_P(Addexp, LargeMagnitudesNeitherOverflowNorUnderflow)
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
    addexp(data, dims, out, maxima);
    EXPECT_EQ(out[0], lse({-1.0, 0.0}) + 2);
    EXPECT_EQ(out[1], lse({-1.0, 0.0}) + 4);
    EXPECT_NEAR(out[0], std::log(std::exp(-1.0) + 1.0) + 2, 1e-15);
}

TEST_P(Addexp, NonFiniteEntries)
{
    EXPECT_TRUE(isTheNaN(lse({-inf, -inf})));
    EXPECT_EQ(lse({-inf, 0.5, -inf}), 0.5);
    EXPECT_TRUE(isTheNaN(lse({1.0, inf, 2.0})));
    EXPECT_TRUE(isTheNaN(lse({nan, 1.0, 2.0})));
    EXPECT_TRUE(isTheNaN(lse({1.0, 2.0, nan})));
}

// Every NaN result has the same bits, whatever made it (an input NaN of
// either sign or with a payload, Inf - Inf) and in whichever lane or layout:
// 5 x 4 columns summed side by side and one column alone.
TEST_P(Addexp, EveryNaNIsTheOneNaN)
{
    const double negative = fromBits(0xFFF8000000000000ULL), payload = fromBits(0x7FF00000000000A5ULL),
                 negativePayload = fromBits(0xFFF4000000000001ULL);
    const double m[20] = {-inf, 0, -inf, nan, -inf, -2, inf, 1, 0, negative, 0, 1, -2, inf, payload,
                          negativePayload, -2, -2, -2, -inf};
    const std::int64_t dims[2] = {5, 4};
    for (auto mode : {kernel::AllMinusInf::NaN, kernel::AllMinusInf::MinusInf}) {
        double out[4], maxima[4];
        addexp(m, dims, out, maxima, mode);
        for (int c = 0; c < 4; ++c)
            EXPECT_TRUE(isTheNaN(out[c])) << "column " << c;
        for (double v : {negative, payload, negativePayload})
            EXPECT_TRUE(isTheNaN(lse({1.0, v, -inf}, mode)));
        EXPECT_TRUE(isTheNaN(lse({-inf, negativePayload}, mode)));
        EXPECT_TRUE(isTheNaN(lse({inf, 2.0, inf}, mode)));
    }
}

TEST_P(Addexp, MaximumIsFirstOfTiesAndNotReplacedByNan)
{
    const double data[6] = {-0.0, 0.0, -1.0, 5.0, nan, 9.0};
    const std::int64_t dims[2] = {3, 2};
    double out[2], maxima[2];
    addexp(data, dims, out, maxima);
    // +0 is not strictly greater than -0: the earlier -0 stays the maximum.
    EXPECT_EQ(maxima[0], 0.0);
    EXPECT_TRUE(std::signbit(maxima[0]));
    // A NaN never wins; the column still ends NaN through its own term.
    EXPECT_EQ(maxima[1], 9.0);
    EXPECT_TRUE(std::isnan(out[1]));
}

TEST_P(Addexp, WholeMatrixViewSumsInMemoryOrder)
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
        sum = exp1(v - m) + sum;
    const std::int64_t whole[2] = {n * n, 1};
    double out, maximum;
    addexp(w.data(), whole, &out, &maximum);
    double log = sum;
    kernel::logArray(&log, &log, 1, GetParam());
    EXPECT_EQ(out, log + m);
}

TEST_P(Addexp, AllMinusInfinityColumnsAreLogZeroWhenAsked)
{
    const auto logZero = kernel::AllMinusInf::MinusInf;
    EXPECT_EQ(lse({-inf, -inf, -inf}, logZero), -inf);
    EXPECT_TRUE(std::isnan(lse({-inf, nan, -inf}, logZero)));
    EXPECT_TRUE(std::isnan(lse({nan, -inf}, logZero)));
    EXPECT_EQ(lse({-inf, 0.5, -inf}, logZero), 0.5);
    EXPECT_TRUE(std::isnan(lse({-inf, -inf})));
    // Across lanes: every column on its own.
    const double data[10] = {-inf, -inf, 1, -inf, -inf, nan, 2, 3, -inf, -inf};
    const std::int64_t dims[2] = {2, 5};
    double out[5], maxima[5];
    addexp(data, dims, out, maxima, logZero);
    EXPECT_EQ(out[0], -inf);
    EXPECT_EQ(out[1], 1.0);
    EXPECT_TRUE(std::isnan(out[2]));
    EXPECT_EQ(out[3], lse({2, 3}));
    EXPECT_EQ(out[4], -inf);
}

// Random matrices of every awkward width: the columns that share registers,
// the ones left over and single long columns all give the scalar path's
// bits, and the row layout gives what the column layout gives.
TEST_P(Addexp, EveryLayoutGivesTheScalarPathsBits)
{
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> u(-30.0, 5.0);
    for (std::int64_t rows : {1, 2, 3, 7, 64, 131})
        for (std::int64_t cols : {1, 2, 3, 4, 5, 9, 13}) {
            std::vector<double> m(rows * cols), add(rows);
            for (auto &v : m)
                v = u(rng) < -28 ? -inf : u(rng);
            for (auto &v : add)
                v = u(rng);
            const std::int64_t dims[2] = {rows, cols};
            std::vector<double> out(cols), ref(cols), maxima(cols);
            addexp(m.data(), dims, out.data(), maxima.data());
            kernel::addexp(m.data(), dims, ref.data(), maxima.data(), kernel::AllMinusInf::NaN, kernel::Isa::Scalar);
            EXPECT_EQ(0, std::memcmp(out.data(), ref.data(), cols * sizeof(double))) << rows << "x" << cols;

            // add[r] + m(r, c) with rows of m contiguous: the same as the
            // column-major matrix of those sums.
            std::vector<double> sums(rows * cols), byRows(cols);
            for (std::int64_t r = 0; r < rows; ++r)
                for (std::int64_t c = 0; c < cols; ++c)
                    sums[r + c * rows] = add[r] + m[r * cols + c];
            kernel::addexp(sums.data(), dims, ref.data(), maxima.data(), kernel::AllMinusInf::MinusInf,
                           kernel::Isa::Scalar);
            kernel::addexpRows(add.data(), m.data(), cols, rows, cols, byRows.data(), maxima.data(),
                               kernel::AllMinusInf::MinusInf, GetParam());
            EXPECT_EQ(0, std::memcmp(byRows.data(), ref.data(), cols * sizeof(double))) << rows << "x" << cols;

            // Two columns apart in memory: each as if summed alone.
            if (cols >= 2) {
                const double *two[2] = {m.data() + (cols - 1) * rows, m.data()};
                double both[2], one[2], mx[2];
                kernel::addexpTwo(two, rows, both, mx, kernel::AllMinusInf::MinusInf, GetParam());
                const std::int64_t column[2] = {rows, 1};
                for (int c = 0; c < 2; ++c)
                    kernel::addexp(two[c], column, one + c, mx, kernel::AllMinusInf::MinusInf, kernel::Isa::Scalar);
                EXPECT_EQ(0, std::memcmp(both, one, sizeof both)) << rows << " rows";
            }
        }
}

// Columns summed side by side (by rows, dense and listed sparse) where one
// entry stands alone far above the rest, as in a left-to-right model's
// steps, mixed in one register with columns where it does not, dead
// columns, -0, +Inf and NaN: every column the recurrence's bits, as the
// column-major scalar sum gives them, in both modes. The gaps straddle the
// distance from which a column's sum is exactly 1.
TEST_P(Addexp, ColumnsWithOneEntryFarAboveTheRestGiveTheRecurrencesBits)
{
    std::mt19937 rng(17);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const double gaps[] = {0.0, 0.5, 21.0, 36.0, 63.9, 64.0, 64.1, 90.0, 700.0, 1e6, inf};
    for (std::int64_t rows : {1, 2, 3, 4, 7, 17})
        for (std::int64_t cols : {1, 3, 4, 8, 9, 13})
            for (int trial = 0; trial < 12; ++trial) {
                std::vector<double> m(rows * cols), add(rows);
                for (auto &v : add)
                    v = trial % 4 == 0 ? -0.0 : 2000.0 * (u(rng) - 0.5);
                for (std::int64_t c = 0; c < cols; ++c) {
                    // Mostly the same gap across a register's columns (the
                    // shortcut's case), sometimes one column apart from it.
                    const double gap = gaps[(trial + (u(rng) < 0.2 ? c : 0)) % 11];
                    const std::int64_t top = static_cast<std::int64_t>(u(rng) * rows);
                    for (std::int64_t r = 0; r < rows; ++r) {
                        // Entry add[r] + m = the top's entry minus at least the gap.
                        const double entry = r == top ? (trial % 4 == 0 ? -0.0 : 3.0) : 3.0 - gap - 50.0 * u(rng);
                        m[r * cols + c] = entry - add[r];
                    }
                    if (trial % 4 == 0 && gap > 64.0)
                        m[top * cols + c] = -0.0; // -0 + -0: the largest entry is -0
                    const double odd = u(rng);
                    if (odd < 0.04)
                        m[top * cols + c] = inf;
                    else if (odd < 0.08)
                        m[(rows - 1) * cols + c] = nan;
                    else if (odd < 0.16)
                        for (std::int64_t r = 0; r < rows; ++r)
                            m[r * cols + c] = -inf;
                }
                std::vector<double> sums(rows * cols), ref(cols), byRows(cols), listed(cols), maxima(cols);
                for (std::int64_t r = 0; r < rows; ++r)
                    for (std::int64_t c = 0; c < cols; ++c)
                        sums[r + c * rows] = add[r] + m[r * cols + c];
                // The same columns listed as a sparse matrix, every row an entry.
                const std::int64_t ld = (cols + 7) / 8 * 8;
                std::vector<double> values(rows * ld, -inf);
                std::vector<std::int32_t> rowOf(rows * ld, 0);
                for (std::int64_t r = 0; r < rows; ++r)
                    for (std::int64_t c = 0; c < cols; ++c) {
                        values[r * ld + c] = m[r * cols + c];
                        rowOf[r * ld + c] = static_cast<std::int32_t>(r);
                    }
                const std::int64_t dims[2] = {rows, cols};
                for (auto mode : {kernel::AllMinusInf::NaN, kernel::AllMinusInf::MinusInf}) {
                    kernel::addexp(sums.data(), dims, ref.data(), maxima.data(), mode, kernel::Isa::Scalar);
                    kernel::addexpRows(add.data(), m.data(), cols, rows, cols, byRows.data(), maxima.data(), mode,
                                       GetParam());
                    kernel::addexpSparse(add.data(), rowOf.data(), values.data(), ld, rows, cols, listed.data(),
                                         maxima.data(), mode, GetParam());
                    EXPECT_EQ(0, std::memcmp(byRows.data(), ref.data(), cols * sizeof(double)))
                        << rows << "x" << cols << " trial " << trial;
                    EXPECT_EQ(0, std::memcmp(listed.data(), ref.data(), cols * sizeof(double)))
                        << rows << "x" << cols << " trial " << trial;
                }
            }
}

std::string pathName(const ::testing::TestParamInfo<kernel::Isa> &i)
{
    const char *names[] = {"Scalar", "Sse2", "Avx2", "Avx512", "Neon"};
    return names[static_cast<int>(i.param)];
}

INSTANTIATE_TEST_SUITE_P(EveryPath, Addexp, ::testing::ValuesIn(everyPath()), pathName);

// Every width this build has code for: where this processor runs it, its
// exp, log and column sums give the scalar path's bits on the state
// arguments; where it does not, the test says so by name, as skipped.
std::vector<kernel::Isa> everyBuiltPath()
{
    kernel::Isa isas[5];
    const int n = kernel::builtIsas(isas);
    return std::vector<kernel::Isa>(isas, isas + n);
}

std::vector<double> stateArguments();

class RegisterWidth : public ::testing::TestWithParam<kernel::Isa> {};

TEST_P(RegisterWidth, RunsHereAndGivesTheScalarBits)
{
    const std::vector<kernel::Isa> here = everyPath();
    if (std::find(here.begin(), here.end(), GetParam()) == here.end())
        GTEST_SKIP() << pathName(::testing::TestParamInfo<kernel::Isa>(GetParam(), 0))
                     << " is not run by this processor: its code is not tested here";
    const std::vector<double> x = stateArguments();
    const std::int64_t n = static_cast<std::int64_t>(x.size());
    const std::int64_t dims[2] = {37, n / 37};
    std::vector<double> want[3] = {std::vector<double>(n), std::vector<double>(n), std::vector<double>(dims[1])};
    std::vector<double> got[3] = {want[0], want[1], want[2]}, maxima(dims[1]);
    const auto run = [&](kernel::Isa isa, std::vector<double> *out) {
        kernel::expArray(x.data(), out[0].data(), n, isa);
        kernel::logArray(x.data(), out[1].data(), n, isa);
        kernel::addexp(x.data(), dims, out[2].data(), maxima.data(), kernel::AllMinusInf::MinusInf, isa);
    };
    run(kernel::Isa::Scalar, want);
    run(GetParam(), got);
    for (int k = 0; k < 3; ++k)
        EXPECT_EQ(0, std::memcmp(got[k].data(), want[k].data(), got[k].size() * sizeof(double))) << k;
}

INSTANTIATE_TEST_SUITE_P(EveryBuiltPath, RegisterWidth, ::testing::ValuesIn(everyBuiltPath()), pathName);

// Error of `got` from the long double reference in units in the last place
// of the double nearest the reference (subnormal spacing below 2^-1022);
// non-finite results must match exactly (0 when they do, 1e9 when not).
double ulps(double got, long double reference)
{
    const double ref = static_cast<double>(reference);
    if (std::isnan(ref) || std::isinf(ref) || std::isnan(got) || std::isinf(got))
        return (std::isnan(ref) && std::isnan(got)) || got == ref ? 0.0 : 1e9;
    const double a = std::fabs(ref);
    const double spacing = a < std::numeric_limits<double>::min()
                               ? std::numeric_limits<double>::denorm_min()
                               : std::nextafter(a, inf) - a;
    return static_cast<double>(std::fabs(static_cast<long double>(got) - reference) / spacing);
}

// Arguments over the whole range and the regions where errors hide: the
// overflow and underflow edges, the subnormal results and arguments,
// arguments near 0 and 1, the ends of each table interval; plus random bit
// patterns of every exponent.
std::vector<double> arguments(bool forLog, std::size_t n)
{
    std::mt19937_64 rng(forLog ? 11 : 7);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<double> x(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double t = unit(rng);
        switch (i % 6) {
        case 0: // any bit pattern, sign cleared for log half the time
            x[i] = fromBits(rng() & (forLog && (i & 1) ? ~0ULL >> 1 : ~0ULL));
            break;
        case 1:
            x[i] = forLog ? fromBits((rng() & ((1ULL << 52) - 1)) | (1023ULL << 52)) * (t < 0.5 ? 0.5 : 1.0) // [0.5, 2)
                          : -746.0 + 1456.0 * t;
            break;
        case 2:
            x[i] = forLog ? 1.0 + (t - 0.5) * std::ldexp(1.0, -static_cast<int>(rng() % 50))
                          : (t - 0.5) * std::ldexp(1.0, -static_cast<int>(rng() % 60));
            break;
        case 3:
            x[i] = forLog ? fromBits(rng() % (1ULL << 52)) // subnormal arguments
                          : 709.78 + (t - 0.5) * 0.01;      // overflow edge
            break;
        case 4:
            x[i] = forLog ? std::sqrt(0.5) * (1.0 + (t - 0.5) * 1e-6) * std::ldexp(1.0, static_cast<int>(rng() % 200) - 100)
                          : -708.4 - 37.0 * t; // subnormal results, underflow edge
            break;
        default:
            x[i] = forLog ? (static_cast<double>(90 + rng() % 92) + 0.5 + (t - 0.5) * 1e-9) / 128.0
                          : (static_cast<double>(static_cast<std::int64_t>(rng() % 262144) - 131072) + 0.5 + (t - 0.5) * 1e-9) *
                                0.6931471805599453 / 128.0;
            break;
        }
    }
    // The largest errors known (a wider search against a 200-bit
    // reference found them): 0.5703 ulp, and 0.7632 for a subnormal result.
    if (!forLog && n >= 2) {
        x[0] = -0x1.5688a9dc557c1p+9;
        x[1] = -0x1.6245731ad6f3cp+9;
    }
    return x;
}

// Over ten million arguments each: every path gives the scalar path's bits,
// and the largest error from a long double reference is at most 1 ulp
// (0.5703 for normal results; subnormal results are rounded twice: 0.7632).
TEST(ExpLog, EveryPathIsTheScalarPathAndWithinOneUlp)
{
    // Under an emulator (the aarch64 run) a tenth of them: ZEB_EXP_LOG_ARGUMENTS.
    const char *count = std::getenv("ZEB_EXP_LOG_ARGUMENTS");
    const std::size_t n = count ? static_cast<std::size_t>(std::atoll(count)) : 10000000;
    for (bool forLog : {false, true}) {
        const std::vector<double> x = arguments(forLog, n);
        std::vector<double> ref(n), got(n);
        (forLog ? kernel::logArray : kernel::expArray)(x.data(), ref.data(), n, kernel::Isa::Scalar);
        for (kernel::Isa isa : everyPath()) {
            (forLog ? kernel::logArray : kernel::expArray)(x.data(), got.data(), n, isa);
            ASSERT_EQ(0, std::memcmp(got.data(), ref.data(), n * sizeof(double))) << "path " << int(isa);
        }
        double worst = 0, worstNormal = 0, at = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const long double exact = forLog ? logl(x[i]) : expl(x[i]);
            const double e = ulps(ref[i], exact);
            if (e > worst) {
                worst = e;
                at = x[i];
            }
            if (std::fabs(ref[i]) >= std::numeric_limits<double>::min() && e > worstNormal)
                worstNormal = e;
        }
        std::printf("%s: largest error %.4f ulp (at %a), %.4f ulp for normal results, over %zu arguments\n",
                    forLog ? "log" : "exp", worst, at, worstNormal, n);
        EXPECT_LE(worst, 1.0);
        EXPECT_LE(worstNormal, 0.6);
        if (!forLog)
            continue;
        // add + log x in one pass: the sum of the two, NaN as the one NaN,
        // on every path (an odd count, so a padded register ends it; adds
        // of every kind, NaN and infinities among them).
        const std::size_t m = std::min<std::size_t>(n, 100003);
        std::vector<double> add(m), want(m), sum(m);
        for (std::size_t i = 0; i < m; ++i) {
            add[i] = i % 97 == 0 ? nan : i % 89 == 0 ? -inf : i % 83 == 0 ? inf : x[(i * 7919) % n] * 1e3;
            want[i] = kernel::oneNaN(add[i] + ref[i]);
        }
        for (kernel::Isa isa : everyPath()) {
            kernel::logPlus(x.data(), add.data(), sum.data(), static_cast<std::int64_t>(m), isa);
            ASSERT_EQ(0, std::memcmp(sum.data(), want.data(), m * sizeof(double))) << "path " << int(isa);
        }
    }
}

TEST(ExpLog, SpecialValues)
{
    const double dmax = std::numeric_limits<double>::max(), dmin = std::numeric_limits<double>::min();
    const double sub = std::numeric_limits<double>::denorm_min();
    struct Case {
        double x, exp, log;
    };
    const Case cases[] = {
        {0.0, 1.0, -inf},   {-0.0, 1.0, -inf},      {inf, inf, inf},    {-inf, 0.0, nan},
        {nan, nan, nan},    {1.0, std::exp(1.0), 0.0}, {-1.0, std::exp(-1.0), nan}, {dmax, inf, std::log(dmax)},
        {-dmax, 0.0, nan},  {sub, 1.0, std::log(sub)}, {-sub, 1.0, nan}, {dmin, 1.0, std::log(dmin)},
        {fromBits(0x40862E42FEFA39EFULL), fromBits(0x7FEFFFFFFFFFFF2AULL), std::log(fromBits(0x40862E42FEFA39EFULL))},
        {fromBits(0x40862E42FEFA39F0ULL), inf, std::log(fromBits(0x40862E42FEFA39F0ULL))}, // first to overflow
        {-745.1332191019411, sub, nan},  // the last argument that rounds to the smallest subnormal
        {-745.1332191019412, 0.0, nan},  // and the first that rounds to zero
        {-1e-300, 1.0, nan}, {1e-300, 1.0, std::log(1e-300)},
    };
    for (kernel::Isa isa : everyPath())
        for (const Case &c : cases) {
            double e = c.x, l = c.x;
            kernel::expArray(&e, &e, 1, isa);
            kernel::logArray(&l, &l, 1, isa);
            EXPECT_TRUE(std::isnan(c.exp) ? std::isnan(e) : e == c.exp && !std::signbit(e)) << "exp(" << c.x << ") = " << e;
            EXPECT_TRUE(std::isnan(c.log) ? std::isnan(l) : l == c.log) << "log(" << c.x << ") = " << l;
        }
    // NaN payloads and signs of every kind stay NaN.
    for (std::uint64_t b : {0x7FF8000000000000ULL, 0xFFF8000000000000ULL, 0x7FF0000000000001ULL, 0xFFFFFFFFFFFFFFFFULL}) {
        double e = fromBits(b), l = fromBits(b);
        kernel::expArray(&e, &e, 1);
        kernel::logArray(&l, &l, 1);
        EXPECT_TRUE(std::isnan(e) && std::isnan(l));
    }
}

#if defined(ZEB_FP_STATE_MXCSR) || defined(__aarch64__)
#if defined(ZEB_FP_STATE_MXCSR)
// The caller states a MEX call may inherit: each rounding mode, flush-to-
// zero, denormals-are-zero, sticky flags already raised (MXCSR).
const unsigned callerStates[] = {
    0x1F80,                  // the default
    0x1F80 | 0x4000,         // round up
    0x1F80 | 0x2000,         // round down
    0x1F80 | 0x6000,         // round toward zero
    0x1F80 | 0x8000,         // flush-to-zero
    0x1F80 | 0x0040,         // denormals-are-zero
    0x1F80 | 0xC040 | 0x3F,  // round up, both, every flag raised
    0x1F80 | 0x2000 | 0x0021 // round down, inexact and invalid raised
};
const unsigned defaultState = 0x1F80, roundUp = 0x4000, roundDown = 0x2000, towardZero = 0x6000;
#else
// The same on aarch64: FPCR's control bits, FPSR's flags in the low byte.
const unsigned callerStates[] = {
    0,                          // the default
    0x400000,                   // round up
    0x800000,                   // round down
    0xC00000,                   // round toward zero
    0x1000000,                  // flush-to-zero
    0x2000000,                  // default NaN
    0x1400000 | 0x9F,           // round up, flush-to-zero, every flag raised
    0x800000 | 0x11             // round down, inexact and invalid raised
};
const unsigned defaultState = 0, roundUp = 0x400000, roundDown = 0x800000, towardZero = 0xC00000;
#endif
using cpustate::readFpState;
unsigned getState()
{
    return readFpState();
}
void setState(unsigned s)
{
    cpustate::writeFpState(s);
}

// Arguments where a wrong state shows: the log table's upper end (whose
// index rounds past the table when rounding up), 1 from below, +Inf,
// negative and positive subnormals, subnormal and overflowing exp results.
std::vector<double> stateArguments()
{
    std::vector<double> x = {fromBits(0x3FF6A09E667F3BCCULL), 0x1.6a01p0, 0x1.fffffffffffffp-1, 0x1.0000000000001p0,
                             inf, -inf, -fromBits(1), fromBits(1), -0x1p-1030, 0x1p-1060, -740.5, -745.1332191019411,
                             709.7, 710.0, 1e-300, -1e-300, 0.5, 3.0};
    const std::vector<double> more = arguments(false, 6000), moreLog = arguments(true, 6000);
    x.insert(x.end(), more.begin(), more.end());
    x.insert(x.end(), moreLog.begin(), moreLog.end());
    return x;
}

// Under every caller state, between fpstate::enter and leave, every path
// gives the bits of the default state, and the caller's state (control and
// flags) is exactly as it was afterwards.
// At a power of two 2^k the log is k ln2Hi + k ln2Lo rounded once (the
// forward-backward pass takes its scales' logs that way).
TEST(ExpLog, PowersOfTwo)
{
    std::vector<double> x, y;
    for (int k = -1022; k <= 1023; ++k)
        x.push_back(std::ldexp(1.0, k));
    for (kernel::Isa isa : everyPath()) {
        y.assign(x.size(), 0.0);
        kernel::logArray(x.data(), y.data(), static_cast<std::int64_t>(x.size()), isa);
        for (int k = -1022; k <= 1023; ++k) {
            const double want = k * numerics::tables::ln2Hi + k * numerics::tables::ln2Lo;
            EXPECT_EQ(y[k + 1022], want) << "log 2^" << k;
        }
    }
}

TEST(FloatingPointState, EveryPathGivesTheDefaultBitsAndRestoresTheCallersState)
{
    const std::vector<double> x = stateArguments();
    const std::size_t n = x.size();
    const std::int64_t dims[2] = {37, static_cast<std::int64_t>(n / 37)};
    const unsigned original = getState();
    for (kernel::Isa isa : everyPath()) {
        std::vector<double> e0(n), l0(n), t0(dims[1]), e(n), l(n), t(dims[1]), maxima(dims[1]);
        setState(defaultState);
        kernel::expArray(x.data(), e0.data(), n, isa);
        kernel::logArray(x.data(), l0.data(), n, isa);
        kernel::addexp(x.data(), dims, t0.data(), maxima.data(), kernel::AllMinusInf::MinusInf, isa);
        for (unsigned state : callerStates) {
            setState(state);
            const fpstate::Saved saved = fpstate::enter();
            kernel::expArray(x.data(), e.data(), n, isa);
            kernel::logArray(x.data(), l.data(), n, isa);
            kernel::addexp(x.data(), dims, t.data(), maxima.data(), kernel::AllMinusInf::MinusInf, isa);
            fpstate::leave(saved);
            const unsigned after = getState();
            setState(original);
            EXPECT_EQ(after, state) << std::hex << "state " << state;
            EXPECT_EQ(0, std::memcmp(e.data(), e0.data(), n * sizeof(double))) << std::hex << "exp, state " << state;
            EXPECT_EQ(0, std::memcmp(l.data(), l0.data(), n * sizeof(double))) << std::hex << "log, state " << state;
            EXPECT_EQ(0, std::memcmp(t.data(), t0.data(), t.size() * sizeof(double))) << std::hex << "sums, state "
                                                                                      << state;
        }
    }
}

// log's table index cannot leave the table whatever the state: rounding
// up, the mantissas just below sqrt(2) round to the index past the end,
// and are clamped to the last entry, so every path reads the same entry
// and the result stays close (exact only under the default state).
TEST(FloatingPointState, LogTableIndexIsClampedUnderAnyRounding)
{
    const double x[4] = {fromBits(0x3FF6A09E667F3BCCULL), 0x1.6a08p0, 0x1.6a01p0, 0x1.6a09e667f3bcbp-300};
    const unsigned original = getState();
    for (unsigned rounding : {roundUp, towardZero, roundDown}) {
        double ref[4];
        setState(defaultState | rounding);
        kernel::logArray(x, ref, 4, kernel::Isa::Scalar);
        setState(original);
        for (int i = 0; i < 4; ++i)
            EXPECT_NEAR(ref[i], std::log(x[i]), 1e-13 * std::fabs(std::log(x[i]))) << std::hex << rounding;
        for (kernel::Isa isa : everyPath()) {
            double got[4];
            setState(defaultState | rounding);
            kernel::logArray(x, got, 4, isa);
            setState(original);
            EXPECT_EQ(0, std::memcmp(got, ref, sizeof got)) << "path " << int(isa);
        }
    }
}
#endif

} // namespace
