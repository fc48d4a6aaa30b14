## Tests of the cumsumInt Octave plug-in against sums computed exactly in a
## wider form and then wrapped into the class's range: in double (exact for
## these sizes) for classes up to 32 bits, and as two 32-bit halves for the
## 64-bit classes.

%!function B = ref_cumsum (A)
%!  cls = class (A);
%!  w = 8 * numel (typecast (zeros (1, 1, cls), "uint8"));
%!  if (w <= 32)
%!    s = mod (cumsum (double (A), 1), 2^w);
%!    if (intmin (cls) < 0)
%!      s(s >= 2^(w-1)) -= 2^w;
%!    endif
%!    B = cast (s, cls);
%!  else
%!    ## unsigned 64-bit bit patterns split into high and low 32-bit halves
%!    u = reshape (typecast (A(:), "uint64"), size (A));
%!    lo = double (bitand (u, uint64 (4294967295)));
%!    hi = double (bitshift (u, -32));
%!    slo = cumsum (lo, 1);                       # exact: below 2^53
%!    carry = floor (slo / 2^32);
%!    shi = mod (cumsum (hi, 1) + carry, 2^32);
%!    slo = mod (slo, 2^32);
%!    bits = uint64 (shi) * uint64 (4294967296) + uint64 (slo);
%!    B = reshape (typecast (bits(:), cls), size (A));
%!  endif
%!endfunction

%!function A = random_ints (cls, dims)
%!  lo = double (intmin (cls)); hi = double (intmax (cls));
%!  if (hi - lo < 2^52)
%!    A = cast (lo + floor ((hi - lo + 1) * rand (dims)), cls);
%!  else
%!    ## 64-bit: random bit patterns from two 32-bit halves
%!    n = prod (dims);
%!    bits = uint64 (floor (2^32 * rand (n, 1))) * uint64 (4294967296) + uint64 (floor (2^32 * rand (n, 1)));
%!    A = reshape (typecast (bits, cls), dims);
%!  endif
%!endfunction

%!test
%! rand ("seed", 5);
%! classes = {"int8", "uint8", "int16", "uint16", "int32", "uint32", "int64", "uint64"};
%! shapes = {[1 1], [1 7], [9 1], [40 3], [5 4 3], [3 2 2 2], [200 10]};
%! for c = 1:numel (classes)
%!   for s = 1:numel (shapes)
%!     A = random_ints (classes{c}, shapes{s});
%!     B = cumsumInt (A);
%!     assert (strcmp (class (B), classes{c}) && isequal (size (B), size (A)));
%!     assert (isequal (B, ref_cumsum (A)), true, sprintf ("%s %s", classes{c}, mat2str (shapes{s})));
%!   endfor
%! endfor

%!test
%! assert (cumsumInt (int8 ([100; 100; 100])), int8 ([100; -56; 44]));
%! assert (cumsumInt (int8 ([-128; -1])), int8 ([-128; 127]));
%! assert (cumsumInt (int16 ([30000; 30000])), int16 ([30000; -5536]));
%! assert (cumsumInt (int32 ([2147483647; 1])), int32 ([2147483647; -2147483648]));
%! assert (cumsumInt (uint8 ([200; 100])), uint8 ([200; 44]));
%! assert (cumsumInt (intmax ("uint64") * [1; 1]), [intmax("uint64"); intmax("uint64") - 1]);
%! assert (cumsumInt (int16 ([1 2 3])), int16 ([1 2 3]));

%!test
%! ## empty shapes keep shape and class; a second input is ignored; no
%! ## output requested still sets ans (Octave has no complex integers)
%! for d = {[0 0], [0 5], [4 0], [3 0 2]}
%!   B = cumsumInt (zeros (d{1}, "int8"));
%!   assert (isa (B, "int8") && isequal (size (B), d{1}));
%! endfor
%! assert (cumsumInt (int8 ([1; 2]), "ignored"), int8 ([1; 3]));
%! ## an empty double or single array comes back as it is
%! for A = {[], zeros(0, 3), single(zeros (3, 0)), zeros(2, 0, 4)}
%!   B = cumsumInt (A{1});
%!   assert (strcmp (class (B), class (A{1})) && isequal (size (B), size (A{1})));
%! endfor
%! cumsumInt (int8 ([5; 5]));
%! assert (ans, int8 ([5; 10]));

%!error <cumsumInt requires an input array> cumsumInt ()
%!error <cumsumInt accepts only integer arrays> cumsumInt ([1 2 3])
%!error <cumsumInt accepts only integer arrays> cumsumInt (single ([1 2 3]))
%!error <cumsumInt accepts only integer arrays> cumsumInt (true (2))
%!error <cumsumInt accepts only integer arrays> cumsumInt ("abc")
%!error <cumsumInt accepts only integer arrays> cumsumInt ({int8(1)})
%!error <cumsumInt accepts only integer arrays> cumsumInt (struct ("a", int8 (1)))
%!error <cumsumInt accepts only integer arrays> cumsumInt (@sin)
%!error <cumsumInt accepts only integer arrays> cumsumInt (true (0, 3))
%!error <cumsumInt accepts only integer arrays> cumsumInt ("")
%!error <cumsumInt accepts only integer arrays> cumsumInt ({})
