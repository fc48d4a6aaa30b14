// The forward-backward core's own helpers, shared by its units: the values
// its sums may take, the register width of a call, and the steps one unit
// runs for another.
#ifndef ZEB_TRELLIS_INTERNAL_H
#define ZEB_TRELLIS_INTERNAL_H

#include "addexp.h"
#include "smallSteps.h"
#include "trellisCore.h"

#include <cstdint>
#include <cstring>

namespace trellis {

constexpr double inf = __builtin_inf();

// Bit 63 set where v lies beyond the guard (overflowGuard = 2^1020): NaN,
// +-Inf, or a value whose sums could overflow, all of them with an exponent
// field of at least 2043 (0x7FB), which 5 more carries into bit 63. Bit
// operations only, so that loops that or these together vectorise.
inline std::uint64_t beyondBit(double v)
{
    static_assert(overflowGuard == 0x1p1020, "the exponent field of the guard is 0x7FB");
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return (bits & 0x7FF0000000000000ULL) + 0x0050000000000000ULL;
}

// The same where v is wild: beyond the guard, but not -Inf (log 0).
inline std::uint64_t wildBit(double v)
{
    return beyondBit(v == -inf ? 0.0 : v);
}

// Calls f(outer, inner) for every pair of 0 <= outer, inner < n, in square
// tiles, for loops that read or write one of two n x n matrices across its
// columns. Each element is computed on its own, so the visiting order does
// not change any result.
template <class F>
inline void forEachTile(std::int64_t n, F &&f)
{
    const std::int64_t tile = 8;
    for (std::int64_t o0 = 0; o0 < n; o0 += tile) {
        const std::int64_t o1 = o0 + tile < n ? o0 + tile : n;
        for (std::int64_t i0 = 0; i0 < n; i0 += tile) {
            const std::int64_t i1 = i0 + tile < n ? i0 + tile : n;
            for (std::int64_t o = o0; o < o1; ++o)
                for (std::int64_t i = i0; i < i1; ++i)
                    f(o, i);
        }
    }
}

// The register width of a pass: the widest this processor runs (asked once
// per process), unless a test chose one.
inline kernel::Isa pathOf(const Scratch &s)
{
    return s.path < 0 ? kernel::bestIsa() : static_cast<kernel::Isa>(s.path);
}

// An empty model (no states or no steps) has empty outputs: nothing to write.
inline bool isEmpty(const Model &m)
{
    return m.n <= 0 || m.t <= 0;
}

// Whether every value is -Inf or within the guard (no NaN, no +Inf).
inline bool tame(const double *v, std::int64_t count)
{
    std::uint64_t wild = 0;
    for (std::int64_t k = 0; k < count; ++k)
        wild |= wildBit(v[k]);
    return !(wild >> 63);
}

// Whether the engine runs: scratch for it, and a logA without NaN, +Inf or
// a value beyond the guard.
inline bool engineRuns(const Model &m, const Scratch &s)
{
    return s.engine && tame(m.logA, m.n * m.n);
}

// The state posteriors of the steps [t0, t1) (posteriors.cpp).
void statePosteriors(const Model &m, const Scratch &s, const double *alpha, const double *beta, double *gamma,
                     std::int64_t t0, std::int64_t t1);

// The pairwise posteriors of the steps [t0, t1), t1 <= T - 1, from the state
// posteriors' normaliser, where xiFromNormaliser (posteriors.cpp).
void scaledPairwise(const Model &m, const Scratch &s, const double *alpha, const double *beta, double *xi,
                    std::int64_t t0, std::int64_t t1);
bool xiFromNormaliser(const Model &m, const Scratch &s);

// logXi's last slice, which no transition follows: log 0 throughout.
void fillLastSlice(const Model &m, double *xi);

// Both passes on one thread (passes.cpp).
void bothPasses(const Model &m, const Scratch &s, double *alpha, double *beta);

} // namespace trellis

#endif
