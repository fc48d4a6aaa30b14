// Running sums down the columns of an integer array, wrapping around in the
// element's own width (two's complement), never saturating.
#ifndef ZEB_CUMSUM_CORE_H
#define ZEB_CUMSUM_CORE_H

#include <cstdint>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
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

// out(i, j) = in(0, j) + ... + in(i, j) modulo 2^bits, for `columns` columns
// of `rows` elements each, stored one after another. Each column is summed
// top to bottom, in memory order.
template <class T>
void columns(const T *in, T *out, std::int64_t rows, std::int64_t columns)
{
    static_assert(std::is_integral<T>::value, "integer elements only");
    if (rows <= 0)
        return;
#if defined(__SSE2__)
    for (std::int64_t j = 0; j < columns; ++j)
        column(in + j * rows, out + j * rows, rows);
#else
    for (std::int64_t j = 0; j < columns; ++j)
        scalarRun(in + j * rows, out + j * rows, rows, Unsigned<T>(0));
#endif
}

} // namespace cumsum

#endif
