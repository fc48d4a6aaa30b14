// Shared helpers of the gateway tests: the deliverable under test, calls
// through the stand-in host, and what a call left in the host's ledger.
#ifndef ZEB_TESTS_GATEWAY_H
#define ZEB_TESTS_GATEWAY_H

#include "loader.h"
#include "standin.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace gw {

// The gateway of a module's built deliverable. Its path and export name come
// from the environment: ZEB_MEX_<module> and ZEB_EXPORT_<module>.
standin::Gateway gateway(const std::string &module);

// The ledger entries a call made, in order.
std::vector<standin::LedgerEntry> events(const standin::CallResult &r);
std::vector<standin::LedgerEntry> events(const standin::CallResult &r, standin::Event kind);

// Inputs owned by a test: destroyed with it.
class Arrays {
public:
    ~Arrays();
    void clear();
    mxArray *add(mxArray *a);
    mxArray *matrix(mwSize rows, mwSize cols, const std::vector<double> &values = {});
    mxArray *numeric(mxClassID cls, const std::vector<mwSize> &dims, bool complex = false);
    // Keeps the outputs of a call so they are destroyed with the test.
    void keep(const standin::CallResult &r);

private:
    std::vector<mxArray *> owned_;
};

// Asserts the call was refused with `message` before anything was allocated.
void expectRefused(const standin::CallResult &r, const std::string &message);

// Asserts the call succeeded and freed every scratch block it took, in the
// order it took them, and wrote no slot past max(nlhs, 1).
void expectCleanSuccess(const standin::CallResult &r);

std::vector<double> values(const mxArray *a);

// The host's state before a test; each test must leave it as it found it.
class HostTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    Arrays arrays;

private:
    std::size_t arraysBefore_ = 0;
};

// A HostTest for one module's deliverable; call() keeps the outputs so
// that they are destroyed with the test.
class ModuleTest : public HostTest {
protected:
    explicit ModuleTest(const std::string &module) : g(gateway(module)) {}
    standin::CallResult call(int nlhs, const std::vector<const mxArray *> &in);
    standin::Gateway g;
};

} // namespace gw

#endif
