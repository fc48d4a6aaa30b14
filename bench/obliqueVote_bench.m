## The zebUtilObliqueVote Octave plug-in against an m-code evaluator that
## descends all rows at once, level by level (the fast way to write it in
## m-code): a complete tree of depth 10, eight weights per node, 100,000 rows.
1;
function V = mcode_vote (tree, X, K)
  N = rows (X);
  d = rows (tree.W);
  M = numel (tree.treeIndices);
  parents = fix (tree.treeIndices(:));
  kids = zeros (M, 2);                   # first and second child of each node
  for k = 1:M
    p = parents(k);
    if (p >= 1 && p <= M)
      kids(p, 1 + (kids(p, 1) != 0)) = k;
    endif
  endfor
  t = ones (N, 1);
  active = isfinite (tree.W(1, t)).';
  while (any (active))
    a = find (active);
    ta = t(a);
    s = zeros (numel (a), 1);
    for k = 1:d
      f = fix (tree.featureIndices(k, ta)).';
      s = s + tree.W(k, ta).' .* X(a + (f - 1) * N);
    endfor
    second = (s - tree.threshold(ta)(:)) >= 0;
    t(a) = kids(sub2ind ([M 2], ta, 1 + second));
    active(a) = isfinite (tree.W(1, t(a))).';
  endwhile
  V = double ((0:K-1) == (tree.terminalVote(t)(:) - 1));
endfunction

randn ("seed", 4); rand ("seed", 4);
depth = 10; M = 2^(depth + 1) - 1; d = 8; N = 100000; F = 20;
tree.W = randn (d, M);
tree.W(1, 2^depth:M) = Inf;
tree.featureIndices = randi (F, d, M);
tree.threshold = 0.3 * randn (1, M);
tree.terminalVote = mod (1:M, 5) + 1;
tree.treeIndices = floor ((1:M) / 2);
X = randn (N, F);
best_mex = Inf; best_m = Inf;
for k = 1:3
  tic; V1 = zebUtilObliqueVote (tree, X, 5); best_mex = min (best_mex, toc);
  tic; V2 = mcode_vote (tree, X, 5); best_m = min (best_m, toc);
endfor
printf ("zebUtilObliqueVote plug-in: %.1f ms\n", 1e3 * best_mex);
printf ("vectorised m-code evaluator: %.1f ms\n", 1e3 * best_m);
printf ("speed-up of the plug-in: %.1fx; votes identical: %d\n", best_m / best_mex, isequal (V1, V2));
