// Column log-sum-exp: for every column of a column-major matrix, the natural
// log of the sum of the exponentials of its entries, each entry shifted by
// the column's largest entry so that no exponential exceeds 1.
#ifndef ZEB_KERNEL_ADDEXP_H
#define ZEB_KERNEL_ADDEXP_H

#include <cstdint>

namespace kernel {

// What a column whose entries are all -Inf yields. The literal arithmetic
// gives NaN (-Inf minus the maximum -Inf); as a sum of probabilities that
// are all zero it is log 0 = -Inf, which is what the forward-backward pass
// needs for a state that nothing can reach.
enum class AllMinusInf { NaN, MinusInf };

// source: dims[0] x dims[1] doubles, column-major (R rows, K columns).
// output: K doubles, receives one result per column.
// maxima: K doubles of scratch, receives each column's largest entry.
// The four buffers must not overlap. A column without rows (R <= 0) reads
// nothing and yields -Inf, the log of an empty sum. K <= 0 touches nothing.
void addexp(const double *source, const std::int64_t *dims, double *output, double *maxima,
            AllMinusInf allMinusInf = AllMinusInf::NaN);

} // namespace kernel

#endif
