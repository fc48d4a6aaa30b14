## Demo of the plug-ins, run by `make demo` in octave-cli.
1;

function print_paths (truth, decoded)
  labels = "FL";
  for s = 1:60:numel (truth)
    e = min (s + 59, numel (truth));
    printf ("  truth   %s\n  decoded %s\n\n", labels(truth(s:e)), labels(decoded(s:e)));
  endfor
endfunction

function casino_demo ()
  printf ("== trellisPass: the occasionally dishonest casino ==\n");
  printf ("A casino mostly rolls a fair die but sometimes swaps in a loaded one\n");
  printf ("(a six half of the time). From the rolls alone, when was it loaded?\n\n");
  rand ("seed", 2024);
  T = 300;
  A = [0.95 0.05; 0.10 0.90];            # A(i,j) = P(j next | i now); 1 = fair, 2 = loaded
  E = [ones(1, 6) / 6; [ones(1, 5) / 10, 1/2]];
  p0 = [2/3; 1/3];
  states = zeros (1, T); rolls = zeros (1, T);
  s = 1 + (rand () > p0(1));
  for t = 1:T
    states(t) = s;
    rolls(t) = find (rand () < cumsum (E(s,:)), 1);
    s = find (rand () < cumsum (A(s,:)), 1);
  endfor

  logB = log (E(:, rolls));                # 2 x T log likelihoods of each roll
  [logAlpha, logBeta, logGamma, logXi] = trellisPass (log (p0), log (A), logB);

  [~, decoded] = max (logGamma, [], 1);
  m = max (logAlpha(:, end));
  printf ("log likelihood of the %d rolls: %.4f\n", T, m + log (sum (exp (logAlpha(:, end) - m))));
  printf ("posterior decoding, F = fair, L = loaded:\n\n");
  print_paths (states, decoded);
  printf ("posterior accuracy: %.1f%% of %d steps\n", 100 * mean (decoded == states), T);
  expected = sum (exp (logXi(:, :, 1:end-1)), 3);   # expected transition counts
  switches = expected(1, 2) + expected(2, 1);
  printf ("expected number of die swaps (from logXi): %.1f, true number: %d\n\n", ...
          switches, sum (diff (states) != 0));
endfunction

function totals_demo ()
  printf ("== logTotals: class posteriors from long log-likelihood sums ==\n");
  printf ("Three Gaussian classes score 6 samples of 2000 features each; every\n");
  printf ("log-likelihood is a sum of 2000 terms, far below exp's range.\n\n");
  randn ("seed", 5);
  mu = [-0.1; 0; 0.1];
  truth = [1 2 3 1 2 3];
  L = zeros (3, numel (truth));               # L(c, s) = log p(sample s | class c)
  for s = 1:numel (truth)
    x = mu(truth(s)) + randn (2000, 1);
    L(:, s) = sum (-0.5 * (x - mu.').^2 - 0.5 * log (2 * pi), 1).';
  endfor
  printf ("log-likelihoods range from %.1f to %.1f\n", min (L(:)), max (L(:)));
  printf ("naive log(sum(exp(L))):  %s\n", mat2str (log (sum (exp (L))), 5));
  evidence = logTotals (L);
  printf ("logTotals(L):            %s\n", mat2str (evidence, 8));
  posterior = exp (L - evidence);             # each column now sums to 1
  [~, decided] = max (posterior);
  printf ("posterior of the true class: %s\n", mat2str (posterior(sub2ind (size (L), truth, 1:6)), 3));
  printf ("decided %s, truth %s\n\n", mat2str (decided), mat2str (truth));
endfunction

casino_demo ();
totals_demo ();
