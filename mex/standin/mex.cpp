// Stand-in for MATLAB's MEX library: the error call ends the MEX call.
#include "standin.h"

extern "C" void mexErrMsgTxt(const char *msg)
{
    standin::endCall(msg);
}
