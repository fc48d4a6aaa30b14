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

function tree_demo ()
  printf ("== zebUtilObliqueVote: a hand-made oblique tree ==\n");
  printf ("Points in the plane belong to class 2 inside the wedge x + y >= 0,\n");
  printf ("x - y < 1.5, and to class 1 elsewhere; 5%% of the labels are noise.\n\n");
  rand ("seed", 9); randn ("seed", 9);
  X = 2 * randn (1000, 2);
  inside = (X(:,1) + X(:,2) >= 0) & (X(:,1) - X(:,2) < 1.5);
  label = 1 + inside;
  flip = rand (1000, 1) < 0.05;
  label(flip) = 3 - label(flip);
  ## node 1 splits on x + y at 0: below -> node 2, else -> node 3;
  ## node 3 splits on x - y at 1.5: below -> node 4, else -> node 5.
  tree.W              = [1  Inf  1  Inf  Inf;
                         1  0   -1  0    0];
  tree.featureIndices = [1 1 1 1 1; 2 1 2 1 1];
  tree.threshold      = [0 0 1.5 0 0];
  tree.terminalVote   = [0 1 0 2 1];
  tree.treeIndices    = [0 1 1 3 3];
  V = zebUtilObliqueVote (tree, X, 2);       # 1000 x 2, one 1 per row
  [~, predicted] = max (V, [], 2);
  printf ("accuracy against the noisy labels: %.1f%%\n", 100 * mean (predicted == label));
  printf ("confusion (rows: label 1, 2; columns: predicted 1, 2):\n");
  disp (accumarray ([label, predicted], 1, [2 2]));
endfunction

function phase_demo ()
  printf ("== cumsumInt: a 16-bit phase accumulator ==\n");
  printf ("A numerically controlled oscillator adds a phase step to a 16-bit\n");
  printf ("register every sample; the register must wrap at 2^16 = one turn.\n\n");
  fs = 8000; f = 440;                              # sample rate and tone, Hz
  step = int16 (round (f / fs * 65536));           # phase step per sample
  steps = repmat (step, 40, 1);
  wrapped = cumsumInt (steps);
  saturated = cumsum (steps, "native");
  idx = [1 5 6 7 10 20 40];
  printf ("sample            %s\n", sprintf ("%7d", idx));
  printf ("cumsumInt         %s\n", sprintf ("%7d", wrapped(idx)));
  printf ("cumsum 'native'   %s\n", sprintf ("%7d", saturated(idx)));
  ## the wrapped phase drives a sine table; the saturated one gets stuck
  tone = sin (2 * pi * double (wrapped) / 65536);
  stuck = sin (2 * pi * double (saturated) / 65536);
  ref = sin (2 * pi * f * (1:40).' / fs);
  printf ("largest error of the tone: wrapped %.4f, saturated %.4f\n\n", ...
          max (abs (tone - ref)), max (abs (stuck - ref)));
endfunction

casino_demo ();
totals_demo ();
tree_demo ();
phase_demo ();
