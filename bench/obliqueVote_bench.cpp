// Oblique tree descent through the child table against the literal scan of
// treeIndices at every step: a complete tree of depth 10 (2047 nodes), eight
// weights per node, 100,000 rows.
#include "obliqueCore.h"
#include "oblique_reference.h"
#include "timing.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <vector>

int main()
{
    const std::int64_t depth = 10, m = (std::int64_t(1) << (depth + 1)) - 1, d = 8;
    const std::int64_t rows = 100000, columns = 20;
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
    std::vector<double> v(rows * 5);
    std::vector<std::int32_t> children(2 * m);
    std::int64_t checksum = 0;

    const double table = bench::bestSeconds(5, [&] {
        std::fill(children.begin(), children.end(), 0);
        oblique::buildChildren(tree, children.data());
        oblique::evaluateTree(tree, children.data(), data, 5, v.data());
    });
    const double scan = bench::bestSeconds(1, [&] {
        for (std::int64_t i = 0; i < rows; ++i)
            checksum += reference::descend(tree, data, i).node;
    });
    std::printf("complete tree of depth %lld (%lld nodes), d = %lld, %lld rows\n", (long long)depth, (long long)m,
                (long long)d, (long long)rows);
    std::printf("child table descent: %.1f ms\n", 1e3 * table);
    std::printf("literal scan of treeIndices at every step: %.1f ms (checksum %lld)\n", 1e3 * scan,
                (long long)checksum);
    std::printf("speed-up of the child table: %.0fx\n", scan / table);
    return 0;
}
