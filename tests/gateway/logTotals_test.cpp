#include "addexp.h"
#include "gateway.h"

#include <cmath>
#include <limits>
#include <random>

namespace {

using standin::CallResult;
using standin::Event;

class LogTotalsGateway : public gw::ModuleTest {
protected:
    LogTotalsGateway() : ModuleTest("logTotals") {}

};

const char *const wrongCount = "Invalid number of inputs. Must be 1.";
const char *const not2D = "logTotals() only accepts 2D input.";

TEST_F(LogTotalsGateway, ChecksComeInOrder)
{
    mxArray *flat = arrays.matrix(3, 2);
    mxArray *cube = arrays.numeric(mxDOUBLE_CLASS, {2, 2, 2});
    gw::expectRefused(call(1, {}), wrongCount);
    gw::expectRefused(call(1, {cube}), not2D);
    gw::expectRefused(call(1, {cube, flat}), not2D); // the shape is checked first
    gw::expectRefused(call(1, {flat, cube}), wrongCount);
    gw::expectRefused(call(1, {flat, flat}), wrongCount);
}

TEST_F(LogTotalsGateway, RefusesStorageThatIsNotDoubles)
{
    for (mxClassID c : {mxSINGLE_CLASS, mxINT8_CLASS, mxUINT8_CLASS, mxINT16_CLASS, mxINT32_CLASS,
                        mxINT64_CLASS, mxUINT64_CLASS, mxLOGICAL_CLASS, mxCHAR_CLASS})
        gw::expectRefused(call(1, {arrays.numeric(c, {4, 3})}), "logTotals() only accepts double input.");
    gw::expectRefused(call(1, {arrays.add(standin::cell({2, 2}))}), "logTotals() only accepts double input.");
    gw::expectRefused(call(1, {arrays.add(standin::structure({1, 1}, {"a"}))}),
                      "logTotals() only accepts double input.");
    gw::expectRefused(call(1, {arrays.add(standin::sparse(1000, 1000, 2))}),
                      "logTotals() does not accept sparse input.");
}

TEST_F(LogTotalsGateway, OneRowOutAndScratchFreedInOrder)
{
    std::mt19937 rng(3);
    std::normal_distribution<double> nd(0.0, 30.0);
    std::vector<double> v(7 * 5);
    for (auto &x : v)
        x = nd(rng);
    mxArray *x = arrays.matrix(7, 5, v);
    for (int nlhs : {0, 1, 3}) {
        CallResult r = call(nlhs, {x});
        gw::expectCleanSuccess(r);
        ASSERT_NE(r.outputs[0], nullptr);
        for (std::size_t k = 1; k < r.outputs.size(); ++k)
            EXPECT_EQ(r.outputs[k], nullptr);
        EXPECT_EQ(standin::dims(r.outputs[0]), (std::vector<mwSize>{1, 5}));

        std::vector<double> expect(5), maxima(5);
        const std::int64_t dims[2] = {7, 5};
        kernel::addexp(v.data(), dims, expect.data(), maxima.data());
        EXPECT_EQ(gw::values(r.outputs[0]), expect);

        const auto e = gw::events(r);
        ASSERT_EQ(e.size(), 5u);
        EXPECT_EQ(e[0].event, Event::Calloc); // the output's dimension vector
        EXPECT_EQ(e[0].bytes, 2 * sizeof(mwSize));
        EXPECT_EQ(e[1].event, Event::Create);
        EXPECT_EQ(e[2].event, Event::Calloc); // the column maxima
        EXPECT_EQ(e[2].bytes, 5 * sizeof(double));
    }
}

TEST_F(LogTotalsGateway, EmptyShapes)
{
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        mwSize rows, cols;
    };
    for (Case c : {Case{0, 0}, Case{5, 0}, Case{0, 3}}) {
        // Any element read would lie past the host's empty block (see the memcheck run).
        CallResult r = call(1, {arrays.matrix(c.rows, c.cols)});
        gw::expectCleanSuccess(r);
        EXPECT_EQ(standin::dims(r.outputs[0]), (std::vector<mwSize>{1, c.cols}));
        for (double v : gw::values(r.outputs[0]))
            EXPECT_EQ(v, -inf);
    }
}

TEST_F(LogTotalsGateway, ComplexInputIsReadThroughItsRealPart)
{
    mxArray *c = arrays.numeric(mxDOUBLE_CLASS, {2, 2}, true);
    const double re[4] = {1, 2, 3, 4};
    std::copy_n(re, 4, mxGetPr(c));
    std::fill_n(standin::imaginary(c), 4, 1e308);
    CallResult r = call(1, {c});
    gw::expectCleanSuccess(r);
    const double tail = std::log(std::exp(-1.0) + 1.0);
    EXPECT_EQ(gw::values(r.outputs[0]), (std::vector<double>{tail + 2, tail + 4}));
}

TEST_F(LogTotalsGateway, RefusesAnOutputBeyondTheAddressSpace)
{
    // No rows, and more columns than a row of doubles can span: reachable
    // where addresses are 32 bits wide.
    const std::int64_t columns = PTRDIFF_MAX / std::int64_t(sizeof(double)) + 1;
    if (columns > 2147483647)
        GTEST_SKIP() << "32-bit extents cannot exceed this platform's address space";
    gw::expectRefused(call(1, {arrays.matrix(0, static_cast<mwSize>(columns))}),
                      "logTotals() output is too large to address.");
}

} // namespace
