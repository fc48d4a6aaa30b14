// A literal oblique-tree descent for comparison: every child is found by
// scanning treeIndices from its first entry, at every step, as the tree
// format defines children. Faults are those of the core, checked in the
// same order at each node, so the two agree on malformed trees too.
#ifndef ZEB_TESTS_OBLIQUE_REFERENCE_H
#define ZEB_TESTS_OBLIQUE_REFERENCE_H

#include "obliqueCore.h"

#include <cmath>
#include <cstdint>

namespace reference {

// The 1-based position at which the count of entries equal to t (after
// truncation toward zero to 32 bits) reaches n; 0 if it never does.
inline std::int64_t scanChild(const oblique::ObliqueTree &tree, std::int64_t t, int n)
{
    int seen = 0;
    for (std::int64_t k = 1; k <= tree.m; ++k) {
        const double e = tree.treeIndices[k - 1];
        if (std::isnan(e) || e <= -2147483649.0 || e >= 2147483648.0)
            continue;
        if (static_cast<std::int32_t>(e) == t && ++seen == n)
            return k;
    }
    return 0;
}

inline oblique::Outcome descend(const oblique::ObliqueTree &tree, const oblique::Data &data, std::int64_t i)
{
    using oblique::Fault;
    oblique::Outcome o;
    std::int64_t t = 1;
    for (std::int64_t steps = 0;; ++steps) {
        o.node = t;
        if (t > tree.wColumns) {
            o.fault = Fault::NodeBeyondW;
            return o;
        }
        const double w1 = tree.W[(t - 1) * tree.d];
        if (std::isinf(w1) || std::isnan(w1)) {
            if (t > tree.votes)
                o.fault = Fault::NodeBeyondVote;
            return o;
        }
        if (steps == tree.m) {
            o.fault = Fault::Cycle;
            return o;
        }
        if (t > tree.featureColumns) {
            o.fault = Fault::NodeBeyondFeatures;
            return o;
        }
        if (t > tree.thresholds) {
            o.fault = Fault::NodeBeyondThreshold;
            return o;
        }
        double s = 0.0;
        for (std::int64_t k = 1; k <= tree.d; ++k) {
            const double f = std::trunc(tree.featureIndices[(t - 1) * tree.d + (k - 1)]);
            if (!(f >= 1 && f <= static_cast<double>(data.columns))) {
                o.fault = Fault::FeatureOutOfRange;
                return o;
            }
            const double product = tree.W[(t - 1) * tree.d + (k - 1)] *
                                   data.x[i + (static_cast<std::int64_t>(f) - 1) * data.rows];
            s = s + product;
        }
        const std::int64_t first = scanChild(tree, t, 1), second = scanChild(tree, t, 2);
        if (first == 0 || second == 0) {
            o.fault = Fault::MissingChild;
            return o;
        }
        t = (s - tree.threshold[t - 1] >= 0) ? second : first;
    }
}

} // namespace reference

#endif
