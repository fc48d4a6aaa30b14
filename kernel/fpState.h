// The processor's floating-point state for the length of a computation.
//
// A MEX call inherits whatever state its caller left: a rounding mode other
// than to-nearest (interval arithmetic switches it), flush-to-zero or
// denormals-are-zero. Every result of the modules is defined under
// round-to-nearest with subnormals kept, so each gateway, after its last
// check and once its outputs exist, takes the state over (enter), computes,
// and gives the caller back its exact state, control bits and sticky flags
// alike (leave). No host operation runs in between, so a host failure that
// ends the call cannot leave the caller's state changed.
//
// leave() also clears the upper halves of the vector registers (vzeroupper)
// where the processor has AVX: the wide kernels leave them in use on some
// routes, and until something clears them every SSE instruction the host
// runs afterwards pays for a state transition. One clear at the one exit of
// every computation keeps every route right.
#ifndef ZEB_KERNEL_FP_STATE_H
#define ZEB_KERNEL_FP_STATE_H

#include "cpuFeatures.h"

#include <cstdint>

#if defined(ZEB_CPU_X86) && defined(__SSE2__)
#include <xmmintrin.h>
#define ZEB_FP_STATE_MXCSR 1
#endif

namespace fpstate {

struct Saved {
#if defined(ZEB_FP_STATE_MXCSR)
    unsigned mxcsr;
#elif defined(__aarch64__)
    std::uint64_t fpcr;
    std::uint64_t fpsr;
#else
    int unused;
#endif
};

// MXCSR: every exception masked (bits 7-12), round to nearest (bits 13-14
// clear), flush-to-zero (bit 15) and denormals-are-zero (bit 6) off, no flag.
constexpr unsigned ourMxcsr = 0x1F80u;

// Saves the caller's state and sets ours.
inline Saved enter()
{
    Saved s;
#if defined(ZEB_FP_STATE_MXCSR)
    s.mxcsr = _mm_getcsr();
    _mm_setcsr(ourMxcsr);
#elif defined(__aarch64__)
    __asm__ volatile("mrs %0, fpcr" : "=r"(s.fpcr));
    __asm__ volatile("mrs %0, fpsr" : "=r"(s.fpsr));
    // FPCR 0: round to nearest, no flush-to-zero, no default-NaN mode, no trap.
    __asm__ volatile("msr fpcr, %0" : : "r"(std::uint64_t(0)) : "memory");
#else
    s.unused = 0;
#endif
    return s;
}

// Restores the caller's state exactly, and leaves the upper vector state clean.
inline void leave(Saved s)
{
#if defined(ZEB_FP_STATE_MXCSR)
    if (cpu::avx())
        __asm__ volatile("vzeroupper" : : : "memory");
    _mm_setcsr(s.mxcsr);
#elif defined(__aarch64__)
    __asm__ volatile("msr fpcr, %0" : : "r"(s.fpcr) : "memory");
    __asm__ volatile("msr fpsr, %0" : : "r"(s.fpsr) : "memory");
#else
    (void)s;
#endif
}

} // namespace fpstate

#endif
