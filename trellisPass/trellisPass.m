%TRELLISPASS  Log-domain forward-backward pass of a hidden Markov model.
%   [logAlpha, logBeta, logGamma, logXi] = trellisPass(logPi, logA, logB)
%
%   An HMM with N states observed over T steps, every probability given and
%   returned as its natural logarithm:
%     logPi  N values (any orientation): log P(state at step 1 = i).
%     logA   N-by-N: logA(i,j) = log P(state j at t+1 | state i at t).
%     logB   N-by-T: logB(j,t) = log likelihood of observation t in state j.
%
%   Outputs, computed only when requested (each builds on the previous):
%     logAlpha  N-by-T log forward variables, log P(obs 1..t, state j at t).
%     logBeta   N-by-T log backward variables, log P(obs t+1..T | state j at t).
%     logGamma  N-by-T normalised log state posteriors: exp(logGamma(:,t))
%               sums to 1.
%     logXi     N-by-N-by-T normalised log pairwise posteriors:
%               exp(logXi(i,j,t)) = P(state i at t, state j at t+1 | all obs)
%               for t < T; the last slice holds -1e300 (log 0).
%
%   Every sum over states is a stable log-sum-exp. log(0) = -Inf is fine for
%   impossible starts and transitions (a left-to-right model): a sum whose
%   terms are all -Inf is -Inf, never NaN.
%
%   Inputs must be full double arrays (complex ones are read through their
%   real part); logA square (further pages are ignored), logB with N rows
%   and N*T elements, logPi with at least N values. T = 0 or N = 0 give
%   empty outputs of the matching shapes.
%
%   exp and log are the package's own: the results are the same bits on
%   every platform, and may differ from m-code using the built-in exp and
%   log in the last bits.
%
%   This file holds the help text only; the function is the compiled MEX file
%   beside it.
