## Every Octave plug-in called with many random, mostly malformed, inputs.
## Each call must either answer or raise an error that names the function;
## a crash would take this Octave session down and fail the test run.

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
%!       ## Octave puts the function's name first; too many outputs is Octave's own refusal
%!       assert (strncmp (err.message, names{f}, numel (names{f}))
%!               || ! isempty (strfind (err.message, "value")), true, err.message);
%!       refused++;
%!     end_try_catch
%!   endfor
%!   assert (refused > 0 && answered > 0, true, names{f});
%! endfor
