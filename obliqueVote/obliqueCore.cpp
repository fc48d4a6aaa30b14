#include "obliqueCore.h"

#include "fpState.h"
#include "threads.h"

#include <algorithm>
#include <cmath>

namespace oblique {

namespace {

// A treeIndices entry truncated toward zero, as a node number, or 0 when it
// is NaN, outside the 32-bit range or not a node of this tree.
std::int64_t parentOf(double entry, std::int64_t m)
{
    if (!(entry > -2147483649.0 && entry < 2147483648.0))
        return 0;
    const std::int64_t p = static_cast<std::int64_t>(entry);
    return p >= 1 && p <= m ? p : 0;
}

Outcome fault(Fault f, std::int64_t node)
{
    Outcome o;
    o.fault = f;
    o.node = node;
    return o;
}

} // namespace

void buildChildren(const ObliqueTree &tree, std::int32_t *children)
{
    for (std::int64_t k = 1; k <= tree.m; ++k) {
        const std::int64_t p = parentOf(tree.treeIndices[k - 1], tree.m);
        if (p == 0)
            continue;
        std::int32_t *slot = children + 2 * (p - 1);
        if (slot[0] == 0)
            slot[0] = static_cast<std::int32_t>(k);
        else if (slot[1] == 0)
            slot[1] = static_cast<std::int32_t>(k);
    }
}

std::int64_t findChild(const std::int32_t *children, std::int64_t t, int n)
{
    return children[2 * (t - 1) + (n - 1)];
}

Outcome descend(const ObliqueTree &tree, const std::int32_t *children, const Data &data, std::int64_t i)
{
    const std::int64_t d = tree.d;
    std::int64_t t = 1;
    // A descent through M internal nodes has visited one of them twice.
    for (std::int64_t steps = 0;; ++steps) {
        if (t > tree.wColumns)
            return fault(Fault::NodeBeyondW, t);
        const double *w = tree.W + (t - 1) * d;
        if (!std::isfinite(w[0])) {
            if (t > tree.votes)
                return fault(Fault::NodeBeyondVote, t);
            Outcome leaf;
            leaf.node = t;
            return leaf;
        }
        if (steps == tree.m)
            return fault(Fault::Cycle, t);
        if (t > tree.featureColumns)
            return fault(Fault::NodeBeyondFeatures, t);
        if (t > tree.thresholds)
            return fault(Fault::NodeBeyondThreshold, t);

        // Each product is rounded to double before it is added, one term at
        // a time in k order.
        const double *features = tree.featureIndices + (t - 1) * d;
        double s = 0.0;
        for (std::int64_t k = 0; k < d; ++k) {
            const double f = features[k];
            if (!(f >= 1.0 && f < static_cast<double>(data.columns) + 1.0))
                return fault(Fault::FeatureOutOfRange, t);
            const std::int64_t column = static_cast<std::int64_t>(f) - 1;
            s = s + w[k] * data.x[i + column * data.rows];
        }

        const std::int64_t first = findChild(children, t, 1);
        const std::int64_t second = findChild(children, t, 2);
        if (first == 0 || second == 0)
            return fault(Fault::MissingChild, t);
        // The branch is taken on the difference: NaN (from a NaN anywhere, or
        // +Inf against +Inf) goes to the first child.
        const double delta = s - tree.threshold[t - 1];
        t = delta >= 0.0 ? second : first;
    }
}

Outcome evaluateTree(const ObliqueTree &tree, const std::int32_t *children, const Data &data, std::int64_t k,
                     double *v)
{
    // Without columns no row has a value to read, so every row takes the
    // first row's path (to the root leaf, or to the root's first feature
    // index, which names no column): one descent serves them all.
    const bool samePath = data.columns == 0;
    Outcome o;
    for (std::int64_t i = 0; i < data.rows; ++i) {
        if (i == 0 || !samePath)
            o = descend(tree, children, data, i);
        if (o.fault != Fault::None)
            return o;
        if (k <= 0) {
            if (samePath)
                break; // nothing to write, and nothing left to read
            continue;
        }
        // Column j gets 1 when j equals terminalVote - 1 as doubles: a NaN
        // or fractional vote matches no column.
        const double target = tree.terminalVote[o.node - 1] - 1.0;
        for (std::int64_t j = 0; j < k; ++j)
            v[i + j * data.rows] = static_cast<double>(j) == target ? 1.0 : 0.0;
    }
    return Outcome();
}

namespace {

// Node kinds. The faults found before the cycle check (a node beyond W, a
// leaf beyond terminalVote) come first, as in descend.
enum Kind : std::int32_t {
    Internal = 0,
    Leaf,
    BeyondW,
    BeyondVote,
    BeyondFeatures,
    BeyondThreshold,
    FeatureOutOfRange,
    MissingChild
};

Fault faultOf(std::int32_t kind)
{
    switch (kind) {
    case BeyondW: return Fault::NodeBeyondW;
    case BeyondVote: return Fault::NodeBeyondVote;
    case BeyondFeatures: return Fault::NodeBeyondFeatures;
    case BeyondThreshold: return Fault::NodeBeyondThreshold;
    case FeatureOutOfRange: return Fault::FeatureOutOfRange;
    default: return Fault::MissingChild;
    }
}

std::int64_t withFeatures(const ObliqueTree &tree)
{
    std::int64_t n = tree.m < tree.wColumns ? tree.m : tree.wColumns;
    return n < tree.featureColumns ? n : tree.featureColumns;
}

struct Table {
    std::int32_t *link;
    std::int32_t *kind;
    std::int64_t *columns;
    Table(double *t, std::int64_t m)
        : link(reinterpret_cast<std::int32_t *>(t)), kind(link + 2 * m),
          columns(reinterpret_cast<std::int64_t *>(t + m + (m + 1) / 2))
    {
    }
};

} // namespace

std::int64_t nodeTableDoubles(const ObliqueTree &tree)
{
    return tree.m + (tree.m + 1) / 2 + tree.d * withFeatures(tree);
}

void compileTree(const ObliqueTree &tree, const Data &data, std::int64_t k, double *table)
{
    Table t(table, tree.m);
    const std::int64_t d = tree.d;
    // Children first, as in buildChildren (1-based, 0 for none).
    buildChildren(tree, t.link);
    for (std::int64_t node = 1; node <= tree.m; ++node) {
        std::int32_t *link = t.link + 2 * (node - 1);
        std::int32_t &kind = t.kind[node - 1];
        if (node > tree.wColumns) {
            kind = BeyondW;
            continue;
        }
        const double *w = tree.W + (node - 1) * d;
        if (!std::isfinite(w[0])) {
            kind = node > tree.votes ? BeyondVote : Leaf;
            if (kind == Leaf) {
                // Column j gets the vote when j equals terminalVote - 1 as
                // doubles: a NaN or fractional vote matches no column.
                const double target = tree.terminalVote[node - 1] - 1.0;
                const bool column = target >= 0.0 && target < static_cast<double>(k) &&
                                    static_cast<double>(static_cast<std::int64_t>(target)) == target;
                link[0] = column ? static_cast<std::int32_t>(target) : -1;
                link[1] = -1;
            }
            continue;
        }
        if (node > tree.featureColumns) {
            kind = BeyondFeatures;
            continue;
        }
        if (node > tree.thresholds) {
            kind = BeyondThreshold;
            continue;
        }
        const double *features = tree.featureIndices + (node - 1) * d;
        std::int64_t *columns = t.columns + (node - 1) * d;
        kind = Internal;
        for (std::int64_t j = 0; j < d; ++j) {
            const double f = features[j];
            if (!(f >= 1.0 && f < static_cast<double>(data.columns) + 1.0)) {
                kind = FeatureOutOfRange;
                break;
            }
            columns[j] = static_cast<std::int64_t>(f) - 1;
        }
        if (kind != Internal)
            continue;
        if (link[0] == 0 || link[1] == 0) {
            kind = MissingChild;
            continue;
        }
        link[0] -= 1; // 0-based from here
        link[1] -= 1;
    }
}

namespace {

constexpr int block = 32; // rows descending together
// Up to this many columns of X, a block's rows are copied side by side
// before they descend: each row's features then share a cache line or two.
constexpr std::int64_t copiedColumns = 64;

// The rows i0 .. i0 + n - 1 of a block, to their leaves (node[r], 0-based)
// or to the first fault in row order (returned, node 1-based). D is the
// weight count where it is small (the sums unrolled), 0 for any.
template <int D, bool Copied>
Outcome descendBlock(const ObliqueTree &tree, const Table &t, const Data &data, std::int64_t i0, int n,
                     std::int32_t *node)
{
    const std::int64_t d = D > 0 ? D : tree.d;
    std::int64_t steps[block];
    int live[block];
    for (int r = 0; r < n; ++r) {
        node[r] = 0;
        steps[r] = 0;
        live[r] = r;
    }
    int alive = n;
    Outcome first;
    int firstRow = block;
    // The block's rows side by side (row r's features at xs + r * stride),
    // copied where they are few enough (Copied), read in place otherwise.
    double rowsCopy[Copied ? block * copiedColumns : 1];
    const double *xs = data.x + i0;
    std::int64_t stride = 1;
    const std::int64_t step = Copied ? 1 : data.rows;
    if (Copied) {
        for (std::int64_t c = 0; c < data.columns; ++c)
            for (int r = 0; r < n; ++r)
                rowsCopy[r * data.columns + c] = data.x[i0 + r + c * data.rows];
        xs = rowsCopy;
        stride = data.columns;
    }
    while (alive > 0) {
        int still = 0;
        int q = 0;
        // Two rows at a time while both are at internal nodes: their sums'
        // chains of additions side by side, so each waits on the other's
        // latency less.
        for (; q + 1 < alive; q += 2) {
            const int r0 = live[q], r1 = live[q + 1];
            const std::int32_t a0 = node[r0], a1 = node[r1];
            if (t.kind[a0] != Internal || t.kind[a1] != Internal || steps[r0] >= tree.m || steps[r1] >= tree.m)
                break;
            const double *w0 = tree.W + static_cast<std::int64_t>(a0) * d;
            const double *w1 = tree.W + static_cast<std::int64_t>(a1) * d;
            const std::int64_t *o0 = t.columns + static_cast<std::int64_t>(a0) * d;
            const std::int64_t *o1 = t.columns + static_cast<std::int64_t>(a1) * d;
            const double *x0 = xs + r0 * stride, *x1 = xs + r1 * stride;
            double s0 = 0.0, s1 = 0.0;
            for (std::int64_t j = 0; j < d; ++j) {
                s0 = s0 + w0[j] * x0[o0[j] * step];
                s1 = s1 + w1[j] * x1[o1[j] * step];
            }
            const double d0 = s0 - tree.threshold[a0], d1 = s1 - tree.threshold[a1];
            node[r0] = t.link[2 * static_cast<std::int64_t>(a0) + (d0 >= 0.0)];
            node[r1] = t.link[2 * static_cast<std::int64_t>(a1) + (d1 >= 0.0)];
            ++steps[r0];
            ++steps[r1];
            live[still++] = r0;
            live[still++] = r1;
        }
        for (; q < alive; ++q) {
            const int r = live[q];
            const std::int32_t at = node[r];
            const std::int32_t kind = t.kind[at];
            if (kind == Internal && steps[r] < tree.m) {
                const double *w = tree.W + static_cast<std::int64_t>(at) * d;
                const std::int64_t *off = t.columns + static_cast<std::int64_t>(at) * d;
                const double *x = xs + r * stride;
                double s = 0.0;
                for (std::int64_t j = 0; j < d; ++j)
                    s = s + w[j] * x[off[j] * step];
                // The next node by an index, not a branch: which way a row
                // goes is data, and a mispredicted branch would stall the
                // other rows' loads behind it.
                const double delta = s - tree.threshold[at];
                node[r] = t.link[2 * static_cast<std::int64_t>(at) + (delta >= 0.0)];
                ++steps[r];
                live[still++] = r;
                continue;
            }
            if (kind != Leaf && r < firstRow) {
                // Beyond W or terminalVote is found before the step count,
                // the other faults after it.
                firstRow = r;
                first.fault = kind == BeyondW || kind == BeyondVote ? faultOf(kind)
                              : steps[r] == tree.m                   ? Fault::Cycle
                                                                     : faultOf(kind);
                first.node = at + 1;
            }
        }
        alive = still;
    }
    return first;
}

// The rows [begin, end) (begin a multiple of the block): their votes, or the
// fault of the first of them, in row order, whose descent faults.
Outcome evaluateRows(const ObliqueTree &tree, const Table &t, const Data &data, std::int64_t k, double *v,
                     std::int64_t begin, std::int64_t end)
{
    const std::int64_t rows = data.rows;
    auto descend = [&](std::int64_t i0, int n, std::int32_t *node) {
        if (data.columns > copiedColumns)
            return descendBlock<0, false>(tree, t, data, i0, n, node);
        switch (tree.d) {
        case 1: return descendBlock<1, true>(tree, t, data, i0, n, node);
        case 2: return descendBlock<2, true>(tree, t, data, i0, n, node);
        case 3: return descendBlock<3, true>(tree, t, data, i0, n, node);
        case 4: return descendBlock<4, true>(tree, t, data, i0, n, node);
        case 5: return descendBlock<5, true>(tree, t, data, i0, n, node);
        case 6: return descendBlock<6, true>(tree, t, data, i0, n, node);
        case 7: return descendBlock<7, true>(tree, t, data, i0, n, node);
        case 8: return descendBlock<8, true>(tree, t, data, i0, n, node);
        default: return descendBlock<0, true>(tree, t, data, i0, n, node);
        }
    };
    for (std::int64_t i0 = begin; i0 < end; i0 += block) {
        const int n = static_cast<int>(end - i0 < block ? end - i0 : block);
        std::int32_t node[block];
        Outcome o = descend(i0, n, node);
        if (o.fault != Fault::None)
            return o;
        if (k <= 0)
            continue;
        // The votes of the block, a column at a time; without columns the
        // one descent's vote for every row.
        // (The vote columns as doubles, so that each column's comparisons
        // and stores run a register of rows at a time.)
        double vote[block];
        for (int r = 0; r < n; ++r)
            vote[r] = t.link[2 * static_cast<std::int64_t>(node[r])];
        for (std::int64_t j = 0; j < k; ++j) {
            double *column = v + j * rows + i0;
            const double target = static_cast<double>(j);
            if (data.columns == 0) {
                const double value = vote[0] == target ? 1.0 : 0.0;
                for (std::int64_t r = 0; r < rows; ++r)
                    column[r] = value;
            } else {
                for (int r = 0; r < n; ++r)
                    column[r] = vote[r] == target ? 1.0 : 0.0;
            }
        }
    }
    return Outcome();
}

// Weighted terms of descent that pay for a thread: about a millisecond's.
constexpr std::int64_t termsPerThread = std::int64_t(1) << 17;

struct RowJob {
    const ObliqueTree *tree;
    const Table *table;
    const Data *data;
    std::int64_t k;
    double *v;
    std::int64_t blocks;
    int parts;
    Outcome outcome[64];
};

void rowPart(void *arg, int part)
{
    RowJob &job = *static_cast<RowJob *>(arg);
    const std::int64_t begin = job.blocks * part / job.parts * block;
    const std::int64_t end = std::min(job.data->rows, job.blocks * (part + 1) / job.parts * block);
    const fpstate::Saved saved = fpstate::enter();
    job.outcome[part] = evaluateRows(*job.tree, *job.table, *job.data, job.k, job.v, begin, end);
    fpstate::leave(saved);
}

} // namespace

Outcome evaluateCompiled(const ObliqueTree &tree, const double *table, const Data &data, std::int64_t k, double *v)
{
    const Table t(const_cast<double *>(table), tree.m);
    // Without columns every row takes the first row's path: one row serves all.
    if (data.columns == 0)
        return evaluateRows(tree, t, data, k, v, 0, data.rows > 0 ? 1 : 0);
    // Blocks of rows over threads where there are enough of them: each part
    // stops at its own first fault, and the lowest part's fault is the first
    // in row order.
    const std::int64_t blocks = (data.rows + block - 1) / block;
    const int parts = threads::forWork(data.rows * tree.d, termsPerThread, blocks);
    if (parts <= 1)
        return evaluateRows(tree, t, data, k, v, 0, data.rows);
    RowJob job{&tree, &t, &data, k, v, blocks, parts, {}};
    threads::run(parts, rowPart, &job);
    for (int part = 0; part < parts; ++part)
        if (job.outcome[part].fault != Fault::None)
            return job.outcome[part];
    return Outcome();
}

} // namespace oblique
