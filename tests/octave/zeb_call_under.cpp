// Test-only Octave MEX: calls a function from a caller in a chosen
// floating-point state and reports what the call left behind.
//
//   [after, upper, out1, ..., outN] = zeb_call_under (state, N, name, args...)
//
// Sets MXCSR to STATE (a double holding the register's value; 0 keeps the
// current one), calls NAME with ARGS for N outputs, and right after it
// returns reads whether the upper halves of the vector registers were left
// in use (UPPER: cpustate::upperStateInUse, -1 where the processor cannot
// say; they are cleared before the call), then MXCSR (AFTER). The state
// from before is put back before this function returns, also when NAME
// fails (its error is then raised again). On processors without MXCSR,
// AFTER is 0 and STATE ignored.
#include <mex.h>

#include <string>

#include "cpuState.h"

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[])
{
    if (nrhs < 3 || !mxIsDouble(prhs[0]) || !mxIsDouble(prhs[1]) || !mxIsChar(prhs[2]))
        mexErrMsgTxt("usage: [after, upper, outs...] = zeb_call_under (state, nout, name, args...)");
    const unsigned state = static_cast<unsigned>(mxGetScalar(prhs[0]));
    const int nout = static_cast<int>(mxGetScalar(prhs[1]));
    if (nout < 0 || nout > 8 || nlhs > nout + 2)
        mexErrMsgTxt("zeb_call_under: at most 8 outputs, and no more than asked for");
    char *name = mxArrayToString(prhs[2]);
    mxArray *outs[8] = {};
    mxArray *args[16] = {};
    const int nargs = nrhs - 3 > 16 ? 16 : nrhs - 3;
    for (int k = 0; k < nargs; ++k)
        args[k] = const_cast<mxArray *>(prhs[3 + k]);

    mexSetTrapFlag(1);
    const unsigned own = cpustate::readFpState();
    if (state)
        cpustate::writeFpState(state);
    cpustate::clearUpperState();
    const int failed = mexCallMATLAB(nout, outs, nargs, args, name);
    const int upper = cpustate::upperStateInUse(); // first: nothing may come before
    const unsigned after = cpustate::readFpState();
    cpustate::writeFpState(own);
    mxFree(name);
    if (failed)
        mexErrMsgTxt("zeb_call_under: the called function failed");

    plhs[0] = mxCreateDoubleScalar(after);
    if (nlhs > 1)
        plhs[1] = mxCreateDoubleScalar(upper);
    for (int k = 0; k < nout; ++k) {
        if (k + 2 < nlhs)
            plhs[k + 2] = outs[k];
        else
            mxDestroyArray(outs[k]);
    }
}
