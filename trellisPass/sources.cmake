# The forward-backward core's sources, as full paths: the deliverable, the
# core library and the fuzz programs all take them from here.
set(zebTrellisCoreSources
  trellisPass/passes.cpp trellisPass/posteriors.cpp trellisPass/forwardBackward.cpp
  trellisPass/smallSteps_avx2.cpp trellisPass/smallSteps_avx512.cpp
  kernel/addexp.cpp kernel/addexp_avx2.cpp kernel/addexp_avx512.cpp kernel/threads.cpp)
list(TRANSFORM zebTrellisCoreSources PREPEND ${CMAKE_SOURCE_DIR}/)
