## Tests of the zebUtilObliqueVote Octave plug-in against a plain m-code
## evaluator written from the tree format: at each internal node the
## projection is summed one product at a time in weight order, the row goes
## to the second child when projection - threshold >= 0 and to the first
## child otherwise (NaN included), and children are the first two entries of
## treeIndices (truncated) that name the node.

%!function V = ref_vote (tree, X, K)
%!  N = rows (X);
%!  K = fix (K);
%!  V = zeros (N, max (K, 0));
%!  d = rows (tree.W);
%!  parents = fix (tree.treeIndices(:));
%!  for i = 1:N
%!    t = 1;
%!    while (isfinite (tree.W(1 + (t-1)*d)))
%!      s = 0;
%!      for k = 1:d
%!        s = s + tree.W(k + (t-1)*d) * X(i, fix (tree.featureIndices(k + (t-1)*d)));
%!      endfor
%!      kids = find (parents == t);
%!      if (s - tree.threshold(t) >= 0)
%!        t = kids(2);
%!      else
%!        t = kids(1);
%!      endif
%!    endwhile
%!    for j = 0:K-1
%!      V(i, j+1) = (j == tree.terminalVote(t) - 1);
%!    endfor
%!  endfor
%!endfunction

%!function tree = random_tree (maxDepth, d, F, K)
%!  ## grow by splitting leaves, then number every node but the root at random
%!  parent = 0; depth = 0; open = 1;
%!  while (! isempty (open) && numel (parent) < 400)
%!    t = open(1); open(1) = [];
%!    if (depth(t) < maxDepth && rand () < 0.8)
%!      parent(end+1:end+2) = t;
%!      depth(end+1:end+2) = depth(t) + 1;
%!      open(end+1:end+2) = numel (parent) - [1 0];
%!    endif
%!  endwhile
%!  M = numel (parent);
%!  label = [1, 1 + randperm(M - 1)];
%!  tree.treeIndices = zeros (1, M);
%!  tree.treeIndices(label(2:end)) = label(parent(2:end));
%!  tree.treeIndices(label(2:end)) += 0.9 * rand (1, M - 1);   # truncated away
%!  internal = false (1, M);
%!  internal(label(unique (parent(2:end)))) = true;
%!  tree.W = round (8 * randn (d, M)) / 4;
%!  leafMarks = [Inf, -Inf, NaN];
%!  tree.W(1, ! internal) = leafMarks(randi (3, 1, sum (! internal)));
%!  tree.featureIndices = randi (F, d, M) + 0.99 * rand (d, M);
%!  tree.threshold = round (8 * randn (1, M)) / 4;
%!  tree.terminalVote = randi (K + 1, 1, M) - 1;
%!  tree.terminalVote(rand (1, M) < 0.1) = 2.5;
%!endfunction

%!test
%! rand ("seed", 11); randn ("seed", 11);
%! for n = 1:40
%!   d = randi (8); F = randi (6); K = randi (5);
%!   tree = random_tree (randi (12), d, F, K);
%!   X = round (4 * randn (150, F)) / 2;
%!   X(rand (size (X)) < 0.03) = NaN;
%!   X(rand (size (X)) < 0.03) = Inf;
%!   X(rand (size (X)) < 0.03) = -Inf;
%!   V = zebUtilObliqueVote (tree, X, K + 0.5);
%!   assert (isequal (V, ref_vote (tree, X, K)), true, sprintf ("tree %d", n));
%! endfor

%!test
%! ## a column vector layout of every table reads the same
%! tree = random_tree (6, 3, 4, 3);
%! X = randn (50, 4);
%! flat = tree;
%! flat.threshold = flat.threshold(:); flat.treeIndices = flat.treeIndices(:);
%! flat.terminalVote = flat.terminalVote(:);
%! assert (isequal (zebUtilObliqueVote (flat, X, 3), zebUtilObliqueVote (tree, X, 3)));

%!test
%! ## stump, class counts, extra fields, structure arrays, no rows
%! t = struct ("W", [1 Inf Inf], "featureIndices", [1 1 1], "threshold", [0 0 0],
%!             "terminalVote", [0 1 2], "treeIndices", [0 1 1], "note", "extra");
%! assert (zebUtilObliqueVote (t, [-1; 0; 2], 2), [1 0; 0 1; 0 1]);
%! assert (size (zebUtilObliqueVote (t, [-1; 0; 2], 3.9)), [3 3]);
%! assert (size (zebUtilObliqueVote (t, [-1; 0; 2], -2)), [3 0]);
%! assert (size (zebUtilObliqueVote (t, zeros (0, 5), 4)), [0 4]);
%! t(2).W = "not read";
%! assert (zebUtilObliqueVote (t, [-1; 0; 2], 2), [1 0; 0 1; 0 1]);

%!test
%! ## a leaf root reads only W and terminalVote: the other fields may be
%! ## empty or of any class
%! leaf = struct ("W", [Inf 1], "featureIndices", int8 (1), "threshold", {{}},
%!                "terminalVote", 2, "treeIndices", []);
%! assert (zebUtilObliqueVote (leaf, ones (3, 2), 3), repmat ([0 1 0], 3, 1));
%! leaf.W = NaN; leaf.treeIndices = "x";
%! assert (zebUtilObliqueVote (leaf, zeros (2, 0), 2), [0 1; 0 1]);

%!test
%! ## rows without columns all take one path: answered at once however
%! ## many, and refused at once where the root needs a feature
%! leaf = struct ("W", NaN, "featureIndices", 1, "threshold", 0, "terminalVote", 1, "treeIndices", 0);
%! assert (size (zebUtilObliqueVote (leaf, zeros (2^40, 0), 0)), [2^40 0]);
%! stump = struct ("W", [1 Inf Inf], "featureIndices", [1 1 1], "threshold", [0 0 0],
%!                 "terminalVote", [0 1 2], "treeIndices", [0 1 1]);
%! assert (zebUtilObliqueVote (stump, zeros (0, 0), 2), zeros (0, 2));
%! try
%!   V = zebUtilObliqueVote (stump, zeros (2^40, 0), 0);
%!   error ("not refused");
%! catch err
%!   assert (err.message, "zebUtilObliqueVote: obliqueVote: node 1 uses a feature index outside the columns of X");
%! end_try_catch

%!shared t, X
%! t = struct ("W", [1 Inf Inf], "featureIndices", [1 1 1], "threshold", [0 0 0],
%!             "terminalVote", [0 1 2], "treeIndices", [0 1 1]);
%! X = [-1; 1];
%!error <obliqueVote requires three input arguments> V = zebUtilObliqueVote (t, X)
%!error <obliqueVote requires one output arguments> zebUtilObliqueVote (t, X, 2)
%!error <obliqueVote requires one output arguments> [a, b] = zebUtilObliqueVote (t, X, 2)
%!error <must have field 'W'> V = zebUtilObliqueVote (rmfield (t, "W"), X, 2)
%!error <must have field 'W'> V = zebUtilObliqueVote (5, X, 2)
%!error <must have field 'terminalVote'> V = zebUtilObliqueVote (rmfield (t, "terminalVote"), X, 2)
%!error <must have field 'threshold'> V = zebUtilObliqueVote (rmfield (t, {"threshold", "treeIndices"}), X, 2)
%!error <field 'W' to be a full double array> V = zebUtilObliqueVote (setfield (t, "W", single ([1 Inf Inf])), X, 2)
%!error <field 'treeIndices' to be a full double array> V = zebUtilObliqueVote (setfield (t, "treeIndices", sparse ([0 1 1])), X, 2)
%!error <argument 2 to be a full double array> V = zebUtilObliqueVote (t, int8 (X), 2)
%!error <argument 3 to be a full double array> V = zebUtilObliqueVote (t, X, uint8 (2))
%!error <a class count as argument 3> V = zebUtilObliqueVote (t, X, [])
%!error <a finite class count within the 32-bit range> V = zebUtilObliqueVote (t, X, NaN)
%!error <a finite class count within the 32-bit range> V = zebUtilObliqueVote (t, X, 2^31)
%!error <a non-empty field 'W'> V = zebUtilObliqueVote (setfield (t, "W", zeros (0, 3)), X, 2)
%!error <a non-empty field 'treeIndices'> V = zebUtilObliqueVote (setfield (t, "treeIndices", []), X, 2)
%!error <internal node 1 has fewer than two children> V = zebUtilObliqueVote (setfield (t, "treeIndices", [0 1 5]), X, 2)
%!error <node 3 lies beyond the columns of field 'W'> V = zebUtilObliqueVote (setfield (t, "W", [1 Inf]), X, 2)
%!error <node 1 uses a feature index outside the columns of X> V = zebUtilObliqueVote (setfield (t, "featureIndices", [2 1 1]), X, 2)
%!error <cycle through node 1> V = zebUtilObliqueVote (struct ("W", [1 1 Inf Inf], "featureIndices", [1 1 1 1], "threshold", [0 5 0 0], "terminalVote", [0 0 1 2], "treeIndices", [2 1 1 2]), X, 2)
%!error <an output \(rows of X times classes\) small enough to address> V = zebUtilObliqueVote (struct ("W", NaN, "featureIndices", 1, "threshold", 0, "terminalVote", 1, "treeIndices", 0), zeros (2^31, 0), 2^30)
%!error <field 'featureIndices' to be a full double array> V = zebUtilObliqueVote (setfield (t, "featureIndices", int8 ([1 1 1])), X, 2)
