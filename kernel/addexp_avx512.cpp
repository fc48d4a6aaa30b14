// The kernel's AVX-512 instances: this unit alone is compiled for AVX-512F
// (by the pragma below), and runs only where the processor and the system
// have AVX-512F. No multiply and add are fused (contraction is off and no
// intrinsic fuses), so the results are those of every path.
#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define ZEB_AVX512_UNIT 1
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f"))), apply_to = function)
#else
#pragma GCC target("avx512f")
#endif
#endif

#include "lse.h"

namespace kernel {
namespace avx512 {

#if defined(ZEB_AVX512_UNIT)
extern const Paths table = Lanes<numerics::Avx512>::paths();
#else
extern const Paths table = Lanes<numerics::Scalar>::paths(); // never chosen: bestIsa() does not offer this width here
#endif

} // namespace avx512
} // namespace kernel

#if defined(ZEB_AVX512_UNIT) && defined(__clang__)
#pragma clang attribute pop
#endif
