#include "obliqueCore.h"

#include "fpState.h"
#include "levels.h"
#include "registerWidths.h"
#include "threads.h"

#include <algorithm>
#include <cstdint>
#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

constexpr int block = 32;          // rows per block: a multiple of this
constexpr int largestBlock = 4096; // rows descending level by level together, at most
// Nodes of more weights than this split their rows without AVX-512.
constexpr std::int64_t maxVectorWeights = 64;
// Weighted terms of descent that pay for a thread: about a millisecond's.
constexpr std::int64_t termsPerThread = std::int64_t(1) << 17;

// Rows per block: up to 4096, whose features (20 columns: 640 KB) stay in
// the second-level cache while they go down the tree together; no more
// than the data has (rounded up to 32); and for a tree of m nodes at most
// 2^23/m, since a cyclic tree keeps every row of a block descending for m
// levels before its fault is found.
std::int64_t blockRows(const ObliqueTree &tree, const Data &data)
{
    const std::int64_t byTree = (std::int64_t(1) << 23) / (tree.m > 0 ? tree.m : 1);
    const std::int64_t byData = (data.rows + block - 1) / block * block;
    std::int64_t rows = byTree < largestBlock ? byTree / block * block : largestBlock;
    rows = rows < block ? block : rows;
    return byData > 0 && byData < rows ? byData : rows;
}

// Each part's scratch: two lists of row ids and two of groups (3 integers
// each), the rows' leaves and their votes as doubles.
std::int64_t partDoubles(std::int64_t rows)
{
    return 6 * rows;
}

// The table's header (parts, rows per block) and regions.
struct Table {
    int parts;
    std::int64_t rows; // per block
    std::int32_t *link;
    std::int32_t *kind;
    std::int64_t *columns;
    double *scratch; // parts x partDoubles(rows)
    Table(double *t, std::int64_t m, std::int64_t d, std::int64_t nodes)
        : parts(static_cast<int>(t[0])), rows(static_cast<std::int64_t>(t[1])),
          link(reinterpret_cast<std::int32_t *>(t + 2)), kind(link + 2 * m),
          columns(reinterpret_cast<std::int64_t *>(t + 2 + m + (m + 1) / 2)),
          scratch(t + 2 + m + (m + 1) / 2 + d * nodes)
    {
    }
};

} // namespace

int rowParts(const ObliqueTree &tree, const Data &data)
{
    // Without columns one row serves all (evaluateCompiled).
    if (data.columns == 0 || data.rows <= 0)
        return 1;
    const std::int64_t rows = blockRows(tree, data);
    const std::int64_t blocks = (data.rows + rows - 1) / rows;
    return threads::forWork(data.rows * tree.d, termsPerThread, blocks);
}

std::int64_t nodeTableDoubles(const ObliqueTree &tree, const Data &data, int parts)
{
    return 2 + tree.m + (tree.m + 1) / 2 + tree.d * withFeatures(tree) +
           parts * partDoubles(blockRows(tree, data));
}

void compileTree(const ObliqueTree &tree, const Data &data, std::int64_t k, int parts, double *table)
{
    table[0] = parts;
    table[1] = static_cast<double>(blockRows(tree, data));
    Table t(table, tree.m, tree.d, withFeatures(tree));
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

// A block's rows at one node: ids[begin, begin + count).
struct Group {
    std::int32_t node, begin, count;
};

// A part's scratch, carved out of its partDoubles(rows) doubles.
struct Lists {
    std::int32_t *ids, *nextIds;
    Group *groups, *nextGroups;
    std::int32_t *leaf;
    double *vote;
    Lists(double *s, std::int64_t rows)
    {
        ids = reinterpret_cast<std::int32_t *>(s);
        nextIds = ids + rows;
        groups = reinterpret_cast<Group *>(nextIds + rows);
        nextGroups = groups + rows;
        leaf = reinterpret_cast<std::int32_t *>(nextGroups + rows);
        vote = s + 5 * rows;
    }
};

// A group's rows split by their sums: those going to the first child written
// from the front of `to`, those going to the second from the back; returns
// how many go to the first. Each row's sum is formed exactly as descend
// forms it (so is the AVX-512 split's). D: the weight count where it is
// small (0: any).
template <int D>
int splitGroup(const ObliqueTree &tree, const Table &t, const Data &data, std::int64_t i0, const Group &g,
               const std::int32_t *ids, std::int32_t *to, bool vectors)
{
    const std::int64_t d = D > 0 ? D : tree.d;
    const std::int64_t at = g.node;
    const double *w = tree.W + at * d;
    const std::int64_t *columns = t.columns + at * d;
    const double threshold = tree.threshold[at];
    const double *base = data.x + i0;
    if (vectors && d <= maxVectorWeights) {
        const double *column[maxVectorWeights];
        for (std::int64_t j = 0; j < d; ++j)
            column[j] = base + columns[j] * data.rows;
        return avx512::split(w, column, d, threshold, ids + g.begin, g.count, to + g.begin);
    }
    const double *x[D > 0 ? D : 1];
    if (D > 0)
        for (int j = 0; j < D; ++j)
            x[j] = base + columns[j] * data.rows;
    int front = 0, back = g.count;
    for (int q = 0; q < g.count; ++q) {
        const std::int32_t r = ids[g.begin + q];
        double s = 0.0;
        if (D > 0) {
            for (int j = 0; j < D; ++j)
                s = s + w[j] * x[j][r];
        } else {
            for (std::int64_t j = 0; j < d; ++j)
                s = s + w[j] * base[columns[j] * data.rows + r];
        }
        // NaN (from a NaN anywhere, or +Inf against +Inf) goes to the first child.
        const bool second = s - threshold >= 0.0;
        // Both slots written, one kept: no branch on the data.
        to[g.begin + front] = r;
        to[g.begin + back - 1] = r;
        front += !second;
        back -= second;
    }
    return front;
}

// The rows i0 .. i0 + n - 1 to their leaves (leaf[r], 0-based) or to the
// first fault in row order (returned, node 1-based), a level at a time, the
// rows at each node together: at level L every row still descending has
// taken L steps.
template <int D>
Outcome descendLevels(const ObliqueTree &tree, const Table &t, const Data &data, std::int64_t i0, int n,
                      bool vectors, Lists &lists)
{
    std::int32_t *ids = lists.ids, *nextIds = lists.nextIds;
    Group *groups = lists.groups, *nextGroups = lists.nextGroups;
    for (int r = 0; r < n; ++r)
        ids[r] = r;
    int count = n > 0 ? 1 : 0;
    groups[0] = Group{0, 0, n};
    Outcome first;
    std::int32_t firstRow = n;
    for (std::int64_t level = 0; count > 0; ++level) {
        const bool cycled = level >= tree.m; // M internal nodes visited: one of them twice
        int nextCount = 0;
        for (int k = 0; k < count; ++k) {
            const Group &g = groups[k];
            const std::int32_t kind = t.kind[g.node];
            if (kind == Internal && !cycled) {
                const int left = splitGroup<D>(tree, t, data, i0, g, ids, nextIds, vectors);
                const std::int32_t *link = t.link + 2 * static_cast<std::int64_t>(g.node);
                if (left > 0)
                    nextGroups[nextCount++] = Group{link[0], g.begin, left};
                if (left < g.count)
                    nextGroups[nextCount++] = Group{link[1], g.begin + left, g.count - left};
                continue;
            }
            if (kind == Leaf) {
                for (int q = 0; q < g.count; ++q)
                    lists.leaf[ids[g.begin + q]] = g.node;
                continue;
            }
            // A fault: the group's first row in row order, where it precedes
            // every fault found so far. Beyond W or terminalVote is found
            // before the step count, the other faults after it.
            std::int32_t lowest = n;
            for (int q = 0; q < g.count; ++q)
                lowest = ids[g.begin + q] < lowest ? ids[g.begin + q] : lowest;
            if (lowest < firstRow) {
                firstRow = lowest;
                first.fault = kind == BeyondW || kind == BeyondVote ? faultOf(kind)
                              : cycled                               ? Fault::Cycle
                                                                     : faultOf(kind);
                first.node = g.node + 1;
            }
        }
        std::swap(ids, nextIds);
        std::swap(groups, nextGroups);
        count = nextCount;
    }
    return first;
}

// Whether the votes are written with streaming stores: from 8 MB of output.
bool streamingPays(std::int64_t rows, std::int64_t k)
{
#if defined(__SSE2__)
    return k > 0 && rows > (std::int64_t(1) << 20) / k;
#else
    (void)rows;
    (void)k;
    return false;
#endif
}

// column[r] = 1 where vote[r] == target, else 0, for r < n; `streamed`:
// with streaming stores, a pair at a time from the first 16-byte boundary
// (where the platform has them).
void writeVotes(double *column, const double *vote, int n, double target, bool streamed)
{
    int r = 0;
#if defined(__SSE2__)
    if (streamed) {
        if (reinterpret_cast<std::uintptr_t>(column) % 16 != 0 && n > 0) {
            column[0] = vote[0] == target ? 1.0 : 0.0;
            r = 1;
        }
        const __m128d one = _mm_set1_pd(1.0), goal = _mm_set1_pd(target);
        for (; r + 2 <= n; r += 2)
            _mm_stream_pd(column + r, _mm_and_pd(_mm_cmpeq_pd(_mm_loadu_pd(vote + r), goal), one));
    }
#else
    (void)streamed;
#endif
    for (; r < n; ++r)
        column[r] = vote[r] == target ? 1.0 : 0.0;
}

// The rows [begin, end) (begin a multiple of the block): their votes, or the
// fault of the first of them, in row order, whose descent faults.
Outcome evaluateRows(const ObliqueTree &tree, const Table &t, const Data &data, std::int64_t k, double *v,
                     std::int64_t begin, std::int64_t end, bool vectors, double *scratch)
{
    const std::int64_t rows = data.rows;
    Lists lists(scratch, t.rows);
    // Outputs far beyond the caches are written around them (x86), so that
    // no line of the output is read before it is written.
    const bool streamed = streamingPays(rows, k);
    vectors = vectors && kernel::bestIsa() == kernel::Isa::Avx512;
    auto descend = [&](std::int64_t i0, int n) {
        switch (tree.d) {
        case 1: return descendLevels<1>(tree, t, data, i0, n, vectors, lists);
        case 2: return descendLevels<2>(tree, t, data, i0, n, vectors, lists);
        case 3: return descendLevels<3>(tree, t, data, i0, n, vectors, lists);
        case 4: return descendLevels<4>(tree, t, data, i0, n, vectors, lists);
        case 5: return descendLevels<5>(tree, t, data, i0, n, vectors, lists);
        case 6: return descendLevels<6>(tree, t, data, i0, n, vectors, lists);
        case 7: return descendLevels<7>(tree, t, data, i0, n, vectors, lists);
        case 8: return descendLevels<8>(tree, t, data, i0, n, vectors, lists);
        default: return descendLevels<0>(tree, t, data, i0, n, vectors, lists);
        }
    };
    for (std::int64_t i0 = begin; i0 < end; i0 += t.rows) {
        const int n = static_cast<int>(end - i0 < t.rows ? end - i0 : t.rows);
        Outcome o = descend(i0, n);
        if (o.fault != Fault::None)
            return o;
        if (k <= 0)
            continue;
        // The votes of the block, a column at a time; without columns the
        // one descent's vote for every row.
        // (The vote columns as doubles, so that each column's comparisons
        // and stores run a register of rows at a time.)
        double *vote = lists.vote;
        for (int r = 0; r < n; ++r)
            vote[r] = t.link[2 * static_cast<std::int64_t>(lists.leaf[r])];
        for (std::int64_t j = 0; j < k; ++j) {
            double *column = v + j * rows + i0;
            const double target = static_cast<double>(j);
            if (data.columns == 0) {
                const double value = vote[0] == target ? 1.0 : 0.0;
                for (std::int64_t r = 0; r < rows; ++r)
                    column[r] = value;
            } else {
                writeVotes(column, vote, n, target, streamed);
            }
        }
    }
#if defined(__SSE2__)
    if (streamed)
        _mm_sfence(); // the streamed stores complete before the part is done
#endif
    return Outcome();
}

struct RowJob {
    const ObliqueTree *tree;
    const Table *table;
    const Data *data;
    std::int64_t k;
    double *v;
    std::int64_t blocks;
    int parts;
    bool vectors;
    Outcome outcome[64];
};

void rowPart(void *arg, int part)
{
    RowJob &job = *static_cast<RowJob *>(arg);
    const std::int64_t rows = job.table->rows;
    const std::int64_t begin = job.blocks * part / job.parts * rows;
    const std::int64_t end = std::min(job.data->rows, job.blocks * (part + 1) / job.parts * rows);
    const fpstate::Saved saved = fpstate::enter();
    job.outcome[part] = evaluateRows(*job.tree, *job.table, *job.data, job.k, job.v, begin, end, job.vectors,
                                     job.table->scratch + part * partDoubles(rows));
    fpstate::leave(saved);
}

} // namespace

Outcome evaluateCompiled(const ObliqueTree &tree, const double *table, const Data &data, std::int64_t k, double *v,
                         bool vectors)
{
    const Table t(const_cast<double *>(table), tree.m, tree.d, withFeatures(tree));
    // Without columns every row takes the first row's path: one row serves all.
    if (data.columns == 0)
        return evaluateRows(tree, t, data, k, v, 0, data.rows > 0 ? 1 : 0, vectors, t.scratch);
    // Blocks of rows over threads where there are enough of them (as many
    // parts as the table has scratch for): each part stops at its own first
    // fault, and the lowest part's fault is the first in row order.
    const std::int64_t blocks = (data.rows + t.rows - 1) / t.rows;
    const int parts = static_cast<int>(std::min<std::int64_t>(t.parts, blocks));
    if (parts <= 1)
        return evaluateRows(tree, t, data, k, v, 0, data.rows, vectors, t.scratch);
    RowJob job{&tree, &t, &data, k, v, blocks, parts, vectors, {}};
    threads::run(parts, rowPart, &job);
    for (int part = 0; part < parts; ++part)
        if (job.outcome[part].fault != Fault::None)
            return job.outcome[part];
    return Outcome();
}

} // namespace oblique
