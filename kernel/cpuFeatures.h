// Which register widths this processor and its operating system run, asked
// of the processor itself (CPUID, XGETBV), so that no compiler runtime's
// processor model is needed on any platform.
#ifndef ZEB_KERNEL_CPU_FEATURES_H
#define ZEB_KERNEL_CPU_FEATURES_H

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define ZEB_CPU_X86 1
#include <cpuid.h>
#endif

namespace cpu {

#if defined(ZEB_CPU_X86)
namespace detail {

// The register state the operating system saves (XCR0), or 0 where it
// does not say (no OSXSAVE).
inline unsigned long long savedState()
{
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & (1u << 27)))
        return 0;
    unsigned lo, hi;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (static_cast<unsigned long long>(hi) << 32) | lo;
}

inline unsigned leaf7ebx()
{
    unsigned a, b, c, d;
    if (__get_cpuid_max(0, nullptr) < 7)
        return 0;
    __cpuid_count(7, 0, a, b, c, d);
    return b;
}

} // namespace detail
#endif

// AVX2, with the YMM registers saved by the system.
inline bool avx2()
{
#if defined(ZEB_CPU_X86)
    return (detail::savedState() & 0x6) == 0x6 && (detail::leaf7ebx() & (1u << 5));
#else
    return false;
#endif
}

// AVX-512F, with the mask and all ZMM registers saved by the system.
inline bool avx512f()
{
#if defined(ZEB_CPU_X86)
    return (detail::savedState() & 0xE6) == 0xE6 && (detail::leaf7ebx() & (1u << 16));
#else
    return false;
#endif
}

} // namespace cpu

#endif
