#include "gateway.h"
#include "ownedScratch.h"
#include "trellisCore.h"

#include <cmath>
#include <cstdlib>
#include <cstddef>
#include <limits>
#include <random>

namespace {

using standin::CallResult;
using standin::Event;

class TrellisPassGateway : public gw::ModuleTest {
protected:
    TrellisPassGateway() : ModuleTest("trellisPass") {}

    // A random normalised model of n states over t steps.
    std::vector<const mxArray *> model(mwSize n, mwSize t, unsigned seed = 1)
    {
        std::mt19937 rng(seed);
        std::uniform_real_distribution<double> u(-4.0, 0.0);
        auto fill = [&](std::size_t count) {
            std::vector<double> v(count);
            for (auto &x : v)
                x = u(rng);
            return v;
        };
        return {arrays.matrix(n, 1, fill(n)), arrays.matrix(n, n, fill(std::size_t(n) * n)),
                arrays.matrix(n, t, fill(std::size_t(n) * t))};
    }

};

const char *const wrongCount = "Invalid number of inputs. Must be 3.";

TEST_F(TrellisPassGateway, RefusesAnyInputCountButThree)
{
    auto in = model(2, 3);
    for (std::size_t count : {0u, 1u, 2u}) {
        std::vector<const mxArray *> some(in.begin(), in.begin() + count);
        gw::expectRefused(call(1, some), wrongCount);
    }
    in.push_back(in[0]);
    gw::expectRefused(call(1, in), wrongCount);
    gw::expectRefused(call(0, {in[0], in[1]}), wrongCount);
}

TEST(MexVersion, LinuxBuildsAnswerMatlabR14Native)
{
    const char *path = std::getenv("ZEB_MEX_trellisPass");
    if (!std::getenv("ZEB_HAS_MEXVERSION") || !path)
        GTEST_SKIP() << "this platform's MEX files export no mexVersion";
    auto version = reinterpret_cast<const char *(*)()>(loader::symbol(path, "mexVersion"));
    ASSERT_NE(version, nullptr);
    EXPECT_STREQ(version(), "MATLAB R14 native");
}

TEST_F(TrellisPassGateway, OutputCountFollowsNlhs)
{
    auto in = model(3, 5);
    for (int nlhs = 0; nlhs <= 5; ++nlhs) {
        CallResult r = call(nlhs, in);
        gw::expectCleanSuccess(r);
        const int made = std::min(std::max(nlhs, 1), 4);
        ASSERT_EQ(r.outputs.size(), std::size_t(std::max(nlhs, 1)));
        for (int k = 0; k < int(r.outputs.size()); ++k)
            EXPECT_EQ(r.outputs[k] != nullptr, k < made) << "nlhs " << nlhs << " slot " << k;
        EXPECT_EQ(gw::events(r, Event::Create).size(), std::size_t(made));
        for (int k = 0; k < std::min(made, 3); ++k)
            EXPECT_EQ(standin::dims(r.outputs[k]), (std::vector<mwSize>{3, 5}));
        if (made == 4)
            EXPECT_EQ(standin::dims(r.outputs[3]), (std::vector<mwSize>{3, 3, 5}));
    }
}

TEST_F(TrellisPassGateway, ScratchIsTakenOnceAndFreedInOrder)
{
    const mwSize n = 4;
    CallResult r = call(4, model(n, 6));
    gw::expectCleanSuccess(r);
    const auto taken = gw::events(r, Event::Calloc);
    ASSERT_EQ(taken.size(), 5u);
    const std::size_t d = sizeof(double);
    EXPECT_EQ(taken[0].bytes, n * d);
    EXPECT_EQ(taken[1].bytes, n * n * d);
    EXPECT_EQ(taken[2].bytes, n * d);
    EXPECT_EQ(taken[3].bytes, n * d);
    // The scaled sums' scratch, with a block of 128 steps' weights for a
    // model this small (its steps run in the probability domain), and room
    // for a sparse logA's entries: twice, one for each pass.
    const std::size_t listed = n * n / 4;
    EXPECT_EQ(taken[4].bytes, 2 * (n * n + 11 * n + 1 + 128 * (n + 2) + listed + (listed + 1) / 2) * d);
    // All scratch is taken before the first output is created.
    const auto all = gw::events(r);
    EXPECT_EQ(all[5].event, Event::Create);
}

TEST_F(TrellisPassGateway, OutputsEqualTheCoreBitForBit)
{
    const mwSize n = 5, t = 30;
    auto in = model(n, t, 7);
    CallResult r = call(4, in);
    gw::expectCleanSuccess(r);

    std::vector<double> alpha(n * t), beta(n * t), gamma(n * t), xi(n * n * t);
    const trellis::OwnedScratch s(n);
    const trellis::Model m{n, t, mxGetPr(in[0]), mxGetPr(in[1]), mxGetPr(in[2])};
    trellis::forwardBackward(m, s.scratch(), 4,
                             alpha.data(), beta.data(), gamma.data(), xi.data());
    EXPECT_EQ(gw::values(r.outputs[0]), alpha);
    EXPECT_EQ(gw::values(r.outputs[1]), beta);
    EXPECT_EQ(gw::values(r.outputs[2]), gamma);
    EXPECT_EQ(gw::values(r.outputs[3]), xi);
}

// A pass large enough for two threads (where the processors allow): the
// second thread's half of the posteriors has scratch of its own, and every
// output count gives the bits of one thread.
TEST_F(TrellisPassGateway, TwoThreadPassesGiveTheOneThreadBits)
{
    // (On a machine with one processor the call runs on one thread.)
    const mwSize n = 64, t = 2000;
    auto in = model(n, t, 5);
    std::vector<double> alpha(n * t), beta(n * t), gamma(n * t), xi(std::size_t(n) * n * t);
    const trellis::OwnedScratch s(n);
    const trellis::Model m{n, t, mxGetPr(in[0]), mxGetPr(in[1]), mxGetPr(in[2])};
    trellis::forwardBackward(m, s.scratch(), 4,
                             alpha.data(), beta.data(), gamma.data(), xi.data());
    const std::vector<double> *expected[4] = {&alpha, &beta, &gamma, &xi};
    for (int nlhs = 2; nlhs <= 4; ++nlhs) {
        CallResult r = call(nlhs, in);
        gw::expectCleanSuccess(r);
        for (int k = 0; k < nlhs; ++k)
            EXPECT_TRUE(gw::values(r.outputs[k]) == *expected[k]) << "nlhs " << nlhs << ", output " << k;
    }
}

TEST_F(TrellisPassGateway, ComplexInputsAreReadThroughTheirRealPart)
{
    auto in = model(3, 4, 11);
    CallResult plain = call(4, in);
    std::vector<const mxArray *> complexIn;
    for (const mxArray *a : in) {
        mxArray *c = arrays.numeric(mxDOUBLE_CLASS, standin::dims(a), true);
        std::copy_n(mxGetPr(a), standin::elements(a), mxGetPr(c));
        std::fill_n(standin::imaginary(c), standin::elements(c), 123.0);
        complexIn.push_back(c);
    }
    CallResult viaComplex = call(4, complexIn);
    gw::expectCleanSuccess(viaComplex);
    for (int k = 0; k < 4; ++k)
        EXPECT_EQ(gw::values(viaComplex.outputs[k]), gw::values(plain.outputs[k]));
}

TEST_F(TrellisPassGateway, RefusesInputsItWouldReadPastOrMisread)
{
    auto in = model(3, 4);
    auto with = [&](std::size_t slot, const mxArray *a) {
        auto v = in;
        v[slot] = a;
        return v;
    };
    const char *const cls = "Inputs must be double arrays.";
    for (std::size_t slot = 0; slot < 3; ++slot) {
        for (mxClassID c : {mxINT8_CLASS, mxSINGLE_CLASS, mxLOGICAL_CLASS, mxUINT64_CLASS, mxCHAR_CLASS})
            gw::expectRefused(call(4, with(slot, arrays.numeric(c, {3, 4}))), cls);
        gw::expectRefused(call(4, with(slot, arrays.add(standin::cell({3, 4})))), cls);
        gw::expectRefused(call(4, with(slot, arrays.add(standin::sparse(3, 4, 1)))),
                          "Inputs must not be sparse.");
    }
    gw::expectRefused(call(4, with(1, arrays.matrix(3, 2))), "logA must be a square matrix.");
    gw::expectRefused(call(4, with(1, arrays.numeric(mxDOUBLE_CLASS, {3, 3, 0}))),
                      "logA must be a square matrix.");
    gw::expectRefused(call(4, with(2, arrays.matrix(2, 4))), "logB must have as many rows as logA.");
    gw::expectRefused(call(4, with(2, arrays.matrix(4, 4))), "logB must have as many rows as logA.");
    gw::expectRefused(call(4, with(0, arrays.matrix(1, 2))),
                      "logPi must have at least as many elements as logA has rows.");
}

TEST_F(TrellisPassGateway, LongerLogPiAndExtraLogBExtentsAreAccepted)
{
    auto in = model(2, 3, 5);
    CallResult base = call(3, in);
    mxArray *longPi = arrays.matrix(1, 5, {mxGetPr(in[0])[0], mxGetPr(in[0])[1], 9, 9, 9});
    mxArray *deepB = arrays.numeric(mxDOUBLE_CLASS, {2, 3, 2});
    std::copy_n(mxGetPr(in[2]), 6, mxGetPr(deepB));
    CallResult r = call(3, {longPi, in[1], deepB});
    gw::expectCleanSuccess(r);
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(standin::dims(r.outputs[k]), (std::vector<mwSize>{2, 3}));
        EXPECT_EQ(gw::values(r.outputs[k]), gw::values(base.outputs[k]));
    }
}

TEST_F(TrellisPassGateway, EmptyModelsGiveEmptyOutputs)
{
    struct Case {
        mwSize n, t;
    };
    for (Case c : {Case{3, 0}, Case{0, 4}, Case{0, 0}}) {
        CallResult r = call(4, {arrays.matrix(c.n, 1), arrays.matrix(c.n, c.n), arrays.matrix(c.n, c.t)});
        gw::expectCleanSuccess(r);
        EXPECT_EQ(standin::dims(r.outputs[0]), (std::vector<mwSize>{c.n, c.t}));
        EXPECT_EQ(standin::dims(r.outputs[2]), (std::vector<mwSize>{c.n, c.t}));
        // A zero extent keeps the third dimension.
        EXPECT_EQ(standin::dims(r.outputs[3]), (std::vector<mwSize>{c.n, c.n, c.t}));
    }
}

TEST_F(TrellisPassGateway, LogAPagesBeyondTheFirstAreNotRead)
{
    auto in = model(3, 8, 9);
    CallResult base = call(4, in);
    mxArray *paged = arrays.numeric(mxDOUBLE_CLASS, {3, 3, 2});
    std::copy_n(mxGetPr(in[1]), 9, mxGetPr(paged));
    std::fill_n(mxGetPr(paged) + 9, 9, std::nan(""));
    CallResult r = call(4, {in[0], paged, in[2]});
    gw::expectCleanSuccess(r);
    for (int k = 0; k < 4; ++k)
        EXPECT_EQ(gw::values(r.outputs[k]), gw::values(base.outputs[k]));
}

TEST_F(TrellisPassGateway, RefusesLogBShorterThanItsRowsTimesColumns)
{
    // T is logB's second extent: a zero third extent leaves no data behind it.
    const char *const shortB = "logB must hold as many elements as its rows times its columns.";
    mxArray *pi = arrays.matrix(2, 1), *a = arrays.matrix(2, 2, {-0.5, -0.5, -0.5, -0.5});
    gw::expectRefused(call(1, {pi, a, arrays.numeric(mxDOUBLE_CLASS, {2, 3, 0})}), shortB);
    gw::expectRefused(call(4, {pi, arrays.matrix(2, 2), arrays.numeric(mxDOUBLE_CLASS, {2, 100000000, 0})}), shortB);
}

TEST_F(TrellisPassGateway, RefusesALogXiBeyondTheAddressSpace)
{
    // Reachable with inputs that fit only where addresses are 32 bits wide.
    const std::int64_t n = 64;
    const std::int64_t t = PTRDIFF_MAX / (n * n * std::int64_t(sizeof(double))) + 1;
    if (n * t > (std::int64_t(1) << 23))
        GTEST_SKIP() << "logXi fits this platform's address space whenever logB does";
    auto in = model(static_cast<mwSize>(n), static_cast<mwSize>(t));
    gw::expectRefused(call(4, in), "logXi (N*N*T doubles) is too large to address.");
}

TEST_F(TrellisPassGateway, LogZeroSumsOfUnreachableStatesAreLogZero)
{
    // A left-to-right model: log(0) transitions make whole kernel columns
    // -Inf until a state becomes reachable. Those sums are -Inf, not NaN.
    const double z = -std::numeric_limits<double>::infinity(), h = std::log(0.5);
    mxArray *pi = arrays.matrix(3, 1, {0, z, z});
    mxArray *a = arrays.matrix(3, 3, {h, z, z, h, h, z, z, h, 0});
    mxArray *b = arrays.matrix(3, 4, {-0.1, -1.6, -0.7, -2.3, -0.2, -0.7, -2.3, -0.2, -0.7, -0.1, -1.6, -0.7});
    CallResult r = call(4, {pi, a, b});
    gw::expectCleanSuccess(r);
    for (int k = 0; k < 4; ++k)
        for (double v : gw::values(r.outputs[k]))
            EXPECT_FALSE(std::isnan(v)) << "output " << k;
    const std::vector<double> alpha = gw::values(r.outputs[0]);
    EXPECT_EQ(alpha[2], z);
    EXPECT_EQ(alpha[5], z);        // state 3 at t = 2: nothing reaches it yet
    EXPECT_TRUE(std::isfinite(alpha[8]));
}

} // namespace
