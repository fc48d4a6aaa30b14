#include "addexp.h"

#include <cmath>
#include <limits>

namespace kernel {

// The column's largest entry as a scan from the first row selects it: an
// entry replaces the running maximum only when it is strictly greater (an
// ordered comparison). So ties keep the earliest row, a NaN never replaces
// the maximum, and a NaN in the first row stays the maximum.
//
// The scan runs as four interleaved chains, each starting from the first
// row, so the comparisons do not wait on one another. Each chain keeps the
// first of its largest entries; the largest value over all chains is the
// scan's value. Equal doubles have equal bits except +0 and -0, so only a
// maximum of zero needs the earliest zero looked up again.
static double columnMaximum(const double *col, std::int64_t rows)
{
    double lane[4] = {col[0], col[0], col[0], col[0]};
    std::int64_t r = 1;
    for (; r + 4 <= rows; r += 4)
        for (int j = 0; j < 4; ++j)
            if (col[r + j] > lane[j])
                lane[j] = col[r + j];
    for (; r < rows; ++r)
        if (col[r] > lane[0])
            lane[0] = col[r];
    double m = lane[0];
    for (int j = 1; j < 4; ++j)
        if (lane[j] > m)
            m = lane[j];
    if (m == 0.0) {
        for (r = 0; col[r] != 0.0; ++r) {
        }
        m = col[r];
    }
    return m;
}

void addexp(const double *source, const std::int64_t *dims, double *output, double *maxima,
            AllMinusInf allMinusInf)
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

    // Every maximum is found before any sum is formed.
    for (std::int64_t k = 0; k < cols; ++k)
        maxima[k] = columnMaximum(source + k * rows, rows);

    // Terms are added in row order, each onto the running sum.
    for (std::int64_t k = 0; k < cols; ++k) {
        const double *col = source + k * rows;
        const double m = maxima[k];
        if (m == -std::numeric_limits<double>::infinity() && allMinusInf == AllMinusInf::MinusInf) {
            // Every entry is -Inf or NaN; a NaN still makes the result NaN.
            double result = m;
            for (std::int64_t r = 0; r < rows; ++r)
                if (col[r] != col[r])
                    result = col[r];
            output[k] = result;
            continue;
        }
        double sum = 0.0;
        std::int64_t r = 0;
        for (; r + 4 <= rows; r += 4) {
            sum = std::exp(col[r] - m) + sum;
            sum = std::exp(col[r + 1] - m) + sum;
            sum = std::exp(col[r + 2] - m) + sum;
            sum = std::exp(col[r + 3] - m) + sum;
        }
        for (; r < rows; ++r)
            sum = std::exp(col[r] - m) + sum;
        output[k] = std::log(sum) + m;
    }
}

} // namespace kernel
