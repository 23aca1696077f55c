# The default Release flags for the compiler in use. CMakeLists.txt names this
# file in CMAKE_USER_MAKE_RULES_OVERRIDE_CXX, so project() reads it once the
# compiler is known and before it fills the cache: the value set here is only
# the cache's initial value, and -DCMAKE_CXX_FLAGS_RELEASE=... on the first
# configure, or a later edit of the cache, wins over it.
#
# Chosen by measurement against bench_floor: the figures, and the machines they
# were taken on, are on the pages of docs/measurements/. The source asks for
# eight iterations per trip itself, which g++ 12 honours at -O2 too; with
# -funroll-loops each unrolled copy gets a register of its own, as the
# measurements were taken with. -O3 gives these loops the same code as -O2.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  set(CMAKE_CXX_FLAGS_RELEASE_INIT "-O2 -funroll-loops -DNDEBUG")
else()
  set(CMAKE_CXX_FLAGS_RELEASE_INIT "-O2 -DNDEBUG")
endif()
