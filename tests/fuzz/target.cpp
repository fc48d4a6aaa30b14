// The fuzz entry point of one module, whose gateway is built into this
// program (ZEB_FUZZ_MODULE names it).
#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    return fuzz::callOnce(ZEB_FUZZ_MODULE, mexFunction, data, size);
}
