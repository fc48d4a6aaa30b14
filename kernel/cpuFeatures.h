// Which register widths this processor and its operating system run, asked
// of the processor itself (CPUID, XGETBV), so that no compiler runtime's
// processor model is needed on any platform.
//
// The answer is a constant of the machine, so it is asked once per process,
// not per call: CPUID traps to the hypervisor in a virtual machine and costs
// microseconds there, more than a small call's whole computation. The
// answer is kept in an atomic word rather than a guarded static, which would
// need the C++ runtime's guard functions (the macOS bundles link none);
// threads that ask at the same time for the first time compute the same
// answer, so either store is right.
#ifndef ZEB_KERNEL_CPU_FEATURES_H
#define ZEB_KERNEL_CPU_FEATURES_H

#include <atomic>

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define ZEB_CPU_X86 1
#include <cpuid.h>
#endif

namespace cpu {

struct Features {
    bool avx = false;     // AVX, with the YMM registers saved by the system
    bool avx2 = false;    // AVX2, likewise
    bool avx512f = false; // AVX-512F, with the mask and all ZMM registers saved
};

namespace detail {

inline Features detect()
{
    Features f;
#if defined(ZEB_CPU_X86)
    unsigned a, b, c, d;
    // XCR0, the register state the operating system saves; none without OSXSAVE.
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & (1u << 27)))
        return f;
    const bool avxBit = (c & (1u << 28)) != 0;
    unsigned lo, hi;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    const unsigned long long xcr0 = (static_cast<unsigned long long>(hi) << 32) | lo;
    unsigned leaf7 = 0;
    if (__get_cpuid_max(0, nullptr) >= 7) {
        __cpuid_count(7, 0, a, b, c, d);
        leaf7 = b;
    }
    f.avx = avxBit && (xcr0 & 0x6) == 0x6;
    f.avx2 = f.avx && (leaf7 & (1u << 5));
    f.avx512f = f.avx && (xcr0 & 0xE6) == 0xE6 && (leaf7 & (1u << 16));
#endif
    return f;
}

} // namespace detail

inline Features features()
{
#if !defined(ZEB_CPU_X86)
    return Features(); // no x86 extensions to ask about (and no atomic word to keep)
#else
    // Bit 0: asked already; bits 1-3: avx, avx2, avx512f.
    static std::atomic<unsigned> known{0};
    unsigned bits = known.load(std::memory_order_relaxed);
    if (!bits) {
        const Features f = detail::detect();
        bits = 1u | (f.avx ? 2u : 0u) | (f.avx2 ? 4u : 0u) | (f.avx512f ? 8u : 0u);
        known.store(bits, std::memory_order_relaxed);
    }
    Features f;
    f.avx = (bits & 2u) != 0;
    f.avx2 = (bits & 4u) != 0;
    f.avx512f = (bits & 8u) != 0;
    return f;
#endif
}

inline bool avx()
{
    return features().avx;
}

inline bool avx2()
{
    return features().avx2;
}

inline bool avx512f()
{
    return features().avx512f;
}

} // namespace cpu

#endif
