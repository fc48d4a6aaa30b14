## What users see: [a, b] = trellisPass (logPi, logA, logB), warm (after a
## first call), against Octave's own exp over as many elements as the
## literal pass has exponentials, 2 (T-1) N^2: dense models at N = 64,
## T = 10^4 and N = 4, T = 10^5, and a left-to-right model with peaked
## emissions (a fifth of them down to -1000) at N = 64, T = 10^4.
kinds = {" dense", " left-to-right, peaked"};
cases = {64, 1e4, false, 0.08; 4, 1e5, false, 0.4; 64, 1e4, true, 0.12};
for c = 1:rows (cases)
  [N, T, leftToRight, target] = cases{c, :};
  rand ("seed", 4);
  p = rand (N, 1); lpi = log (p / sum (p));
  A = rand (N);
  if (leftToRight)
    A = triu (tril (A, 2));   # stay, or move one or two states on
    lpi = [0; -Inf(N - 1, 1)];
  endif
  lA = log (A ./ sum (A, 2));
  lB = log (rand (N, T));
  if (leftToRight)
    peaked = rand (N, T) < 0.2;
    lB(peaked) = -1000 * rand (nnz (peaked), 1);
  endif
  E = -6 * rand (N * N, T - 1);            # half of the exponentials, twice
  [a, b] = trellisPass (lpi, lA, lB);       # warm-up
  best_mex = Inf; best_exp = Inf;
  for k = 1:5
    tic; [a, b] = trellisPass (lpi, lA, lB); best_mex = min (best_mex, toc);
    tic; for q = 1:2, y = exp (E); endfor; best_exp = min (best_exp, toc);
  endfor
  printf ("[a, b] = trellisPass, N=%d T=%d%s: %.1f ms; Octave exp over 2(T-1)N^2 = %d elements: %.1f ms; ratio %.3f (target <= %.2f)\n",
          N, T, kinds{leftToRight + 1}, 1e3 * best_mex,
          2 * (T - 1) * N * N, 1e3 * best_exp, best_mex / best_exp, target);
endfor

