## same = bits_equal (a, b)
## same = bits_equal (a, b, tol)
## True when A and B have the same size, class and identical IEEE bit
## patterns, NaN and the sign of zero included. With TOL (a scalar or an
## array of A's size), finite elements may differ by up to TOL instead;
## NaN, Inf and -Inf must still be in the same places.
function same = bits_equal (a, b, tol)
  same = isequal (size (a), size (b)) && isequal (class (a), class (b));
  if (! same)
    return;
  elseif (nargin < 3)
    same = isequal (typecast (a(:), "uint64"), typecast (b(:), "uint64"));
  else
    fin = isfinite (b);
    same = isequal (isnan (a), isnan (b)) && isequal (a(isinf (b)), b(isinf (b))) ...
           && all (isfinite (a(fin))) && all (abs (a(fin) - b(fin)) <= (zeros (size (b)) + tol)(fin));
  endif
endfunction
