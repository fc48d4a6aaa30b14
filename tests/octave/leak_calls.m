## leak_calls (n)
## Calls every plug-in N times with the inputs that Octave hands to a MEX
## file as lazily converted values (ranges, complex and diagonal matrices):
## asked for its extents before its data, such an input leaks a few bytes
## inside Octave on every call. Run under valgrind by count_leaks.
function leak_calls (n)
  tree = struct ("W", [1 Inf Inf], "featureIndices", 1:3, "threshold", [0 0 0],
                 "terminalVote", 0:2, "treeIndices", [0 1 1]);
  for k = 1:n
    logTotals (1:5);
    logTotals (complex ([1 2; 3 4], 1));
    logTotals (eye (3));
    trellisPass (-(1:2), [-1 -2; -3 -4], -(1:2)');
    trellisPass (-(1:2), -eye (2), complex (-[1 2; 3 4], 1));
    v = zebUtilObliqueVote (tree, (1:4)', 2);
    v = zebUtilObliqueVote (tree, eye (3), 2);
    cumsumInt (1:0);
    cumsumInt (int8 (1:4));
  endfor
endfunction
