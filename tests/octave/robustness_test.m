## Every Octave plug-in called with many random, mostly malformed, inputs.
## Each call must either answer or be refused with one of the function's
## documented messages (Octave puts the function's name first); any other
## error, such as one raised by Octave inside the gateway, fails the test,
## and a crash would take this Octave session down with the test run.

%!function x = junk ()
%!  shapes = {[0 0], [1 1], [2 3], [3 3], [0 4], [2 2 2]};
%!  s = shapes{randi (numel (shapes))};
%!  switch (randi (12))
%!    case 1, x = int8 (randi ([-128 127], s));
%!    case 2, x = uint16 (randi ([0 65535], s));
%!    case 3, x = single (randn (s));
%!    case 4, x = true (s);
%!    case 5, x = repmat ("a", s(1:2));
%!    case 6, x = cell (s);
%!    case 7, x = struct ("W", randn (2, 3), "featureIndices", randi (4, 2, 3),
%!                        "threshold", randn (1, 3), "terminalVote", randi (3, 1, 3),
%!                        "treeIndices", randi ([-1 4], 1, 3));
%!    case 8, x = sparse (randn (s(1:2)) > 0);
%!    case 9, x = @sin;
%!    case 10, x = complex (randn (s), randn (s));
%!    otherwise
%!      x = randn (s);
%!      x(rand (s) < 0.2) = NaN;
%!      x(rand (s) < 0.1) = -Inf;
%!  endswitch
%!endfunction

%!function ok = documented (name, msg, nout)
%!  prefix = [name ": "];
%!  if (strncmp (msg, "element number ", 15) && nout > 1)
%!    ok = true;   # Octave's own: an output the function does not set
%!    return;
%!  elseif (! strncmp (msg, prefix, numel (prefix)))
%!    ok = false;
%!    return;
%!  endif
%!  msg = msg(numel (prefix)+1:end);
%!  switch (name)
%!    case "trellisPass"
%!      known = {"Invalid number of inputs. Must be 3.", "Inputs must be double arrays.", ...
%!               "Inputs must not be sparse.", "logA must be a square matrix.", ...
%!               "logB must have as many rows as logA.", ...
%!               "logB must hold as many elements as its rows times its columns.", ...
%!               "logPi must have at least as many elements as logA has rows.", ...
%!               "logXi (N*N*T doubles) is too large to address."};
%!    case "logTotals"
%!      known = {"Invalid number of inputs. Must be 1.", "logTotals() only accepts 2D input.", ...
%!               "logTotals() only accepts double input.", "logTotals() does not accept sparse input.", ...
%!               "logTotals() output is too large to address."};
%!    case "cumsumInt"
%!      known = {"cumsumInt requires an input array", ...
%!               "cumsumInt accepts only integer arrays (int8, uint8, int16, uint16, int32, uint32, int64 or uint64)"};
%!    otherwise
%!      fields = "'(W|featureIndices|threshold|terminalVote|treeIndices)'";
%!      patterns = {"requires three input arguments", "requires one output arguments", ...
%!                  ["requires argument 1 must have field " fields], ...
%!                  ["requires field " fields " to be a full double array"], ...
%!                  "requires argument [23] to be a full double array", ...
%!                  "requires a non-empty field '(W|treeIndices)'", "requires fewer than 2\\^31 nodes", ...
%!                  "requires a class count as argument 3", ...
%!                  "requires a finite class count within the 32-bit range", ...
%!                  "requires an output \\(rows of X times classes\\) small enough to address", ...
%!                  ": internal node [0-9]+ has fewer than two children", ...
%!                  ": no leaf within [0-9]+ steps, the tree has a cycle through node [0-9]+", ...
%!                  [": node [0-9]+ lies beyond the (columns|entries) of field " fields], ...
%!                  ": node [0-9]+ uses a feature index outside the columns of X"};
%!      ok = ! isempty (regexp (msg, ["^obliqueVote( " strjoin(patterns(1:10), "| ") "|" strjoin(patterns(11:end), "|") ")$"], "once"));
%!      return;
%!  endswitch
%!  ok = any (strcmp (msg, known));
%!endfunction

%!test
%! rand ("seed", 3); randn ("seed", 3);
%! names = {"trellisPass", "logTotals", "zebUtilObliqueVote", "cumsumInt"};
%! for f = 1:numel (names)
%!   answered = 0; refused = 0;
%!   for n = 1:400
%!     args = arrayfun (@(k) junk (), 1:randi ([0 4]), "UniformOutput", false);
%!     out = cell (1, randi ([1 4]));
%!     try
%!       [out{:}] = feval (names{f}, args{:});
%!       answered++;
%!     catch err
%!       assert (documented (names{f}, err.message, numel (out)), true, err.message);
%!       refused++;
%!     end_try_catch
%!   endfor
%!   assert (refused > 0 && answered > 0, true, names{f});
%! endfor

%!assert (documented ("logTotals", "logTotals: logTotals() only accepts 2D input.", 1))
%!assert (documented ("zebUtilObliqueVote", "zebUtilObliqueVote: obliqueVote: node 12 lies beyond the entries of field 'threshold'", 1))
%!assert (! documented ("trellisPass", "trellisPass: out of memory or dimension too large for Octave's index type", 1))
%!assert (! documented ("cumsumInt", "index (3,_): out of bound 2", 1))
