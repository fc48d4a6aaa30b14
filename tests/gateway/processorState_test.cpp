// The check every gateway test makes of the state a call returns with, and
// the floating-point exit every module takes: two stand-in modules, built
// into this runner for each platform, call the host's check. One leaves the
// upper halves of the vector registers in use, which the check must report;
// the other uses them as the modules' wide paths do (AVX-512 masks
// included, after which a 32-bit program's CPUID in a virtual machine marks
// them in use again) and leaves through fpstate::leave, which must clear
// them and which the check must not blame for state it makes itself.
#include "checks.h"
#include "cpuFeatures.h"
#include "cpuState.h"
#include "fpState.h"
#include "gateway.h"

#include <gtest/gtest.h>

namespace {

#if defined(ZEB_CPU_X86)
// Nonzero values in ymm0 (AVX) and, where the processor has AVX-512F, in
// zmm1 and the mask register k1. This runner is compiled for no AVX, so the
// compiler adds no vzeroupper of its own after it.
void useUpperHalves()
{
    static const double one = 1.0;
    __asm__ volatile("vbroadcastsd %0, %%ymm0" : : "m"(one) : "xmm0", "memory");
    if (cpu::avx512f())
        __asm__ volatile("kxnorw %%k1, %%k1, %%k1\n\t"
                         "vpternlogd $0xff, %%zmm1, %%zmm1, %%zmm1"
                         :
                         :
                         : "xmm1", "memory");
}
#else
void useUpperHalves()
{
}
#endif

void leavesThemInUse(int, mxArray *[], int, const mxArray *[])
{
    useUpperHalves();
}

void leavesLikeAModule(int, mxArray *[], int, const mxArray *[])
{
    const fpstate::Saved saved = fpstate::enter();
    useUpperHalves();
    fpstate::leave(saved);
}

const char *const inUse = "returned with the upper halves of the vector registers in use";

} // namespace

TEST(ProcessorState, TheCheckSeesUpperHalvesLeftInUseAndTheModulesExitClearsThem)
{
    if (cpustate::upperStateSupport.state != cpustate::UpperState::readable)
        GTEST_SKIP() << "the upper vector state cannot be read here (no AVX with XGETBV 1, or an emulator)";
    for (int k = 0; k < 200; ++k) {
        const standin::CallResult left = standin::call(leavesThemInUse, 1, {});
        ASSERT_TRUE(left.ok);
        EXPECT_EQ(checks::processorStateProblem(left), inUse) << "call " << k;
        const standin::CallResult cleared = standin::call(leavesLikeAModule, 1, {});
        ASSERT_TRUE(cleared.ok);
        EXPECT_EQ(checks::processorStateProblem(cleared), "") << "call " << k;
    }
}
