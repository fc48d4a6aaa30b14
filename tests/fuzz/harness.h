// One fuzz input as one checked call of a module's gateway (harness.cpp).
#ifndef ZEB_FUZZ_HARNESS_H
#define ZEB_FUZZ_HARNESS_H

#include "standin.h"

#include <cstddef>
#include <cstdint>

namespace fuzz {

// Decodes the bytes into a call of `gateway` (the module named `module`:
// trellisPass, logTotals, obliqueVote or cumsumInt), makes it and checks
// it; aborts with a message on anything the module must not do.
int callOnce(const char *module, standin::Gateway gateway, const std::uint8_t *data, std::size_t size);

} // namespace fuzz

#endif
