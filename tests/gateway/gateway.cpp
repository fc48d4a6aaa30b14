#include "gateway.h"

#include "checks.h"

#include <cstdlib>
#include <map>

namespace gw {

namespace {

// Stands in for a deliverable that did not load, so its tests fail rather
// than crash (the load failure itself is reported once).
void notLoaded(int, mxArray *[], int, const mxArray *[])
{
    mexErrMsgTxt("the deliverable under test did not load");
}

} // namespace

standin::Gateway gateway(const std::string &module)
{
    static std::map<std::string, standin::Gateway> loaded;
    auto it = loaded.find(module);
    if (it != loaded.end())
        return it->second;
    const char *path = std::getenv(("ZEB_MEX_" + module).c_str());
    const char *symbol = std::getenv(("ZEB_EXPORT_" + module).c_str());
    if (!path) {
        ADD_FAILURE() << "ZEB_MEX_" << module << " is not set";
        return loaded[module] = notLoaded;
    }
    std::string error;
    standin::Gateway g = loader::load(path, symbol ? symbol : "mexFunction", error);
    if (!g)
        ADD_FAILURE() << error;
    return loaded[module] = g ? g : notLoaded;
}

std::vector<standin::LedgerEntry> events(const standin::CallResult &r)
{
    const auto &all = standin::ledger();
    return std::vector<standin::LedgerEntry>(all.begin() + static_cast<std::ptrdiff_t>(r.ledgerStart), all.end());
}

std::vector<standin::LedgerEntry> events(const standin::CallResult &r, standin::Event kind)
{
    std::vector<standin::LedgerEntry> out;
    for (const auto &e : events(r))
        if (e.event == kind)
            out.push_back(e);
    return out;
}

Arrays::~Arrays()
{
    clear();
}

void Arrays::clear()
{
    for (mxArray *a : owned_)
        standin::destroy(a);
    owned_.clear();
}

mxArray *Arrays::add(mxArray *a)
{
    owned_.push_back(a);
    return a;
}

mxArray *Arrays::matrix(mwSize rows, mwSize cols, const std::vector<double> &values)
{
    return add(standin::matrix(rows, cols, values));
}

mxArray *Arrays::numeric(mxClassID cls, const std::vector<mwSize> &dims, bool complex)
{
    return add(standin::numeric(cls, dims, complex));
}

void Arrays::keep(const standin::CallResult &r)
{
    for (mxArray *a : r.outputs)
        if (a)
            add(a);
}

void expectRefused(const standin::CallResult &r, const std::string &message)
{
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, message);
    for (const auto &e : events(r)) {
        EXPECT_NE(e.event, standin::Event::Calloc) << "allocated before refusing: " << message;
        EXPECT_NE(e.event, standin::Event::Create) << "created an array before refusing: " << message;
    }
    for (mxArray *a : r.outputs)
        EXPECT_EQ(a, nullptr);
}

void expectCleanSuccess(const standin::CallResult &r)
{
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(checks::callProblem(r), "");
}

std::vector<double> values(const mxArray *a)
{
    const double *p = mxGetPr(a);
    return std::vector<double>(p, p + standin::elements(a));
}

standin::CallResult ModuleTest::call(int nlhs, const std::vector<const mxArray *> &in)
{
    standin::CallResult r = standin::call(g, nlhs, in);
    arrays.keep(r);
    EXPECT_EQ(checks::processorStateProblem(r), "");
    return r;
}

void HostTest::SetUp()
{
    arraysBefore_ = standin::liveArrays();
}

void HostTest::TearDown()
{
    EXPECT_EQ(standin::liveScratch(), 0u) << "scratch still alive";
    arrays.clear();
    EXPECT_EQ(standin::liveArrays(), arraysBefore_) << "arrays leaked";
}

} // namespace gw
