#include "addexp.h"

#include "cpuFeatures.h"
#include "lse.h"

#include <limits>

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define ZEB_KERNEL_AVX2 1
#endif

namespace kernel {

// The AVX2 and AVX-512 instances, each compiled for its registers in a unit
// of its own.
#define ZEB_KERNEL_WIDE_UNIT(name)                                                                            \
    namespace name {                                                                                         \
    void columnMajor(const double *, std::int64_t, std::int64_t, double *, double *, AllMinusInf);          \
    void rowSums(const double *, const double *, std::int64_t, std::int64_t, std::int64_t, double *, double *, \
                 AllMinusInf);                                                                               \
    void twoColumns(const double *const *, std::int64_t, double *, double *, AllMinusInf);                   \
    void expArray(const double *, double *, std::int64_t);                                                   \
    void logArray(const double *, double *, std::int64_t);                                                   \
    }
ZEB_KERNEL_WIDE_UNIT(avx2)
ZEB_KERNEL_WIDE_UNIT(avx512)

#if defined(__SSE2__)
#define ZEB_KERNEL_SSE2 1
using Wide = Lanes<numerics::Sse2>;
#else
using Wide = Lanes<numerics::Scalar>;
#endif
using Narrow = Lanes<numerics::Scalar>;

Isa bestIsa()
{
#if defined(ZEB_KERNEL_AVX2)
    if (cpu::avx512f())
        return Isa::Avx512;
    if (cpu::avx2())
        return Isa::Avx2;
#endif
#if defined(ZEB_KERNEL_SSE2)
    return Isa::Sse2;
#else
    return Isa::Scalar;
#endif
}

int availableIsas(Isa *out)
{
    int n = 0;
    out[n++] = Isa::Scalar;
#if defined(ZEB_KERNEL_SSE2)
    out[n++] = Isa::Sse2;
#endif
#if defined(ZEB_KERNEL_AVX2)
    if (cpu::avx2())
        out[n++] = Isa::Avx2;
    if (cpu::avx512f())
        out[n++] = Isa::Avx512;
#endif
    return n;
}

void addexp(const double *source, const std::int64_t *dims, double *output, double *maxima,
            AllMinusInf allMinusInf, Isa isa)
{
    const std::int64_t rows = dims[0];
    const std::int64_t cols = dims[1];
    if (cols <= 0)
        return;
    if (rows <= 0) {
        for (std::int64_t k = 0; k < cols; ++k)
            output[k] = -std::numeric_limits<double>::infinity();
        return;
    }
    switch (isa) {
#if defined(ZEB_KERNEL_AVX2)
    case Isa::Avx2:
        avx2::columnMajor(source, rows, cols, output, maxima, allMinusInf);
        break;
    case Isa::Avx512:
        avx512::columnMajor(source, rows, cols, output, maxima, allMinusInf);
        break;
#endif
    case Isa::Sse2:
        Wide::columnMajor(source, rows, cols, output, maxima, allMinusInf);
        break;
    default:
        Narrow::columnMajor(source, rows, cols, output, maxima, allMinusInf);
        break;
    }
}

void addexpRows(const double *add, const double *m, std::int64_t ld, std::int64_t rows, std::int64_t cols,
                double *output, double *maxima, AllMinusInf allMinusInf, Isa isa)
{
    if (cols <= 0)
        return;
    if (rows <= 0) {
        for (std::int64_t k = 0; k < cols; ++k)
            output[k] = -std::numeric_limits<double>::infinity();
        return;
    }
    switch (isa) {
#if defined(ZEB_KERNEL_AVX2)
    case Isa::Avx2:
        avx2::rowSums(add, m, ld, rows, cols, output, maxima, allMinusInf);
        break;
    case Isa::Avx512:
        avx512::rowSums(add, m, ld, rows, cols, output, maxima, allMinusInf);
        break;
#endif
    case Isa::Sse2:
        Wide::rowSums(add, m, ld, rows, cols, output, maxima, allMinusInf);
        break;
    default:
        Narrow::rowSums(add, m, ld, rows, cols, output, maxima, allMinusInf);
        break;
    }
}

void addexpTwo(const double *const *columns, std::int64_t rows, double *output, double *maxima,
               AllMinusInf allMinusInf, Isa isa)
{
    if (rows <= 0) {
        output[0] = output[1] = -std::numeric_limits<double>::infinity();
        return;
    }
    switch (isa) {
#if defined(ZEB_KERNEL_AVX2)
    case Isa::Avx2:
        avx2::twoColumns(columns, rows, output, maxima, allMinusInf);
        break;
    case Isa::Avx512:
        avx512::twoColumns(columns, rows, output, maxima, allMinusInf);
        break;
#endif
    case Isa::Sse2:
        Wide::twoColumns(columns, rows, output, maxima, allMinusInf);
        break;
    default:
        Narrow::twoColumns(columns, rows, output, maxima, allMinusInf);
        break;
    }
}

void expArray(const double *x, double *y, std::int64_t n, Isa isa)
{
    switch (isa) {
#if defined(ZEB_KERNEL_AVX2)
    case Isa::Avx2:
        avx2::expArray(x, y, n);
        break;
    case Isa::Avx512:
        avx512::expArray(x, y, n);
        break;
#endif
    case Isa::Sse2:
        Wide::expArray(x, y, n);
        break;
    default:
        Narrow::expArray(x, y, n);
        break;
    }
}

void logArray(const double *x, double *y, std::int64_t n, Isa isa)
{
    switch (isa) {
#if defined(ZEB_KERNEL_AVX2)
    case Isa::Avx2:
        avx2::logArray(x, y, n);
        break;
    case Isa::Avx512:
        avx512::logArray(x, y, n);
        break;
#endif
    case Isa::Sse2:
        Wide::logArray(x, y, n);
        break;
    default:
        Narrow::logArray(x, y, n);
        break;
    }
}

} // namespace kernel
