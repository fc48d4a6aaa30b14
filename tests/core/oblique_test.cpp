#include "obliqueCore.h"
#include "oblique_reference.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

namespace {

using oblique::Fault;
const double inf = std::numeric_limits<double>::infinity();
const double nan = std::numeric_limits<double>::quiet_NaN();

// A tree as its five node tables.
struct Tree {
    std::int64_t d = 1;
    std::vector<double> W, features, threshold, vote, parent;

    oblique::ObliqueTree view() const
    {
        return {W.data(),
                features.data(),
                threshold.data(),
                vote.data(),
                parent.data(),
                d,
                static_cast<std::int64_t>(parent.size()),
                static_cast<std::int64_t>(W.size()) / d,
                static_cast<std::int64_t>(features.size()) / d,
                static_cast<std::int64_t>(threshold.size()),
                static_cast<std::int64_t>(vote.size())};
    }
};

struct Votes {
    oblique::Outcome outcome;
    std::vector<double> v;
};

Votes evaluate(const oblique::ObliqueTree &t, const std::vector<double> &x, std::int64_t rows, std::int64_t k)
{
    std::vector<std::int32_t> children(2 * t.m, 0);
    oblique::buildChildren(t, children.data());
    Votes r;
    r.v.assign(rows * std::max<std::int64_t>(k, 0), -1.0);
    const oblique::Data data{x.data(), rows, rows ? static_cast<std::int64_t>(x.size()) / rows : 0};
    r.outcome = oblique::evaluateTree(t, children.data(), data, k, r.v.data());
    return r;
}

// The leaf each row of a one-column data set reaches.
std::vector<std::int64_t> leaves(const Tree &tree, const std::vector<double> &x)
{
    const Votes r = evaluate(tree.view(), x, static_cast<std::int64_t>(x.size()), 0);
    EXPECT_EQ(r.outcome.fault, Fault::None);
    std::vector<std::int32_t> children(2 * tree.parent.size(), 0);
    oblique::buildChildren(tree.view(), children.data());
    std::vector<std::int64_t> out;
    const oblique::Data data{x.data(), static_cast<std::int64_t>(x.size()), 1};
    for (std::int64_t i = 0; i < data.rows; ++i)
        out.push_back(oblique::descend(tree.view(), children.data(), data, i).node);
    return out;
}

// Root 1 splits on feature 1 at threshold `thr`; nodes 2 and 3 are leaves.
Tree stump(double weight, double thr)
{
    Tree t;
    t.W = {weight, inf, inf};
    t.features = {1, 1, 1};
    t.threshold = {thr, 0, 0};
    t.vote = {0, 1, 2};
    t.parent = {0, 1, 1};
    return t;
}

TEST(ObliqueVote, RootLeafVotesForEveryRowAndReadsNoOtherTable)
{
    for (double w : {inf, -inf, nan}) {
        const double W[1] = {w}, vote[1] = {2}, parent[1] = {0};
        const oblique::ObliqueTree t{W, nullptr, nullptr, vote, parent, 1, 1, 1, 0, 0, 1};
        const std::vector<double> x = {1, 2, 3};
        const Votes r = evaluate(t, x, 3, 3);
        ASSERT_EQ(r.outcome.fault, Fault::None);
        EXPECT_EQ(r.v, (std::vector<double>{0, 0, 0, 1, 1, 1, 0, 0, 0}));
    }
}

TEST(ObliqueVote, BranchesOnTheDifferenceFromTheThreshold)
{
    // below -> first child (2); equal or above -> second child (3)
    EXPECT_EQ(leaves(stump(1.0, 0.5), {0.25, 0.5, 0.75}), (std::vector<std::int64_t>{2, 3, 3}));
    // NaN data, +Inf against +Inf, zero weight against Inf: NaN -> first child
    EXPECT_EQ(leaves(stump(1.0, 0.5), {nan}), (std::vector<std::int64_t>{2}));
    EXPECT_EQ(leaves(stump(1.0, inf), {inf, 1e308}), (std::vector<std::int64_t>{2, 2}));
    EXPECT_EQ(leaves(stump(1.0, 1e308), {inf}), (std::vector<std::int64_t>{3}));
    EXPECT_EQ(leaves(stump(0.0, -1.0), {inf, -inf, 5.0}), (std::vector<std::int64_t>{2, 2, 3}));
    Tree t = stump(1.0, -1.0); // a NaN weight after the first
    t.d = 2;
    t.W = {1.0, nan, inf, 0, inf, 0};
    t.features = {1, 1, 1, 1, 1, 1};
    EXPECT_EQ(leaves(t, {5.0}), (std::vector<std::int64_t>{2}));
    EXPECT_EQ(leaves(stump(1.0, nan), {5.0}), (std::vector<std::int64_t>{2}));
}

TEST(ObliqueVote, ProjectionRoundsEachProductBeforeAdding)
{
    // 0.1*3 rounds to 0.30000000000000004; adding -0.3 then leaves 5.55e-17.
    // A fused multiply-add would give a different (smaller) value.
    Tree t = stump(0.1, 0.0);
    t.d = 2;
    t.W = {0.1, 1.0, inf, 0, inf, 0};
    t.features = {1, 2, 1, 1, 1, 1};
    const std::vector<double> x = {3.0, -0.3};
    std::vector<std::int32_t> children(6, 0);
    oblique::buildChildren(t.view(), children.data());
    t.threshold = {0.1 * 3.0 + -0.3, 0, 0};
    const oblique::Data data{x.data(), 1, 2};
    EXPECT_EQ(oblique::descend(t.view(), children.data(), data, 0).node, 3);
    t.threshold[0] = std::nextafter(t.threshold[0], inf);
    EXPECT_EQ(oblique::descend(t.view(), children.data(), data, 0).node, 2);
}

TEST(ObliqueVote, ChildrenAreTheFirstTwoEntriesNamingTheParent)
{
    Tree t;
    t.W = {1, 1, inf, inf, inf};
    t.features = {1, 1, 1, 1, 1};
    t.threshold = {0, 0, -5, 0, 0};
    t.parent = {0, 3, 1, 3, 1}; // node 1 -> 3, 5; node 3 -> 2, 4
    t.vote = {0, 7, 0, 8, 9};
    t.W = {1, inf, 1, inf, inf};
    EXPECT_EQ(leaves(t, {-10, -1, 5}), (std::vector<std::int64_t>{2, 4, 5}));
    // 3.7 truncates to 3; a third child of node 1 (node 6) is never reached
    t.parent = {0, 3.7, 1, 3.2, 1, 1};
    t.features.push_back(1);
    t.W.push_back(inf);
    t.vote.push_back(1);
    EXPECT_EQ(leaves(t, {-10, -1, 5}), (std::vector<std::int64_t>{2, 4, 5}));
}

TEST(ObliqueVote, FeatureNumbersTruncate)
{
    Tree t = stump(1.0, 0.0);
    t.features = {2.9, 1, 1};
    const std::vector<double> x = {5.0, -5.0}; // one row, two columns
    const Votes r = evaluate(t.view(), x, 1, 3);
    EXPECT_EQ(r.v, (std::vector<double>{1, 0, 0})); // column 2 (-5) is below 0: leaf 2, class 1
}

TEST(ObliqueVote, VoteRowsAreWrittenWhole)
{
    const std::vector<double> votes = {3, 0, 6, 2.5, nan};
    const std::vector<std::vector<double>> rows = {
        {0, 0, 1, 0, 0}, {0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}};
    for (std::size_t k = 0; k < votes.size(); ++k) {
        const double W[1] = {inf}, parent[1] = {0};
        const oblique::ObliqueTree t{W, nullptr, nullptr, &votes[k], parent, 1, 1, 1, 0, 0, 1};
        EXPECT_EQ(evaluate(t, {0.0}, 1, 5).v, rows[k]) << "vote " << votes[k];
    }
}

TEST(ObliqueVote, MalformedTreesFaultNamingTheNode)
{
    auto faultOf = [](const Tree &t, std::vector<double> x, std::int64_t columns = 1) {
        const Votes r = evaluate(t.view(), x, static_cast<std::int64_t>(x.size()) / columns, 1);
        return std::make_pair(r.outcome.fault, r.outcome.node);
    };
    Tree t = stump(1.0, 0.0);
    t.parent = {0, 1, 7}; // node 1 has one child
    EXPECT_EQ(faultOf(t, {1.0}), std::make_pair(Fault::MissingChild, std::int64_t(1)));
    t.parent = {2, 1, 1, 2}; // 1 -> 2, 3 and 2 -> 1, 4: a cycle for rows >= 0
    t.W = {1, 1, inf, inf};
    t.features = {1, 1, 1, 1};
    t.threshold = {0, 5, 0, 0};
    t.vote = {0, 0, 0, 0};
    EXPECT_EQ(faultOf(t, {-1.0}).first, Fault::Cycle);
    EXPECT_EQ(faultOf(t, {1.0}).first, Fault::None);
    t = stump(1.0, 0.0);
    t.W = {1.0, inf}; // node 3's column is missing
    EXPECT_EQ(faultOf(t, {1.0}), std::make_pair(Fault::NodeBeyondW, std::int64_t(3)));
    t = stump(1.0, 0.0);
    t.vote = {0, 1};
    EXPECT_EQ(faultOf(t, {1.0}), std::make_pair(Fault::NodeBeyondVote, std::int64_t(3)));
    t = stump(1.0, 0.0);
    t.threshold.clear();
    EXPECT_EQ(faultOf(t, {1.0}), std::make_pair(Fault::NodeBeyondThreshold, std::int64_t(1)));
    t = stump(1.0, 0.0);
    t.features.clear();
    EXPECT_EQ(faultOf(t, {1.0}), std::make_pair(Fault::NodeBeyondFeatures, std::int64_t(1)));
    for (double f : {0.0, 0.99, 3.0, -1.0, nan, inf, 1e300}) {
        t = stump(1.0, 0.0);
        t.features[0] = f;
        EXPECT_EQ(faultOf(t, {1.0, 2.0}, 2), std::make_pair(Fault::FeatureOutOfRange, std::int64_t(1))) << f;
    }
}

// A random tree: well formed, or with any of its tables damaged.
Tree randomTree(std::mt19937 &rng, bool wellFormed, std::int64_t columns)
{
    std::uniform_int_distribution<int> small(1, 4);
    std::uniform_real_distribution<double> u(0, 1);
    std::normal_distribution<double> nd(0, 1);
    Tree t;
    t.d = small(rng);
    const std::int64_t internal = std::uniform_int_distribution<int>(0, 12)(rng);
    const std::int64_t m = 2 * internal + 1;
    // Grow a binary tree by splitting leaves, then renumber all but the root.
    std::vector<std::int64_t> parentOf(m, 0), leavesNow = {0};
    for (std::int64_t made = 1; made < m; made += 2) {
        std::uniform_int_distribution<std::size_t> pick(0, leavesNow.size() - 1);
        const std::size_t at = pick(rng);
        const std::int64_t p = leavesNow[at];
        leavesNow.erase(leavesNow.begin() + static_cast<std::ptrdiff_t>(at));
        parentOf[made] = p + 1;
        parentOf[made + 1] = p + 1;
        leavesNow.push_back(made);
        leavesNow.push_back(made + 1);
    }
    std::vector<std::int64_t> label(m);
    std::iota(label.begin(), label.end(), 1);
    std::shuffle(label.begin() + 1, label.end(), rng);
    t.parent.assign(m, 0);
    std::vector<bool> isLeaf(m, true);
    for (std::int64_t k = 1; k < m; ++k) {
        t.parent[label[k] - 1] = static_cast<double>(label[parentOf[k] - 1]);
        isLeaf[label[parentOf[k] - 1] - 1] = false;
    }
    for (std::int64_t k = 0; k < m; ++k) {
        for (std::int64_t r = 0; r < t.d; ++r) {
            t.W.push_back(r == 0 && isLeaf[k] ? (u(rng) < 0.5 ? inf : nan) : std::round(4 * nd(rng)) / 4);
            t.features.push_back(1 + std::floor(u(rng) * columns) + 0.5 * u(rng));
        }
        t.threshold.push_back(u(rng) < 0.05 ? nan : std::round(4 * nd(rng)) / 4);
        t.vote.push_back(std::floor(u(rng) * 6) + (u(rng) < 0.1 ? 0.5 : 0.0));
    }
    if (wellFormed)
        return t;
    // Damage: random parents, truncated tables, bad feature numbers, extreme entries.
    for (auto &p : t.parent)
        if (u(rng) < 0.3)
            p = std::floor(u(rng) * (m + 3)) - 1 + (u(rng) < 0.2 ? 0.6 : 0.0);
    if (u(rng) < 0.1)
        t.parent[std::uniform_int_distribution<std::int64_t>(0, m - 1)(rng)] = u(rng) < 0.5 ? nan : 3e9;
    if (u(rng) < 0.2)
        t.W.resize(t.W.size() - std::min<std::size_t>(t.W.size() - 1, small(rng)));
    if (u(rng) < 0.2)
        t.features.resize(t.features.size() / 2);
    if (u(rng) < 0.2)
        t.threshold.resize(t.threshold.size() / 2);
    if (u(rng) < 0.2)
        t.vote.resize(t.vote.size() / 2);
    if (u(rng) < 0.2 && !t.features.empty())
        t.features[std::uniform_int_distribution<std::size_t>(0, t.features.size() - 1)(rng)] = columns + 1;
    if (u(rng) < 0.2)
        t.W[std::uniform_int_distribution<std::size_t>(0, t.W.size() - 1)(rng)] = u(rng) < 0.5 ? inf : 0.0;
    return t;
}

TEST(ObliqueVote, ChildTableDescentEqualsTheLiteralScan)
{
    std::mt19937 rng(12345);
    std::normal_distribution<double> nd(0, 1);
    std::uniform_real_distribution<double> u(0, 1);
    int faults = 0, clean = 0;
    for (int n = 0; n < 4000; ++n) {
        const std::int64_t rows = 6, columns = 3;
        const Tree t = randomTree(rng, n % 2 == 0, columns);
        std::vector<double> x(rows * columns);
        for (auto &v : x)
            v = u(rng) < 0.05 ? (u(rng) < 0.5 ? nan : inf) : std::round(4 * nd(rng)) / 4;
        const oblique::ObliqueTree view = t.view();
        std::vector<std::int32_t> children(2 * view.m, 0);
        oblique::buildChildren(view, children.data());
        const oblique::Data data{x.data(), rows, columns};
        for (std::int64_t i = 0; i < rows; ++i) {
            const oblique::Outcome a = oblique::descend(view, children.data(), data, i);
            const oblique::Outcome b = reference::descend(view, data, i);
            ASSERT_EQ(a.fault, b.fault) << "tree " << n << " row " << i;
            ASSERT_EQ(a.node, b.node) << "tree " << n << " row " << i;
            (a.fault == Fault::None ? clean : faults)++;
        }
    }
    // Both kinds of tree were exercised.
    EXPECT_GT(faults, 1000);
    EXPECT_GT(clean, 10000);
}

// The node table's votes: the table sized for the threads the call would
// use, compiled, then the block descent (AVX-512 where `vectors` and the
// processor allow, the portable split otherwise).
oblique::Outcome compiled(const oblique::ObliqueTree &tree, const oblique::Data &data, std::int64_t k, double *v,
                          bool vectors = true)
{
    const int parts = oblique::rowParts(tree, data);
    std::vector<double> table(oblique::nodeTableDoubles(tree, data, parts), 0.0);
    oblique::compileTree(tree, data, k, parts, table.data());
    return oblique::evaluateCompiled(tree, table.data(), data, k, v, vectors);
}

// The node table's block descent gives the child-table descent's votes and
// first fault, on random well-formed and damaged trees, with NaN and
// infinite entries in the rows, over more rows than one block.
TEST(ObliqueVote, NodeTableDescentEqualsTheChildTableDescent)
{
    std::mt19937 rng(777);
    std::normal_distribution<double> nd(0, 1);
    std::uniform_real_distribution<double> u(0, 1);
    int faults = 0;
    for (int n = 0; n < 3000; ++n) {
        // No columns, a few or many; mostly part of a block of rows, now
        // and then more than one block (4096 rows).
        const std::int64_t rows = n % 10 == 3 ? 4097 + static_cast<std::int64_t>(u(rng) * 2000)
                                              : 1 + static_cast<std::int64_t>(u(rng) * 40);
        const std::int64_t columns = n % 7 == 0 ? 0 : n % 5 == 0 ? 70 : 3;
        const Tree t = randomTree(rng, n % 2 == 0, columns == 0 ? 3 : columns);
        std::vector<double> x(rows * columns);
        for (auto &v : x)
            v = u(rng) < 0.05 ? (u(rng) < 0.5 ? nan : (u(rng) < 0.5 ? inf : -inf)) : std::round(4 * nd(rng)) / 4;
        const oblique::ObliqueTree view = t.view();
        const oblique::Data data{x.data(), rows, columns};
        const std::int64_t k = static_cast<std::int64_t>(u(rng) * 5) - 1;
        const Votes want = evaluate(view, x, rows, k);
        for (bool vectors : {true, false}) {
            std::vector<double> got(rows * std::max<std::int64_t>(k, 0), -1.0);
            const oblique::Outcome o = compiled(view, data, k, got.data(), vectors);
            ASSERT_EQ(o.fault, want.outcome.fault) << "tree " << n << " vectors " << vectors;
            ASSERT_EQ(o.node, o.fault == Fault::None ? 0 : want.outcome.node) << "tree " << n << " vectors " << vectors;
            if (o.fault == Fault::None)
                ASSERT_EQ(got, want.v) << "tree " << n << " vectors " << vectors;
            else
                faults += vectors;
        }
    }
    EXPECT_GT(faults, 300);
}

// Outputs of 2^20 elements and more are written with streaming stores:
// the same votes, an odd row count putting every other column off the
// 16-byte boundary.
TEST(ObliqueVote, LargeOutputsGetTheSameVotes)
{
    std::mt19937 rng(99);
    std::normal_distribution<double> nd(0, 1);
    const std::int64_t rows = (std::int64_t(1) << 19) + 7, columns = 3, k = 3;
    Tree t;
    do
        t = randomTree(rng, true, columns);
    while (t.parent.size() < 15); // a tree of seven internal nodes or more
    std::vector<double> x(rows * columns);
    for (auto &v : x)
        v = std::round(4 * nd(rng)) / 4;
    const oblique::Data data{x.data(), rows, columns};
    const Votes want = evaluate(t.view(), x, rows, k);
    ASSERT_EQ(want.outcome.fault, Fault::None);
    for (bool vectors : {true, false}) {
        std::vector<double> got(rows * k, -1.0);
        EXPECT_EQ(compiled(t.view(), data, k, got.data(), vectors).fault, Fault::None);
        EXPECT_EQ(got, want.v) << "vectors " << vectors;
    }
}

// Faults that no row reaches are never reported; the one the last row
// reaches is, at that row's node; a chain 2000 nodes deep is descended.
TEST(ObliqueVote, NodeTableReportsOnlyTheFaultsRowsReach)
{
    // Root 1 splits x at 0: node 2 (first child) a leaf voting 1, node 3 an
    // internal node with a feature index beyond X, children 4 and 5 leaves.
    Tree t;
    t.W = {1, inf, 1, inf, inf};
    t.features = {1, 1, 9, 1, 1};
    t.threshold = {0, 0, 0, 0, 0};
    t.vote = {0, 1, 0, 2, 2};
    t.parent = {0, 1, 1, 3, 3};
    const oblique::ObliqueTree view = t.view();
    auto run = [&](const std::vector<double> &x) {
        const oblique::Data data{x.data(), static_cast<std::int64_t>(x.size()), 1};
        std::vector<double> v(x.size() * 2);
        return compiled(view, data, 2, v.data());
    };
    std::vector<double> x(37, -1.0);
    EXPECT_EQ(run(x).fault, Fault::None);
    x.back() = 1.0; // only the last row reaches node 3
    const oblique::Outcome o = run(x);
    EXPECT_EQ(o.fault, Fault::FeatureOutOfRange);
    EXPECT_EQ(o.node, 3);

    // A chain: internal node 2L+1 (level L) splits x at L - 0.5 between
    // the leaf 2L+2 and the next level; the last level's second child is
    // the leaf 2 depth + 1.
    Tree chain;
    const std::int64_t depth = 2000, m = 2 * depth + 1;
    for (std::int64_t node = 1; node <= m; ++node) {
        const bool internal = node % 2 == 1 && node != m;
        const std::int64_t level = (node - 1) / 2;
        chain.W.push_back(internal ? 1.0 : inf);
        chain.features.push_back(1);
        chain.threshold.push_back(internal ? static_cast<double>(level) - 0.5 : 0.0);
        chain.vote.push_back(internal ? 0.0 : static_cast<double>(node % 4 == 0 ? 1 : 2));
        chain.parent.push_back(node == 1 ? 0.0 : static_cast<double>(internal || node == m ? node - 2 : node - 1));
    }
    const std::vector<double> rowsOfChain = {0.0, 5.0, 1999.0, 2500.0};
    const Votes want = evaluate(chain.view(), rowsOfChain, 4, 2);
    const oblique::Data data{rowsOfChain.data(), 4, 1};
    std::vector<double> v(8);
    const oblique::Outcome c = compiled(chain.view(), data, 2, v.data());
    EXPECT_EQ(c.fault, want.outcome.fault);
    EXPECT_EQ(v, want.v);
}

} // namespace
