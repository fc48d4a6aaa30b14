## ok = install_test (tarball, scratch)
## What an Octave user does with the package: install it into a scratch
## package prefix and scratch package lists (never the user's own, nor the
## system's), load it, call each function once,
## read each one's help, run the demo and the package's self-tests, and
## uninstall it.
function ok = install_test (tarball, scratch)
  ok = false;
  confirm_recursive_rmdir (false);
  if (exist (scratch, "dir"))
    rmdir (scratch, "s");
  endif
  mkdir (scratch);
  system_list = pkg ("global_list");
  system_before = file_text (system_list);
  pkg ("prefix", fullfile (scratch, "share"), fullfile (scratch, "arch"));
  pkg ("local_list", fullfile (scratch, "octave_packages"));
  ## Run as root, Octave installs into the global list whatever the prefix
  ## and local list say: that list is a scratch one too.
  pkg ("global_list", fullfile (scratch, "octave_packages_global"));
  pkg ("install", tarball);
  pkg ("load", "zebmex");

  a = trellisPass (log ([1; 0]), log ([0.9 0.1; 0.2 0.8]), log ([0.5 0.1; 0.5 0.9]));
  assert (size (a), [2 2]);
  assert (a(2,1), -Inf);
  assert (logTotals ([1000; 1000]), 1000 + log (2), 1e-12);
  tree = struct ("W", [1 Inf Inf], "featureIndices", [1 1 1], "threshold", [0 0 0],
                 "terminalVote", [0 1 2], "treeIndices", [0 1 1]);
  assert (zebUtilObliqueVote (tree, [-1; 2], 2), [1 0; 0 1]);
  assert (cumsumInt (int8 ([100; 100; 100])), int8 ([100; -56; 44]));
  summaries = {"trellisPass", "forward-backward"; "logTotals", "column sums";
               "zebUtilObliqueVote", "oblique decision tree"; "cumsumInt", "wraps around"};
  for k = 1:rows (summaries)
    text = evalc (sprintf ("help %s", summaries{k,1}));
    assert (! isempty (strfind (text, summaries{k,2})), true, ["help " summaries{k,1}]);
  endfor

  demo = evalc ("zeb_demo");
  assert (! isempty (strfind (demo, "the occasionally dishonest casino")), true, "demo");

  report = evalc ("pkg ('test', 'zebmex')");
  passed = str2double (regexp (report, 'PASS\s+(\d+)', "tokens", "once"));
  failed = str2double (regexp (report, 'FAIL\s+(\d+)', "tokens", "once"));
  printf ("pkg test zebmex: %d passed, %d failed\n", passed, failed);
  assert (passed > 50 && failed == 0, true, report);

  pkg ("unload", "zebmex");
  pkg ("uninstall", "zebmex");
  assert (! exist (fullfile (scratch, "arch", "zebmex-" ), "dir"));
  assert (file_text (system_list), system_before, "the system's package list changed");
  ok = isempty (dir (fullfile (scratch, "share", "zebmex-*")));
endfunction

function t = file_text (name)
  t = "";
  f = fopen (name, "r");
  if (f >= 0)
    t = fread (f, Inf, "char=>char")';
    fclose (f);
  endif
endfunction
