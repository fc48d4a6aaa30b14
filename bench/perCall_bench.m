## What each plug-in costs per call on a tiny input, against a MEX that only
## creates the output the plug-in would create (zeb_bare_mex; for
## zebUtilObliqueVote it also reads the five tree fields): the fixed cost a
## user pays in an inner loop. Best of several rounds of 2000 calls each,
## the two sides alternately.
tree = struct ("W", [1 Inf Inf], "featureIndices", [1 1 1], "threshold", [0 0 0],
               "terminalVote", [0 1 2], "treeIndices", [0 1 1]);
cases = {"logTotals of a 2 x 3 matrix",                @logTotals,          {randn(2, 3)};
         "logTotals of a 10 x 3 matrix",               @logTotals,          {randn(10, 3)};
         "trellisPass, N = 2, T = 1, one output",      @trellisPass,        {log([0.5 0.5]), log([0.9 0.1; 0.2 0.8]), log([0.3; 0.6])};
         "zebUtilObliqueVote, 3 rows, 2 classes",      @zebUtilObliqueVote, {tree, [-1; 2; 3], 2};
         "cumsumInt of 3 int32",                       @cumsumInt,          {int32([1; 2; 3])}};
calls = 2000;
printf ("%-42s %10s %10s %7s\n", "call", "plug-in", "bare MEX", "ratio");
for c = 1:rows (cases)
  f = cases{c, 2}; args = cases{c, 3};
  best = [Inf Inf];
  for round = 1:9
    tic; for k = 1:calls, y = f (args{:}); endfor; best(1) = min (best(1), toc);
    tic; for k = 1:calls, y = zeb_bare_mex (args{:}); endfor; best(2) = min (best(2), toc);
  endfor
  printf ("%-42s %8.2f us %8.2f us %6.2fx\n", cases{c, 1}, 1e6 * best / calls, best(1) / best(2));
endfor
printf ("(target: every ratio at most 1.5)\n");

## The m-code logTotals replaces, on the 10 x 3 matrix.
X = randn (10, 3);
best = [Inf Inf];
for round = 1:9
  tic; for k = 1:calls, y = logTotals (X); endfor; best(1) = min (best(1), toc);
  tic; for k = 1:calls, m = max (X); y = m + log (sum (exp (X - m))); endfor; best(2) = min (best(2), toc);
endfor
printf ("logTotals of a 10 x 3 matrix: plug-in %.2f us, m-code %.2f us: %.2fx faster\n", ...
        1e6 * best / calls, best(2) / best(1));
