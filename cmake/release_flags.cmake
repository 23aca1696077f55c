# The default Release flags for the compiler in use. CMakeLists.txt names this
# file in CMAKE_USER_MAKE_RULES_OVERRIDE_CXX, so project() reads it once the
# compiler is known and before it fills the cache: the value set here is only
# the cache's initial value, and -DCMAKE_CXX_FLAGS_RELEASE=... on the first
# configure, or a later edit of the cache, wins over it.
#
# Chosen by measurement against bench_floor: the figures, and the machines they
# were taken on, are on the pages of docs/measurements/. g++ 12's
# -O2 keeps one iteration per trip; -funroll-loops unrolls its increment and
# arithmetic loops eight times. -O3 gives these loops the same code as -O2,
# and -O3 -funroll-loops the same binary as -O2 -funroll-loops.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  set(CMAKE_CXX_FLAGS_RELEASE_INIT "-O2 -funroll-loops -DNDEBUG")
else()
  set(CMAKE_CXX_FLAGS_RELEASE_INIT "-O2 -DNDEBUG")
endif()
