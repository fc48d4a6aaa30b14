## Large inputs on every processor against one (OMP_NUM_THREADS=1), in the
## same run, best of five each, alternately: logTotals on 1000 x 1000 and
## 10 x 10^6, zebUtilObliqueVote on 10^6 rows (complete tree of depth 10,
## d = 8, 20 features, 2 classes), trellisPass at N = 64, T = 10^4 with two
## and with four outputs.
1;
function two_outputs (lpi, lA, lB)
  [a, b] = trellisPass (lpi, lA, lB);
endfunction

function four_outputs (lpi, lA, lB)
  [a, b, g, x] = trellisPass (lpi, lA, lB);
endfunction

function vote (tree, X)
  V = zebUtilObliqueVote (tree, X, 2);
endfunction

randn ("seed", 5); rand ("seed", 5);
depth = 10; M = 2^(depth + 1) - 1; d = 8;
tree.W = randn (d, M); tree.W(1, 2^depth:M) = Inf;
tree.featureIndices = randi (20, d, M); tree.threshold = 0.3 * randn (1, M);
tree.terminalVote = mod (1:M, 2) + 1; tree.treeIndices = floor ((1:M) / 2);
X = randn (1e6, 20);
N = 64; T = 1e4;
lA = log (rand (N)); lA = lA - log (sum (exp (lA), 2)); lpi = log (ones (N, 1) / N); lB = log (rand (N, T));
A1 = randn (1000); A2 = randn (10, 1e6);
cases = {"logTotals, 1000 x 1000", @() logTotals (A1), 1.7;
         "logTotals, 10 x 10^6", @() logTotals (A2), 1.7;
         "zebUtilObliqueVote, 10^6 rows", @() vote (tree, X), 1.7;
         "[a, b] = trellisPass, N = 64, T = 10^4", @() two_outputs (lpi, lA, lB), 1.7;
         "four outputs of trellisPass, same model", @() four_outputs (lpi, lA, lB), 1.5};
printf ("processors for a call: as the system says, against OMP_NUM_THREADS=1\n");
for c = 1:rows (cases)
  f = cases{c, 2};
  f ();   # warm
  best = [Inf Inf];
  for k = 1:5
    unsetenv ("OMP_NUM_THREADS");
    tic; f (); best(1) = min (best(1), toc);
    setenv ("OMP_NUM_THREADS", "1");
    tic; f (); best(2) = min (best(2), toc);
  endfor
  unsetenv ("OMP_NUM_THREADS");
  printf ("%-42s all %8.1f ms, one %8.1f ms: %.2fx (target >= %.1f)\n", cases{c, 1}, 1e3 * best, best(2) / best(1), cases{c, 3});
endfor

