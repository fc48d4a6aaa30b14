## The plug-ins at the boundary of a call, called through the test-only
## plug-in zeb_call_under (tests/octave/zeb_call_under.cpp) from a caller
## that left another floating-point state (each rounding mode, flush-to-
## zero, denormals-are-zero, flags raised): the same bits as from a caller
## in the default state, the caller's state given back (control bits
## exactly, no raised flag cleared), and the upper halves of the vector
## registers never left in use. Every NaN trellisPass and logTotals write
## is the one NaN 0x7FF8000000000000, whatever made it.

%!function x = from_bits (b)
%!  x = typecast (uint64 (b), "double");
%!endfunction

## NaNs of both signs and with payloads, infinities, log zeros, exponents
## whose terms underflow, subnormals, -0.
%!function x = special (varargin)
%!  v = [NaN, from_bits(0xFFF8000000000000), from_bits(0x7FF00000000000A5), ...
%!       from_bits(0xFFF4000000000001), Inf, -Inf, -1e300, -740.25, -745, ...
%!       from_bits(0x000FFFFFFFFFFFFF), -from_bits(1), -0];
%!  x = round (64 * (4 * rand (varargin{:}) - 3)) / 64;
%!  pick = rand (size (x)) < 0.25;
%!  x(pick) = v(randi (numel (v), nnz (pick), 1));
%!endfunction

%!function assert_one_nan (outs)
%!  for k = 1:numel (outs)
%!    b = typecast (outs{k}(isnan (outs{k}))(:), "uint64");
%!    assert (all (b == 0x7FF8000000000000), "a NaN with other bits");
%!  endfor
%!endfunction

## Calls NAME for NOUT outputs from a caller in the default state and in
## each other state; returns the default call's outputs.
%!function outs = same_from_every_state (nout, name, varargin)
%!  outs = cell (1, nout);
%!  [~, upper, outs{:}] = zeb_call_under (0, nout, name, varargin{:});
%!  assert (upper != 1, "%s left the upper vector state in use", name);
%!  for s = double ([0x5F80 0x3F80 0x7F80 0x9F80 0x1FC0 0xDFFF])
%!    again = cell (1, nout);
%!    [after, upper, again{:}] = zeb_call_under (s, nout, name, varargin{:});
%!    assert (upper != 1, "%s left the upper vector state in use", name);
%!    if (after != 0)   # 0: no MXCSR on this processor
%!      assert (bitand (after, 0xFFC0) == bitand (s, 0xFFC0), "%s changed the control bits", name);
%!      assert (bitand (after, s) == s, "%s cleared a raised flag", name);
%!    endif
%!    for k = 1:nout
%!      assert (class (again{k}), class (outs{k}));
%!      assert (isequal (typecast (again{k}(:), "uint8"), typecast (outs{k}(:), "uint8")),
%!              "%s output %d differs in state %x", name, k, s);
%!    endfor
%!  endfor
%!endfunction

%!test
%! ## logTotals over column counts 1 to 17 (every route through the kernel's
%! ## lanes), and a matrix whose NaNs come from Inf - Inf in several columns.
%! rand ("seed", 3);
%! for cols = 1:17
%!   for rows = [1 5]
%!     assert_one_nan (same_from_every_state (1, "logTotals", special (rows, cols)));
%!   endfor
%! endfor
%! X = [-Inf -2 0 NaN; 0 Inf 1 -2; -Inf 1 -2 -2; NaN NaN Inf -2; -Inf 0 NaN -Inf];
%! t = same_from_every_state (1, "logTotals", X);
%! assert (all (isnan (t{1})));
%! assert_one_nan (t);
%! assert_one_nan ({logTotals([from_bits(0xFFF8000000000000); 1]), logTotals([Inf; Inf])});

%!test
%! ## trellisPass: every output count, N = 1 to 9.
%! rand ("seed", 4);
%! for n = 1:9
%!   for nout = 1:4
%!     outs = same_from_every_state (nout, "trellisPass", special (n, 1), special (n, n), special (n, 6));
%!     assert_one_nan (outs);
%!   endfor
%! endfor
%! ## An infinite transition: NaN from Inf - Inf in the posteriors.
%! logA = [Inf NaN Inf -1; -1 -1 -1 -1; -1 0 -1 -1; 0 -1 -1 -1];
%! logB = [0 0 0; 0 NaN 0; 0 0 0; 0 0 0];
%! outs = same_from_every_state (4, "trellisPass", [-1 -1 -0 -1], logA, logB);
%! assert (isnan (outs{1}(10)) && isnan (outs{3}(10)));
%! assert_one_nan (outs);

%!test
%! ## zebUtilObliqueVote: rows with NaN, infinities and subnormals, and a
%! ## split a flushed subnormal or another rounding would turn round.
%! rand ("seed", 5);
%! tree = struct ("W", [1/3 Inf Inf; 1 1 1], "featureIndices", [1 1 1; 2 2 2],
%!                "threshold", [1 0 0], "terminalVote", [0 1 2], "treeIndices", [0 1 1]);
%! v = same_from_every_state (1, "zebUtilObliqueVote", tree, [special(40, 2); 3 0], 2);
%! assert (v{1}(end, :), [0 1]);   # (1/3)*3 is 1 rounded to nearest, below 1 rounded down
%! tree.W(1) = 1; tree.threshold(1) = 0;
%! v = same_from_every_state (1, "zebUtilObliqueVote", tree, [-from_bits(1) 0; from_bits(1) 0], 2);
%! assert (v{1}, [1 0; 0 1]);     # -2^-1074 < 0, but -0 after a flush

%!test
%! ## cumsumInt: every class (its widest registers run on the larger arrays).
%! for c = {"int8", "uint8", "int16", "uint16", "int32", "uint32", "int64", "uint64"}
%!   for n = [3 100]
%!     A = cast (randi ([0 100], n, 3), c{1});
%!     same_from_every_state (1, "cumsumInt", A);
%!   endfor
%! endfor
