// The kernel's entry points for one register width, so that the public
// functions choose a width once (addexp.cpp) and each width's unit offers
// all of them together.
#ifndef ZEB_KERNEL_PATHS_H
#define ZEB_KERNEL_PATHS_H

#include "addexp.h"

#include <cstdint>

namespace kernel {

struct Paths {
    void (*columnMajor)(const double *source, std::int64_t rows, std::int64_t cols, double *output, double *maxima,
                        AllMinusInf allMinusInf);
    void (*rowSums)(const double *add, const double *m, std::int64_t ld, std::int64_t rows, std::int64_t cols,
                    double *output, double *maxima, AllMinusInf allMinusInf);
    void (*twoColumns)(const double *const *columns, std::int64_t rows, double *output, double *maxima,
                       AllMinusInf allMinusInf);
    void (*weightedRows)(const double *weight, const std::int32_t *rows, std::int64_t count, const double *m,
                         std::int64_t ld, std::int64_t cols, double *out);
    void (*expArray)(const double *x, double *y, std::int64_t n);
    void (*logArray)(const double *x, double *y, std::int64_t n);
    void (*logPlus)(const double *x, const double *add, double *y, std::int64_t n);
    void (*sparseSums)(const double *add, const std::int32_t *rows, const double *values, std::int64_t ld,
                       std::int64_t k, std::int64_t cols, double *output, double *maxima, AllMinusInf allMinusInf);
};

// The AVX2 and AVX-512 widths, each compiled for its registers in a unit of
// its own (addexp_avx2.cpp, addexp_avx512.cpp): constant tables, set before
// any code runs.
namespace avx2 {
extern const Paths table;
}
namespace avx512 {
extern const Paths table;
}

} // namespace kernel

#endif
