// The steps a call asks for, on one thread or two: the forward and backward
// passes, then the posteriors.
#include "fpState.h"
#include "threads.h"
#include "trellisInternal.h"

#include <cstdint>

namespace trellis {

bool twoThreadsPay(std::int64_t n, std::int64_t t)
{
    // A step of one pass costs about N^2 + 48N + 200 units of 0.1-0.15 ns
    // on one core: its N^2 terms, an exp and a log per state, and a fixed
    // part. The passes go to two threads from 2^23 units each, about a
    // millisecond (small models cost more per term, so they reach it at
    // fewer terms).
    // (logA's N^2 doubles exist, so N^2 + 48N + 200 fits in 64 bits.)
    if (n <= 0 || t <= 1)
        return false;
    const std::int64_t perStep = n * n + 48 * n + 200;
    const std::int64_t units = t > INT64_MAX / perStep ? INT64_MAX : perStep * t;
    return threads::forWork(units, std::int64_t(1) << 22, 2) >= 2;
}

namespace {

// Two threads' shares of a pass: the forward and the backward steps, which
// do not depend on each other, then the posteriors by halves of the steps;
// each thread with its own scratch and in the module's floating-point state.
struct TwoThreads {
    const Model *m;
    const Scratch *s[2];
    int outputs;
    double *alpha, *beta, *gamma, *xi;
    bool posteriors; // the second phase
    bool scaledXi;
};

void half(void *arg, int k)
{
    const TwoThreads &job = *static_cast<const TwoThreads *>(arg);
    const Model &m = *job.m;
    const fpstate::Saved saved = fpstate::enter();
    if (!job.posteriors) {
        if (k == 0)
            forwardStep(m, *job.s[0], job.alpha);
        else
            backwardStep(m, *job.s[1], job.beta);
    } else {
        const std::int64_t middle = m.t / 2;
        const std::int64_t t0 = k == 0 ? 0 : middle, t1 = k == 0 ? middle : m.t;
        statePosteriors(m, *job.s[k], job.alpha, job.beta, job.gamma, t0, t1);
        if (job.outputs > 3 && job.scaledXi)
            scaledPairwise(m, *job.s[k], job.alpha, job.beta, job.xi, t0, t1 < m.t ? t1 : m.t - 1);
    }
    fpstate::leave(saved);
}

} // namespace

void forwardBackward(const Model &m, const Scratch &s, int outputs, double *alpha, double *beta,
                     double *gamma, double *xi, const Scratch *second)
{
    if (!second || outputs < 2 || isEmpty(m)) {
        if (outputs > 1)
            bothPasses(m, s, alpha, beta);
        else
            forwardStep(m, s, alpha);
        if (outputs > 2)
            statePosteriorStep(m, s, alpha, beta, gamma);
        if (outputs > 3)
            pairwiseStep(m, s, alpha, beta, xi);
        return;
    }
    const bool scaledXi = xiFromNormaliser(m, s);
    TwoThreads job{&m, {&s, second}, outputs, alpha, beta, gamma, xi, false, scaledXi};
    threads::run(2, half, &job);
    if (outputs < 3)
        return;
    job.posteriors = true;
    threads::run(2, half, &job);
    if (outputs > 3) {
        if (scaledXi)
            fillLastSlice(m, xi);
        else
            pairwiseStep(m, s, alpha, beta, xi);
    }
}

} // namespace trellis
