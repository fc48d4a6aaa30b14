// Oblique tree votes in nanoseconds per row: the node table with rows
// descending in blocks, against the child table one row at a time and the
// literal scan of treeIndices at every step; a complete tree of depth 10
// (2047 nodes), eight weights per node, 10^6 rows of 20 features, 2 and 10
// classes; and a chain of depth 200 per level against the complete tree.
// One thread, but for the one line that says otherwise.
#include "obliqueCore.h"
#include "oblique_reference.h"
#include "threads.h"
#include "timing.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <vector>

int main()
{
    const std::int64_t depth = 10, m = (std::int64_t(1) << (depth + 1)) - 1, d = 8;
    const std::int64_t rows = 1000000, columns = 20;
    std::mt19937 rng(4);
    std::normal_distribution<double> nd(0, 1);
    std::uniform_int_distribution<int> feature(1, static_cast<int>(columns));
    // Heap numbering: node t's children are 2t and 2t+1.
    std::vector<double> w(d * m), features(d * m), threshold(m), vote(m), parent(m);
    for (std::int64_t t = 1; t <= m; ++t) {
        const bool leaf = t >= (std::int64_t(1) << depth);
        for (std::int64_t k = 0; k < d; ++k) {
            w[(t - 1) * d + k] = nd(rng);
            features[(t - 1) * d + k] = feature(rng);
        }
        if (leaf)
            w[(t - 1) * d] = std::numeric_limits<double>::infinity();
        threshold[t - 1] = 0.3 * nd(rng);
        vote[t - 1] = static_cast<double>(t % 5 + 1);
        parent[t - 1] = static_cast<double>(t / 2);
    }
    std::vector<double> x(rows * columns);
    for (auto &v : x)
        v = nd(rng);
    const oblique::ObliqueTree tree{w.data(), features.data(), threshold.data(), vote.data(), parent.data(),
                                    d, m, m, m, m, m};
    const oblique::Data data{x.data(), rows, columns};
    std::vector<std::int32_t> children(2 * m);
    std::int64_t checksum = 0;

    // The node table and block descent (vectors: in AVX-512 registers where
    // the processor has them), the child table and one row at a time.
    enum Way { NodeTable, Portable, ChildTable };
    auto perRow = [&](std::int64_t classes, Way way, const oblique::ObliqueTree &t, const oblique::Data &x) {
        std::vector<double> v(x.rows * classes);
        std::vector<std::int32_t> kids(2 * t.m);
        return 1e9 / x.rows * bench::bestSeconds(5, [&] {
            if (way != ChildTable) {
                const int parts = oblique::rowParts(t, x);
                std::vector<double> table(oblique::nodeTableDoubles(t, x, parts), 0.0);
                oblique::compileTree(t, x, classes, parts, table.data());
                oblique::evaluateCompiled(t, table.data(), x, classes, v.data(), way == NodeTable);
            } else {
                std::fill(kids.begin(), kids.end(), 0);
                oblique::buildChildren(t, kids.data());
                oblique::evaluateTree(t, kids.data(), x, classes, v.data());
            }
        });
    };
    // The core on one thread (large calls would otherwise split their rows
    // over every processor); both processors once at the end.
    threads::force(1, 0);
    std::printf("complete tree of depth %lld (%lld nodes), d = %lld, %lld rows of %lld features, ns per row\n",
                (long long)depth, (long long)m, (long long)d, (long long)rows, (long long)columns);
    for (std::int64_t classes : {2, 10}) {
        const double fast = perRow(classes, NodeTable, tree, data), portable = perRow(classes, Portable, tree, data);
        const double table = perRow(classes, ChildTable, tree, data);
        std::printf("  %2lld classes: node table, rows level by level %6.1f ns (portable split %6.1f ns); child "
                    "table, a row at a time %6.1f ns (%.1fx; target <= %d ns)\n",
                    (long long)classes, fast, portable, table, table / fast, classes == 2 ? 40 : 60);
    }

    // A chain of depth 200 (each level's first child a leaf), per level.
    const std::int64_t chainDepth = 200, cm = 2 * chainDepth + 1;
    std::vector<double> cw(d * cm), cf(d * cm), ct(cm), cv(cm), cp(cm);
    for (std::int64_t t = 1; t <= cm; ++t) {
        const bool internal = t % 2 == 1 && t != cm;
        for (std::int64_t k = 0; k < d; ++k) {
            cw[(t - 1) * d + k] = k == 0 ? 1.0 : 1e-3 * nd(rng);
            cf[(t - 1) * d + k] = k == 0 ? 1 : feature(rng);
        }
        if (!internal)
            cw[(t - 1) * d] = std::numeric_limits<double>::infinity();
        ct[t - 1] = -10.0; // every row goes on: the whole chain
        cv[t - 1] = static_cast<double>(t % 2 + 1);
        cp[t - 1] = t == 1 ? 0.0 : static_cast<double>(internal || t == cm ? t - 2 : t - 1);
    }
    const oblique::ObliqueTree chain{cw.data(), cf.data(), ct.data(), cv.data(), cp.data(), d, cm, cm, cm, cm, cm};
    const oblique::Data fewer{x.data(), rows / 10, columns};
    const double perLevelChain = perRow(2, NodeTable, chain, fewer) / chainDepth;
    const double perLevelTree = perRow(2, NodeTable, tree, data) / depth;
    std::printf("  per level: chain of depth %lld %.2f ns, complete tree %.2f ns (chain / tree %.2f; target <= 1)\n",
                (long long)chainDepth, perLevelChain, perLevelTree, perLevelChain / perLevelTree);

    threads::force(0, 0);
    const double both = perRow(2, NodeTable, tree, data);
    threads::force(1, 0);
    std::printf("  2 classes on every processor the process may use: %.1f ns per row\n", both);

    const double scan = bench::bestSeconds(1, [&] {
        for (std::int64_t i = 0; i < rows / 10; ++i)
            checksum += reference::descend(tree, data, i).node;
    });
    std::printf("  literal scan of treeIndices at every step: %.1f ns per row (checksum %lld)\n",
                1e9 * scan / (rows / 10), (long long)checksum);
    return 0;
}
