#include "addexp.h"

#include "cpuFeatures.h"
#include "fpState.h"
#include "lse.h"
#include "threads.h"

#include <limits>

namespace kernel {

#if defined(__SSE2__)
using Wide = Lanes<numerics::Sse2>;
#elif defined(__aarch64__)
using Wide = Lanes<numerics::Neon>;
#else
using Wide = Lanes<numerics::Scalar>;
#endif
using Narrow = Lanes<numerics::Scalar>;

namespace {

const Paths wideTable = Wide::paths();
const Paths narrowTable = Narrow::paths();
#if defined(ZEB_WIDTHS_AVX)
// Asked once, when the library loads: a small model's steps ask per call.
const bool haveAvx2 = cpu::avx2();
#endif

// The entry points of the width `isa`.
const Paths &pathsFor(Isa isa)
{
    switch (isa) {
#if defined(ZEB_WIDTHS_AVX)
    case Isa::Avx512:
        return avx512::table;
    case Isa::Avx2:
        return avx2::table;
#endif
    case Isa::Sse2:
    case Isa::Neon:
        return wideTable;
    default:
        return narrowTable;
    }
}

// What a column without rows yields: the log of an empty sum.
void emptySums(double *output, std::int64_t cols)
{
    for (std::int64_t k = 0; k < cols; ++k)
        output[k] = -std::numeric_limits<double>::infinity();
}

} // namespace

void addexp(const double *source, const std::int64_t *dims, double *output, double *maxima,
            AllMinusInf allMinusInf, Isa isa)
{
    const std::int64_t rows = dims[0];
    const std::int64_t cols = dims[1];
    if (cols <= 0)
        return;
    if (rows <= 0)
        return emptySums(output, cols);
    pathsFor(isa).columnMajor(source, rows, cols, output, maxima, allMinusInf);
}

namespace {

// Entries of work that pay for a thread: a third of a millisecond of one core's.
constexpr std::int64_t entriesPerThread = std::int64_t(1) << 18;

struct ColumnJob {
    const double *source;
    std::int64_t rows, cols;
    double *output, *maxima;
    AllMinusInf allMinusInf;
    int parts;
};

void columnPart(void *arg, int k)
{
    const ColumnJob &job = *static_cast<const ColumnJob *>(arg);
    const std::int64_t c0 = job.cols * k / job.parts, c1 = job.cols * (k + 1) / job.parts;
    const std::int64_t dims[2] = {job.rows, c1 - c0};
    const fpstate::Saved saved = fpstate::enter();
    addexp(job.source + c0 * job.rows, dims, job.output + c0, job.maxima + c0, job.allMinusInf);
    fpstate::leave(saved);
}

} // namespace

void addexpColumns(const double *source, const std::int64_t *dims, double *output, double *maxima,
                   AllMinusInf allMinusInf)
{
    const std::int64_t rows = dims[0] > 0 ? dims[0] : 0, cols = dims[1];
    const int parts = threads::forWork(rows * (cols > 0 ? cols : 0), entriesPerThread, cols);
    if (parts <= 1) {
        addexp(source, dims, output, maxima, allMinusInf);
        return;
    }
    ColumnJob job{source, rows, cols, output, maxima, allMinusInf, parts};
    threads::run(parts, columnPart, &job);
}

void addexpRows(const double *add, const double *m, std::int64_t ld, std::int64_t rows, std::int64_t cols,
                double *output, double *maxima, AllMinusInf allMinusInf, Isa isa)
{
    if (cols <= 0)
        return;
    if (rows <= 0)
        return emptySums(output, cols);
#if defined(ZEB_WIDTHS_AVX)
    // A few columns fill a narrower register exactly, which costs less than
    // a wide one padded (every width gives the same bits): a small model's
    // steps.
    if ((isa == Isa::Avx512 || isa == Isa::Avx2) && cols <= 2)
        isa = Isa::Sse2;
    else if (isa == Isa::Avx512 && cols <= 4 && haveAvx2)
        isa = Isa::Avx2;
#endif
    pathsFor(isa).rowSums(add, m, ld, rows, cols, output, maxima, allMinusInf);
}

void addexpTwo(const double *const *columns, std::int64_t rows, double *output, double *maxima,
               AllMinusInf allMinusInf, Isa isa)
{
    if (rows <= 0)
        return emptySums(output, 2);
    pathsFor(isa).twoColumns(columns, rows, output, maxima, allMinusInf);
}

void weightedRows(const double *weight, const std::int32_t *rows, std::int64_t count, const double *m,
                  std::int64_t ld, std::int64_t cols, double *out, Isa isa)
{
    if (cols > 0)
        pathsFor(isa).weightedRows(weight, rows, count, m, ld, cols, out);
}

void addexpSparse(const double *add, const std::int32_t *rows, const double *values, std::int64_t ld,
                  std::int64_t k, std::int64_t cols, double *output, double *maxima, AllMinusInf allMinusInf,
                  Isa isa)
{
    if (cols > 0)
        pathsFor(isa).sparseSums(add, rows, values, ld, k, cols, output, maxima, allMinusInf);
}

void expArray(const double *x, double *y, std::int64_t n, Isa isa)
{
    pathsFor(isa).expArray(x, y, n);
}

void logArray(const double *x, double *y, std::int64_t n, Isa isa)
{
    pathsFor(isa).logArray(x, y, n);
}

void logPlus(const double *x, const double *add, double *y, std::int64_t n, Isa isa)
{
    pathsFor(isa).logPlus(x, add, y, n);
}

} // namespace kernel
