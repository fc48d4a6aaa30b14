%CUMSUMINT  Cumulative sum of an integer array that wraps around.
%   B = cumsumInt(A) returns the running sum down each column of A, in A's
%   own integer class: B(i,j,...) = A(1,j,...) + ... + A(i,j,...), reduced
%   modulo 2^w into the class's range (w = 8, 16, 32 or 64), that is with
%   two's complement wrap-around. Every page of an N-D array is summed, as
%   cumsum(A, 1) does.
%
%   Unlike the built-in cumsum, whose integer sums saturate at the class's
%   limits (intmax, intmin) where they keep the class, cumsumInt never
%   saturates and never widens:
%     cumsumInt(int8([100; 100; 100]))         % int8 [100; -56; 44]
%     cumsum(int8([100; 100; 100]), 'native')  % int8 [100; 127; 127]
%   which is what counters, phase accumulators and checksums need. (Octave's
%   plain cumsum of an integer array returns doubles.)
%
%   A must be of class int8, uint8, int16, uint16, int32, uint32, int64 or
%   uint64; any other class is refused, except empty double and single
%   arrays. A complex A is summed through its real part and the result is
%   real. Empty arrays come back empty, with A's shape and class.
%
%   This file holds the help text only; the function is the compiled MEX file
%   beside it.
