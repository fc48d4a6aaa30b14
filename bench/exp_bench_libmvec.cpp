// The baseline only: a plain exp loop that GCC, with -ffast-math -mavx2
// -mfma, turns into calls of glibc's AVX2 vector exp (_ZGVdN4v_exp).
#include <cmath>

void vectorExp(const double *x, double *y, int n)
{
    for (int i = 0; i < n; ++i)
        y[i] = std::exp(x[i]);
}
