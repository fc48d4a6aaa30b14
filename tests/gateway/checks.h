// Checks of a call through the stand-in host that need no test framework:
// shared by the gateway tests and the fuzz targets.
#ifndef ZEB_TESTS_CHECKS_H
#define ZEB_TESTS_CHECKS_H

#include "standin.h"

#include <string>
#include <vector>

namespace checks {

// What is wrong with a call, or "" when nothing is: scratch left for the
// host to free (no module stops a call holding scratch), a free of what the
// call did not allocate, scratch freed out of allocation order, a slot
// written past max(nlhs, 1); a call that returned with the caller's
// floating-point state changed (control bits or flags) or with the upper
// halves of the vector registers in use.
std::string callProblem(const standin::CallResult &r);

// The last two alone.
std::string processorStateProblem(const standin::CallResult &r);

// Floating-point states a caller may leave (as standin::setCallerFpState
// takes them): each directed rounding mode, flush-to-zero, denormals-are-
// zero (x86) or default-NaN (aarch64), with and without flags raised;
// none where the processor has no such state.
std::vector<unsigned> callerFpStates();

// Whether every NaN among a call's double outputs is the one NaN that
// trellisPass and logTotals write (0x7FF8000000000000).
bool onlyTheNaN(const standin::CallResult &r);

// Whether `message` is one of the module's documented messages (the
// module's own name: trellisPass, logTotals, obliqueVote, cumsumInt).
// *descentFault is set when it is one of obliqueVote's faults of a tree a
// row could not descend, which come after the output was created.
bool documented(const std::string &module, const std::string &message, bool *descentFault = nullptr);

} // namespace checks

#endif
