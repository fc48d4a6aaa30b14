## Tests of the trellisPass Octave plug-in against a plain m-code
## forward-backward pass written from the pass's definition: every sum over
## states is a log-sum-exp that shifts by the column maximum (strict
## comparison, first of ties) and adds the terms in row order.
##
## The plug-in uses its own exp and log, the reference Octave's: they may
## differ by an ulp or so per call. The bound allowed is 8 ulps of the
## larger of the outputs' magnitudes and 1, per time step, accumulated over
## the T steps (close_pass below); -Inf, Inf and NaN must match exactly.

%!function s = ref_lse (X)
%!  [R, K] = size (X);
%!  if (R == 0)
%!    s = -Inf (1, K);
%!    return;
%!  endif
%!  m = X(1,:);
%!  for r = 2:R
%!    sel = X(r,:) > m;
%!    m(sel) = X(r,sel);
%!  endfor
%!  s = zeros (1, K);
%!  for r = 1:R
%!    s = exp (X(r,:) - m) + s;
%!  endfor
%!  s = log (s) + m;
%!  ## a sum of terms that are all log 0 is log 0 (a NaN term stays NaN)
%!  s(m == -Inf & ! any (isnan (X), 1)) = -Inf;
%!endfunction

%!function [la, lb, lg, lx] = ref_pass (lpi, lA, lB)
%!  N = rows (lA);
%!  T = columns (lB);
%!  la = zeros (N, T); lb = zeros (N, T); lg = zeros (N, T); lx = zeros (N, N, T);
%!  if (N == 0 || T == 0)
%!    return;
%!  endif
%!  la(:,1) = lpi(1:N)(:) + lB(:,1);
%!  for t = 2:T
%!    W = la(:,t-1) + lA;                 # W(k,j): from k at t-1 into j at t
%!    la(:,t) = ref_lse (W)(:) + lB(:,t);
%!  endfor
%!  for t = T-1:-1:1
%!    W = (lB(:,t+1) + lb(:,t+1)) + lA.'; # W(k,j): from j at t into k at t+1
%!    lb(:,t) = ref_lse (W)(:);
%!  endfor
%!  for t = 1:T
%!    v = la(:,t) + lb(:,t);
%!    lg(:,t) = v - ref_lse (v);
%!  endfor
%!  for t = 1:T-1
%!    W = ((lA.' + lB(:,t+1)) + lb(:,t+1)) + la(:,t).'; # W(j,i): i at t, j at t+1
%!    lx(:,:,t) = (W - ref_lse (W(:))).';
%!  endfor
%!  lx(:,:,T) = -1e300;
%!endfunction

%!function ok = close_pass (a, b, g, x, ra, rb, rg, rx)
%!  T = columns (ra);
%!  fin = [ra(isfinite (ra))(:); rb(isfinite (rb))(:)];
%!  tol = 8 * eps * max ([1; abs(fin(:))]) * max (T, 1);
%!  ok = bits_equal (a, ra, tol) && bits_equal (b, rb, tol) && bits_equal (g, rg, tol) ...
%!       && bits_equal (x(:,:,1:end-1), rx(:,:,1:end-1), tol) && bits_equal (x(:,:,end), rx(:,:,end));
%!endfunction

%!function [lpi, lA, lB] = random_model (N, T)
%!  p = rand (N, 1) + 0.01;   lpi = log (p / sum (p));
%!  A = rand (N, N) + 0.01;   lA = log (A ./ sum (A, 2));
%!  lB = log (rand (N, T) + 1e-3);
%!endfunction

%!test
%! rand ("seed", 42);
%! sizes = [1 1; 1 300; 2 7; 3 1; 5 120; 8 300; 13 45; 20 300; 20 1; 17 2];
%! for k = 1:rows (sizes)
%!   [lpi, lA, lB] = random_model (sizes(k,1), sizes(k,2));
%!   [a, b, g, x] = trellisPass (lpi, lA, lB);
%!   [ra, rb, rg, rx] = ref_pass (lpi, lA, lB);
%!   assert (close_pass (a, b, g, x, ra, rb, rg, rx), true,
%!           sprintf ("N=%d T=%d beyond the bound", sizes(k,1), sizes(k,2)));
%! endfor

%!test
%! ## random sizes, random orientation of logPi, impossible moves as -1e300
%! rand ("seed", 7);
%! for k = 1:8
%!   N = randi (20); T = randi (300);
%!   [lpi, lA, lB] = random_model (N, T);
%!   lA(rand (N) < 0.2) = -1e300;
%!   [a, b, g, x] = trellisPass (lpi.', lA, lB);
%!   [ra, rb, rg, rx] = ref_pass (lpi, lA, lB);
%!   assert (close_pass (a, b, g, x, ra, rb, rg, rx));
%! endfor

%!test
%! ## near the top of the double range a term that overflows makes its sum
%! ## NaN, on every route, as in the literal recurrence: from a large logA,
%! ## or from variables that grow there over the steps
%! a = trellisPass (0, 8.5e307, zeros (1, 4));
%! assert (isfinite (a(3)) && isnan (a(4)));
%! rand ("seed", 3);
%! for N = [1 4 5 17]
%!   [lpi, lA, lB] = random_model (N, 300);
%!   [a, b, g, x] = trellisPass (lpi, lA, lB + 1e306);
%!   [ra, rb, rg, rx] = ref_pass (lpi, lA, lB + 1e306);
%!   assert (any (isnan (ra(:))) && close_pass (a, b, g, x, ra, rb, rg, rx), true, sprintf ("N=%d", N));
%! endfor

%!test
%! ## fewer outputs give the same leading outputs
%! [lpi, lA, lB] = random_model (4, 50);
%! [a4, b4, g4] = trellisPass (lpi, lA, lB);
%! a1 = trellisPass (lpi, lA, lB);
%! [a2, b2] = trellisPass (lpi, lA, lB);
%! assert (isequal (a1, a4) && isequal (a2, a4) && isequal (b2, b4));

%!test
%! ## posteriors are normalised
%! [lpi, lA, lB] = random_model (6, 80);
%! [~, ~, g, x] = trellisPass (lpi, lA, lB);
%! assert (sum (exp (g), 1), ones (1, 80), 1e-12);
%! assert (squeeze (sum (sum (exp (x(:,:,1:end-1)), 1), 2)).', ones (1, 79), 1e-12);
%! assert (squeeze (sum (exp (x(:,:,1:end-1)), 2)), exp (g(:,1:end-1)), 1e-12);

%!test
%! ## empty models give empty outputs of matching shapes
%! [a, b, g, x] = trellisPass (zeros (3, 1), zeros (3), zeros (3, 0));
%! assert (size (a), [3 0]); assert (size (g), [3 0]); assert (size (x), [3 3 0]);
%! [a, ~, ~, x] = trellisPass (zeros (0, 1), zeros (0), zeros (0, 5));
%! assert (size (a), [0 5]); assert (size (x), [0 0 5]);

%!test
%! ## a complex input is read through its real part
%! [lpi, lA, lB] = random_model (3, 10);
%! assert (isequal (trellisPass (complex (lpi, 1), lA, lB), trellisPass (lpi, lA, lB)));

%!test
%! ## log(0) transitions of a left-to-right model: states nothing reaches
%! ## yet are log 0, never NaN, and agree with the probability-domain pass
%! A = [.5 .5 0; 0 .5 .5; 0 0 1]; B = [.9 .1; .2 .8; .5 .5]; o = [1 2 2 1 2];
%! [la, lb, lg, lx] = trellisPass (log ([1 0 0]), log (A), log (B(:,o)));
%! [ra, rb, rg, rx] = ref_pass (log ([1 0 0]), log (A), log (B(:,o)));
%! assert (close_pass (la, lb, lg, lx, ra, rb, rg, rx));
%! assert (! any (isnan ([la(:); lb(:); lg(:); lx(:)])));
%! alpha = zeros (3, 5); alpha(:,1) = [1; 0; 0] .* B(:,o(1));
%! for t = 2:5
%!   alpha(:,t) = (A.' * alpha(:,t-1)) .* B(:,o(t));
%! endfor
%! assert (la(3,3), -2.4079, 1e-4);
%! assert (exp (la), alpha, 1e-15);
%! assert (la(2:3,1), [-Inf; -Inf]);
%! assert (lg(3,1:2), [-Inf -Inf]);
%! ## a state that no state can reach is log 0 throughout
%! A2 = [.5 .5 0; .5 .5 0; .5 .5 0];
%! [la, ~, lg] = trellisPass (log ([.5 .5 0]), log (A2), zeros (3, 4));
%! assert (la(3,:), -Inf (1, 4)); assert (lg(3,:), -Inf (1, 4));
%! assert (! any (isnan ([la(:); lg(:)])));

%!test
%! ## logA with further pages: only the first N x N page is read
%! [lpi, lA, lB] = random_model (3, 20);
%! [a, b, g, x] = trellisPass (lpi, cat (3, lA, NaN (3), Inf (3)), lB);
%! [a0, b0, g0, x0] = trellisPass (lpi, lA, lB);
%! assert (isequal (a, a0) && isequal (b, b0) && isequal (g, g0) && isequal (x, x0));

%!error <Invalid number of inputs. Must be 3.> trellisPass (0, 0)
%!error <Invalid number of inputs. Must be 3.> trellisPass (0, 0, 0, 0)
%!error <Invalid number of inputs. Must be 3.> trellisPass ()
%!error <Inputs must be double arrays.> trellisPass (int8 (0), 0, 0)
%!error <Inputs must be double arrays.> trellisPass (0, single (0), 0)
%!error <Inputs must be double arrays.> trellisPass (0, 0, {0})
%!error <Inputs must not be sparse.> trellisPass (0, sparse (0), 0)
%!error <logA must be a square matrix.> trellisPass ([0 0], zeros (2, 3), zeros (2, 4))
%!error <logB must have as many rows as logA.> trellisPass ([0 0], zeros (2), zeros (3, 4))
%!error <logPi must have at least as many elements as logA has rows.> trellisPass (0, zeros (2), zeros (2, 4))
%!error <logA must be a square matrix.> trellisPass ([0 0], zeros (2, 2, 0), zeros (2, 4))
%!error <logB must hold as many elements as its rows times its columns.> a = trellisPass ([0;0], log ([.5 .5;.5 .5]), zeros (2, 3, 0))
%!error <logB must hold as many elements as its rows times its columns.> a = trellisPass ([0 0], zeros (2), zeros (2, 1e8, 0))
