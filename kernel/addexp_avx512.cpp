// The kernel's AVX-512 instances: this unit alone is compiled for AVX-512F
// (isaUnit.h), and runs only where the processor and the system have
// AVX-512F. No multiply and add are fused (contraction is off and no
// intrinsic fuses), so the results are those of every path.
#define ZEB_UNIT_AVX512
#include "isaUnit.h"

#include "lse.h"

namespace kernel {
namespace avx512 {

#if defined(ZEB_ISA_UNIT)
extern const Paths table = Lanes<numerics::Avx512>::paths();
#else
extern const Paths table = Lanes<numerics::Scalar>::paths(); // never chosen: bestIsa() does not offer this width here
#endif

} // namespace avx512
} // namespace kernel

#include "isaUnitEnd.h"
