## The cumsumInt Octave plug-in against Octave's built-in cumsum (which
## saturates) on a 4000 x 1000 int32 array.
A = int32 (randi ([-1000 1000], 4000, 1000));
best_mex = Inf; best_builtin = Inf;
for k = 1:9
  tic; B1 = cumsumInt (A); best_mex = min (best_mex, toc);
  tic; B2 = cumsum (A); best_builtin = min (best_builtin, toc);
endfor
printf ("cumsumInt plug-in:    %.2f ms\n", 1e3 * best_mex);
printf ("built-in cumsum:      %.2f ms\n", 1e3 * best_builtin);
printf ("built-in / plug-in: %.2f (target >= 1); equal here (no overflow): %d\n", ...
        best_builtin / best_mex, isequal (B1, B2));
