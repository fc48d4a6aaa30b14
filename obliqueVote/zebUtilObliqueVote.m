%ZEBUTILOBLIQUEVOTE  One-hot class votes of an oblique decision tree.
%   V = zebUtilObliqueVote(tree, X, nClasses) passes every row of the N-by-F
%   data matrix X down the tree and returns the N-by-K matrix V with a 1 in
%   row i, column c when row i reaches a leaf voting for class c (K is
%   nClasses truncated toward zero; a negative count gives no columns).
%
%   The tree is a structure (only its first element is read) whose fields
%   describe nodes 1..M, node 1 being the root:
%     W               d-by-M weights. A node whose first weight W(1,t) is not
%                     finite (Inf, -Inf or NaN) is a leaf.
%     featureIndices  d-by-M: the column of X each weight multiplies.
%     threshold       M values: an internal node's split value.
%     terminalVote    M values: a leaf's class, 1..K (other values vote for
%                     no class: the row is all zeros).
%     treeIndices     M values: each node's parent (0 for the root). The
%                     lowest-numbered child of a node is its first child, the
%                     next its second; further children are never reached.
%   At internal node t a row goes to the second child when
%   sum_k W(k,t) * X(i, featureIndices(k,t)) - threshold(t) >= 0, and to the
%   first child otherwise (also when that difference is NaN).
%
%   A tree that a row cannot descend (an internal node with fewer than two
%   children, a cycle, a node or feature index beyond its table) stops the
%   call with an error naming the node.
%
%   This file holds the help text only; the function is the compiled MEX file
%   beside it.
