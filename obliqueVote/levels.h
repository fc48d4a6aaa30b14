// One node's rows split by their sums, in AVX-512 registers, eight rows at a
// time (their feature values gathered by row): the portable split's sums
// (each product rounded, added in weight order from 0, no fused
// multiply-add), so the rows go the same ways.
#ifndef ZEB_OBLIQUE_LEVELS_H
#define ZEB_OBLIQUE_LEVELS_H

#include <cstdint>

namespace oblique {
namespace avx512 {

// For the rows ids[0 .. count): s = sum_j w[j] column_j[row] over j < d in
// order; a row with s - threshold >= 0 goes to the second child (its id
// written from the back of to[0 .. count)), any other (NaN too) to the first
// (from the front). Returns how many go to the first child. Only where the
// processor has AVX-512F.
int split(const double *w, const double *const *columns, std::int64_t d, double threshold, const std::int32_t *ids,
          int count, std::int32_t *to);

} // namespace avx512
} // namespace oblique

#endif
