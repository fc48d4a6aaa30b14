// The kernel's AVX2 instances: this unit alone is compiled for AVX2
// (isaUnit.h), and runs only where the processor has AVX2. AVX2 brings no
// fused multiply-add with it, so the results are those of every path.
#define ZEB_UNIT_AVX2
#include "isaUnit.h"

#include "lse.h"

namespace kernel {
namespace avx2 {

#if defined(ZEB_ISA_UNIT)
extern const Paths table = Lanes<numerics::Avx2>::paths();
#else
extern const Paths table = Lanes<numerics::Scalar>::paths(); // never chosen: bestIsa() does not offer this width here
#endif

} // namespace avx2
} // namespace kernel

#include "isaUnitEnd.h"
