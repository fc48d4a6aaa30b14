// The kernel's AVX-512 instances: this unit alone is compiled for AVX-512F
// (by the pragma below), and runs only where the processor and the system
// have AVX-512F. No multiply and add are fused (contraction is off and no
// intrinsic fuses), so the results are those of every path.
#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define ZEB_AVX512_UNIT 1
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f"))), apply_to = function)
#else
#pragma GCC target("avx512f")
#endif
#endif

#include "lse.h"

namespace kernel {
namespace avx512 {

#if defined(ZEB_AVX512_UNIT)
using L = Lanes<numerics::Avx512>;
#else
using L = Lanes<numerics::Scalar>; // never called: bestIsa() does not offer AVX-512 here
#endif

void columnMajor(const double *source, std::int64_t rows, std::int64_t cols, double *output, double *maxima,
                 AllMinusInf allMinusInf)
{
    L::columnMajor(source, rows, cols, output, maxima, allMinusInf);
}

void rowSums(const double *add, const double *m, std::int64_t ld, std::int64_t rows, std::int64_t cols,
             double *output, double *maxima, AllMinusInf allMinusInf)
{
    L::rowSums(add, m, ld, rows, cols, output, maxima, allMinusInf);
}

void twoColumns(const double *const *x, std::int64_t rows, double *output, double *maxima, AllMinusInf allMinusInf)
{
    L::twoColumns(x, rows, output, maxima, allMinusInf);
}

void expArray(const double *x, double *y, std::int64_t n) { L::expArray(x, y, n); }

void logArray(const double *x, double *y, std::int64_t n) { L::logArray(x, y, n); }

} // namespace avx512
} // namespace kernel

#if defined(ZEB_AVX512_UNIT) && defined(__clang__)
#pragma clang attribute pop
#endif
