## ok = zeb_run_test (file)
## Runs the %!test and %!error blocks of FILE, prints a one-line summary and
## returns true when there was at least one test and every test passed.
function ok = zeb_run_test (file)
  [n, nmax] = test (file, "quiet", stdout);
  printf ("%s: %d of %d tests passed\n", file, n, nmax);
  ok = nmax > 0 && n == nmax;
endfunction
