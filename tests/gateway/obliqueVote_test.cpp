#include "gateway.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

namespace {

using standin::CallResult;
using standin::Event;
const double inf = std::numeric_limits<double>::infinity();
const double nan = std::numeric_limits<double>::quiet_NaN();

const std::vector<std::string> fieldNames = {"W", "featureIndices", "threshold", "terminalVote", "treeIndices"};

class ObliqueVoteGateway : public gw::ModuleTest {
protected:
    ObliqueVoteGateway() : ModuleTest("obliqueVote") {}

    // The stump: root splits feature 1 at 0; leaf 2 votes class 1, leaf 3 class 2.
    std::vector<mxArray *> stumpTables()
    {
        return {standin::matrix(1, 3, {1, inf, inf}), standin::matrix(1, 3, {1, 1, 1}),
                standin::matrix(1, 3, {0, 0, 0}), standin::matrix(1, 3, {0, 1, 2}),
                standin::matrix(1, 3, {0, 1, 1})};
    }

    // A 1x1 structure with the named fields set from `tables` (same order as
    // fieldNames), leaving out the fields in `without`, plus any `extra`.
    mxArray *tree(std::vector<mxArray *> tables, const std::vector<std::string> &without = {},
                  const std::vector<std::string> &extra = {})
    {
        std::vector<std::string> names;
        for (const auto &f : fieldNames)
            if (std::find(without.begin(), without.end(), f) == without.end())
                names.push_back(f);
        names.insert(names.end(), extra.begin(), extra.end());
        mxArray *s = arrays.add(standin::structure({1, 1}, names));
        for (std::size_t f = 0; f < fieldNames.size(); ++f) {
            if (std::find(without.begin(), without.end(), fieldNames[f]) == without.end())
                standin::setField(s, 0, fieldNames[f], tables[f]);
            else
                standin::destroy(tables[f]);
        }
        for (const auto &e : extra)
            standin::setField(s, 0, e, standin::text("ignored"));
        return s;
    }

    CallResult vote(mxArray *t, mxArray *x, double k) { return call(1, {t, x, arrays.matrix(1, 1, {k})}); }
};

TEST_F(ObliqueVoteGateway, ArgumentCountsAreCheckedFirst)
{
    mxArray *t = tree(stumpTables());
    mxArray *x = arrays.matrix(2, 1, {-1, 1});
    mxArray *k = arrays.matrix(1, 1, {2});
    gw::expectRefused(call(0, {t, x}), "obliqueVote requires three input arguments");
    gw::expectRefused(call(1, {t, x, k, k}), "obliqueVote requires three input arguments");
    gw::expectRefused(call(0, {t, x, k}), "obliqueVote requires one output arguments");
    gw::expectRefused(call(2, {t, x, k}), "obliqueVote requires one output arguments");
}

TEST_F(ObliqueVoteGateway, MissingFieldsAreReportedInFieldOrder)
{
    mxArray *x = arrays.matrix(2, 1, {-1, 1});
    for (const auto &f : fieldNames)
        gw::expectRefused(vote(tree(stumpTables(), {f}), x, 2),
                          "obliqueVote requires argument 1 must have field '" + f + "'");
    gw::expectRefused(vote(tree(stumpTables(), {"treeIndices", "threshold"}), x, 2),
                      "obliqueVote requires argument 1 must have field 'threshold'");
    // Not a structure, or a structure without elements: no field at all.
    gw::expectRefused(vote(arrays.matrix(1, 1, {0}), x, 2), "obliqueVote requires argument 1 must have field 'W'");
    gw::expectRefused(vote(arrays.add(standin::structure({0, 0}, fieldNames)), x, 2),
                      "obliqueVote requires argument 1 must have field 'W'");
}

TEST_F(ObliqueVoteGateway, VotesWithExtraFieldsAndOnlyTheFirstElement)
{
    mxArray *x = arrays.matrix(3, 1, {-1, 0, 2});
    CallResult r = vote(tree(stumpTables(), {}, {"comment"}), x, 2);
    gw::expectCleanSuccess(r);
    EXPECT_EQ(standin::dims(r.outputs[0]), (std::vector<mwSize>{3, 2}));
    EXPECT_EQ(gw::values(r.outputs[0]), (std::vector<double>{1, 0, 0, 0, 1, 1}));
    const auto e = gw::events(r);
    ASSERT_EQ(e.size(), 3u); // the output, the node table, its release
    EXPECT_EQ(e[0].event, Event::Create);
    EXPECT_EQ(e[1].event, Event::Calloc);
    // 3 nodes: the header (2 doubles), children and kinds (3 x 3 32-bit
    // integers, 5 doubles), one feature column each (3 doubles), and one
    // thread's lists for a block of 32 rows (6 doubles a row).
    EXPECT_EQ(e[1].bytes, (2 + 5 + 3 + 6 * 32) * sizeof(double));

    // A 1x2 structure array: the second element's tables are never used.
    mxArray *s = arrays.add(standin::structure({1, 2}, fieldNames));
    auto first = stumpTables();
    for (std::size_t f = 0; f < fieldNames.size(); ++f) {
        standin::setField(s, 0, fieldNames[f], first[f]);
        standin::setField(s, 1, fieldNames[f], standin::numeric(mxINT8_CLASS, {1, 1}));
    }
    CallResult again = vote(s, x, 2);
    gw::expectCleanSuccess(again);
    EXPECT_EQ(gw::values(again.outputs[0]), gw::values(r.outputs[0]));
}

TEST_F(ObliqueVoteGateway, ClassCountTruncatesAndClampsAtZero)
{
    mxArray *x = arrays.matrix(2, 1, {-1, 1});
    struct Case {
        double k;
        mwSize cols;
    };
    for (Case c : {Case{3.9, 3}, Case{3.0, 3}, Case{0.0, 0}, Case{0.7, 0}, Case{-3.0, 0}, Case{-2147483648.0, 0}}) {
        CallResult r = vote(tree(stumpTables()), x, c.k);
        gw::expectCleanSuccess(r);
        EXPECT_EQ(standin::dims(r.outputs[0]), (std::vector<mwSize>{2, c.cols})) << c.k;
    }
    // Truncated first, then refused outside the 32-bit range: 2147483647.5
    // is 2147483647 columns (of no rows here), -2147483648.5 none.
    for (Case c : {Case{2147483647.5, 2147483647}, Case{-2147483648.5, 0}}) {
        CallResult r = vote(tree(stumpTables()), arrays.matrix(0, 1), c.k);
        gw::expectCleanSuccess(r);
        EXPECT_EQ(standin::dims(r.outputs[0]), (std::vector<mwSize>{0, c.cols})) << c.k;
    }
    for (double bad : {nan, inf, -inf, 2147483648.0, -2147483649.0, 1e300})
        gw::expectRefused(vote(tree(stumpTables()), x, bad),
                          "obliqueVote requires a finite class count within the 32-bit range");
    gw::expectRefused(call(1, {tree(stumpTables()), x, arrays.matrix(0, 0)}),
                      "obliqueVote requires a class count as argument 3");
}

TEST_F(ObliqueVoteGateway, RefusesArraysThatAreNotFullDoubles)
{
    mxArray *x = arrays.matrix(2, 1, {-1, 1});
    for (std::size_t f = 0; f < fieldNames.size(); ++f) {
        for (bool sparse : {false, true}) {
            auto tables = stumpTables();
            standin::destroy(tables[f]);
            tables[f] = sparse ? standin::sparse(1, 3, 3) : standin::numeric(mxSINGLE_CLASS, {1, 3});
            gw::expectRefused(vote(tree(tables), x, 2),
                              "obliqueVote requires field '" + fieldNames[f] + "' to be a full double array");
        }
    }
    const std::string arg2 = "obliqueVote requires argument 2 to be a full double array";
    gw::expectRefused(vote(tree(stumpTables()), arrays.numeric(mxINT32_CLASS, {2, 1}), 2), arg2);
    gw::expectRefused(vote(tree(stumpTables()), arrays.add(standin::sparse(2, 1, 1)), 2), arg2);
    gw::expectRefused(call(1, {tree(stumpTables()), x, arrays.numeric(mxUINT8_CLASS, {1, 1})}),
                      "obliqueVote requires argument 3 to be a full double array");
}

TEST_F(ObliqueVoteGateway, RefusesEmptyTables)
{
    mxArray *x = arrays.matrix(2, 1, {-1, 1});
    auto tables = stumpTables();
    standin::destroy(tables[0]);
    tables[0] = standin::matrix(0, 3);
    gw::expectRefused(vote(tree(tables), x, 2), "obliqueVote requires a non-empty field 'W'");
    tables = stumpTables();
    standin::destroy(tables[4]);
    tables[4] = standin::matrix(1, 0);
    gw::expectRefused(vote(tree(tables), x, 2), "obliqueVote requires a non-empty field 'treeIndices'");
}

TEST_F(ObliqueVoteGateway, MalformedTreesStopTheCallWithoutLeaks)
{
    struct Case {
        int field;
        std::vector<double> values;
        std::string message;
    };
    const std::vector<Case> cases = {
        {4, {0, 1, 7}, "obliqueVote: internal node 1 has fewer than two children"},
        {0, {1, inf}, "obliqueVote: node 3 lies beyond the columns of field 'W'"},
        {1, {}, "obliqueVote: node 1 lies beyond the columns of field 'featureIndices'"},
        {2, {}, "obliqueVote: node 1 lies beyond the entries of field 'threshold'"},
        {3, {0, 1}, "obliqueVote: node 3 lies beyond the entries of field 'terminalVote'"},
        {1, {2, 1, 1}, "obliqueVote: node 1 uses a feature index outside the columns of X"},
        {1, {0.5, 1, 1}, "obliqueVote: node 1 uses a feature index outside the columns of X"},
    };
    mxArray *x = arrays.matrix(2, 1, {-1, 1});
    for (const Case &c : cases) {
        auto tables = stumpTables();
        standin::destroy(tables[c.field]);
        tables[c.field] = standin::matrix(1, static_cast<mwSize>(c.values.size()), c.values);
        CallResult r = vote(tree(tables), x, 2);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, c.message);
        // The child table was released by the module; the output by the host.
        EXPECT_TRUE(gw::events(r, Event::HostFree).empty());
        EXPECT_EQ(gw::events(r, Event::Destroy).size(), 1u);
    }
    // A cycle: 1 -> (2, 3), 2 -> (1, 4); rows below 0 go round for ever.
    CallResult r = vote(tree({standin::matrix(1, 4, {1, 1, inf, inf}), standin::matrix(1, 4, {1, 1, 1, 1}),
                              standin::matrix(1, 4, {0, 5, 0, 0}), standin::matrix(1, 4, {0, 0, 1, 2}),
                              standin::matrix(1, 4, {2, 1, 1, 2})}),
                        x, 2);
    EXPECT_EQ(r.error, "obliqueVote: no leaf within 4 steps, the tree has a cycle through node 1");
}

// A node with several faults reports the first in the order they are
// checked: beyond W; for a leaf beyond terminalVote; for an internal node
// beyond featureIndices, beyond threshold, a feature index outside 1..F,
// fewer than two children. Node 3, which the row reaches, has every fault
// from the one named on, each case mending the one before.
TEST_F(ObliqueVoteGateway, ANodeWithSeveralFaultsReportsTheFirstInCheckingOrder)
{
    struct Case {
        std::vector<double> w, features, threshold, votes;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{1, inf}, {1, 1}, {0, 0}, {0, 1}, "obliqueVote: node 3 lies beyond the columns of field 'W'"},
        {{1, inf, inf}, {1, 1}, {0, 0}, {0, 1}, "obliqueVote: node 3 lies beyond the entries of field 'terminalVote'"},
        {{1, inf, 1}, {1, 1}, {0, 0}, {0, 1}, "obliqueVote: node 3 lies beyond the columns of field 'featureIndices'"},
        {{1, inf, 1}, {1, 1, 0}, {0, 0}, {0, 1}, "obliqueVote: node 3 lies beyond the entries of field 'threshold'"},
        {{1, inf, 1}, {1, 1, 0}, {0, 0, 0}, {0, 1}, "obliqueVote: node 3 uses a feature index outside the columns of X"},
        {{1, inf, 1}, {1, 1, 1}, {0, 0, 0}, {0, 1}, "obliqueVote: internal node 3 has fewer than two children"},
    };
    for (const Case &c : cases) {
        auto row = [](const std::vector<double> &v) { return standin::matrix(1, static_cast<mwSize>(v.size()), v); };
        CallResult r = vote(tree({row(c.w), row(c.features), row(c.threshold), row(c.votes), row({0, 1, 1})}),
                            arrays.matrix(1, 1, {1}), 2);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, c.message);
    }
}

TEST_F(ObliqueVoteGateway, NoRowsReadNoNode)
{
    // Every table is malformed, yet with no rows nothing is read.
    auto tables = stumpTables();
    standin::destroy(tables[4]);
    tables[4] = standin::matrix(1, 3, {5, 5, 5});
    CallResult r = vote(tree(tables), arrays.matrix(0, 4), 3);
    gw::expectCleanSuccess(r);
    EXPECT_EQ(standin::dims(r.outputs[0]), (std::vector<mwSize>{0, 3}));
    EXPECT_TRUE(gw::events(r, Event::Calloc).empty());
}

TEST_F(ObliqueVoteGateway, ComplexArraysAreReadThroughTheirRealParts)
{
    mxArray *x = arrays.numeric(mxDOUBLE_CLASS, {3, 1}, true);
    const double re[3] = {-1, 0, 2};
    std::copy_n(re, 3, mxGetPr(x));
    std::fill_n(standin::imaginary(x), 3, -50.0);
    CallResult r = vote(tree(stumpTables()), x, 2);
    gw::expectCleanSuccess(r);
    EXPECT_EQ(gw::values(r.outputs[0]), (std::vector<double>{1, 0, 0, 0, 1, 1}));
}

TEST_F(ObliqueVoteGateway, ALeafRootChecksOnlyWAndTerminalVote)
{
    mxArray *x = arrays.matrix(2, 2, {1, 2, 3, 4});
    std::vector<mxArray *> tables = {standin::matrix(1, 1, {inf}), standin::numeric(mxINT8_CLASS, {1, 1}),
                                     standin::cell({1, 2}), standin::matrix(1, 1, {2}), standin::matrix(0, 0)};
    CallResult r = vote(tree(tables), x, 3);
    gw::expectCleanSuccess(r);
    EXPECT_EQ(gw::values(r.outputs[0]), (std::vector<double>{0, 0, 1, 1, 0, 0}));
    EXPECT_TRUE(gw::events(r, Event::Calloc).empty());
    // The same fields under an internal root are refused as before.
    tables = {standin::matrix(1, 1, {1}), standin::numeric(mxINT8_CLASS, {1, 1}), standin::cell({1, 2}),
              standin::matrix(1, 1, {2}), standin::matrix(0, 0)};
    gw::expectRefused(vote(tree(tables), x, 3), "obliqueVote requires field 'featureIndices' to be a full double array");
    tables = {standin::matrix(1, 1, {nan}), standin::matrix(1, 1), standin::matrix(1, 1), standin::matrix(0, 0),
              standin::matrix(1, 0)};
    CallResult beyond = vote(tree(tables), x, 3);
    EXPECT_EQ(beyond.error, "obliqueVote: node 1 lies beyond the entries of field 'terminalVote'");
}

TEST_F(ObliqueVoteGateway, RowsWithoutColumnsTakeOnePath)
{
    // 2^31 - 1 rows and nothing to write: one descent, not one per row.
    const mwSize rows = 2147483647;
    std::vector<mxArray *> leafRoot = {standin::matrix(1, 1, {nan}), standin::matrix(1, 1, {1}),
                                       standin::matrix(1, 1), standin::matrix(1, 1, {1}), standin::matrix(1, 1)};
    CallResult r = vote(tree(leafRoot), arrays.matrix(rows, 0), 0);
    gw::expectCleanSuccess(r);
    EXPECT_EQ(standin::dims(r.outputs[0]), (std::vector<mwSize>{rows, 0}));
    CallResult fault = vote(tree(stumpTables()), arrays.matrix(rows, 0), 0);
    EXPECT_EQ(fault.error, "obliqueVote: node 1 uses a feature index outside the columns of X");
    // Where there is something to write, every row gets the one leaf's vote.
    leafRoot = {standin::matrix(1, 1, {nan}), standin::matrix(1, 1, {1}), standin::matrix(1, 1),
                standin::matrix(1, 1, {2}), standin::matrix(1, 1)};
    CallResult filled = vote(tree(leafRoot), arrays.matrix(3, 0), 2);
    gw::expectCleanSuccess(filled);
    EXPECT_EQ(gw::values(filled.outputs[0]), (std::vector<double>{0, 0, 0, 1, 1, 1}));
}

TEST_F(ObliqueVoteGateway, RefusesAnOutputBeyondTheAddressSpace)
{
    std::vector<mxArray *> leafRoot = {standin::matrix(1, 1, {nan}), standin::matrix(1, 1, {1}),
                                       standin::matrix(1, 1), standin::matrix(1, 1, {1}), standin::matrix(1, 1)};
    gw::expectRefused(vote(tree(leafRoot), arrays.matrix(2147483647, 0), 2147483647.0),
                      "obliqueVote requires an output (rows of X times classes) small enough to address");
}

} // namespace
