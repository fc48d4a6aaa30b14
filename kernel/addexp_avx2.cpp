// The kernel's AVX2 instances: this unit alone is compiled for AVX2 (by the
// pragma below), and runs only where the processor has AVX2. AVX2 brings
// no fused multiply-add with it, so the results are those of every path.
#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define ZEB_AVX2_UNIT 1
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC target("avx2")
#endif
#endif

#include "lse.h"

namespace kernel {
namespace avx2 {

#if defined(ZEB_AVX2_UNIT)
extern const Paths table = Lanes<numerics::Avx2>::paths();
#else
extern const Paths table = Lanes<numerics::Scalar>::paths(); // never chosen: bestIsa() does not offer this width here
#endif

} // namespace avx2
} // namespace kernel

#if defined(ZEB_AVX2_UNIT) && defined(__clang__)
#pragma clang attribute pop
#endif
