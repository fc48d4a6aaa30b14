#include "obliqueCore.h"

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

} // namespace oblique
