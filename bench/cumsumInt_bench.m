## The cumsumInt Octave plug-in against Octave's built-in cumsum on a
## 4000 x 1000 int32 array: cumsum (A, "native") keeps the class (and
## saturates), plain cumsum (A) returns doubles.
A = int32 (randi ([-1000 1000], 4000, 1000));
best_mex = Inf; best_native = Inf; best_double = Inf;
for k = 1:9
  tic; B1 = cumsumInt (A); best_mex = min (best_mex, toc);
  tic; B2 = cumsum (A, "native"); best_native = min (best_native, toc);
  tic; B3 = cumsum (A); best_double = min (best_double, toc);
endfor
printf ("cumsumInt plug-in:            %.2f ms\n", 1e3 * best_mex);
printf ("built-in cumsum (A, 'native'): %.2f ms (class %s)\n", 1e3 * best_native, class (B2));
printf ("built-in cumsum (A):          %.2f ms (class %s)\n", 1e3 * best_double, class (B3));
printf ("native / plug-in: %.2f, double / plug-in: %.2f (target >= 1); equal here (no overflow): %d\n", ...
        best_native / best_mex, best_double / best_mex, isequal (B1, B2));
