// Gateway of logTotals:  T = logTotals(X)
// For every column of a real 2-D double matrix, the stable log of the sum of
// the exponentials of its entries, through the column log-sum-exp kernel.
//
// No objects with destructors live in this function: a refused check or a
// host failure ends the call from inside the host, which then releases what
// the call had allocated.
#include "addexp.h"
#include "fpState.h"
#include "mexhost.h"

namespace {

const char *const msgInputCount = "Invalid number of inputs. Must be 1.";
const char *const msgNot2D = "logTotals() only accepts 2D input.";
const char *const msgClass = "logTotals() only accepts double input.";
const char *const msgSparse = "logTotals() does not accept sparse input.";
const char *const msgTooLarge = "logTotals() output is too large to address.";

} // namespace

void mexFunction(int, mxArray *plhs[], int nrhs, const mxArray *prhs[])
{
    if (nrhs < 1)
        mexErrMsgTxt(msgInputCount);

    const mxArray *x = prhs[0];
    // The data pointer before the extents (mexhost::settle says why); only
    // a double array's data is ever read.
    const double *data = mxGetClassID(x) == mxDOUBLE_CLASS ? mxGetPr(x) : nullptr;
    const mwSize nd = mxGetNumberOfDimensions(x);
    const mwSize *xDims = mxGetDimensions(x);
    if (nd != 2)
        mexErrMsgTxt(msgNot2D);
    if (nrhs != 1)
        mexErrMsgTxt(msgInputCount);
    // Another class's or a sparse array's storage is not R*N doubles.
    mexhost::requireFullDouble(x, msgClass, msgSparse);

    const std::int64_t dims[2] = {static_cast<std::int64_t>(xDims[0]), static_cast<std::int64_t>(xDims[1])};
    // An input without rows can have more columns than the output (one
    // double each, and as many of scratch) could hold.
    if (!mexhost::addressable(dims[1], sizeof(double)))
        mexErrMsgTxt(msgTooLarge);

    mwSize *outDims = static_cast<mwSize *>(mxCalloc(2, sizeof(mwSize)));
    outDims[0] = 1;
    outDims[1] = xDims[1];
    plhs[0] = mxCreateNumericArray(2, outDims, mxDOUBLE_CLASS, mxREAL);
    double *totals = mxGetPr(plhs[0]);

    double *maxima = static_cast<double *>(mxCalloc(static_cast<std::size_t>(dims[1]), sizeof(double)));
    const fpstate::Saved caller = fpstate::enter();
    kernel::addexpColumns(data, dims, totals, maxima);
    fpstate::leave(caller);

    mxFree(outDims);
    mxFree(maxima);
}
