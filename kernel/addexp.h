// Column log-sum-exp: for every column of a matrix, the natural log of the
// sum of the exponentials of its entries, each entry shifted by the
// column's largest entry so that no exponential exceeds 1.
//
// Every column is summed by the literal recurrence (maximum by a strict
// scan from the first entry; exp(entry - maximum) added in entry order;
// log of the sum plus the maximum) with the project's own exp and log, so
// the result is the same, bit for bit, on every instruction set: several
// columns are summed at once, one per register lane, where they sit side by
// side, and a single column a register of entries at a time.
#ifndef ZEB_KERNEL_ADDEXP_H
#define ZEB_KERNEL_ADDEXP_H

#include "registerWidths.h"

#include <cstdint>

namespace kernel {

// What a column whose entries are all -Inf yields. The literal arithmetic
// gives NaN (-Inf minus the maximum -Inf); as a sum of probabilities that
// are all zero it is log 0 = -Inf, which is what the forward-backward pass
// needs for a state that nothing can reach. A NaN entry gives NaN in both.
enum class AllMinusInf { NaN, MinusInf };

// The one NaN the kernel and the modules built on it write: positive, quiet,
// no payload (0x7FF8000000000000), whatever made it: an input NaN of either
// sign or with a payload, Inf - Inf, 0 * Inf. Which NaN an addition passes
// on depends on its operand order, which compilers choose differently per
// path, and x86 makes negative NaNs where ARM makes positive ones; written
// as this one, NaN bits are the same everywhere. What is NaN never changes.
constexpr double theNaN = __builtin_nan("");

inline double oneNaN(double v)
{
    return v == v ? v : theNaN;
}

// The register widths (registerWidths.h): every one gives the same bits.

// source: dims[0] x dims[1] doubles, column-major (R rows, K columns).
// output: K doubles, receives one result per column.
// maxima: K doubles of scratch, receives each column's largest entry.
// The four buffers must not overlap. A column without rows (R <= 0) reads
// nothing and yields -Inf, the log of an empty sum. K <= 0 touches nothing.
void addexp(const double *source, const std::int64_t *dims, double *output, double *maxima,
            AllMinusInf allMinusInf = AllMinusInf::NaN, Isa isa = bestIsa());

// addexp with the columns split over threads where the matrix is large
// enough (threads.h), each thread in the module's floating-point state: the
// same bits whatever the thread count.
void addexpColumns(const double *source, const std::int64_t *dims, double *output, double *maxima,
                   AllMinusInf allMinusInf = AllMinusInf::NaN);

// The same for the `cols` columns whose entry in row r is add[r] + m[r*ld + c]
// (the sum formed first): rows of m, each `cols` contiguous doubles, `ld`
// apart. output and maxima take `cols` doubles each.
void addexpRows(const double *add, const double *m, std::int64_t ld, std::int64_t rows, std::int64_t cols,
                double *output, double *maxima, AllMinusInf allMinusInf = AllMinusInf::NaN, Isa isa = bestIsa());

// addexpRows for a sparse m whose columns list their finite entries, k deep:
// entry r of column c is add[rows[r * ld + c]] + values[r * ld + c], for r
// in [0, k) (ld >= cols, a multiple of 8, with entries for ld columns; a
// column with fewer entries padded with value -Inf). Where add has no NaN
// or +Inf and every entry m leaves out is -Inf, these are addexpRows' own
// bits: a -Inf term's exp is +0, which leaves each sum as it is.
void addexpSparse(const double *add, const std::int32_t *rows, const double *values, std::int64_t ld,
                  std::int64_t k, std::int64_t cols, double *output, double *maxima, AllMinusInf allMinusInf,
                  Isa isa = bestIsa());

// Two columns of `rows` doubles each, apart in memory (columns[0] and
// columns[1]), each summed as a column of its own; their additions are
// interleaved, so two long columns take little longer than one.
void addexpTwo(const double *const *columns, std::int64_t rows, double *output, double *maxima,
               AllMinusInf allMinusInf = AllMinusInf::NaN, Isa isa = bestIsa());

// out[c] = sum over k = 0 .. count-1 of weight[k] * m[rows[k] * ld + c], for
// every c in [0, cols): each column's products rounded and added one by one
// in k order, from the first (acc = acc + product; no fused multiply-add),
// several columns at once, one per register lane, so every width gives the
// same bits.
void weightedRows(const double *weight, const std::int32_t *rows, std::int64_t count, const double *m,
                  std::int64_t ld, std::int64_t cols, double *out, Isa isa = bestIsa());

// The project's exp and log over arrays (y may be x).
void expArray(const double *x, double *y, std::int64_t n, Isa isa = bestIsa());
void logArray(const double *x, double *y, std::int64_t n, Isa isa = bestIsa());
// y[i] = oneNaN(add[i] + log(x[i])) (y may be x).
void logPlus(const double *x, const double *add, double *y, std::int64_t n, Isa isa = bestIsa());

} // namespace kernel

#endif
