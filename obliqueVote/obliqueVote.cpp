// Gateway of the oblique tree vote:  V = zebUtilObliqueVote(tree, X, nClasses)
// Every row of X descends one oblique binary tree, given as a structure of
// node tables, and gets a one-hot vote for its leaf's class.
//
// No objects with destructors live in this function: a refused check or a
// host failure ends the call from inside the host, which then releases what
// the call had allocated (the output included).
#include "fpState.h"
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
    if (mxGetClassID(prhs[0]) != mxSTRUCT_CLASS)
        mexErrMsgTxt(msgMissing[0]);
    mexhost::settle(prhs[0]);
    if (mexhost::elementCount(prhs[0]) == 0)
        mexErrMsgTxt(msgMissing[0]);
    const mxArray *fields[5];
    for (int f = 0; f < 5; ++f) {
        fields[f] = mxGetField(prhs[0], 0, fieldNames[f]);
        if (!fields[f])
            mexErrMsgTxt(msgMissing[f]);
    }
    // Every data pointer that may be read is taken before any extent is
    // asked for (mexhost::settle says why).
    // (An empty array's data pointer may be null.)
    bool fieldFull[5];
    const double *fieldData[5] = {};
    for (int f = 0; f < 5; ++f) {
        fieldFull[f] = mexhost::isFullDouble(fields[f]);
        if (fieldFull[f])
            fieldData[f] = mxGetPr(fields[f]);
    }
    const bool xFull = mexhost::isFullDouble(prhs[1]);
    const bool countFull = mexhost::isFullDouble(prhs[2]);
    const double *xData = xFull ? mxGetPr(prhs[1]) : nullptr;
    const double *countData = countFull ? mxGetPr(prhs[2]) : nullptr;

    // A root whose first weight is not finite is a leaf: every row stops
    // there, and featureIndices, threshold and treeIndices are never read,
    // so they are not checked either.
    const mxArray *w = fields[0];
    const std::int64_t d = mexhost::extent(w, 0);
    const std::int64_t wCount = mexhost::elementCount(w);
    const bool wReadable = fieldFull[0] && d > 0 && wCount > 0;
    const bool rootIsLeaf = wReadable && !mxIsFinite(fieldData[0][0]);
    const bool fieldRead[5] = {true, !rootIsLeaf, !rootIsLeaf, true, !rootIsLeaf};

    for (int f = 0; f < 5; ++f)
        if (fieldRead[f] && !fieldFull[f])
            mexErrMsgTxt(msgFieldClass[f]);
    if (!xFull)
        mexErrMsgTxt(msgDataClass);
    if (!countFull)
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
    // Truncated toward zero; a negative count gives no columns, as zeros(N, -3)
    // does. Comparing a subnormal count raises the denormal flag, truncating
    // 3.9 the inexact one: neither may reach the caller's state.
    const double count = countData[0];
    const fpstate::Saved callerAtCount = fpstate::enter();
    const bool countInRange = count > -2147483649.0 && count < 2147483648.0; // false for NaN
    const std::int64_t k = countInRange && count > 0 ? static_cast<std::int64_t>(count) : 0;
    fpstate::leave(callerAtCount);
    if (!mxIsFinite(count) || !countInRange)
        mexErrMsgTxt(msgBadCount);

    tree.W = fieldData[0];
    tree.terminalVote = fieldData[3];
    if (!rootIsLeaf) {
        tree.featureIndices = fieldData[1];
        tree.threshold = fieldData[2];
        tree.treeIndices = fieldData[4];
    }

    oblique::Data data;
    data.x = xData;
    data.rows = mexhost::extent(prhs[1], 0);
    data.columns = data.rows > 0 ? mexhost::elementCount(prhs[1]) / data.rows : 0;

    // The host may multiply rows by columns by 8 without an overflow check.
    if (!mexhost::addressable(mexhost::countProduct(data.rows, k), sizeof(double)))
        mexErrMsgTxt(msgTooLarge);

    // Every vote is written (a fault ends the call, and the host discards
    // the output).
    plhs[0] = mexhost::createWrittenMatrix(static_cast<mwSize>(data.rows), static_cast<mwSize>(k));
    if (data.rows == 0)
        return;

    // The node table: each node's children, kind and feature columns, found
    // once for the call (its size is bounded by W's and treeIndices' own,
    // which exist), and the block descent's lists (six doubles per row of a
    // block of at most 4096, for each thread). Where even that cannot be
    // addressed, the children alone (2M 32-bit integers; M doubles of
    // treeIndices exist) and a descent that checks each node as it goes. A
    // leaf root needs neither.
    // The projections and their comparisons run under the module's own
    // floating-point state, so the same rows take the same branches
    // whatever rounding mode the caller left.
    double *table = nullptr;
    std::int32_t *children = nullptr;
    int parts = 1;
    if (!rootIsLeaf) {
        parts = oblique::rowParts(tree, data);
        const std::int64_t size = oblique::nodeTableDoubles(tree, data, parts);
        if (mexhost::addressable(size, sizeof(double)))
            table = static_cast<double *>(mxCalloc(static_cast<std::size_t>(size), sizeof(double)));
        else
            children = static_cast<std::int32_t *>(mxCalloc(2 * static_cast<std::size_t>(tree.m), sizeof(std::int32_t)));
    }
    double *votes = mxGetPr(plhs[0]);
    const fpstate::Saved caller = fpstate::enter();
    oblique::Outcome o;
    if (table) {
        oblique::compileTree(tree, data, k, parts, table);
        o = oblique::evaluateCompiled(tree, table, data, k, votes);
    } else {
        if (children)
            oblique::buildChildren(tree, children);
        o = oblique::evaluateTree(tree, children, data, k, votes);
    }
    fpstate::leave(caller);
    if (table)
        mxFree(table);
    if (children)
        mxFree(children);
    if (o.fault != oblique::Fault::None)
        refuseFault(o, tree.m);
}
