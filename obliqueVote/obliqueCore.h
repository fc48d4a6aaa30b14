// Oblique decision-tree vote on plain column-major arrays of doubles.
//
// Nodes are numbered 1..M. Node t's weights are column t of W (d rows), the
// data columns they multiply are column t of featureIndices (same layout),
// its split value is threshold(t), and a leaf's class is terminalVote(t).
// A node whose first weight is not finite is a leaf. The children of node t
// are the nodes k whose treeIndices(k), truncated toward zero, equals t: the
// lowest-numbered is the first child, the next the second.
#ifndef ZEB_OBLIQUE_CORE_H
#define ZEB_OBLIQUE_CORE_H

#include <cstdint>

namespace oblique {

struct ObliqueTree {
    const double *W;
    const double *featureIndices;
    const double *threshold;
    const double *terminalVote;
    const double *treeIndices;
    std::int64_t d;              // rows of W, at least 1
    std::int64_t m;              // entries of treeIndices: the node count
    std::int64_t wColumns;       // whole columns of d entries that W holds
    std::int64_t featureColumns; // whole columns of d entries that featureIndices holds
    std::int64_t thresholds;     // entries of threshold
    std::int64_t votes;          // entries of terminalVote
};

// The data matrix: rows observations by columns features, column-major.
struct Data {
    const double *x;
    std::int64_t rows;
    std::int64_t columns;
};

// Why a descent could not go on: each names the node it stopped at.
enum class Fault {
    None,
    MissingChild,       // an internal node with fewer than two children
    Cycle,              // no leaf within M steps
    NodeBeyondW,        // the node's column is not in W
    NodeBeyondFeatures, // an internal node's column is not in featureIndices
    NodeBeyondThreshold,
    NodeBeyondVote,
    FeatureOutOfRange // a feature index outside 1..columns of the data
};

struct Outcome {
    Fault fault = Fault::None;
    std::int64_t node = 0; // the leaf reached, or the node the fault names
};

// The first and second child of every node, 2*M entries: children[2(t-1)]
// and children[2(t-1)+1], 0 where a node has none. Built in one pass.
void buildChildren(const ObliqueTree &tree, std::int32_t *children);

// Node t's n-th child (n = 1 or 2), 0 if it has none.
std::int64_t findChild(const std::int32_t *children, std::int64_t t, int n);

// The leaf that row i reaches, or the fault that stopped its descent.
Outcome descend(const ObliqueTree &tree, const std::int32_t *children, const Data &data, std::int64_t i);

// Writes every row's one-hot vote into v (rows x k, column-major). Stops at
// the first row whose descent faults and returns that fault.
Outcome evaluateTree(const ObliqueTree &tree, const std::int32_t *children, const Data &data, std::int64_t k,
                     double *v);

// The node table: what each node is, checked once per call rather than at
// every row that reaches it, and the scratch of the block descent, in one
// block of nodeTableDoubles(tree, data, parts) doubles (zero-filled), for
// parts = rowParts(tree, data) (the threads the rows will be split over):
//   a header: the parts and the rows per block;
//   link, 2M 32-bit integers: an internal node's first and second child
//     (0-based), a leaf's vote column (-1: none);
//   kind, M 32-bit integers: Kind below;
//   columns, d min(M, wColumns, featureColumns) 64-bit integers: an
//     internal node's d feature columns of the data (0-based);
//   each part's lists of rows and groups (six doubles per row of a block).
// A node whose use would be a fault is of the fault's kind: a row that
// reaches it stops there, with today's message and node number, and a node
// no row reaches is never reported.
int rowParts(const ObliqueTree &tree, const Data &data);
std::int64_t nodeTableDoubles(const ObliqueTree &tree, const Data &data, int parts);
void compileTree(const ObliqueTree &tree, const Data &data, std::int64_t k, int parts, double *table);

// evaluateTree's votes and fault through the node table: the rows of a
// block (up to 4096) go down the tree a level at a time, those at the same
// node together, each node's sum exactly as descend forms it (products
// rounded, added in weight order, no fused multiply-add), eight rows at a
// time in AVX-512 registers where the processor has them and `vectors`
// allows (tests compare both ways).
Outcome evaluateCompiled(const ObliqueTree &tree, const double *table, const Data &data, std::int64_t k,
                         double *v, bool vectors = true);

} // namespace oblique

#endif
