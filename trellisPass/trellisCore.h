// Log-domain forward-backward pass of a hidden Markov model with N states
// over T steps, on plain column-major arrays of doubles.
#ifndef ZEB_TRELLIS_CORE_H
#define ZEB_TRELLIS_CORE_H

#include <cstdint>

namespace trellis {

// The log of zero where the pass has to write one.
constexpr double logZero = -1e300;

// Model inputs: logPi (N values), logA (N x N, row = from, column = to),
// logB (N x T, log likelihood of the observation at t under each state).
struct Model {
    std::int64_t n;
    std::int64_t t;
    const double *logPi;
    const double *logA;
    const double *logB;
};

// Scratch reused by every step of one pass: N, N*N, N and N doubles, and
// engineDoubles(N) for the scaled sums (null: every sum over states is an
// exact column log-sum-exp, one exp per term).
struct Scratch {
    double *maxima;
    double *work;
    double *sum;
    double *state;
    double *engine = nullptr;
    int path = -1; // the kernel's register width to use (a kernel::Isa; tests), -1 the widest there is
};

// The doubles of Scratch::engine: N^2 + 11N + 1 (and 128(N + 2) more up to 16
// states), then L + floor((L + 1) / 2) for a sparse logA's entries and
// their rows, L = floor(N^2 / 4); up to 16 states all of it twice, one for
// each pass, so that both can run side by side on one thread.
std::int64_t engineDoubles(std::int64_t n);

// A call's scratch for one thread, as blocks of doubles in the order they
// are taken (and given back): Scratch::maxima, work, sum and state (N, N^2,
// N and N), then engine (engineDoubles(N); a caller may leave it out, and
// does where no step follows another, T < 2). A pass on two threads takes a
// second set. scratchSizes gives the blocks' sizes, scratchOver the
// Scratch they make.
constexpr int scratchBlocks = 5;
void scratchSizes(std::int64_t n, std::int64_t sizes[scratchBlocks]);
Scratch scratchOver(double *const blocks[scratchBlocks], int path = -1);

// Each step writes its whole output and reads only the outputs of the steps
// before it. alpha, beta and gamma are N x T; xi is N x N x T.
void forwardStep(const Model &m, const Scratch &s, double *alpha);
void backwardStep(const Model &m, const Scratch &s, double *beta);
void statePosteriorStep(const Model &m, const Scratch &s, const double *alpha,
                        const double *beta, double *gamma);
void pairwiseStep(const Model &m, const Scratch &s, const double *alpha, const double *beta,
                  double *xi);

// The steps that `outputs` (1 to 4) selects; unused outputs may be null.
// With a second scratch set (for more than one output; every block of it,
// as for one pass), two threads share the work: the forward and the
// backward steps at once, then the posteriors by halves of the steps; the
// results are the same bits.
void forwardBackward(const Model &m, const Scratch &s, int outputs, double *alpha, double *beta,
                     double *gamma, double *xi, const Scratch *second = nullptr);

// Whether a pass over N states and T steps is large enough for two threads.
bool twoThreadsPay(std::int64_t n, std::int64_t t);

} // namespace trellis

#endif
