// The version text the Linux MATLAB host asks every MEX file for.
#include "mexhost.h"

extern "C" MEXHOST_EXPORT const char *mexVersion()
{
    return "MATLAB R14 native";
}
