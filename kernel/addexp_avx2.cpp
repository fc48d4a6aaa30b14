// The kernel's AVX2 instances: this unit alone is compiled for AVX2 (by the
// pragma below), and runs only where the processor has AVX2. AVX2 brings
// no fused multiply-add with it, so the results are those of every path.
#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define ZEB_AVX2_UNIT 1
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC target("avx2")
#endif
#endif

#include "lse.h"

namespace kernel {
namespace avx2 {

#if defined(ZEB_AVX2_UNIT)
using L = Lanes<numerics::Avx2>;
#else
using L = Lanes<numerics::Scalar>; // never called: bestIsa() does not offer AVX2 here
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

} // namespace avx2
} // namespace kernel

#if defined(ZEB_AVX2_UNIT) && defined(__clang__)
#pragma clang attribute pop
#endif
