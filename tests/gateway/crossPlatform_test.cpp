// Fixed inputs through every module, their outputs written bit for bit to
// the file named by ZEB_RESULTS_FILE, so that the builds of all platforms
// can be compared with one another. The inputs are made from integers only
// (no library mathematics), so they are the same on every platform.
#include "checks.h"
#include "gateway.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <limits>
#include <random>

namespace {

const char *const treeFieldNames[5] = {"W", "featureIndices", "threshold", "terminalVote", "treeIndices"};

class CrossPlatform : public gw::HostTest {
protected:
    std::mt19937 rng{2026};

    // k/64 for a uniform integer k in [lo, hi].
    double value(int lo, int hi)
    {
        const unsigned span = static_cast<unsigned>(hi - lo + 1);
        return (lo + static_cast<int>(rng() % span)) / 64.0;
    }

    mxArray *matrix(mwSize rows, mwSize cols, int lo, int hi)
    {
        std::vector<double> v(static_cast<std::size_t>(rows) * cols);
        for (auto &x : v)
            x = value(lo, hi);
        return arrays.matrix(rows, cols, v);
    }

    void write(std::FILE *f, const char *module, const mxArray *out, bool withShape = false)
    {
        const unsigned char *p = static_cast<const unsigned char *>(mxGetData(out));
        const std::size_t size = standin::elementBytes(out);
        std::fprintf(f, "%s %d %zu", module, static_cast<int>(mxGetClassID(out)), standin::elements(out));
        if (withShape) {
            const std::vector<mwSize> d = standin::dims(out);
            std::fprintf(f, " %zu", d.size());
            for (mwSize e : d)
                std::fprintf(f, " %d", static_cast<int>(e));
        }
        for (std::size_t e = 0; e < standin::elements(out); ++e) {
            unsigned long long bits = 0;
            std::memcpy(&bits, p + e * size, size); // little-endian on every platform built
            std::fprintf(f, " %llx", bits);
        }
        std::fprintf(f, "\n");
    }

    // The inputs of each call, for the Octave plug-ins to be called on the
    // same ones (tests/octave/platform_results.m): per call a line
    // "call <module> <nlhs> <inputs>", then one line per array (a structure
    // as "struct <fields>" followed by its fields' arrays).
    std::FILE *inputs = nullptr;
    const mxArray *treeFields[5] = {}; // the last tree structure's fields, in order

    // A 1x1 tree structure of M nodes: W and featureIndices d x M, the
    // other fields 1 x M.
    mxArray *tree(mwSize d, const std::vector<double> &w, const std::vector<double> &features,
                  const std::vector<double> &threshold, const std::vector<double> &vote,
                  const std::vector<double> &parent)
    {
        mxArray *t = arrays.add(standin::structure({1, 1}, {treeFieldNames, treeFieldNames + 5}));
        const std::vector<double> *fields[5] = {&w, &features, &threshold, &vote, &parent};
        const mwSize m = static_cast<mwSize>(parent.size());
        for (int k = 0; k < 5; ++k) {
            mxArray *field = standin::matrix(k < 2 ? d : 1, m, *fields[k]);
            standin::setField(t, 0, treeFieldNames[k], field);
            treeFields[k] = field;
        }
        return t;
    }

    // Whether two outputs hold the same bits.
    static bool sameData(const mxArray *a, const mxArray *b)
    {
        return std::memcmp(mxGetData(a), mxGetData(b), standin::elements(b) * standin::elementBytes(b)) == 0;
    }

    void writeArray(const mxArray *a)
    {
        if (mxGetClassID(a) == mxSTRUCT_CLASS) {
            std::fprintf(inputs, "struct 5\n");
            for (int k = 0; k < 5; ++k) {
                std::fprintf(inputs, "field %s\n", treeFieldNames[k]);
                writeArray(treeFields[k]);
            }
            return;
        }
        write(inputs, "array", a, true);
    }

    void run(std::FILE *f, const char *module, int nlhs, const std::vector<const mxArray *> &in)
    {
        if (inputs) {
            std::fprintf(inputs, "call %s %d %zu\n", module, nlhs, in.size());
            for (const mxArray *a : in)
                writeArray(a);
        }
        const standin::CallResult r = standin::call(gw::gateway(module), nlhs, in);
        arrays.keep(r);
        ASSERT_TRUE(r.ok) << module << ": " << r.error;
        EXPECT_EQ(checks::processorStateProblem(r), "") << module;
        EXPECT_TRUE(checks::onlyTheNaN(r) || std::string(module) == "obliqueVote") << module << " wrote another NaN";
        for (int k = 0; k < std::max(nlhs, 1); ++k)
            write(f, module, r.outputs[k]);

        // The same call from callers that left another floating-point state
        // (each rounding mode, flush-to-zero, denormals-are-zero, flags
        // raised): the same bits, and the caller's state given back.
        for (unsigned state : checks::callerFpStates()) {
            standin::setCallerFpState(state);
            const standin::CallResult again = standin::call(gw::gateway(module), nlhs, in);
            standin::setCallerFpState(0);
            arrays.keep(again);
            ASSERT_TRUE(again.ok) << module << ": " << again.error;
            EXPECT_EQ(checks::processorStateProblem(again), "") << module << std::hex << ", state " << state;
            for (int k = 0; k < std::max(nlhs, 1); ++k)
                EXPECT_TRUE(sameData(again.outputs[k], r.outputs[k]))
                    << module << " output " << k << std::hex << ", state " << state;
        }
        expectWhollyWritten(module, nlhs, in, r);
    }

    // The call again with what the module creates filled with a pattern
    // instead of zeros (as the Octave builds create outputs: uninitialised):
    // the same bits, so no element of an output was left unwritten.
    void expectWhollyWritten(const char *module, int nlhs, const std::vector<const mxArray *> &in,
                             const standin::CallResult &r)
    {
        for (int fill : {0xA5, 0xFF}) {
            standin::setCreatedFill(fill);
            const standin::CallResult again = standin::call(gw::gateway(module), nlhs, in);
            standin::setCreatedFill(-1);
            arrays.keep(again);
            ASSERT_EQ(again.ok, r.ok) << module << ": " << again.error;
            for (int k = 0; r.ok && k < std::max(nlhs, 1); ++k)
                EXPECT_TRUE(sameData(again.outputs[k], r.outputs[k]))
                    << module << " output " << k << " left elements of the fill " << std::hex << fill;
        }
    }

    // A call whose outputs are not written to the results: checked only
    // for being written whole.
    void runWhole(const char *module, int nlhs, const std::vector<const mxArray *> &in)
    {
        const standin::CallResult r = standin::call(gw::gateway(module), nlhs, in);
        arrays.keep(r);
        ASSERT_TRUE(r.ok) << module << ": " << r.error;
        expectWhollyWritten(module, nlhs, in, r);
    }

    // Mostly k/64 values, a quarter of them the values that make NaNs,
    // infinities and subnormals: NaNs of both signs and with a payload,
    // +-Inf, -1e300, exponents whose terms underflow, subnormals, -0.
    mxArray *special(mwSize rows, mwSize cols, int lo, int hi)
    {
        const double values[] = {std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN(),
                                 fromBits(0x7FF00000000000A5ULL), fromBits(0xFFF4000000000001ULL),
                                 std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                                 -1e300, -740.25, -745.0, -708.5, fromBits(0x000FFFFFFFFFFFFFULL), -fromBits(1), -0.0};
        mxArray *a = matrix(rows, cols, lo, hi);
        for (std::size_t e = 0; e < standin::elements(a); ++e)
            if (rng() % 4 == 0)
                mxGetPr(a)[e] = values[rng() % (sizeof values / sizeof values[0])];
        return a;
    }

    static double fromBits(std::uint64_t b)
    {
        double x;
        std::memcpy(&x, &b, sizeof x);
        return x;
    }
};

TEST_F(CrossPlatform, WriteResults)
{
    // Every run of the runner writes its results: a runner that cannot
    // must fail, not leave the comparison without them.
    const char *path = std::getenv("ZEB_RESULTS_FILE");
    ASSERT_NE(path, nullptr) << "ZEB_RESULTS_FILE is not set";
    std::FILE *f = std::fopen(path, "w");
    ASSERT_NE(f, nullptr) << path;
    if (const char *in = std::getenv("ZEB_INPUTS_FILE")) {
        inputs = std::fopen(in, "w");
        ASSERT_NE(inputs, nullptr) << in;
    }

    // trellisPass: 5 states over 60 steps, all four outputs.
    run(f, "trellisPass", 4, {matrix(5, 1, -200, 0), matrix(5, 5, -300, 0), matrix(5, 60, -400, 0)});
    // Models whose steps run in the probability domain over several blocks,
    // forward and backward side by side (four states: their chains
    // together), with the posteriors.
    for (mwSize n : {4, 6})
        for (int outputs : {2, 4})
            run(f, "trellisPass", outputs, {matrix(n, 1, -3, 0), matrix(n, n, -3, 0), matrix(n, 300, -8, 0)});

    // trellisPass on NaN-, infinity- and subnormal-making values: every
    // output count, one model of 4 states whose NaNs come from an
    // infinite transition, and left-to-right models with -Inf log zeros.
    const double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
    run(f, "trellisPass", 4,
        {arrays.matrix(1, 4, {-1, -1, -0.0, -1}),
         arrays.matrix(4, 4, {inf, -1, -1, 0, nan, -1, 0, -1, inf, -1, -1, -1, -1, -1, -1, -1}),
         arrays.matrix(4, 3, {0, 0, 0, 0, 0, nan, 0, 0, 0, 0, 0, 0})});
    for (int outputs = 1; outputs <= 4; ++outputs) {
        const mwSize n = static_cast<mwSize>(2 + outputs * 2);
        run(f, "trellisPass", outputs, {special(n, 1, -200, 0), special(n, n, -300, 0), special(n, 23, -400, 0)});
        mxArray *leftToRight = matrix(n, n, -100, 0);
        for (mwSize i = 0; i < n; ++i)
            for (mwSize j = 0; j < i; ++j)
                mxGetPr(leftToRight)[i + j * n] = -inf;
        mxArray *peaked = matrix(n, 17, -64 * 745, 0);
        run(f, "trellisPass", outputs, {matrix(n, 1, -64, 0), leftToRight, peaked});
    }

    // logTotals on the same kinds of values, and a matrix whose NaNs come
    // from Inf - Inf in different columns and lanes.
    run(f, "logTotals", 1, {special(7, 19, -64000, 64000)});
    run(f, "logTotals", 1, {special(40, 9, -64 * 745, 0)});
    run(f, "logTotals", 1,
        {arrays.matrix(5, 4, {-inf, 0, -inf, nan, -inf, -2, inf, 1, nan, 0, 0, 1, -2, inf, nan, nan, -2, -2, -2, -inf})});

    // logTotals: large and small magnitudes, -Inf and NaN entries.
    mxArray *x = matrix(40, 25, -64000, 64000);
    double *px = mxGetPr(x);
    px[3] = -std::numeric_limits<double>::infinity();
    px[100] = std::numeric_limits<double>::quiet_NaN();
    run(f, "logTotals", 1, {x});

    // obliqueVote: a complete tree of depth 6 in heap order, three weights
    // per node; products whose rounding decides branches near the threshold.
    const mwSize depth = 6, m = (1 << (depth + 1)) - 1, d = 3;
    std::vector<double> w(d * m), fi(d * m), thr(m), vote(m), parent(m);
    for (mwSize t = 1; t <= m; ++t) {
        for (mwSize k = 0; k < d; ++k) {
            w[(t - 1) * d + k] = value(-640, 640) / 7.0;
            fi[(t - 1) * d + k] = 1 + rng() % 4;
        }
        if (t >= (1 << depth))
            w[(t - 1) * d] = std::numeric_limits<double>::infinity();
        thr[t - 1] = value(-64, 64);
        vote[t - 1] = 1 + static_cast<double>(t % 4);
        parent[t - 1] = t / 2;
    }
    mxArray *depthSix = tree(d, w, fi, thr, vote, parent);
    run(f, "obliqueVote", 1, {depthSix, matrix(300, 4, -256, 256), arrays.matrix(1, 1, {4})});
    // Rows with NaN, infinities and subnormals, whose branches a flushed
    // subnormal or another rounding would change.
    run(f, "obliqueVote", 1, {depthSix, special(200, 4, -256, 256), arrays.matrix(1, 1, {4})});

    // cumsumInt: every integer class, with wrap-around.
    for (mxClassID c : {mxINT8_CLASS, mxUINT8_CLASS, mxINT16_CLASS, mxUINT16_CLASS, mxINT32_CLASS, mxUINT32_CLASS,
                        mxINT64_CLASS, mxUINT64_CLASS}) {
        mxArray *a = arrays.numeric(c, {37, 5, 2});
        unsigned char *p = static_cast<unsigned char *>(mxGetData(a));
        const std::size_t bytes = standin::elements(a) * standin::elementBytes(a);
        for (std::size_t b = 0; b < bytes; ++b)
            p[b] = static_cast<unsigned char>(rng());
        run(f, "cumsumInt", 1, {a});
    }
    if (inputs)
        EXPECT_TRUE(!std::ferror(inputs) && std::fclose(inputs) == 0) << "could not write the inputs";
    const bool written = !std::ferror(f);
    EXPECT_TRUE(std::fclose(f) == 0 && written) << "could not write " << path;
}

// The shapes whose outputs take a path of their own: one state or one
// step, a tree whose root is a leaf, data without columns (every row takes
// the first row's path), more vote columns than votes, one element.
TEST_F(CrossPlatform, OutputsWrittenWhole)
{
    for (int outputs = 1; outputs <= 4; ++outputs) {
        runWhole("trellisPass", outputs, {matrix(1, 1, -64, 0), matrix(1, 1, -64, 0), matrix(1, 1, -64, 0)});
        runWhole("trellisPass", outputs, {matrix(3, 1, -64, 0), matrix(3, 3, -64, 0), matrix(3, 1, -64, 0)});
        runWhole("trellisPass", outputs, {matrix(2, 1, -64, 0), matrix(2, 2, -64, 0), matrix(2, 2, -64, 0)});
        runWhole("trellisPass", outputs, {matrix(20, 1, -64, 0), matrix(20, 20, -64, 0), matrix(20, 9, -640, 0)});
    }

    const double inf = std::numeric_limits<double>::infinity();
    // One weight per node. Root 1 splits on column 1 at 0 into leaves 2
    // (vote 1) and 3 (vote 2).
    mxArray *split = tree(1, {1, inf, inf}, {1, 1, 1}, {0, 0, 0}, {1, 1, 2}, {0, 1, 1});
    mxArray *leafRoot = tree(1, {inf}, {1}, {0}, {2}, {0});
    for (double k : {1.0, 2.0, 5.0}) {
        runWhole("obliqueVote", 1, {split, matrix(37, 2, -64, 64), arrays.matrix(1, 1, {k})});
        runWhole("obliqueVote", 1, {leafRoot, matrix(37, 2, -64, 64), arrays.matrix(1, 1, {k})});
        runWhole("obliqueVote", 1, {leafRoot, arrays.matrix(9, 0), arrays.matrix(1, 1, {k})});
        runWhole("obliqueVote", 1, {split, matrix(1, 1, -64, 64), arrays.matrix(1, 1, {k})});
    }

    for (mxClassID c : {mxINT8_CLASS, mxUINT64_CLASS}) {
        for (const std::vector<mwSize> &dims : std::vector<std::vector<mwSize>>{{1, 1}, {1, 7}, {33, 1, 3}}) {
            mxArray *a = arrays.numeric(c, dims);
            unsigned char *p = static_cast<unsigned char *>(mxGetData(a));
            for (std::size_t b = 0; b < standin::elements(a) * standin::elementBytes(a); ++b)
                p[b] = static_cast<unsigned char>(rng());
            runWhole("cumsumInt", 1, {a});
        }
    }
}

// Calls large enough to be split over threads (where the processors allow)
// against the same work in calls too small to be: the same bits, and the
// same fault. (Under valgrind too, which sees every thread's scratch.)
TEST_F(CrossPlatform, LargeCallsGiveTheBitsOfSmallOnes)
{
    auto run1 = [&](const char *module, const std::vector<const mxArray *> &in) {
        const standin::CallResult r = standin::call(gw::gateway(module), 1, in);
        arrays.keep(r);
        EXPECT_EQ(checks::callProblem(r), "") << module;
        return r;
    };
    // Rows r0 .. r0 + rows - 1 of every column of a double matrix.
    auto rowsOf = [&](const mxArray *a, mwSize r0, mwSize rows) {
        const std::vector<mwSize> d = standin::dims(a);
        mxArray *part = arrays.matrix(rows, d[1]);
        for (mwSize c = 0; c < d[1]; ++c)
            std::memcpy(mxGetPr(part) + c * rows, mxGetPr(a) + c * d[0] + r0, rows * sizeof(double));
        return part;
    };
    // b's bits at element `offset` of a.
    auto sameBits = [](const mxArray *a, std::size_t offset, const mxArray *b) {
        const std::size_t bytes = standin::elements(b) * standin::elementBytes(b);
        return std::memcmp(static_cast<const char *>(mxGetData(a)) + offset * standin::elementBytes(b),
                           mxGetData(b), bytes) == 0;
    };

    // logTotals, 300 x 2000, by blocks of columns.
    mxArray *x = special(300, 2000, -64000, 64000);
    const standin::CallResult totals = run1("logTotals", {x});
    ASSERT_TRUE(totals.ok) << totals.error;
    for (mwSize c0 = 0; c0 < 2000; c0 += 250) {
        mxArray *part = arrays.matrix(300, 250, std::vector<double>(mxGetPr(x) + c0 * 300, mxGetPr(x) + (c0 + 250) * 300));
        const standin::CallResult r = run1("logTotals", {part});
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_TRUE(sameBits(totals.outputs[0], c0, r.outputs[0])) << "logTotals, columns from " << c0;
    }

    // cumsumInt, 4100 x 2100 int32, by blocks of columns.
    mxArray *a = arrays.numeric(mxINT32_CLASS, {4100, 2100});
    for (std::size_t e = 0; e < standin::elements(a); ++e)
        static_cast<std::int32_t *>(mxGetData(a))[e] = static_cast<std::int32_t>(rng());
    const standin::CallResult sums = run1("cumsumInt", {a});
    ASSERT_TRUE(sums.ok) << sums.error;
    for (mwSize c0 = 0; c0 < 2100; c0 += 300) {
        mxArray *part = arrays.numeric(mxINT32_CLASS, {4100, 300});
        std::memcpy(mxGetData(part), static_cast<const std::int32_t *>(mxGetData(a)) + std::size_t(c0) * 4100,
                    std::size_t(4100) * 300 * 4);
        const standin::CallResult r = run1("cumsumInt", {part});
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_TRUE(sameBits(sums.outputs[0], std::size_t(c0) * 4100, r.outputs[0])) << "cumsumInt, columns from " << c0;
    }

    // zebUtilObliqueVote, 300000 rows, by blocks of rows: a complete tree of
    // depth 4 in heap order, two weights per node over 4 features.
    const mwSize m = 31, d = 2, rows = 300000, block = 20000;
    std::vector<double> w(d * m), fi(d * m), thr(m), vote(m), parent(m);
    for (mwSize t = 1; t <= m; ++t) {
        for (mwSize k = 0; k < d; ++k) {
            w[(t - 1) * d + k] = value(-640, 640);
            fi[(t - 1) * d + k] = 1 + rng() % 4;
        }
        if (t >= 16)
            w[(t - 1) * d] = std::numeric_limits<double>::infinity();
        thr[t - 1] = value(-64, 64);
        vote[t - 1] = 1 + static_cast<double>(t % 3);
        parent[t - 1] = t / 2;
    }
    mxArray *sound = tree(d, w, fi, thr, vote, parent);
    mxArray *data = special(rows, 4, -256, 256);
    const mxArray *count = arrays.matrix(1, 1, {3});
    const standin::CallResult votes = run1("obliqueVote", {sound, data, count});
    ASSERT_TRUE(votes.ok) << votes.error;
    for (mwSize r0 = 0; r0 < rows; r0 += block) {
        const standin::CallResult r = run1("obliqueVote", {sound, rowsOf(data, r0, block), count});
        ASSERT_TRUE(r.ok) << r.error;
        for (int j = 0; j < 3; ++j)
            EXPECT_EQ(0, std::memcmp(mxGetPr(votes.outputs[0]) + j * rows + r0, mxGetPr(r.outputs[0]) + j * block,
                                     block * sizeof(double)))
                << "obliqueVote, rows from " << r0 << ", class " << j + 1;
    }
    // Node 9's second feature names no column: the first block whose rows
    // reach it gives the whole call's message.
    std::vector<double> faultyFeatures = fi;
    faultyFeatures[(9 - 1) * d + 1] = 5;
    mxArray *faulty = tree(d, w, faultyFeatures, thr, vote, parent);
    const standin::CallResult fault = run1("obliqueVote", {faulty, data, count});
    ASSERT_FALSE(fault.ok);
    std::string first;
    for (mwSize r0 = 0; r0 < rows && first.empty(); r0 += block) {
        const standin::CallResult r = run1("obliqueVote", {faulty, rowsOf(data, r0, block), count});
        first = r.ok ? "" : r.error;
    }
    EXPECT_EQ(fault.error, first);
}

} // namespace
