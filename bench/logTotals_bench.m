## The logTotals Octave plug-in against Octave's own vectorised expression
## on a 2000 x 2000 matrix; best of several runs each, run alternately.
randn ("seed", 3);
X = 3 * randn (2000, 2000);
best_mex = Inf; best_m = Inf;
for k = 1:7
  tic; t1 = logTotals (X); best_mex = min (best_mex, toc);
  tic; m = max (X); t2 = m + log (sum (exp (X - m))); best_m = min (best_m, toc);
endfor
printf ("logTotals plug-in:              %.1f ms\n", 1e3 * best_mex);
printf ("max/exp/sum/log in m-code:      %.1f ms\n", 1e3 * best_m);
printf ("speed-up of the plug-in: %.2fx (target >= 3)\n", best_m / best_mex);
printf ("largest difference between the two: %.3g\n", max (abs (t1 - t2)));
