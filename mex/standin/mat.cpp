// Stand-in for MATLAB's MAT-file library. The modules list it among the
// libraries they need without calling it, so it exports nothing they use.
extern "C" int standinMatLibrary()
{
    return 0;
}
