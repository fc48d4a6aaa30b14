## What users see: [a, b] = trellisPass (logPi, logA, logB) at N = 64,
## T = 10000, warm (after a first call), against Octave's own exp over as
## many elements as the pass has exponentials, 2 (T-1) N^2.
N = 64; T = 10000;
rand ("seed", 4);
p = rand (N, 1); lpi = log (p / sum (p));
A = rand (N); lA = log (A ./ sum (A, 2));
lB = log (rand (N, T));
E = -6 * rand (N * N, T - 1);            # half of the exponentials, twice
[a, b] = trellisPass (lpi, lA, lB);       # warm-up
best_mex = Inf; best_exp = Inf;
for k = 1:5
  tic; [a, b] = trellisPass (lpi, lA, lB); best_mex = min (best_mex, toc);
  tic; for q = 1:2, y = exp (E); endfor; best_exp = min (best_exp, toc);
endfor
printf ("trellisPass, two outputs, N=%d T=%d: %.1f ms\n", N, T, 1e3 * best_mex);
printf ("Octave exp over 2(T-1)N^2 = %d elements: %.1f ms\n", 2 * (T - 1) * N * N, 1e3 * best_exp);
printf ("ratio plug-in / exp: %.3f (target <= 0.45)\n", best_mex / best_exp);
