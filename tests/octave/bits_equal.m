## same = bits_equal (a, b)
## True when A and B have the same size and identical IEEE bit patterns,
## NaN and the sign of zero included.
function same = bits_equal (a, b)
  same = isequal (size (a), size (b)) && isequal (class (a), class (b)) ...
         && isequal (typecast (a(:), "uint64"), typecast (b(:), "uint64"));
endfunction
