// Gateway of trellisPass:
//   [logAlpha, logBeta, logGamma, logXi] = trellisPass(logPi, logA, logB)
// Checks the call, allocates the scratch, creates each requested output,
// then runs the forward-backward steps on them under the module's own
// floating-point state.
//
// No objects with destructors live in this function: a refused check or a
// host failure ends the call from inside the host, and the host releases
// whatever the call had allocated.
#include "fpState.h"
#include "mexhost.h"
#include "trellisCore.h"

namespace {

const char *const msgInputCount = "Invalid number of inputs. Must be 3.";
const char *const msgClass = "Inputs must be double arrays.";
const char *const msgSparse = "Inputs must not be sparse.";
const char *const msgSquare = "logA must be a square matrix.";
const char *const msgRows = "logB must have as many rows as logA.";
const char *const msgPi = "logPi must have at least as many elements as logA has rows.";
const char *const msgShortB = "logB must hold as many elements as its rows times its columns.";
const char *const msgXiSize = "logXi (N*N*T doubles) is too large to address.";

double *scratch(std::int64_t count)
{
    return static_cast<double *>(mxCalloc(static_cast<std::size_t>(count), sizeof(double)));
}

// Every step writes the whole of its output.
mxArray *createDouble(mwSize ndim, const mwSize *dims)
{
    return mexhost::createWritten(ndim, dims, mxDOUBLE_CLASS);
}

} // namespace

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[])
{
    if (nrhs != 3)
        mexErrMsgTxt(msgInputCount);

    const mxArray *logPi = prhs[0];
    const mxArray *logA = prhs[1];
    const mxArray *logB = prhs[2];

    // Any other class or a sparse array would have its storage read as a
    // dense block of doubles, past its end. Each data pointer is taken
    // before the array's extents are asked for (mexhost::settle says why).
    const double *data[3];
    for (int k = 0; k < 3; ++k) {
        mexhost::requireFullDouble(prhs[k], msgClass, msgSparse);
        data[k] = mxGetPr(prhs[k]);
    }
    // logA may have further pages (only its first N x N block is read), but
    // that block must be there: an N x N x 0 array holds none of it.
    trellis::Model model;
    model.n = mexhost::extent(logA, 0);
    if (mexhost::extent(logA, 1) != model.n ||
        mexhost::elementCount(logA) < mexhost::countProduct(model.n, model.n))
        mexErrMsgTxt(msgSquare);

    // T is logB's second extent; a zero third extent (or any shape whose
    // elements fall short of N x T) would leave the steps reading past it.
    model.t = mexhost::extent(logB, 1);
    if (mexhost::extent(logB, 0) != model.n)
        mexErrMsgTxt(msgRows);
    if (mexhost::elementCount(logB) < mexhost::countProduct(model.n, model.t))
        mexErrMsgTxt(msgShortB);
    if (mexhost::elementCount(logPi) < model.n)
        mexErrMsgTxt(msgPi);
    // The other outputs are as large as logB and the scratch as logA, which
    // exist; only logXi is larger than any input.
    if (nlhs > 3 && !mexhost::addressable(mexhost::countProduct(model.n * model.n, model.t), sizeof(double)))
        mexErrMsgTxt(msgXiSize);

    model.logPi = data[0];
    model.logA = data[1];
    model.logB = data[2];

    // The scratch blocks in order (trellis::scratchSizes), the scaled sums'
    // last, where there are steps to sum (T > 1) and it can be addressed
    // (otherwise every sum is the exact log-sum-exp). A large pass with more
    // than one output runs on two threads: the second takes a set of its
    // own (each thread's half of the posteriors sums its steps' normalisers
    // in its own N^2 work matrix).
    const std::int64_t n = model.n;
    std::int64_t sizes[trellis::scratchBlocks];
    trellis::scratchSizes(n, sizes);
    const int last = trellis::scratchBlocks - 1;
    const bool scaled = n > 0 && model.t > 1 && mexhost::addressable(sizes[last], sizeof(double));
    const bool twoThreads = nlhs > 1 && scaled && trellis::twoThreadsPay(n, model.t);
    double *blocks[2][trellis::scratchBlocks] = {};
    for (int set = 0; set < (twoThreads ? 2 : 1); ++set)
        for (int k = 0; k < (scaled ? last + 1 : last); ++k)
            blocks[set][k] = scratch(sizes[k]);
    const trellis::Scratch work = trellis::scratchOver(blocks[0]);
    const trellis::Scratch second = trellis::scratchOver(blocks[1]);

    // logAlpha, logBeta and logGamma take logB's first two extents.
    const mwSize *shape = mxGetDimensions(logB);

    // Every requested output (at most four; logAlpha also when none is)
    // exists before the computation starts.
    const int outputs = nlhs < 1 ? 1 : nlhs > 4 ? 4 : nlhs;
    double *out[4] = {nullptr, nullptr, nullptr, nullptr};
    for (int k = 0; k < outputs && k < 3; ++k) {
        plhs[k] = createDouble(2, shape);
        out[k] = mxGetPr(plhs[k]);
    }
    if (outputs > 3) {
        const mwSize xiShape[3] = {shape[0], shape[0], shape[1]};
        plhs[3] = createDouble(3, xiShape);
        out[3] = mxGetPr(plhs[3]);
    }

    const fpstate::Saved caller = fpstate::enter();
    trellis::forwardBackward(model, work, outputs, out[0], out[1], out[2], out[3], twoThreads ? &second : nullptr);
    fpstate::leave(caller);

    for (double *const *set : blocks)
        for (int k = 0; k < trellis::scratchBlocks; ++k)
            if (set[k])
                mxFree(set[k]);
}
