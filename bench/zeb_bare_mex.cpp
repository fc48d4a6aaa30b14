// Benchmark-only Octave MEX: what any plug-in must do on a call, and no
// more. It reads its inputs' extents and creates the output the plug-in
// would create, as it creates it (left uninitialised where the plug-in
// writes all of it; logTotals' zero-filled), computing nothing:
//   zeb_bare_mex (X)              a 1 x columns(X) double row (logTotals)
//   zeb_bare_mex (logPi, logA, logB)  an N x T double matrix (trellisPass)
//   zeb_bare_mex (tree, X, K)     reads the tree's five fields' data, then
//                                 a rows(X) x K double matrix (zebUtilObliqueVote)
//   zeb_bare_mex (A)  integer A   an array of A's shape and class (cumsumInt)
#include <mex.h>

void mexFunction(int, mxArray *plhs[], int nrhs, const mxArray *prhs[])
{
    if (nrhs < 1)
        mexErrMsgTxt("zeb_bare_mex: an input is needed");
    const mxArray *a = prhs[0];
    if (mxIsStruct(a) && nrhs == 3) {
        const char *names[5] = {"W", "featureIndices", "threshold", "terminalVote", "treeIndices"};
        double sum = 0;
        for (const char *name : names) {
            const mxArray *f = mxGetField(a, 0, name);
            if (!f)
                mexErrMsgTxt("zeb_bare_mex: a field is missing");
            sum += mxGetPr(f)[0];
        }
        const double k = mxGetPr(prhs[2])[0] + 0 * sum;
        plhs[0] = mxCreateUninitNumericMatrix(mxGetM(prhs[1]), static_cast<mwSize>(k), mxDOUBLE_CLASS, mxREAL);
        return;
    }
    if (nrhs == 3) {
        const mwSize *d = mxGetDimensions(prhs[2]);
        const mwSize dims[2] = {d[0], d[1]};
        plhs[0] = mxCreateUninitNumericArray(2, dims, mxDOUBLE_CLASS, mxREAL);
        return;
    }
    (void)mxGetData(a);
    if (mxIsDouble(a)) {
        const mwSize dims[2] = {1, mxGetDimensions(a)[1]};
        plhs[0] = mxCreateNumericArray(2, dims, mxDOUBLE_CLASS, mxREAL);
        return;
    }
    plhs[0] = mxCreateUninitNumericArray(mxGetNumberOfDimensions(a), mxGetDimensions(a), mxGetClassID(a), mxREAL);
}
