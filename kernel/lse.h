// Column log-sum-exp on registers of V::lanes doubles, one column per lane
// where columns sit side by side, one register of rows at a time where a
// single column is summed. Each column gets exactly the literal recurrence:
// the maximum by a strict-comparison scan from its first entry, then
// exp(entry - maximum) added onto the running sum in row order, then log of
// the sum plus the maximum. So every register width gives the same bits.
// Included by the kernel's translation units only (internal linkage).
#ifndef ZEB_KERNEL_LSE_H
#define ZEB_KERNEL_LSE_H

#include "addexp.h"
#include "expLog.h"
#include "paths.h"

#include <cstdint>

namespace kernel {
namespace {

template <class V>
struct Lanes {
    using D = typename V::D;
    using M = typename V::M;
    static constexpr double aloneBy = 64.0;

    // The result for every lane from its maximum, sum and NaN flags; every
    // NaN result is the one NaN (theNaN).
    static D finish(D sum, D maximum, M sawNaN, AllMinusInf allMinusInf)
    {
        const D nan = V::splat(theNaN);
        D result = V::add(numerics::log<V>(sum), maximum);
        if (allMinusInf == AllMinusInf::MinusInf) {
            // The maximum is -Inf only when every entry is -Inf or NaN.
            const D minusInf = V::splat(-__builtin_inf());
            const M dead = V::eq(maximum, minusInf);
            result = V::select(dead, V::select(sawNaN, nan, minusInf), result);
        }
        return V::select(V::isNaN(result), nan, result);
    }

    // One column per lane: entry(r) gives the lanes' entries of row r.
    //
    // Where one entry of a column lies more than `aloneBy` (64) above every
    // other, the recurrence's sum is exactly 1: exp(0) = 1 for the largest,
    // and the others' exps, each below e^-64 < 2^-92, add up to less than
    // half an ulp of 1 (2^-53) for fewer than 2^39 rows, whether added
    // before the 1 or after it; log 1 = +0, so the result is +0 + the
    // largest. A register whose columns are all like that (or all -Inf,
    // no NaN anywhere) takes those bits without its exps and log: a
    // left-to-right model's steps are mostly such columns.
    template <class Entry>
    static void columns(Entry entry, std::int64_t rows, double *output, double *maxima, AllMinusInf allMinusInf)
    {
        D maximum = entry(0);
        // The largest entry but the maximum's own: a tie with it is kept.
        D second = V::splat(-__builtin_inf());
        M sawNaN = V::isNaN(maximum);
        for (std::int64_t r = 1; r < rows; ++r) {
            const D v = entry(r);
            const M up = V::gt(v, maximum);
            second = V::select(up, maximum, V::max(v, second));
            maximum = V::select(up, v, maximum);
            sawNaN = V::orM(sawNaN, V::isNaN(v));
        }
        if (!V::anyM(sawNaN) && rows < (std::int64_t(1) << 39)) {
            const D minusInf = V::splat(-__builtin_inf()), plusInf = V::splat(__builtin_inf());
            const M dead = V::eq(maximum, minusInf);
            // (second - maximum is the least that any other entry's
            // shifted value can be: subtraction rounds monotonically.)
            const M alone = V::andM(V::lt(V::sub(second, maximum), V::splat(-aloneBy)),
                                    V::andM(V::gt(maximum, minusInf), V::lt(maximum, plusInf)));
            if (V::allM(V::orM(alone, dead))) {
                const D result = V::add(V::splat(0.0), maximum);
                const D none = allMinusInf == AllMinusInf::MinusInf ? minusInf : V::splat(theNaN);
                V::spill(V::select(dead, none, result), output);
                V::spill(maximum, maxima);
                return;
            }
        }
        D sum = V::splat(0.0);
        for (std::int64_t r = 0; r < rows; ++r)
            sum = V::add(numerics::exp<V>(V::sub(entry(r), maximum)), sum);
        V::spill(finish(sum, maximum, sawNaN, allMinusInf), output);
        V::spill(maximum, maxima);
    }

    // columns() for the first `count` lanes' columns (1 .. lanes), the other
    // lanes' results dropped.
    template <class Entry>
    static void firstColumns(Entry entry, std::int64_t rows, std::int64_t count, double *output, double *maxima,
                             AllMinusInf allMinusInf)
    {
        if (count == V::lanes)
            return columns(entry, rows, output, maxima, allMinusInf);
        double out[V::lanes], top[V::lanes];
        columns(entry, rows, out, top, allMinusInf);
        for (std::int64_t l = 0; l < count; ++l) {
            output[l] = out[l];
            maxima[l] = top[l];
        }
    }

    // The maximum of `rows` contiguous entries as a strict scan from the
    // first selects it, a register of entries at a time: every lane scans
    // from the first entry, so a NaN there stays the maximum; otherwise the
    // largest non-NaN entry wins (of equal entries only +0 and -0 differ,
    // and either gives the same sums and results). *sawNaN: any NaN entry.
    static double columnMaximum(const double *x, std::int64_t rows, bool *sawNaN)
    {
        D lane = V::splat(x[0]);
        M laneNaN = V::isNaN(lane);
        std::int64_t r = 1;
        for (; r + V::lanes <= rows; r += V::lanes) {
            const D v = V::load(x + r);
            lane = V::select(V::gt(v, lane), v, lane);
            laneNaN = V::orM(laneNaN, V::isNaN(v));
        }
        double m[V::lanes];
        V::spill(lane, m);
        double maximum = m[0];
        for (int l = 1; l < V::lanes; ++l)
            if (m[l] > maximum)
                maximum = m[l];
        bool nan = V::anyM(laneNaN);
        for (; r < rows; ++r) {
            if (x[r] > maximum)
                maximum = x[r];
            nan = nan || x[r] != x[r];
        }
        *sawNaN = nan;
        return maximum;
    }

    // V::lanes neighbouring columns of a column-major source, one per lane:
    // each column's maximum found down the column itself, then the sums a
    // row of the V::lanes columns at a time.
    static void block(const double *first, std::int64_t rows, double *output, double *maxima,
                      AllMinusInf allMinusInf)
    {
        double m[V::lanes], nan[V::lanes];
        for (int c = 0; c < V::lanes; ++c) {
            bool sawNaN;
            m[c] = columnMaximum(first + c * rows, rows, &sawNaN);
            nan[c] = sawNaN ? 1.0 : 0.0;
        }
        const D maximum = V::load(m);
        D sum = V::splat(0.0);
        // While the exps run, the next block's columns (the V::lanes * rows
        // doubles after these, a cache line per row) are fetched, so that
        // memory and arithmetic overlap. A prefetch changes no result and
        // never faults, past the end of the source too.
        const std::uintptr_t ahead = reinterpret_cast<std::uintptr_t>(first) + sizeof(double) * V::lanes * rows;
        for (std::int64_t r = 0; r < rows; ++r) {
            __builtin_prefetch(reinterpret_cast<const void *>(ahead + 64 * static_cast<std::uintptr_t>(r)));
            sum = V::add(numerics::exp<V>(V::sub(V::strided(first + r, rows), maximum)), sum);
        }
        V::spill(finish(sum, maximum, V::gt(V::load(nan), V::splat(0.0)), allMinusInf), output);
        V::spill(maximum, maxima);
    }

    // C columns of `rows` contiguous entries each (x[c]), V::lanes rows at a
    // time. Each column is summed in its own row order; the C sums are
    // interleaved so that their additions, which cannot be reordered, wait
    // on one another's latency only once per C terms.
    template <int C>
    static void apart(const double *const *x, std::int64_t rows, double *output, double *maxima,
                      AllMinusInf allMinusInf)
    {
        using S = numerics::Scalar;
        double maximum[C];
        bool sawNaN[C];
        for (int c = 0; c < C; ++c)
            maximum[c] = columnMaximum(x[c], rows, &sawNaN[c]);

        // Exponentials a register at a time, added one by one in row order.
        double sum[C];
        D shift[C];
        for (int c = 0; c < C; ++c) {
            sum[c] = 0.0;
            shift[c] = V::splat(maximum[c]);
        }
        std::int64_t r = 0;
        for (; r + V::lanes <= rows; r += V::lanes) {
            double terms[C][V::lanes];
            for (int c = 0; c < C; ++c)
                V::spill(numerics::exp<V>(V::sub(V::load(x[c] + r), shift[c])), terms[c]);
            for (int l = 0; l < V::lanes; ++l)
                for (int c = 0; c < C; ++c)
                    sum[c] = terms[c][l] + sum[c];
        }
        // The last few rows in one padded register, read no further than
        // they reach: the padding lanes hold the maximum (exp(0), kept in
        // range) and are dropped.
        const int rest = static_cast<int>(rows - r);
        if (V::lanes > 1 && rest > 1) {
            double terms[C][V::lanes];
            for (int c = 0; c < C; ++c)
                V::spill(numerics::exp<V>(V::sub(V::loadFirst(x[c] + r, rest, shift[c]), shift[c])), terms[c]);
            for (int l = 0; l < rest; ++l)
                for (int c = 0; c < C; ++c)
                    sum[c] = terms[c][l] + sum[c];
            r = rows;
        }
        for (; r < rows; ++r)
            for (int c = 0; c < C; ++c)
                sum[c] = numerics::exp<S>(x[c][r] - maximum[c]) + sum[c];
        for (int c = 0; c < C; ++c) {
            output[c] = Lanes<S>::finish(sum[c], maximum[c], sawNaN[c], allMinusInf);
            maxima[c] = maximum[c];
        }
    }

    static void column(const double *x, std::int64_t rows, double *output, double *maxima, AllMinusInf allMinusInf)
    {
        apart<1>(&x, rows, output, maxima, allMinusInf);
    }

    // Column-major source: columns side by side in lanes, the rest (and a
    // lone column) down the rows.
    static void columnMajor(const double *source, std::int64_t rows, std::int64_t cols, double *output,
                            double *maxima, AllMinusInf allMinusInf)
    {
        std::int64_t k = 0;
        if (V::lanes > 1 && cols >= V::lanes)
            for (; k + V::lanes <= cols; k += V::lanes)
                block(source + k * rows, rows, output + k, maxima + k, allMinusInf);
        for (; k + 2 <= cols; k += 2) {
            const double *pair[2] = {source + k * rows, source + (k + 1) * rows};
            apart<2>(pair, rows, output + k, maxima + k, allMinusInf);
        }
        if (k < cols)
            column(source + k * rows, rows, output + k, maxima + k, allMinusInf);
    }

    // Two separate columns of `rows` entries, each summed in its own order.
    static void twoColumns(const double *const *x, std::int64_t rows, double *output, double *maxima,
                           AllMinusInf allMinusInf)
    {
        apart<2>(x, rows, output, maxima, allMinusInf);
    }

    // Entries add[r] + m[r * ld + c]: rows of m side by side in lanes.
    static void rowSums(const double *add, const double *m, std::int64_t ld, std::int64_t rows, std::int64_t cols,
                        double *output, double *maxima, AllMinusInf allMinusInf)
    {
        using S = numerics::Scalar;
        std::int64_t c = 0;
        for (; c + V::lanes <= cols; c += V::lanes)
            columns([&](std::int64_t r) { return V::add(V::splat(add[r]), V::load(m + r * ld + c)); }, rows,
                    output + c, maxima + c, allMinusInf);
        if (c == cols)
            return;
        if (V::lanes == 1 || cols - c == 1) {
            for (; c < cols; ++c)
                Lanes<S>::columns([&](std::int64_t r) { return add[r] + m[r * ld + c]; }, rows, output + c,
                                  maxima + c, allMinusInf);
            return;
        }
        // The last few columns through one padded register, read no further
        // than they reach: each lane's column gets the scalar bits, and the
        // padding lanes (add[r] - Inf: columns without a term, which leave
        // the other lanes' shortcut open) are dropped. A small model's
        // columns all go this way.
        const std::int64_t rest = cols - c;
        const D none = V::splat(-__builtin_inf());
        firstColumns(
            [&](std::int64_t r) { return V::add(V::splat(add[r]), V::loadFirst(m + r * ld + c, int(rest), none)); },
            rows, rest, output + c, maxima + c, allMinusInf);
    }

    // rowSums for the columns of a sparse matrix listed K entries deep
    // (entry r of column c: row rows[r * ld + c], value values[r * ld + c];
    // a column with fewer entries is padded with value -Inf, which add
    // cannot turn into NaN): ld, a multiple of 8, columns a register at a
    // time, `cols` of them written.
    static void sparseSums(const double *add, const std::int32_t *rows, const double *values, std::int64_t ld,
                           std::int64_t k, std::int64_t cols, double *output, double *maxima,
                           AllMinusInf allMinusInf)
    {
        // Up to 16 deep, each register of entries is gathered once and read
        // twice (for the largest, then for the sum).
        constexpr std::int64_t kept = 16;
        D entries[kept];
        for (std::int64_t c = 0; c < cols; c += V::lanes) {
            const auto gathered = [&](std::int64_t r) {
                return V::add(V::gather(add, rows + r * ld + c), V::load(values + r * ld + c));
            };
            if (k <= kept)
                for (std::int64_t r = 0; r < k; ++r)
                    entries[r] = gathered(r);
            const auto entry = [&](std::int64_t r) { return k <= kept ? entries[r] : gathered(r); };
            firstColumns(entry, k, cols - c < V::lanes ? cols - c : V::lanes, output + c, maxima + c, allMinusInf);
        }
    }

    // Sums of weighted rows, U registers of columns at a time: U chains of
    // additions in flight hide the latency of each.
    template <int U>
    static std::int64_t weightedBlocks(const double *weight, const std::int32_t *rows, std::int64_t count,
                                       const double *m, std::int64_t ld, std::int64_t c, std::int64_t cols,
                                       double *out)
    {
        for (; c + U * V::lanes <= cols; c += U * V::lanes) {
            D acc[U];
#pragma GCC unroll 8
            for (int u = 0; u < U; ++u)
                acc[u] = V::splat(0.0);
            for (std::int64_t k = 0; k < count; ++k) {
                const D w = V::splat(weight[k]);
                const double *row = m + rows[k] * ld + c;
#pragma GCC unroll 8
                for (int u = 0; u < U; ++u)
                    acc[u] = V::add(acc[u], V::mul(w, V::load(row + u * V::lanes)));
            }
#pragma GCC unroll 8
            for (int u = 0; u < U; ++u)
                V::store(out + c + u * V::lanes, acc[u]);
        }
        return c;
    }

    static void weightedRows(const double *weight, const std::int32_t *rows, std::int64_t count, const double *m,
                             std::int64_t ld, std::int64_t cols, double *out)
    {
        std::int64_t c = weightedBlocks<8>(weight, rows, count, m, ld, 0, cols, out);
        c = weightedBlocks<4>(weight, rows, count, m, ld, c, cols, out);
        c = weightedBlocks<2>(weight, rows, count, m, ld, c, cols, out);
        for (; c + V::lanes <= cols; c += V::lanes) {
            D acc = V::splat(0.0);
            for (std::int64_t k = 0; k < count; ++k)
                acc = V::add(acc, V::mul(V::splat(weight[k]), V::load(m + rows[k] * ld + c)));
            V::store(out + c, acc);
        }
        for (; c < cols; ++c) {
            double acc = 0.0;
            for (std::int64_t k = 0; k < count; ++k)
                acc = acc + weight[k] * m[rows[k] * ld + c];
            out[c] = acc;
        }
    }

    // The `count` doubles at p (count = lanes, or fewer: `fill`'s lanes in
    // the others, nothing beyond them read).
    static D loadSome(const double *p, std::int64_t count, D fill)
    {
        return count == V::lanes ? V::load(p) : V::loadFirst(p, static_cast<int>(count), fill);
    }

    // y[i ..] = f(i, count) a register at a time, count = lanes but for the
    // last few elements, whose register's other lanes are dropped (every
    // lane gives the scalar bits, so the padding changes nothing).
    template <class F>
    static void overRegisters(std::int64_t n, double *y, F f)
    {
        std::int64_t i = 0;
        for (; i + V::lanes <= n; i += V::lanes)
            V::store(y + i, f(i, V::lanes));
        if (i < n) {
            double last[V::lanes];
            V::spill(f(i, n - i), last);
            for (int l = 0; i + l < n; ++l)
                y[i + l] = last[l];
        }
    }

    // f over an array (y may be x), padded with 0.
    template <D (*f)(D)>
    static void overArray(const double *x, double *y, std::int64_t n)
    {
        const D zero = V::splat(0.0);
        overRegisters(n, y, [&](std::int64_t i, std::int64_t count) { return f(loadSome(x + i, count, zero)); });
    }

    static void expArray(const double *x, double *y, std::int64_t n) { overArray<numerics::exp<V>>(x, y, n); }
    static void logArray(const double *x, double *y, std::int64_t n) { overArray<numerics::log<V>>(x, y, n); }

    // y = add + log x, NaN as the one NaN; x padded with 1 (log 1 = 0 takes
    // the ordinary steps).
    static void logPlus(const double *x, const double *add, double *y, std::int64_t n)
    {
        const D nan = V::splat(theNaN), one = V::splat(1.0), zero = V::splat(0.0);
        overRegisters(n, y, [&](std::int64_t i, std::int64_t count) {
            const D r = V::add(loadSome(add + i, count, zero), numerics::log<V>(loadSome(x + i, count, one)));
            return V::select(V::isNaN(r), nan, r);
        });
    }

    static constexpr Paths paths()
    {
        return Paths{columnMajor, rowSums, twoColumns, weightedRows, expArray, logArray, logPlus, sparseSums};
    }
};

} // namespace
} // namespace kernel

#endif
