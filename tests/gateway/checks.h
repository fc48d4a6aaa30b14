// Checks of a call through the stand-in host that need no test framework:
// shared by the gateway tests and the fuzz targets.
#ifndef ZEB_TESTS_CHECKS_H
#define ZEB_TESTS_CHECKS_H

#include "standin.h"

#include <string>

namespace checks {

// What is wrong with the ledger of a call, or "" when nothing is: scratch
// left for the host to free (no module stops a call holding scratch), a
// free of what the call did not allocate, scratch freed out of allocation
// order, a slot written past max(nlhs, 1).
std::string ledgerProblem(const standin::CallResult &r);

// Whether `message` is one of the module's documented messages (the
// module's own name: trellisPass, logTotals, obliqueVote, cumsumInt).
// *descentFault is set when it is one of obliqueVote's faults of a tree a
// row could not descend, which come after the output was created.
bool documented(const std::string &module, const std::string &message, bool *descentFault = nullptr);

} // namespace checks

#endif
