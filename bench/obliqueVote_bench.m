## The zebUtilObliqueVote Octave plug-in against two m-code evaluators: one
## that splits the rows node by node, one vectorised projection per node,
## and one that descends all rows at once, level by level; a complete tree
## of depth 10, eight weights per node, 20 features, 10^5 and 10^6 rows,
## 2 and 10 classes, warm; and what creating and returning the output alone
## costs in Octave (zeb_bare_mex), part of every plug-in's time.
1;
## The first and second child of each node: the two lowest-numbered nodes
## whose parent it is.
function kids = children_of (tree)
  M = numel (tree.treeIndices);
  parents = fix (tree.treeIndices(:));
  kids = zeros (M, 2);
  for k = 1:M
    p = parents(k);
    if (p >= 1 && p <= M)
      kids(p, 1 + (kids(p, 1) != 0)) = k;
    endif
  endfor
endfunction

function V = node_by_node_vote (tree, X, K)
  N = rows (X);
  kids = children_of (tree);
  leaf = zeros (N, 1);
  stack_t = 1; stack_r = {(1:N).'};
  while (! isempty (stack_t))
    t = stack_t(end); r = stack_r{end};
    stack_t(end) = []; stack_r(end) = [];
    if (isempty (r))
      continue;
    endif
    if (! isfinite (tree.W(1, t)))
      leaf(r) = t;
      continue;
    endif
    f = fix (tree.featureIndices(:, t));
    s = tree.W(1, t) * X(r, f(1));
    for k = 2:rows (tree.W)
      s = s + tree.W(k, t) * X(r, f(k));
    endfor
    go = (s - tree.threshold(t)) >= 0;
    stack_t(end+1:end+2) = [kids(t, 1), kids(t, 2)];
    stack_r(end+1:end+2) = {r(! go), r(go)};
  endwhile
  V = double ((0:K-1) == (tree.terminalVote(leaf)(:) - 1));
endfunction

function V = mcode_vote (tree, X, K)
  N = rows (X);
  d = rows (tree.W);
  M = numel (tree.treeIndices);
  kids = children_of (tree);
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
depth = 10; M = 2^(depth + 1) - 1; d = 8; F = 20;
tree.W = randn (d, M);
tree.W(1, 2^depth:M) = Inf;
tree.featureIndices = randi (F, d, M);
tree.threshold = 0.3 * randn (1, M);
tree.terminalVote = mod (1:M, 10) + 1;
tree.treeIndices = floor ((1:M) / 2);
for N = [1e5 1e6]
  X = randn (N, F);
  for K = [2 10]
    V1 = zebUtilObliqueVote (tree, X, K);   # warm
    best = [Inf Inf Inf Inf];
    for k = 1:3
      tic; V1 = zebUtilObliqueVote (tree, X, K); best(1) = min (best(1), toc);
      tic; V2 = node_by_node_vote (tree, X, K); best(2) = min (best(2), toc);
      if (N <= 1e5)
        tic; V3 = mcode_vote (tree, X, K); best(3) = min (best(3), toc);
      endif
      ## Octave's own share of a call: a plug-in that reads the tree and
      ## creates the output, computing nothing.
      tic; V4 = zeb_bare_mex (tree, X, K); best(4) = min (best(4), toc);
    endfor
    printf ("N = %g, %2d classes: plug-in %.0f ns per row; node-by-node m-code %.0f ns (%.1fx slower, target >= 15)",
            N, K, 1e9 * best(1) / N, 1e9 * best(2) / N, best(2) / best(1));
    if (N <= 1e5)
      printf ("; level-by-level m-code %.0f ns (%.1fx)", 1e9 * best(3) / N, best(3) / best(1));
    endif
    printf ("; votes identical: %d; of the plug-in's time, creating and returning the output alone %.0f ns\n",
            isequal (V1, V2), 1e9 * best(4) / N);
  endfor
endfor
