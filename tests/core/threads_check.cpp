// Results whatever the thread count: every threaded core run with 1, 2, 3
// and 7 threads (forced, with a threshold small enough that each splits) on
// sizes that do not divide evenly, bit for bit the same; zebUtilObliqueVote's
// first fault in row order kept with faults in several blocks; the thread
// count from OMP_NUM_THREADS. A plain program (no test framework), so that
// it also runs under ThreadSanitizer (tests/fuzz, clang-14). Exit status 0
// when everything holds.
#include "addexp.h"
#include "cumsumCore.h"
#include "obliqueCore.h"
#include "threads.h"
#include "ownedScratch.h"
#include "trellisCore.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

namespace {

int failures = 0;

void expect(bool ok, const char *what, int threads)
{
    if (!ok) {
        std::printf("FAIL %s with %d threads\n", what, threads);
        ++failures;
    }
}

template <class T>
bool same(const std::vector<T> &a, const std::vector<T> &b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0;
}

const int counts[] = {1, 2, 3, 7};

void logTotalsColumns(std::mt19937 &rng)
{
    std::normal_distribution<double> nd(0, 30);
    const std::int64_t dims[2] = {37, 1001};
    std::vector<double> x(dims[0] * dims[1]);
    for (auto &v : x)
        v = rng() % 50 == 0 ? -INFINITY : nd(rng);
    std::vector<double> want(dims[1]), maxima(dims[1]);
    kernel::addexp(x.data(), dims, want.data(), maxima.data());
    for (int n : counts) {
        threads::force(n, 64);
        std::vector<double> got(dims[1]);
        kernel::addexpColumns(x.data(), dims, got.data(), maxima.data());
        expect(same(got, want), "logTotals columns", n);
    }
}

void cumsumColumns(std::mt19937 &rng)
{
    const std::int64_t rows = 53, columns = 389;
    std::vector<std::int16_t> in(rows * columns), want(in.size());
    for (auto &v : in)
        v = static_cast<std::int16_t>(rng());
    cumsum::columns(in.data(), want.data(), rows, columns);
    for (int n : counts) {
        threads::force(n, 64);
        std::vector<std::int16_t> got(in.size());
        cumsum::columnsInParts(in.data(), got.data(), rows, columns);
        expect(same(got, want), "cumsumInt columns", n);
    }
}

void trellisHalves(std::mt19937 &rng)
{
    std::uniform_real_distribution<double> u(-4.0, 0.0);
    const std::int64_t n = 7, t = 151;
    std::vector<double> pi(n), a(n * n), b(n * t);
    for (auto *v : {&pi, &a, &b})
        for (auto &x : *v)
            x = u(rng);
    a[3] = -INFINITY;
    const trellis::Model m{n, t, pi.data(), a.data(), b.data()};
    const trellis::OwnedScratch owned[2] = {trellis::OwnedScratch(n), trellis::OwnedScratch(n)};
    const trellis::Scratch s[2] = {owned[0].scratch(), owned[1].scratch()};
    std::vector<double> out[2][4];
    for (int k = 0; k < 2; ++k) {
        for (auto &o : out[k])
            o.assign(n * t, 0.0);
        out[k][3].assign(n * n * t, 0.0);
        trellis::forwardBackward(m, s[0], 4, out[k][0].data(), out[k][1].data(), out[k][2].data(), out[k][3].data(),
                                 k == 0 ? nullptr : &s[1]);
    }
    for (int o = 0; o < 4; ++o)
        expect(same(out[0][o], out[1][o]), "trellisPass forward and backward at once, posteriors by halves", 2);
}

// Root 1 splits x at 0; its first child 2 splits at -1 between leaf 4 and
// node 5, which has one child only (a fault); its second child 3 splits at
// 1 between leaf 6 and node 7, whose feature index is beyond X (a fault).
void obliqueFaults()
{
    const double inf = INFINITY;
    const std::vector<double> w = {1, 1, 1, inf, 1, inf, 1, inf}, features = {1, 1, 1, 1, 1, 1, 5, 1},
                              threshold = {0, -1, 1, 0, 0, 0, 0, 0}, vote = {0, 0, 0, 1, 0, 2, 0, 1},
                              parent = {0, 1, 1, 2, 2, 3, 3, 5};
    const oblique::ObliqueTree tree{w.data(), features.data(), threshold.data(), vote.data(), parent.data(),
                                    1, 8, 8, 8, 8, 8};
    // Five blocks of rows (4096 each, the last part of one).
    const std::int64_t rows = 20000;
    for (auto faults : {std::vector<std::int64_t>{}, {18000}, {6000, 14000}, {19999, 800}, {10000, 10001, 4100}}) {
        std::vector<double> x(rows);
        for (std::int64_t i = 0; i < rows; ++i)
            x[i] = i % 2 == 0 ? -2.0 : 0.5; // leaves 4 and 6: no fault
        for (std::size_t f = 0; f < faults.size(); ++f)
            x[faults[f]] = f % 2 == 0 ? 2.0 : -0.5; // node 7's fault, or node 5's
        const oblique::Data data{x.data(), rows, 1};
        // The table sized for the threads forced, as the plug-in sizes it.
        auto votes = [&](std::vector<double> &v) {
            const int parts = oblique::rowParts(tree, data);
            std::vector<double> table(oblique::nodeTableDoubles(tree, data, parts), 0.0);
            oblique::compileTree(tree, data, 3, parts, table.data());
            return oblique::evaluateCompiled(tree, table.data(), data, 3, v.data());
        };
        std::vector<double> want(rows * 3, -1.0);
        threads::force(1, 0);
        const oblique::Outcome first = votes(want);
        for (int n : counts) {
            threads::force(n, 1);
            std::vector<double> got(rows * 3, -1.0);
            const oblique::Outcome o = votes(got);
            expect(o.fault == first.fault && o.node == first.node, "zebUtilObliqueVote's first fault", n);
            if (first.fault == oblique::Fault::None)
                expect(same(got, want), "zebUtilObliqueVote votes", n);
        }
        // The first fault in row order is the one reported.
        std::int64_t lowest = rows;
        for (std::int64_t f : faults)
            lowest = f < lowest ? f : lowest;
        expect(faults.empty() ? first.fault == oblique::Fault::None
                              : first.node == (x[lowest] > 0 ? 7 : 5),
               "zebUtilObliqueVote reports the lowest faulting row's node", 1);
    }
}

void ompNumThreads()
{
#if !defined(_WIN32)
    setenv("OMP_NUM_THREADS", "1", 1);
    expect(threads::available() == 1, "OMP_NUM_THREADS=1", threads::available());
    threads::force(0, 0);
    expect(threads::forWork(std::int64_t(1) << 40, 1, 100) == 1, "OMP_NUM_THREADS=1 for large work", 1);
    unsetenv("OMP_NUM_THREADS");
    expect(threads::available() >= 1, "the processors available", threads::available());
#endif
    expect(threads::forWork(100, 1000, 100) == 1, "no thread for small work", 1);
}

} // namespace

int main()
{
    std::mt19937 rng(31);
    logTotalsColumns(rng);
    cumsumColumns(rng);
    trellisHalves(rng);
    obliqueFaults();
    ompNumThreads();
    threads::force(0, 0);
    std::printf("%s\n", failures ? "thread counts change results" : "the same results with 1, 2, 3 and 7 threads");
    return failures ? 1 : 0;
}
