# Cross-builds for AArch64 Linux with the host's clang++ and Debian's cross
# libraries; the preset aarch64-clang uses it. clang++ needs no more than
# its target: it finds the cross g++'s C++ library and startup files itself.
include(${CMAKE_CURRENT_LIST_DIR}/aarch64-linux.cmake)
find_program(BENCH_CLANGXX NAMES clang++ clang++-14 clang++-15 clang++-16)
if(NOT BENCH_CLANGXX)
  message(FATAL_ERROR "clang++ not found (Debian package clang)")
endif()
set(CMAKE_CXX_COMPILER ${BENCH_CLANGXX})
set(CMAKE_CXX_COMPILER_TARGET aarch64-linux-gnu)
