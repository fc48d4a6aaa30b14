// Running sums down the columns of an integer array, wrapping around in the
// element's own width (two's complement), never saturating.
#ifndef ZEB_CUMSUM_CORE_H
#define ZEB_CUMSUM_CORE_H

#include "fpState.h"
#include "registerWidths.h"
#include "threads.h"

#include <cstdint>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__SSE2__) && (defined(__GNUC__) || defined(__clang__))
// 32-byte registers where the processor has AVX2, chosen at run time.
#define CUMSUM_AVX2 1
#include <immintrin.h>
#define CUMSUM_TARGET_AVX2 __attribute__((target("avx2")))
#endif

namespace cumsum {

// The additions are made in the unsigned type of the same width, where
// wrapping is defined, and converted back.
template <class T>
using Unsigned = typename std::make_unsigned<T>::type;

// Sums b[i] = carry + a[0] + ... + a[i] for i < n, one element at a time.
// Returns the last sum.
template <class T>
Unsigned<T> scalarRun(const T *a, T *b, std::int64_t n, Unsigned<T> carry)
{
    for (std::int64_t i = 0; i < n; ++i) {
        carry = static_cast<Unsigned<T>>(carry + static_cast<Unsigned<T>>(a[i]));
        b[i] = static_cast<T>(carry);
    }
    return carry;
}

#if defined(__SSE2__)
// Sixteen bytes of a column at a time: a prefix sum inside the register by
// shifted adds (log2 of the lane count of them), then the running carry
// added to every lane. Lane additions wrap exactly like the scalar ones.
template <int Bytes>
struct Lanes;

template <>
struct Lanes<1> {
    static __m128i add(__m128i a, __m128i b) { return _mm_add_epi8(a, b); }
    static __m128i splat(std::uint8_t x) { return _mm_set1_epi8(static_cast<char>(x)); }
    static __m128i prefix(__m128i v)
    {
        v = add(v, _mm_slli_si128(v, 1));
        v = add(v, _mm_slli_si128(v, 2));
        v = add(v, _mm_slli_si128(v, 4));
        return add(v, _mm_slli_si128(v, 8));
    }
    static __m128i last(__m128i v)
    {
        __m128i x = _mm_srli_si128(v, 15);
        x = _mm_unpacklo_epi8(x, x);
        x = _mm_unpacklo_epi16(x, x);
        return _mm_shuffle_epi32(x, 0x00);
    }
};

template <>
struct Lanes<2> {
    static __m128i add(__m128i a, __m128i b) { return _mm_add_epi16(a, b); }
    static __m128i splat(std::uint16_t x) { return _mm_set1_epi16(static_cast<short>(x)); }
    static __m128i prefix(__m128i v)
    {
        v = add(v, _mm_slli_si128(v, 2));
        v = add(v, _mm_slli_si128(v, 4));
        return add(v, _mm_slli_si128(v, 8));
    }
    static __m128i last(__m128i v) { return _mm_shuffle_epi32(_mm_shufflehi_epi16(v, 0xFF), 0xFF); }
};

template <>
struct Lanes<4> {
    static __m128i add(__m128i a, __m128i b) { return _mm_add_epi32(a, b); }
    static __m128i splat(std::uint32_t x) { return _mm_set1_epi32(static_cast<int>(x)); }
    static __m128i prefix(__m128i v)
    {
        v = add(v, _mm_slli_si128(v, 4));
        return add(v, _mm_slli_si128(v, 8));
    }
    static __m128i last(__m128i v) { return _mm_shuffle_epi32(v, 0xFF); }
};

template <>
struct Lanes<8> {
    static __m128i add(__m128i a, __m128i b) { return _mm_add_epi64(a, b); }
    static __m128i splat(std::uint64_t x) { return _mm_set1_epi64x(static_cast<long long>(x)); }
    static __m128i prefix(__m128i v) { return add(v, _mm_slli_si128(v, 8)); }
    static __m128i last(__m128i v) { return _mm_shuffle_epi32(v, 0xEE); }
};
#endif

#if defined(__SSE2__)
// One column: a scalar head up to the first 16-byte boundary of the output,
// whole registers, then a scalar tail.
template <class T>
void column(const T *a, T *b, std::int64_t rows)
{
    using L = Lanes<sizeof(T)>;
    const std::int64_t width = 16 / static_cast<std::int64_t>(sizeof(T));
    std::int64_t i = 0;
    while (i < rows && reinterpret_cast<std::uintptr_t>(b + i) % 16 != 0)
        ++i;
    Unsigned<T> last = scalarRun(a, b, i, Unsigned<T>(0));
    __m128i carry = L::splat(last);
    for (; i + width <= rows; i += width) {
        const __m128i v = L::prefix(_mm_loadu_si128(reinterpret_cast<const __m128i *>(a + i)));
        const __m128i sums = L::add(v, carry);
        _mm_store_si128(reinterpret_cast<__m128i *>(b + i), sums);
        // Every lane of the carry holds the running sum so far; adding the
        // block's total keeps it so, without waiting on the sums.
        carry = L::add(carry, L::last(v));
    }
    alignas(16) Unsigned<T> lanes[16 / sizeof(T)];
    _mm_store_si128(reinterpret_cast<__m128i *>(lanes), carry);
    scalarRun(a + i, b + i, rows - i, lanes[0]);
}
#endif

#if defined(CUMSUM_AVX2)
// The same in 32-byte registers: the prefix sum runs inside each 16-byte
// half, then the lower half's total is added to the upper half. Byte
// shuffles pick "the last element" for every element width alike.
template <int Bytes>
struct Wide;

template <>
struct Wide<1> {
    CUMSUM_TARGET_AVX2 static __m256i add(__m256i a, __m256i b) { return _mm256_add_epi8(a, b); }
};
template <>
struct Wide<2> {
    CUMSUM_TARGET_AVX2 static __m256i add(__m256i a, __m256i b) { return _mm256_add_epi16(a, b); }
};
template <>
struct Wide<4> {
    CUMSUM_TARGET_AVX2 static __m256i add(__m256i a, __m256i b) { return _mm256_add_epi32(a, b); }
};
template <>
struct Wide<8> {
    CUMSUM_TARGET_AVX2 static __m256i add(__m256i a, __m256i b) { return _mm256_add_epi64(a, b); }
};

// Shuffle indices repeating, in every 16-byte half, the bytes of the
// element that ends at byte `end` of that half.
template <int Bytes>
CUMSUM_TARGET_AVX2 __m256i repeatElementEndingAt(int end)
{
    alignas(32) char index[32];
    for (int k = 0; k < 32; ++k)
        index[k] = static_cast<char>(end - Bytes + k % Bytes);
    return _mm256_load_si256(reinterpret_cast<const __m256i *>(index));
}

template <class T>
CUMSUM_TARGET_AVX2 void columnAvx2(const T *a, T *b, std::int64_t rows)
{
    constexpr int bytes = static_cast<int>(sizeof(T));
    using W = Wide<bytes>;
    const std::int64_t width = 32 / bytes;
    const __m256i lastOfHalf = repeatElementEndingAt<bytes>(16); // in the upper quadword pair
    const __m256i lastOfQuad = repeatElementEndingAt<bytes>(8);  // in a quadword repeated
    std::int64_t i = 0;
    while (i < rows && reinterpret_cast<std::uintptr_t>(b + i) % 32 != 0)
        ++i;
    alignas(32) Unsigned<T> lanes[32 / sizeof(T)];
    lanes[0] = scalarRun(a, b, i, Unsigned<T>(0));
    for (std::int64_t k = 1; k < width; ++k)
        lanes[k] = lanes[0];
    __m256i carry = _mm256_load_si256(reinterpret_cast<const __m256i *>(lanes));
    for (; i + width <= rows; i += width) {
        __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(a + i));
        if (bytes <= 1)
            v = W::add(v, _mm256_slli_si256(v, 1));
        if (bytes <= 2)
            v = W::add(v, _mm256_slli_si256(v, 2));
        if (bytes <= 4)
            v = W::add(v, _mm256_slli_si256(v, 4));
        v = W::add(v, _mm256_slli_si256(v, 8));
        // The lower half's total, added to every element of the upper half.
        const __m256i lowerOnly = _mm256_permute2x128_si256(v, v, 0x08);
        v = W::add(v, _mm256_shuffle_epi8(lowerOnly, lastOfHalf));
        _mm256_store_si256(reinterpret_cast<__m256i *>(b + i), W::add(v, carry));
        // The block's total: its last element, in every element.
        const __m256i total = _mm256_shuffle_epi8(_mm256_permute4x64_epi64(v, 0xFF), lastOfQuad);
        carry = W::add(carry, total);
    }
    _mm256_store_si256(reinterpret_cast<__m256i *>(lanes), carry);
    scalarRun(a + i, b + i, rows - i, lanes[0]);
}
#endif

// The register widths (kernel/registerWidths.h): AVX-512 sums as AVX2 does,
// Neon as the scalar path; every one gives the same result.
using kernel::Isa;
using kernel::bestIsa;

// out(i, j) = in(0, j) + ... + in(i, j) modulo 2^bits, for `columns` columns
// of `rows` elements each, stored one after another. Each column is summed
// top to bottom, in memory order. `isa` must be one this processor runs.
template <class T>
void columns(const T *in, T *out, std::int64_t rows, std::int64_t columns, Isa isa = bestIsa())
{
    static_assert(std::is_integral<T>::value, "integer elements only");
    if (rows <= 0)
        return;
    for (std::int64_t j = 0; j < columns; ++j) {
        const T *a = in + j * rows;
        T *b = out + j * rows;
        switch (isa) {
#if defined(CUMSUM_AVX2)
        case Isa::Avx2:
        case Isa::Avx512:
            columnAvx2(a, b, rows);
            break;
#endif
#if defined(__SSE2__)
        case Isa::Sse2:
            column(a, b, rows);
            break;
#endif
        default:
            scalarRun(a, b, rows, Unsigned<T>(0));
            break;
        }
    }
}

namespace detail {

template <class T>
struct ColumnJob {
    const T *in;
    T *out;
    std::int64_t rows, columns;
    int parts;
};

template <class T>
void columnPart(void *arg, int k)
{
    const ColumnJob<T> &job = *static_cast<const ColumnJob<T> *>(arg);
    const std::int64_t c0 = job.columns * k / job.parts, c1 = job.columns * (k + 1) / job.parts;
    const fpstate::Saved saved = fpstate::enter(); // a clean vector state on every thread's return
    columns(job.in + c0 * job.rows, job.out + c0 * job.rows, job.rows, c1 - c0);
    fpstate::leave(saved);
}

} // namespace detail

// columns() with the columns of a large array split over threads
// (threads.h: about a millisecond's elements each); each column's sum is
// exact and on its own, so the result does not depend on the split.
template <class T>
void columnsInParts(const T *in, T *out, std::int64_t rows, std::int64_t count)
{
    const std::int64_t elements = rows > 0 && count > 0 ? rows * count : 0;
    const int parts = threads::forWork(elements, std::int64_t(1) << 22, count);
    if (parts <= 1) {
        columns(in, out, rows, count);
        return;
    }
    detail::ColumnJob<T> job{in, out, rows, count, parts};
    threads::run(parts, detail::columnPart<T>, &job);
}

} // namespace cumsum

#endif
