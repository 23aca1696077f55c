# The default Release flags for the compiler in use. CMakeLists.txt names this
# file in CMAKE_USER_MAKE_RULES_OVERRIDE_CXX, so project() reads it once the
# compiler is known and before it fills the cache: the value set here is only
# the cache's initial value, and -DCMAKE_CXX_FLAGS_RELEASE=... on the first
# configure, or a later edit of the cache, wins over it.
#
# Chosen by measurement against bench_floor (README, "Comparing"). g++ 12's
# -O2 keeps one iteration per trip; in busy periods on a shared machine its
# increment and arithmetic loops then take up to 1.85 times the floor's time,
# for whole stretches of runs. -funroll-loops unrolls them eight times: the
# arithmetic loop stayed within 7% of the floor in every run, the increment
# loop within 17%, at the floor when the machine was quiet. -O3 adds nothing
# to these loops, and -falign-loops=64 on top made no measurable difference.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  set(CMAKE_CXX_FLAGS_RELEASE_INIT "-O2 -funroll-loops -DNDEBUG")
else()
  set(CMAKE_CXX_FLAGS_RELEASE_INIT "-O2 -DNDEBUG")
endif()
