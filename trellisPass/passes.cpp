// The forward and the backward recurrences, a block of probability-domain
// steps or one exact step at a time, and both side by side on one thread.
#include "blockSteps.h"
#include "scaledSums.h"
#include "trellisInternal.h"

#include <algorithm>
#include <cstdint>

namespace trellis {

std::int64_t engineDoubles(std::int64_t n)
{
    // Up to 16 states, an engine for each pass (backwardEngine).
    return Engine::doubles(n) * (n <= probabilityStates ? 2 : 1);
}

void scratchSizes(std::int64_t n, std::int64_t sizes[scratchBlocks])
{
    sizes[0] = n;
    sizes[1] = n * n;
    sizes[2] = n;
    sizes[3] = n;
    sizes[4] = engineDoubles(n);
}

Scratch scratchOver(double *const blocks[scratchBlocks], int path)
{
    return Scratch{blocks[0], blocks[1], blocks[2], blocks[3], blocks[4], path};
}

// Two states whose values lay more than 600 apart when a step last looked
// (none: -1). While they still do, the step's values span more than one
// band: it cannot run in the probability domain, and a small model's engine
// (no sparse entries) declines it. Such a model then takes the exact sums
// without finding the values' span first, with the same bits; a
// left-to-right model's steps mostly do.
struct Spread {
    bool on = false; // the engine declines such steps (declinesSpread)
    std::int32_t hi = -1, lo = -1;

    // x's span (true), noted; or false, nothing found, while the two states
    // noted last still lie more than a band apart in x.
    inline __attribute__((always_inline)) bool find(const double *x, std::int64_t n, Span &span)
    {
        if (on && holds(x))
            return false;
        span = spanOf(x, n);
        if (on)
            note(x, n, span);
        return true;
    }

    // (The engine's own test of a step's span, x[lo] standing for the least
    // value and x[hi] for the largest: it fails wherever this holds.)
    bool holds(const double *x) const { return hi >= 0 && x[lo] > -inf && x[lo] < x[hi] - bandWidth; }

    // The states of the largest and the least finite value of x (span),
    // where they lie more than 600 apart.
    void note(const double *x, std::int64_t n, const Span &span)
    {
        hi = lo = -1;
        if (span.nan || !(span.top < inf) || !(span.least < span.top - bandWidth))
            return;
        for (std::int64_t k = 0; k < n; ++k) {
            if (hi < 0 && x[k] == span.top)
                hi = static_cast<std::int32_t>(k);
            if (lo < 0 && x[k] == span.least)
                lo = static_cast<std::int32_t>(k);
        }
        if (hi < 0 || lo < 0)
            hi = lo = -1;
    }
};

// Whether the engine e declines every step whose values span more than one
// band (a small model without sparse entries), so that Spread may skip it.
static bool declinesSpread(const Engine *e)
{
    return e && e->n <= smallSpread && !e->sparse;
}

// Whether any column (forward) or row (backward) of the engine e is wide:
// summed exactly even on the engine's steps.
static bool anyWideOf(const Engine *e, std::int64_t n)
{
    for (std::int64_t j = 0; e && j < n; ++j)
        if (e->wide[j] != 0.0)
            return true;
    return false;
}

// One step's exact sums out[j] = log sum_k exp(terms[k] + rows[j + k n]):
// the engine's where `engine` and it takes the step (its wide ones redone
// by the kernel), the kernel's otherwise.
static inline __attribute__((always_inline)) void exactSums(Engine *e, bool engine, bool anyWide,
                                                             const double *terms, const Span &span,
                                                             const double *rows, std::int64_t n, double *out,
                                                             double *maxima, kernel::Isa isa)
{
    if (!engine || !e || !e->step(terms, span, out, isa)) {
        kernel::addexpRows(terms, rows, n, n, n, out, maxima, kernel::AllMinusInf::MinusInf, isa);
    } else if (anyWide) {
        for (std::int64_t j = 0; j < n; ++j)
            if (e->wide[j] != 0.0)
                kernel::addexpRows(terms, rows + j, n, n, 1, out + j, maxima, kernel::AllMinusInf::MinusInf, isa);
    }
}

// What the two passes share: the model, the output they fill, the engine,
// the register width, the next step, and a block's run and end. Derived
// supplies portable (a block's portable steps) and exact (one step taken
// exactly); Step is +1 for the forward pass, -1 for the backward one.
template <class Derived, int Step>
class PassBase {
public:
    // The block's steps (in registers, or the portable ones).
    std::int64_t run(const Block &b)
    {
        return runBlock(*e_, b, isa_,
                        [&] { return bySize(n_, [&](auto states) { return self().portable(b, states); }); });
    }

    // The end of a block whose first `done` steps were done: their logs and
    // levels (of those kept); where none was, its first step taken exactly.
    void finish(const Block &b, std::int64_t done)
    {
        done = finishBlock(*e_, out_, n_, t_, Step, done, b.chain.level, b.chain.extra, b.inRegisters, isa_);
        if (done == 0)
            self().exact();
        else
            t_ += Step * done;
    }

protected:
    PassBase(const Model &m, const Scratch &s, double *out, Engine *e, kernel::Isa isa, std::int64_t first)
        : m_(m), s_(s), out_(out), e_(e), isa_(isa), n_(m.n), t_(first), anyWide_(anyWideOf(e, m.n))
    {
    }

    Derived &self() { return static_cast<Derived &>(*this); }

    const Model &m_;
    const Scratch &s_;
    double *out_; // alpha or beta
    Engine *e_;
    kernel::Isa isa_;
    std::int64_t n_;
    std::int64_t t_; // the next step
    bool anyWide_;
};

// The forward steps, one block of probability-domain steps or one exact step
// at a time (next): through the engine e where it runs (null: every sum an
// exact column log-sum-exp), with the exact row sums of the wide columns and
// of the steps the engine declines.
//
// Probability-domain steps, up to a block of them from step t0 (alpha(t0 - 1)
// known): while every state's weight stays within about 596 nats of the
// largest, alpha(t) = L(t) + log q(t) with q(j, t) in (2^-860, 2) or exactly
// 0 (only -Inf terms), carried from step to step by
//   r(j) = (sum_i q(i, t-1) S(i, j)) E(j, t),  E(j, t) = exp(logB(j, t) + c_j - e_t),
//   mu = 2^k <= max_j r(j) < 2^(k+1),  q(j, t) = r(j) / mu (exact),
//   L(t) = (L(t-1) + e_t) + log mu,
// e_t the step's largest logB(j, t) + c_j: N^2 multiply-adds and a few
// multiplications per step, the exps of a block's emissions and the logs of
// its results each taken in one pass. Every product is a normal double (no
// term lost), so the error bound of the band sums holds. A step that would
// leave the range (a weight below 2^-860 that is not 0, an emission more
// than 600 below the step's largest, a non-finite value) is left undone,
// and taken exactly where it is a block's first.
class ForwardPass : public PassBase<ForwardPass, 1> {
    friend class PassBase<ForwardPass, 1>;

public:
    ForwardPass(const Model &m, const Scratch &s, double *alpha, Engine *e, kernel::Isa isa)
        : PassBase(m, s, alpha, e, isa, 1)
    {
        // The exact sums take the terms alpha(k, t-1) + A(k, j) over k for
        // every j at once, one j per register lane: they read A by rows, so
        // the work matrix holds A with its rows laid out contiguously.
        const double *a = m.logA;
        double *aRows = s.work;
        const std::int64_t n = n_;
        forEachTile(n, [&](std::int64_t j, std::int64_t k) { aRows[j + k * n] = a[k + j * n]; });
        spread_.on = declinesSpread(e);
    }

    bool done() const { return t_ >= m_.t; }

    // A block of probability-domain steps from the next step, ready to run
    // (true), where they stay in range (no wide column), for the models
    // whose steps are short enough that their exps and logs, not their sums,
    // would set the pace; otherwise the next step, taken exactly (false).
    bool next(Block &b)
    {
        const double *prev = out_ + (t_ - 1) * n_;
        span_ = Span{};
        if (e_ && !spread_.find(prev, n_, span_)) {
            exact(false);
            return false;
        }
        if (e_ && !anyWide_ && n_ <= probabilityStates && inRange(span_) && ready(b))
            return true;
        exact();
        return false;
    }

private:
    bool ready(Block &b)
    {
        const std::int64_t n = n_, t0 = t_;
        Engine &e = *e_;
        const std::int64_t end = std::min(m_.t, t0 + Engine::block);
        const double top = span_.top;
        // Each step's emission weights, as far as they stay in range.
        const std::int64_t count = blockEmissions(m_.logB + t0 * n, n, e.colMax, n, end - t0, e, isa_);
        if (count == 0)
            return false;
        kernel::expArray(e.weights, e.weights, count * n, isa_);
        const double *q0 = firstWeights(out_ + (t0 - 1) * n, top, n, e.p, isa_);
        // Each step's weights go straight into its row of alpha, the next
        // step's q; the block's logs are taken at the end.
        b.chain = avx2::ChainArgs{false, e.scaled, e.weights, nullptr, q0, out_ + t0 * n, n, e.tops, top, 0.0,
                                  count};
        b.inRegisters = stepsInRegisters(n, isa_);
        return true;
    }

    template <class States>
    std::int64_t portable(const Block &b, States)
    {
        constexpr int N = States::value;
        Engine &e = *e_;
        const std::int64_t n = n_, t0 = t_;
        const double *q = b.chain.q0;
        std::int64_t k = 0;
        for (; k < b.chain.count; ++k) {
            const double *w = e.weights + k * n;
            double mu;
            if (!advance<N>(n, e, q, w, out_ + (t0 + k) * n, mu, isa_))
                break;
            q = out_ + (t0 + k) * n;
            e.scales[k] = mu;
        }
        return k;
    }

    // Step t taken exactly (the engine's sums where it takes them, unless
    // `engine` is false: it would decline the step).
    inline __attribute__((always_inline)) void exact(bool engine = true)
    {
        const std::int64_t n = n_, t = t_;
        const double *prev = out_ + (t - 1) * n;
        const Scratch &s = s_;
        exactSums(e_, engine, anyWide_, prev, span_, s.work, n, s.sum, s.maxima, isa_);
        double *cur = out_ + t * n;
        const double *bt = m_.logB + t * n;
        for (std::int64_t j = 0; j < n; ++j)
            cur[j] = kernel::oneNaN(s.sum[j] + bt[j]);
        ++t_;
    }

    Spread spread_; // of alpha(t - 1)
    Span span_{};   // alpha(t - 1)'s
};

// The backward steps, as ForwardPass, down from step T - 2: the terms
// state(k) + A(j, k), state(k) = B(k, t+1) + beta(k, t+1) formed once per
// k, summed over k for every j; for a fixed k, A(j, k) over j is column k
// of A, contiguous.
//
// Probability-domain steps, up to a block of them down from step t1
// (beta(t1 + 1) known), with r_i the largest entry of row i of logA,
// R_i = exp(r_i - rmax), S(j, i) = exp(A(i, j) - r_i),
//   p(j) = q(j, t+1) F(j),  F(j) = exp(logB(j, t+1) - e_t),
//   r(i) = (sum_j p(j) S(j, i)) R_i,  q(i, t) = r(i) / mu (mu a power of two),
//   L(t) = ((L(t+1) + e_t) + rmax) + log mu,  beta(t) = L(t) + log q(t).
class BackwardPass : public PassBase<BackwardPass, -1> {
    friend class PassBase<BackwardPass, -1>;

public:
    BackwardPass(const Model &m, const Scratch &s, double *beta, Engine *e, kernel::Isa isa)
        : PassBase(m, s, beta, e, isa, m.t - 2)
    {
        afterSpread_.on = stateSpread_.on = declinesSpread(e);
    }

    bool done() const { return t_ < 0; }

    // As ForwardPass::next (no wide row).
    bool next(Block &b)
    {
        if (e_ && !anyWide_ && n_ <= probabilityStates && ready(b))
            return true;
        exact();
        return false;
    }

private:
    bool ready(Block &b)
    {
        const std::int64_t n = n_, t1 = t_;
        Engine &e = *e_;
        const std::int64_t low = std::max<std::int64_t>(0, t1 - Engine::block + 1);
        const double *after = out_ + (t1 + 1) * n;
        Span span;
        if (!afterSpread_.find(after, n, span))
            return false;
        const Span rows = e.columnSpan;
        const double top = span.top, rmax = rows.top;
        if (!inRange(span) || !(rmax > -inf) || rows.least < rmax - spreadOfA)
            return false;
        double *rowScale = e.bandTop;
        for (std::int64_t i = 0; i < n; ++i)
            rowScale[i] = e.colMax[i] - rmax;
        kernel::expArray(rowScale, rowScale, n, isa_);
        // Each step's emission weights (of the step after it), as far as
        // they stay in range.
        const std::int64_t count = blockEmissions(m_.logB + (t1 + 1) * n, -n, nullptr, n, t1 - low + 1, e, isa_);
        if (count == 0)
            return false;
        kernel::expArray(e.weights, e.weights, count * n, isa_);
        const double *q0 = firstWeights(after, top, n, e.p, isa_);
        b.chain = avx2::ChainArgs{true, e.scaled, e.weights, rowScale, q0, out_ + t1 * n, -n, e.tops, top, rmax,
                                  count};
        b.inRegisters = stepsInRegisters(n, isa_);
        return true;
    }

    template <class States>
    std::int64_t portable(const Block &b, States)
    {
        constexpr int N = States::value;
        Engine &e = *e_;
        const std::int64_t n = n_, t1 = t_;
        const std::int64_t width = N > 0 ? N : n;
        const double *q = b.chain.q0;
        std::int64_t k = 0;
        for (; k < b.chain.count; ++k) {
            const double *w = e.weights + k * n;
            bool tiny = false;
            for (std::int64_t j = 0; j < width; ++j) {
                e.next[j] = q[j] * w[j];
                tiny = tiny || (e.next[j] < weightFloor && q[j] != 0.0 && w[j] != 0.0);
            }
            if (tiny)
                break;
            double mu;
            if (!advance<N>(n, e, e.next, b.chain.rowScale, out_ + (t1 - k) * n, mu, isa_))
                break;
            q = out_ + (t1 - k) * n;
            e.scales[k] = mu;
        }
        return k;
    }

    inline __attribute__((always_inline)) void exact()
    {
        const std::int64_t n = n_, t = t_;
        const Scratch &s = s_;
        const double *a = m_.logA;
        const double *bNext = m_.logB + (t + 1) * n;
        const double *betaNext = out_ + (t + 1) * n;
        for (std::int64_t k = 0; k < n; ++k)
            s.state[k] = bNext[k] + betaNext[k];
        double *cur = out_ + t * n;
        Span span{};
        const bool engine = e_ && stateSpread_.find(s.state, n, span);
        exactSums(e_, engine, anyWide_, s.state, span, a, n, cur, s.maxima, isa_);
        for (std::int64_t i = 0; i < n; ++i)
            cur[i] = kernel::oneNaN(cur[i]);
        --t_;
    }

    Spread afterSpread_, stateSpread_; // of beta(t + 1) and of the step's terms
};

// One pass to its end, a block or an exact step at a time.
template <class Pass>
static void runPass(Pass &&pass)
{
    Block b;
    while (!pass.done())
        if (pass.next(b))
            pass.finish(b, pass.run(b));
}

// The backward pass's engine: after the forward pass's where the steps may
// run in the probability domain, so that both passes can run together.
static double *backwardEngine(const Scratch &s, std::int64_t n)
{
    return s.engine + (n <= probabilityStates ? Engine::doubles(n) : 0);
}

// alpha(0); false where no step follows.
static bool startForward(const Model &m, double *alpha)
{
    for (std::int64_t i = 0; i < m.n; ++i)
        alpha[i] = kernel::oneNaN(m.logPi[i] + m.logB[i]);
    return m.t > 1;
}

// beta(T - 1) = 0; false where no step follows.
static bool startBackward(const Model &m, double *beta)
{
    double *last = beta + (m.t - 1) * m.n;
    for (std::int64_t i = 0; i < m.n; ++i)
        last[i] = 0.0;
    return m.t > 1;
}

void forwardStep(const Model &m, const Scratch &s, double *alpha)
{
    if (isEmpty(m) || !startForward(m, alpha))
        return;
    const kernel::Isa isa = pathOf(s);
    if (!engineRuns(m, s))
        return runPass(ForwardPass(m, s, alpha, nullptr, isa));
    Engine e(s.engine, m.n);
    e.prepare(m.logA, 1, m.n, isa); // M(i, j) = A(i, j): rows k = i, columns c = j
    runPass(ForwardPass(m, s, alpha, &e, isa));
}

void backwardStep(const Model &m, const Scratch &s, double *beta)
{
    if (isEmpty(m) || !startBackward(m, beta))
        return;
    const kernel::Isa isa = pathOf(s);
    if (!engineRuns(m, s))
        return runPass(BackwardPass(m, s, beta, nullptr, isa));
    Engine e(backwardEngine(s, m.n), m.n);
    e.prepare(m.logA, m.n, 1, isa); // M(j, i) = A(i, j): rows k = j, columns c = i
    runPass(BackwardPass(m, s, beta, &e, isa));
}

// Both passes on one thread, a block (or an exact step) of each in turn:
// where both blocks run four states in AVX2 registers, their chains of
// steps run together, each one's latency hidden by the other's work. The
// bits of one pass after the other.
void bothPasses(const Model &m, const Scratch &s, double *alpha, double *beta)
{
    const std::int64_t n = m.n;
    if (isEmpty(m) || !engineRuns(m, s) || n > probabilityStates) {
        forwardStep(m, s, alpha);
        backwardStep(m, s, beta);
        return;
    }
    startForward(m, alpha);
    if (!startBackward(m, beta))
        return;
    const kernel::Isa isa = pathOf(s);
    Engine ef(s.engine, n), eb(backwardEngine(s, n), n);
    ef.prepare(m.logA, 1, n, isa);
    eb.prepare(m.logA, n, 1, isa);
    ForwardPass forward(m, s, alpha, &ef, isa);
    BackwardPass backward(m, s, beta, &eb, isa);
    const bool together = n == 4 && (isa == kernel::Isa::Avx2 || isa == kernel::Isa::Avx512);
    Block fb, bb;
    while (!forward.done() || !backward.done()) {
        const bool f = !forward.done() && forward.next(fb);
        const bool b = !backward.done() && backward.next(bb);
        if (f && b && together) {
            std::int64_t done[2];
            avx2::fourStatesTwo(fb.chain, bb.chain, done);
            forward.finish(fb, done[0]);
            backward.finish(bb, done[1]);
            continue;
        }
        if (f)
            forward.finish(fb, forward.run(fb));
        if (b)
            backward.finish(bb, backward.run(bb));
    }
}

} // namespace trellis
