// The processor state a caller leaves and a call returns with, as the test
// side reads and sets it: shared by the stand-in host, the Octave test
// plug-in (tests/octave/zeb_call_under.cpp) and the kernel tests.
//   readFpState/writeFpState: the floating-point control and status word,
//     MXCSR on x86; on aarch64 FPCR's control bits (8 and up) with FPSR's
//     sticky flags (bits 0-4 and 7) in the low byte; 0 elsewhere.
//   upperStateInUse: whether the upper halves of the vector registers are in
//     use (XINUSE bits 2 and 6, by XGETBV with ECX = 1); -1 where the
//     processor, or an emulator that does not track it, cannot say.
#ifndef ZEB_STANDIN_CPU_STATE_H
#define ZEB_STANDIN_CPU_STATE_H

#include <cstdint>

#if (defined(__x86_64__) || defined(__i386__)) && defined(__SSE2__)
#include <cpuid.h>
#include <xmmintrin.h>
#endif

namespace cpustate {

#if (defined(__x86_64__) || defined(__i386__)) && defined(__SSE2__)
inline unsigned readFpState()
{
    return _mm_getcsr();
}

inline void writeFpState(unsigned s)
{
    _mm_setcsr(s);
}

inline int upperStateInUse()
{
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & (1u << 27)) || __get_cpuid_max(0, nullptr) < 0xD)
        return -1;
    const bool avx = (c & (1u << 28)) != 0;
    __cpuid_count(0xD, 1, a, b, c, d);
    if (!(a & (1u << 2)))
        return -1;
    unsigned lo, hi;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(1));
    if (!avx)
        return (lo & 0x44u) != 0;
    // An emulator that does not track the state (qemu) reports it in use
    // even right after it was cleared: then nothing can be said.
    __asm__ volatile("vzeroupper" : : : "memory");
    unsigned cleared, hi2;
    __asm__ volatile("xgetbv" : "=a"(cleared), "=d"(hi2) : "c"(1));
    if (cleared & 0x44u)
        return -1;
    return (lo & 0x44u) != 0;
}
#elif defined(__aarch64__)
inline unsigned readFpState()
{
    std::uint64_t control, status;
    __asm__ volatile("mrs %0, fpcr" : "=r"(control));
    __asm__ volatile("mrs %0, fpsr" : "=r"(status));
    return static_cast<unsigned>((control & ~std::uint64_t(0xFF)) | (status & 0x9F));
}

inline void writeFpState(unsigned s)
{
    __asm__ volatile("msr fpcr, %0" : : "r"(static_cast<std::uint64_t>(s & ~0xFFu)) : "memory");
    __asm__ volatile("msr fpsr, %0" : : "r"(static_cast<std::uint64_t>(s & 0x9Fu)) : "memory");
}

inline int upperStateInUse()
{
    return -1;
}
#else
inline unsigned readFpState()
{
    return 0;
}

inline void writeFpState(unsigned)
{
}

inline int upperStateInUse()
{
    return -1;
}
#endif

} // namespace cpustate

#endif
