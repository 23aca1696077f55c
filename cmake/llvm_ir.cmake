# The benchmark's own source as LLVM IR (build/bench_c_jit_compare.bc), for
# jit/lli_bench.sh to run under lli, LLVM's JIT: the A/A control of
# tools/compare.py, the same program ahead of time and just in time, which a
# sound comparison must find alike (docs/compare.md). Included by
# CMakeLists.txt; sets BENCH_LLVM_IR, the file's path, when it builds it.
#
# The IR must be the very code the native build runs, so it is made by the
# build's own compiler with the build's own flags (clang++ -O2 by default),
# -emit-llvm -c in place of the object file. Only a clang++ build can: a g++
# build, a sanitizer build (lli has no sanitizer runtime) or a cross build
# (whose IR is not for this machine) makes none, and says so in one line, as
# does a machine without lli (jit/lli_bench.sh --which names the lli it runs).

set(bench_lli_missing "")
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  set(bench_lli_missing "the compiler is ${CMAKE_CXX_COMPILER_ID}: only clang++ makes IR of this build's code")
elseif(BENCH_SANITIZE)
  set(bench_lli_missing "a sanitizer build")
elseif(CMAKE_CROSSCOMPILING)
  set(bench_lli_missing "a cross build")
else()
  execute_process(
    COMMAND sh ${PROJECT_SOURCE_DIR}/jit/lli_bench.sh --which
    RESULT_VARIABLE lli_status OUTPUT_VARIABLE BENCH_LLI ERROR_VARIABLE lli_error
    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_STRIP_TRAILING_WHITESPACE)
  if(NOT lli_status EQUAL 0)
    set(bench_lli_missing "${lli_error}")
    if(bench_lli_missing STREQUAL "")
      set(bench_lli_missing "jit/lli_bench.sh --which failed (${lli_status})")
    endif()
  endif()
endif()

if(NOT bench_lli_missing STREQUAL "")
  message(STATUS "No A/A control under lli (${bench_lli_missing}): bench_c_jit_compare.bc is "
                 "not built and its tests skip")
  return()
endif()

string(TOUPPER "${CMAKE_BUILD_TYPE}" bench_ir_build_type)
separate_arguments(bench_ir_flags UNIX_COMMAND
                   "${CMAKE_CXX_FLAGS} ${CMAKE_CXX_FLAGS_${bench_ir_build_type}}")
set(BENCH_LLVM_IR ${CMAKE_BINARY_DIR}/bench_c_jit_compare.bc)
add_custom_command(
  OUTPUT ${BENCH_LLVM_IR}
  COMMAND ${CMAKE_CXX_COMPILER} -std=c++20 ${bench_ir_flags} ${BENCH_WARNINGS} -emit-llvm -c
          -o ${BENCH_LLVM_IR} ${PROJECT_SOURCE_DIR}/bench_c_jit_compare.cpp
  DEPENDS ${PROJECT_SOURCE_DIR}/bench_c_jit_compare.cpp
  COMMENT "Building ${BENCH_LLVM_IR} for lli (${BENCH_LLI}): the A/A control"
  VERBATIM)
add_custom_target(bench_llvm_ir ALL DEPENDS ${BENCH_LLVM_IR})
