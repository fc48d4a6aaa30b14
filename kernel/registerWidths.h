// The register widths the project's code runs in, one enumeration for every
// module, and this processor's answer: which of them this build has code
// for, which the processor runs (asked once per process, cpuFeatures.h),
// and the widest. Every width gives the same bits; a module's table of
// entry points per width (kernel/paths.h for the kernel) is chosen from it.
#ifndef ZEB_KERNEL_REGISTER_WIDTHS_H
#define ZEB_KERNEL_REGISTER_WIDTHS_H

#include "cpuFeatures.h"

namespace kernel {

enum class Isa { Scalar, Sse2, Avx2, Avx512, Neon };

// Whether this build has code for the widths chosen at run time (AVX2 and
// AVX-512: x86 with a compiler that can target them unit by unit), and
// which width every processor it runs on has.
#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define ZEB_WIDTHS_AVX 1
#endif
#if defined(__SSE2__)
constexpr Isa baseIsa = Isa::Sse2;
#elif defined(__aarch64__)
constexpr Isa baseIsa = Isa::Neon;
#else
constexpr Isa baseIsa = Isa::Scalar;
#endif

// The widest this processor runs.
inline Isa bestIsa()
{
#if defined(ZEB_WIDTHS_AVX)
    if (cpu::avx512f())
        return Isa::Avx512;
    if (cpu::avx2())
        return Isa::Avx2;
#endif
    return baseIsa;
}

// Every width this build has code for, narrowest first (at most five),
// whether or not this processor runs it; the tests report those it does
// not run as skipped.
inline int builtIsas(Isa *out)
{
    int n = 0;
    out[n++] = Isa::Scalar;
    if (baseIsa != Isa::Scalar)
        out[n++] = baseIsa;
#if defined(ZEB_WIDTHS_AVX)
    out[n++] = Isa::Avx2;
    out[n++] = Isa::Avx512;
#endif
    return n;
}

// The widths this build and processor can run, narrowest first.
inline int availableIsas(Isa *out)
{
    Isa built[5];
    const int count = builtIsas(built);
    int n = 0;
    for (int k = 0; k < count; ++k)
        if ((built[k] != Isa::Avx2 || cpu::avx2()) && (built[k] != Isa::Avx512 || cpu::avx512f()))
            out[n++] = built[k];
    return n;
}

} // namespace kernel

#endif
