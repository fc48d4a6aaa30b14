%LOGTOTALS  Stable log of the column sums of exponentials.
%   T = logTotals(X) returns the 1-by-N row T(j) = log(sum(exp(X(:,j)))) for
%   an R-by-N real double matrix X, computed as m + log(sum(exp(X(:,j) - m)))
%   with m the column's largest entry, so that nothing overflows: a column
%   [1000; 1000] gives 1000 + log(2).
%
%   Non-finite entries: a column that is entirely -Inf gives NaN; a -Inf
%   among finite entries adds nothing; +Inf or NaN anywhere gives NaN.
%   A matrix with no rows gives -Inf for each column (the log of an empty
%   sum); one with no columns gives a 1-by-0 row.
%
%   X must be a full 2-D double matrix; a complex X is read through its real
%   part. On 64-bit Windows the file is named zebUtilLogTotals. exp and log
%   are the package's own: the same bits on every platform, possibly not
%   those of m-code using the built-in ones in the last bits.
%
%   This file holds the help text only; the function is the compiled MEX file
%   beside it.
