// Loads a built MEX file and finds its gateway: the only platform-specific
// part of the gateway tests.
#ifndef ZEB_TESTS_LOADER_H
#define ZEB_TESTS_LOADER_H

#include "standin.h"

#include <string>

namespace loader {

// The gateway exported by the MEX file at `path` under `symbol`; null with
// `error` set when the file does not load or does not export it.
standin::Gateway load(const std::string &path, const std::string &symbol, std::string &error);

// Any other symbol the file exports, or null.
void *symbol(const std::string &path, const std::string &name);

} // namespace loader

#endif
