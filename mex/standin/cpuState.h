// The processor state a caller leaves and a call returns with, as the test
// side reads and sets it: shared by the stand-in host, the Octave test
// plug-in (tests/octave/zeb_call_under.cpp) and the kernel tests.
//   readFpState/writeFpState: the floating-point control and status word,
//     MXCSR on x86; on aarch64 FPCR's control bits (8 and up) with FPSR's
//     sticky flags (bits 0-4 and 7) in the low byte; 0 elsewhere.
//   upperStateInUse: whether the upper halves of the vector registers were
//     left in use: XINUSE bits 2 and 6 (XGETBV with ECX = 1) set, and data
//     in those halves (bits 128-255 of ymm0-15, ymm0-7 in 32-bit mode, and
//     with AVX-512 bits 256-511 of zmm0-15); -1 where the processor, or an
//     emulator that does not track the state, cannot say.
//   clearUpperState: clears them (vzeroupper) where they can be read.
//
// Why both: XINUSE alone also reports state that no code left. On some
// virtual machines (a 32-bit program on an AMD Zen 4 guest, once AVX-512
// state has been used in the process) every trip to the hypervisor or the
// kernel, CPUID among them, marks the AVX state in use again, with the
// zeros the registers held. Code that uses the wide registers and does not
// clear them leaves its values there.
//
// What the processor can tell is asked once, as the library or program
// holding this header loads (upperStateSupport), never on the read itself:
// upperStateInUse runs XGETBV and register stores, nothing else, so that a
// caller can read the state first thing after a call returns.
#ifndef ZEB_STANDIN_CPU_STATE_H
#define ZEB_STANDIN_CPU_STATE_H

#include <cstdint>

#if (defined(__x86_64__) || defined(__i386__)) && defined(__SSE2__)
#include <cpuid.h>
#include <xmmintrin.h>
#endif

namespace cpustate {

// What the processor says of the upper halves here: cannotTell (not x86, no
// XGETBV with ECX = 1, or an emulator that reports them in use even right
// after they were cleared, as qemu does), neverInUse (no AVX: there are no
// upper halves), or readable.
enum class UpperState { cannotTell, neverInUse, readable };
struct UpperStateSupport {
    UpperState state;
    bool zmm; // AVX-512's upper halves too
};

#if (defined(__x86_64__) || defined(__i386__)) && defined(__SSE2__)
inline unsigned readFpState()
{
    return _mm_getcsr();
}

inline void writeFpState(unsigned s)
{
    _mm_setcsr(s);
}

namespace detail {

inline unsigned xinuse()
{
    unsigned lo, hi;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(1) : "memory");
    return lo;
}

inline UpperStateSupport probeUpperState()
{
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & (1u << 27)) || __get_cpuid_max(0, nullptr) < 0xD)
        return {UpperState::cannotTell, false};
    const bool avx = (c & (1u << 28)) != 0;
    unsigned xcr0, xcr0High;
    __asm__ volatile("xgetbv" : "=a"(xcr0), "=d"(xcr0High) : "c"(0));
    __cpuid_count(7, 0, a, b, c, d);
    const bool zmm = avx && (xcr0 & 0xE6u) == 0xE6u && (b & (1u << 16));
    __cpuid_count(0xD, 1, a, b, c, d);
    if (!(a & (1u << 2)))
        return {UpperState::cannotTell, false};
    if (!avx)
        return {UpperState::neverInUse, false};
    __asm__ volatile("vzeroupper" : : : "memory");
    if (xinuse() & 0x44u)
        return {UpperState::cannotTell, false};
    return {UpperState::readable, zmm};
}

#if defined(__x86_64__)
#define ZEB_UPPER_REGS(f) f(0) f(1) f(2) f(3) f(4) f(5) f(6) f(7) f(8) f(9) f(10) f(11) f(12) f(13) f(14) f(15)
constexpr int upperRegisters = 16;
#else
#define ZEB_UPPER_REGS(f) f(0) f(1) f(2) f(3) f(4) f(5) f(6) f(7)
constexpr int upperRegisters = 8;
#endif
#define ZEB_STORE_YMM_UPPER(i) "vextractf128 $1, %%ymm" #i ", " #i "*16(%0)\n\t"
#define ZEB_STORE_ZMM_UPPER(i) "vextractf64x4 $1, %%zmm" #i ", " #i "*32(%0)\n\t"

// Whether the upper halves hold anything but zeros, read by stores alone.
// (The code around compiles for no AVX: its SSE instructions leave them
// as they are.)
inline bool upperHalvesHoldData(bool zmm)
{
    // (Not initialised: a memset could be a library's AVX one, which
    // clears the halves before they are read.)
    unsigned char ymm[upperRegisters * 16], hi256[upperRegisters * 32];
    __asm__ volatile(ZEB_UPPER_REGS(ZEB_STORE_YMM_UPPER) : : "r"(ymm) : "memory");
    if (zmm)
        __asm__ volatile(ZEB_UPPER_REGS(ZEB_STORE_ZMM_UPPER) : : "r"(hi256) : "memory");
    unsigned char any = 0;
    for (unsigned char v : ymm)
        any |= v;
    for (int k = 0; zmm && k < upperRegisters * 32; ++k)
        any |= hi256[k];
    return any != 0;
}

#undef ZEB_STORE_ZMM_UPPER
#undef ZEB_STORE_YMM_UPPER
#undef ZEB_UPPER_REGS

} // namespace detail

// Asked once per process (per module holding this header), as it loads.
inline const UpperStateSupport upperStateSupport = detail::probeUpperState();

inline int upperStateInUse()
{
    if (upperStateSupport.state != UpperState::readable)
        return upperStateSupport.state == UpperState::neverInUse ? 0 : -1;
    if (!(detail::xinuse() & 0x44u))
        return 0;
    return detail::upperHalvesHoldData(upperStateSupport.zmm);
}

// Clears the upper halves (vzeroupper) where they can be read.
inline void clearUpperState()
{
    if (upperStateSupport.state == UpperState::readable)
        __asm__ volatile("vzeroupper" : : : "memory");
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

inline const UpperStateSupport upperStateSupport = {UpperState::cannotTell, false};

inline int upperStateInUse()
{
    return -1;
}

inline void clearUpperState()
{
}
#else
inline unsigned readFpState()
{
    return 0;
}

inline void writeFpState(unsigned)
{
}

inline const UpperStateSupport upperStateSupport = {UpperState::cannotTell, false};

inline int upperStateInUse()
{
    return -1;
}

inline void clearUpperState()
{
}
#endif

} // namespace cpustate

#endif
