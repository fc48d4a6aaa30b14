// Built with -fsanitize=undefined: a signed overflow in the sums fails the run.
#include "cumsumCore.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iostream>
#include <limits>
#include <random>
#include <vector>

namespace {

template <class T>
std::vector<T> sums(const std::vector<T> &in, std::int64_t rows)
{
    std::vector<T> out(in.size(), T(0x5a));
    const std::int64_t cols = rows ? static_cast<std::int64_t>(in.size()) / rows : 0;
    cumsum::columns(in.data(), out.data(), rows, cols);
    return out;
}

template <class T>
using Unsigned_t = typename std::make_unsigned<T>::type;

template <class T>
T lim(bool top)
{
    return top ? std::numeric_limits<T>::max() : std::numeric_limits<T>::min();
}

TEST(CumsumInt, SignedClassesWrapAround)
{
    EXPECT_EQ(sums<std::int8_t>({100, 100, 100}, 3), (std::vector<std::int8_t>{100, -56, 44}));
    EXPECT_EQ(sums<std::int8_t>({-128, -1}, 2), (std::vector<std::int8_t>{-128, 127}));
    EXPECT_EQ(sums<std::int16_t>({30000, 30000}, 2), (std::vector<std::int16_t>{30000, -5536}));
    EXPECT_EQ(sums<std::int32_t>({2147483647, 1}, 2), (std::vector<std::int32_t>{2147483647, lim<std::int32_t>(false)}));
    EXPECT_EQ(sums<std::int32_t>({lim<std::int32_t>(false), -1, -1}, 3),
              (std::vector<std::int32_t>{lim<std::int32_t>(false), 2147483647, 2147483646}));
    const std::int64_t i64max = lim<std::int64_t>(true), i64min = lim<std::int64_t>(false);
    EXPECT_EQ(sums<std::int64_t>({i64max, 1, i64max}, 3), (std::vector<std::int64_t>{i64max, i64min, -1}));
}

TEST(CumsumInt, UnsignedClassesWrapAround)
{
    EXPECT_EQ(sums<std::uint8_t>({200, 100, 255}, 3), (std::vector<std::uint8_t>{200, 44, 43}));
    EXPECT_EQ(sums<std::uint16_t>({65535, 2}, 2), (std::vector<std::uint16_t>{65535, 1}));
    EXPECT_EQ(sums<std::uint32_t>({4294967295u, 4294967295u}, 2), (std::vector<std::uint32_t>{4294967295u, 4294967294u}));
    const std::uint64_t u64max = lim<std::uint64_t>(true);
    EXPECT_EQ(sums<std::uint64_t>({u64max, 1, 5}, 3), (std::vector<std::uint64_t>{u64max, 0, 5}));
}

TEST(CumsumInt, ColumnsAndPagesAreIndependent)
{
    // A single row is returned unchanged.
    EXPECT_EQ(sums<std::int16_t>({1, -2, 3, 32767}, 1), (std::vector<std::int16_t>{1, -2, 3, 32767}));
    // 3 x 2 x 2 as four columns of three: every page is summed.
    const std::vector<std::int8_t> in = {1, 2, 3, 10, 20, 30, 100, 100, 100, -1, -1, -1};
    EXPECT_EQ(sums<std::int8_t>(in, 3), (std::vector<std::int8_t>{1, 3, 6, 10, 30, 60, 100, -56, 44, -1, -2, -3}));
}

TEST(CumsumInt, EmptyShapesTouchNothing)
{
    std::int32_t sentinel = 7;
    cumsum::columns<std::int32_t>(nullptr, &sentinel, 0, 5);
    cumsum::columns<std::int32_t>(nullptr, &sentinel, 4, 0);
    EXPECT_EQ(sentinel, 7);
}

// Random columns of every length up to 80, starting at every offset within
// a 32-byte block, against sums formed exactly in 128 bits and then wrapped.
template <class T>
void checkAgainstWideSums(unsigned seed, kernel::Isa isa)
{
    std::mt19937_64 rng(seed);
    const std::int64_t cols = 3;
    for (std::int64_t rows = 1; rows <= 80; ++rows) {
        for (std::int64_t offset = 0; offset < 32; ++offset) {
            std::vector<T> in(offset + rows * cols), out(offset + rows * cols + 1, T(0x11));
            for (auto &x : in)
                x = static_cast<T>(rng());
            cumsum::columns(in.data() + offset, out.data() + offset, rows, cols, isa);
            for (std::int64_t j = 0; j < cols; ++j) {
                __int128 wide = 0;
                for (std::int64_t i = 0; i < rows; ++i) {
                    wide += in[offset + i + j * rows];
                    const unsigned __int128 bits = static_cast<unsigned __int128>(wide) % (static_cast<unsigned __int128>(1) << (8 * sizeof(T)));
                    ASSERT_EQ(static_cast<Unsigned_t<T>>(out[offset + i + j * rows]), static_cast<Unsigned_t<T>>(bits))
                        << "rows " << rows << " offset " << offset;
                }
            }
            ASSERT_EQ(out.back(), T(0x11)) << "wrote past the end";
        }
    }
}

TEST(CumsumInt, RandomColumnsMatchWideSumsWithEveryInstructionSet)
{
    kernel::Isa built[5], here[5];
    const int builtCount = kernel::builtIsas(built), hereCount = kernel::availableIsas(here);
    for (int k = 0; k < builtCount; ++k)
        if (std::find(here, here + hereCount, built[k]) == here + hereCount)
            std::cout << "[ NOTE     ] this processor does not run width " << static_cast<int>(built[k])
                      << " (2 AVX2, 3 AVX-512): its path is not run\n";
    for (kernel::Isa isa : std::vector<kernel::Isa>(here, here + hereCount)) {
        checkAgainstWideSums<std::int8_t>(1, isa);
        checkAgainstWideSums<std::uint8_t>(2, isa);
        checkAgainstWideSums<std::int16_t>(3, isa);
        checkAgainstWideSums<std::uint16_t>(4, isa);
        checkAgainstWideSums<std::int32_t>(5, isa);
        checkAgainstWideSums<std::uint32_t>(6, isa);
        checkAgainstWideSums<std::int64_t>(7, isa);
        checkAgainstWideSums<std::uint64_t>(8, isa);
    }
}

} // namespace
