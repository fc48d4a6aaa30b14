// Gateway of the oblique tree vote:  V = zebUtilObliqueVote(tree, X, nClasses)
// Every row of X descends one oblique binary tree, given as a structure of
// node tables, and gets a one-hot vote for its leaf's class.
//
// No objects with destructors live in this function: a refused check or a
// host failure ends the call from inside the host, which then releases what
// the call had allocated (the output included).
#include "mexhost.h"
#include "obliqueCore.h"

#include <cstdio>

namespace {

const char *const fieldNames[5] = {"W", "featureIndices", "threshold", "terminalVote", "treeIndices"};

const char *const msgInputs = "obliqueVote requires three input arguments";
const char *const msgOutputs = "obliqueVote requires one output arguments";
const char *const msgMissing[5] = {
    "obliqueVote requires argument 1 must have field 'W'",
    "obliqueVote requires argument 1 must have field 'featureIndices'",
    "obliqueVote requires argument 1 must have field 'threshold'",
    "obliqueVote requires argument 1 must have field 'terminalVote'",
    "obliqueVote requires argument 1 must have field 'treeIndices'",
};
const char *const msgFieldClass[5] = {
    "obliqueVote requires field 'W' to be a full double array",
    "obliqueVote requires field 'featureIndices' to be a full double array",
    "obliqueVote requires field 'threshold' to be a full double array",
    "obliqueVote requires field 'terminalVote' to be a full double array",
    "obliqueVote requires field 'treeIndices' to be a full double array",
};
const char *const msgDataClass = "obliqueVote requires argument 2 to be a full double array";
const char *const msgCountClass = "obliqueVote requires argument 3 to be a full double array";
const char *const msgEmptyW = "obliqueVote requires a non-empty field 'W'";
const char *const msgEmptyTree = "obliqueVote requires a non-empty field 'treeIndices'";
const char *const msgTooManyNodes = "obliqueVote requires fewer than 2^31 nodes";
const char *const msgNoCount = "obliqueVote requires a class count as argument 3";
const char *const msgBadCount = "obliqueVote requires a finite class count within the 32-bit range";
const char *const msgTooLarge = "obliqueVote requires an output (rows of X times classes) small enough to address";

// The message for a descent that could not go on, naming the node.
void refuseFault(const oblique::Outcome &o, std::int64_t steps)
{
    const char *format = "obliqueVote: node %lld uses a feature index outside the columns of X";
    switch (o.fault) {
    case oblique::Fault::MissingChild:
        format = "obliqueVote: internal node %lld has fewer than two children";
        break;
    case oblique::Fault::NodeBeyondW:
        format = "obliqueVote: node %lld lies beyond the columns of field 'W'";
        break;
    case oblique::Fault::NodeBeyondFeatures:
        format = "obliqueVote: node %lld lies beyond the columns of field 'featureIndices'";
        break;
    case oblique::Fault::NodeBeyondThreshold:
        format = "obliqueVote: node %lld lies beyond the entries of field 'threshold'";
        break;
    case oblique::Fault::NodeBeyondVote:
        format = "obliqueVote: node %lld lies beyond the entries of field 'terminalVote'";
        break;
    default:
        break;
    }
    char text[160];
    if (o.fault == oblique::Fault::Cycle)
        std::snprintf(text, sizeof text, "obliqueVote: no leaf within %lld steps, the tree has a cycle through node %lld",
                      static_cast<long long>(steps), static_cast<long long>(o.node));
    else
        std::snprintf(text, sizeof text, format, static_cast<long long>(o.node));
    mexErrMsgTxt(text);
}

} // namespace

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[])
{
    if (nrhs != 3)
        mexErrMsgTxt(msgInputs);
    if (nlhs != 1)
        mexErrMsgTxt(msgOutputs);

    // Anything but a structure with an element has no fields: W is the
    // first one found missing. (Octave's field lookup refuses non-structures.)
    if (mxGetClassID(prhs[0]) != mxSTRUCT_CLASS || mexhost::elementCount(prhs[0]) == 0)
        mexErrMsgTxt(msgMissing[0]);
    const mxArray *fields[5];
    for (int f = 0; f < 5; ++f) {
        fields[f] = mxGetField(prhs[0], 0, fieldNames[f]);
        if (!fields[f])
            mexErrMsgTxt(msgMissing[f]);
    }

    // A root whose first weight is not finite is a leaf: every row stops
    // there, and featureIndices, threshold and treeIndices are never read,
    // so they are not checked either.
    const mxArray *w = fields[0];
    const std::int64_t d = mexhost::extent(w, 0);
    const std::int64_t wCount = mexhost::elementCount(w);
    const bool wReadable = mexhost::isFullDouble(w) && d > 0 && wCount > 0;
    const bool rootIsLeaf = wReadable && !mxIsFinite(mxGetPr(w)[0]);
    const bool fieldRead[5] = {true, !rootIsLeaf, !rootIsLeaf, true, !rootIsLeaf};

    for (int f = 0; f < 5; ++f)
        if (fieldRead[f] && !mexhost::isFullDouble(fields[f]))
            mexErrMsgTxt(msgFieldClass[f]);
    if (!mexhost::isFullDouble(prhs[1]))
        mexErrMsgTxt(msgDataClass);
    if (!mexhost::isFullDouble(prhs[2]))
        mexErrMsgTxt(msgCountClass);

    oblique::ObliqueTree tree = {};
    tree.d = d;
    if (tree.d <= 0 || wCount == 0)
        mexErrMsgTxt(msgEmptyW);
    if (!rootIsLeaf) {
        tree.m = mexhost::elementCount(fields[4]);
        if (tree.m == 0)
            mexErrMsgTxt(msgEmptyTree);
        if (tree.m > 2147483647)
            mexErrMsgTxt(msgTooManyNodes);
        tree.featureColumns = mexhost::elementCount(fields[1]) / tree.d;
        tree.thresholds = mexhost::elementCount(fields[2]);
    }
    tree.wColumns = wCount / tree.d;
    tree.votes = mexhost::elementCount(fields[3]);

    if (mexhost::elementCount(prhs[2]) == 0)
        mexErrMsgTxt(msgNoCount);
    const double count = mxGetPr(prhs[2])[0];
    if (!mxIsFinite(count) || !(count > -2147483649.0 && count < 2147483648.0))
        mexErrMsgTxt(msgBadCount);
    // Truncated toward zero; a negative count gives no columns, as zeros(N, -3) does.
    const std::int64_t k = count > 0 ? static_cast<std::int64_t>(count) : 0;

    tree.W = mxGetPr(w);
    tree.terminalVote = mxGetPr(fields[3]);
    if (!rootIsLeaf) {
        tree.featureIndices = mxGetPr(fields[1]);
        tree.threshold = mxGetPr(fields[2]);
        tree.treeIndices = mxGetPr(fields[4]);
    }

    oblique::Data data;
    data.x = mxGetPr(prhs[1]);
    data.rows = mexhost::extent(prhs[1], 0);
    data.columns = data.rows > 0 ? mexhost::elementCount(prhs[1]) / data.rows : 0;

    // The host may multiply rows by columns by 8 without an overflow check.
    if (!mexhost::addressable(mexhost::countProduct(data.rows, k), sizeof(double)))
        mexErrMsgTxt(msgTooLarge);

    plhs[0] = mxCreateDoubleMatrix(static_cast<mwSize>(data.rows), static_cast<mwSize>(k), mxREAL);
    if (data.rows == 0)
        return;

    // Each node's first two children, found in one pass over treeIndices
    // (M entries of 8 bytes each exist, so 2M of 4 bytes are addressable).
    // A leaf root has no children to look up.
    std::int32_t *children = nullptr;
    if (!rootIsLeaf) {
        children = static_cast<std::int32_t *>(mxCalloc(2 * static_cast<std::size_t>(tree.m), sizeof(std::int32_t)));
        oblique::buildChildren(tree, children);
    }
    const oblique::Outcome o = oblique::evaluateTree(tree, children, data, k, mxGetPr(plhs[0]));
    if (children)
        mxFree(children);
    if (o.fault != oblique::Fault::None)
        refuseFault(o, tree.m);
}
