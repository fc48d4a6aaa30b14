// Every module called with thousands of random, mostly malformed, inputs:
// arrays of every class and shape, structures with random fields, random
// argument and output counts. Whatever the call answers, it must not write
// past its output slots, leak scratch or arrays, or free what it did not
// allocate; the memcheck run of these tests also catches any read or write
// outside an array.
#include "checks.h"
#include "gateway.h"

#include <cmath>
#include <limits>
#include <random>
#include <string>

namespace {

// NaNs of both signs and with a payload.
const double nans[3] = {std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN(),
                        -std::numeric_limits<double>::signaling_NaN()};

class RandomInputs : public gw::HostTest {
protected:
    std::mt19937 rng{77};

    int pick(int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); }

    double number()
    {
        switch (pick(8)) {
        case 0: return nans[pick(3)];
        case 1: return pick(2) ? std::numeric_limits<double>::infinity() : -std::numeric_limits<double>::infinity();
        case 2: return pick(2) ? 3e9 : -3e9;
        case 3: return -1e300;
        default: return (pick(13) - 4) + (pick(4) == 0 ? 0.5 : 0.0);
        }
    }

    std::vector<mwSize> shape()
    {
        std::vector<mwSize> d(2 + pick(3) / 2);
        for (auto &e : d)
            e = pick(5);
        return d;
    }

    // Any array: every class, shape and storage the host knows.
    mxArray *anyArray(int depth = 0)
    {
        static const mxClassID classes[] = {mxDOUBLE_CLASS, mxDOUBLE_CLASS, mxDOUBLE_CLASS, mxSINGLE_CLASS,
                                            mxINT8_CLASS, mxUINT8_CLASS, mxINT16_CLASS, mxUINT16_CLASS,
                                            mxINT32_CLASS, mxUINT32_CLASS, mxINT64_CLASS, mxUINT64_CLASS,
                                            mxLOGICAL_CLASS, mxCHAR_CLASS, mxFUNCTION_CLASS};
        const int kind = pick(20);
        if (kind == 0 && depth == 0)
            return tree();
        if (kind == 1)
            return standin::cell(shape());
        if (kind == 2)
            return standin::sparse(pick(5), pick(5), pick(3));
        const mxClassID cls = classes[pick(sizeof classes / sizeof classes[0])];
        mxArray *a = standin::numeric(cls, shape(), pick(6) == 0);
        if (cls == mxDOUBLE_CLASS)
            for (std::size_t e = 0; e < standin::elements(a); ++e)
                mxGetPr(a)[e] = number();
        else
            for (std::size_t b = 0; b < standin::elements(a) * standin::elementBytes(a); ++b)
                static_cast<unsigned char *>(mxGetData(a))[b] = static_cast<unsigned char>(rng());
        return a;
    }

    // A tree structure with some, all or none of the five fields, each a
    // random array, mostly of a plausible class and size.
    mxArray *tree()
    {
        const char *names[] = {"W", "featureIndices", "threshold", "terminalVote", "treeIndices", "other"};
        std::vector<std::string> fields;
        for (const char *n : names)
            if (pick(8) != 0)
                fields.push_back(n);
        mxArray *s = standin::structure({1, static_cast<mwSize>(pick(3))}, fields);
        const mwSize m = 1 + pick(7), d = pick(4);
        for (std::size_t e = 0; e < standin::elements(s); ++e) {
            for (const std::string &f : fields) {
                mxArray *v;
                if (pick(5) == 0) {
                    v = anyArray(1);
                } else {
                    const bool perNode = f == "threshold" || f == "terminalVote" || f == "treeIndices";
                    v = standin::matrix(perNode ? 1 : d, m - pick(2));
                    for (std::size_t k = 0; k < standin::elements(v); ++k)
                        mxGetPr(v)[k] = f == "treeIndices" || f == "featureIndices" ? pick(static_cast<int>(m) + 3) - 1 + (pick(5) == 0 ? 0.7 : 0.0)
                                                                                    : number();
                }
                standin::setField(s, static_cast<mwIndex>(e), f, v);
            }
        }
        return s;
    }

    mxArray *doubles(mwSize rows, mwSize cols)
    {
        mxArray *a = standin::matrix(rows, cols);
        for (std::size_t e = 0; e < standin::elements(a); ++e)
            mxGetPr(a)[e] = number();
        return a;
    }

    // Inputs of the right kinds, often of agreeing sizes, for the modules
    // whose checks random arrays would rarely get past.
    std::vector<const mxArray *> plausible(const std::string &module)
    {
        const mwSize n = pick(4), t = pick(5);
        const auto off = [&] { return pick(4) == 0 ? static_cast<mwSize>(pick(3)) : mwSize(0); };
        if (module == "trellisPass")
            return {arrays.add(doubles(n + off(), 1)), arrays.add(doubles(n, n + off())),
                    arrays.add(doubles(n + off(), t))};
        return {arrays.add(tree()), arrays.add(doubles(pick(6), pick(4))), arrays.add(doubles(1, 1))};
    }
};

TEST_F(RandomInputs, NoModuleMisbehavesOnAnyInput)
{
    const char *modules[] = {"trellisPass", "logTotals", "obliqueVote", "cumsumInt"};
    for (const char *module : modules) {
        const standin::Gateway g = gw::gateway(module);
        int answered = 0, refused = 0;
        for (int n = 0; n < 1500; ++n) {
            const std::string name = module;
            const bool likely = (name == "trellisPass" || name == "obliqueVote") && pick(2) == 0;
            std::vector<const mxArray *> in;
            if (likely) {
                in = plausible(name);
            } else {
                const int nrhs = pick(5);
                for (int k = 0; k < nrhs; ++k)
                    in.push_back(arrays.add(anyArray()));
            }
            const int nlhs = likely && name == "obliqueVote" && pick(4) != 0 ? 1 : pick(6);
            // A quarter of the calls from a caller that switched the
            // rounding mode, flush-to-zero or denormals-are-zero.
            const std::vector<unsigned> states = checks::callerFpStates();
            standin::setCallerFpState(!states.empty() && pick(4) == 0 ? states[pick(static_cast<int>(states.size()))]
                                                                     : 0);
            const standin::CallResult r = standin::call(g, nlhs, in);
            standin::setCallerFpState(0);
            arrays.keep(r);
            ASSERT_EQ(checks::callProblem(r), "") << module << " call " << n;
            if (r.ok && (name == "trellisPass" || name == "logTotals"))
                ASSERT_TRUE(checks::onlyTheNaN(r)) << module << " call " << n << " wrote a NaN of other bits";
            if (r.ok)
                ++answered;
            else {
                ++refused;
                ASSERT_TRUE(checks::documented(name, r.error)) << module << ": " << r.error;
            }
            if (n % 100 == 99)
                arrays.clear();
        }
        // Both outcomes were reached, so the inputs went past the first checks.
        EXPECT_GT(answered, 0) << module;
        EXPECT_GT(refused, 0) << module;
    }
}

} // namespace
