## ok = platform_results (inputs, results)
## Calls the Octave plug-ins on the inputs the Linux x86-64 gateway runner
## wrote (tests/gateway/crossPlatform_test.cpp) and writes their outputs, in
## the runner's format, to RESULTS for the comparison of every platform.
function ok = platform_results (inputs, results)
  classes = {"", "", "", "", "double", "single", "int8", "uint8", "int16", ...
             "uint16", "int32", "uint32", "int64", "uint64"};  # by id - 1
  names = struct ("trellisPass", "trellisPass", "logTotals", "logTotals", ...
                  "obliqueVote", "zebUtilObliqueVote", "cumsumInt", "cumsumInt");
  in = fopen (inputs, "r");
  out = fopen (results, "w");
  ok = in >= 0 && out >= 0;
  calls = 0;
  while (ok)
    line = fgetl (in);
    if (! ischar (line))
      break;
    endif
    w = strsplit (line);
    module = w{2}; nlhs = str2double (w{3}); args = cell (1, str2double (w{4}));
    for k = 1:numel (args)
      args{k} = read_array (in, classes);
    endfor
    res = cell (1, max (nlhs, 1));
    [res{:}] = feval (names.(module), args{:});
    for k = 1:numel (res)
      x = res{k};
      fprintf (out, "%s %d %d", module, find (strcmp (classes, class (x))) + 1, numel (x));
      fprintf (out, " %s", element_hex (x){:});
      fprintf (out, "\n");
    endfor
    calls++;
  endwhile
  ok = ok && calls > 0 && fclose (in) == 0 && fclose (out) == 0;
  printf ("%d calls of the Octave plug-ins written to %s\n", calls, results);
endfunction

function a = read_array (in, classes)
  w = strsplit (fgetl (in));
  if (strcmp (w{1}, "struct"))
    a = struct ();
    for f = 1:str2double (w{2})
      field = strsplit (fgetl (in)){2};
      a.(field) = read_array (in, classes);
    endfor
    return;
  endif
  cls = classes{str2double (w{2}) - 1};
  n = str2double (w{3}); nd = str2double (w{4});
  dims = str2double (w(5:4+nd));
  bytes = numel (typecast (zeros (1, 1, cls), "uint8"));
  hex = w(5+nd:4+nd+n);
  v = zeros (n, 1, cls);
  for e = 1:n
    h = [repmat("0", 1, 2 * bytes - numel (hex{e})) hex{e}];
    pairs = reshape (h, 2, bytes)';           # most significant byte first
    v(e) = typecast (uint8 (hex2dec (pairs(end:-1:1, :))), cls)(1);
  endfor
  a = reshape (v, [dims 1 1]);
endfunction

function h = element_hex (x)
  bytes = reshape (typecast (x(:), "uint8"), [], numel (x));
  h = cell (1, numel (x));
  for e = 1:numel (x)
    h{e} = lower (sprintf ("%02x", bytes(end:-1:1, e)));
  endfor
endfunction
