#include "addexp.h"

#include <cmath>
#include <limits>

namespace kernel {

void addexp(const double *source, const std::int64_t *dims, double *output, double *maxima)
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

    // Every maximum is found before any sum is formed. The comparison is
    // strict and ordered: ties keep the earliest row, and a NaN neither
    // replaces the running maximum nor is replaced by a later entry.
    for (std::int64_t k = 0; k < cols; ++k) {
        const double *col = source + k * rows;
        double m = col[0];
        for (std::int64_t r = 1; r < rows; ++r)
            if (col[r] > m)
                m = col[r];
        maxima[k] = m;
    }

    // Terms are added in row order, each onto the running sum.
    for (std::int64_t k = 0; k < cols; ++k) {
        const double *col = source + k * rows;
        const double m = maxima[k];
        double sum = 0.0;
        for (std::int64_t r = 0; r < rows; ++r)
            sum = std::exp(col[r] - m) + sum;
        output[k] = std::log(sum) + m;
    }
}

} // namespace kernel
