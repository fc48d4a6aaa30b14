## Tests of the logTotals Octave plug-in against plain m-code written from
## its definition: per column, the maximum by strict comparison from the
## first row, then the exponentials of the shifted entries added in row
## order, then the log, then the maximum added back.
##
## The plug-in uses its own exp and log, the reference Octave's: results may
## differ by 4 ulps of the larger of the result's magnitude and 1 at most
## (near_totals); -Inf, Inf and NaN must match exactly.

%!function ok = near_totals (t, r)
%!  ok = bits_equal (t, r, 4 * eps * max (abs (r), 1));
%!endfunction

%!function s = ref_totals (X)
%!  [R, K] = size (X);
%!  s = zeros (1, K);
%!  for k = 1:K
%!    if (R == 0)
%!      s(k) = -Inf;
%!      continue;
%!    endif
%!    m = X(1,k);
%!    for r = 2:R
%!      if (X(r,k) > m)
%!        m = X(r,k);
%!      endif
%!    endfor
%!    acc = 0;
%!    for r = 1:R
%!      acc = exp (X(r,k) - m) + acc;
%!    endfor
%!    s(k) = log (acc) + m;
%!  endfor
%!endfunction

%!test
%! rand ("seed", 1); randn ("seed", 1);
%! shapes = [1 1; 1 9; 9 1; 2 2; 17 3; 3 17; 64 64; 250 4; 1000 2];
%! for k = 1:rows (shapes)
%!   X = 40 * randn (shapes(k,:)) - 20;
%!   assert (near_totals (logTotals (X), ref_totals (X)), true,
%!           sprintf ("%dx%d beyond the bound", shapes(k,1), shapes(k,2)));
%! endfor

%!test
%! ## many small random shapes with ties, -Inf and -1e300 mixed in
%! rand ("seed", 2);
%! for k = 1:200
%!   X = round (4 * rand (randi (12), randi (6))) - 2;
%!   X(rand (size (X)) < 0.1) = -Inf;
%!   X(rand (size (X)) < 0.1) = -1e300;
%!   assert (near_totals (logTotals (X), ref_totals (X)));
%! endfor

%!test
%! ## edge values
%! t = logTotals ([-0, 3.5, -7]);
%! assert (t, [0, 3.5, -7]);
%! assert (1 ./ t(1), Inf);                        # -0 comes back as +0
%! assert (logTotals ([1 3; 2 4]), [2 4] + log (1 + exp (-1)));
%! assert (isequal (logTotals ([1000 -1000; 1000 -1000]), [1000 -1000] + log (2)));
%! assert (isequal (logTotals (zeros (5, 2)), log ([5 5])));
%! assert (isequal (logTotals ([-1e300; -1e300; -1e300]), -1e300));
%! assert (isequal (logTotals ([1; -1e300; 2]), logTotals ([1; 2])));
%! assert (isequal (logTotals ([1; -Inf; 2]), logTotals ([1; 2])));
%! assert (isnan (logTotals ([-Inf; -Inf])));
%! assert (all (isnan (logTotals ([1 NaN 1; Inf 2 2; 3 3 NaN]))));

%!test
%! ## empty shapes, complex input, no output requested
%! assert (size (logTotals (zeros (0, 0))), [1 0]);
%! assert (size (logTotals (zeros (4, 0))), [1 0]);
%! assert (logTotals (zeros (0, 3)), -Inf (1, 3));
%! X = randn (5, 3);
%! assert (isequal (logTotals (complex (X, ones (5, 3))), logTotals (X)));
%! logTotals (X);
%! assert (isequal (ans, logTotals (X)));

%!error <Invalid number of inputs. Must be 1.> logTotals ()
%!error <logTotals\(\) only accepts 2D input.> logTotals (zeros (2, 2, 2))
%!error <logTotals\(\) only accepts 2D input.> logTotals (zeros (2, 2, 2), 1)
%!error <Invalid number of inputs. Must be 1.> logTotals (zeros (2, 2), 1)
%!error <logTotals\(\) only accepts double input.> logTotals (single ([1 2]))
%!error <logTotals\(\) only accepts double input.> logTotals (int8 ([1 2]))
%!error <logTotals\(\) only accepts double input.> logTotals (true (2))
%!error <logTotals\(\) only accepts double input.> logTotals ({1})
%!error <logTotals\(\) does not accept sparse input.> logTotals (sparse ([1 0; 0 1]))
%!error <logTotals\(\) output is too large to address.> logTotals (zeros (0, 2^61))
%!error <logTotals\(\) output is too large to address.> logTotals (zeros (0, 2^62))
