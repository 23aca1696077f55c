# The benchmark's own source, unchanged, built for WebAssembly (wasm32-wasi),
# for jit/wasm_bench.js to run under node: V8 then compiles the very loops the
# native build runs, ahead of time against just in time (docs/jit.md).
# Included by CMakeLists.txt. When the toolchain works it defines
# bench_add_wasm() and BENCH_WASM_MODULE, the module's path, and builds it;
# otherwise it says so in one line and the wasm tests skip.
#
# The main build may be g++, which has no WebAssembly target, so the module is
# built by clang++ (BENCH_WASM_CXX: the main compiler when it is clang++)
# through a custom command. Its flags do not follow the main build's: always
# those of the product's default build, clang++ -O2 (BENCH_WASM_FLAGS), so
# that V8's code is held against the code the default native build measures.
# The warning flags are the project's, with -Werror under BENCH_WERROR.

set(BENCH_WASM_FLAGS "-O2 -DNDEBUG" CACHE STRING
    "Optimisation flags of the wasm32-wasi build (the default build's: -O2)")
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  set(BENCH_WASM_CXX "${CMAKE_CXX_COMPILER}" CACHE FILEPATH "clang++ for the wasm32-wasi build")
else()
  find_program(BENCH_WASM_CXX NAMES clang++ clang++-14 clang++-15 clang++-16
               DOC "clang++ for the wasm32-wasi build")
endif()

set(bench_wasm_packages
    "lld-14 wasi-libc libc++-14-dev-wasm32 libc++abi-14-dev-wasm32 libclang-rt-14-dev-wasm32")

# Whether the toolchain works, found by building and linking a program that
# needs every piece of it: the C and C++ headers, libc's printf and clock,
# the C++ runtime libraries, the compiler's builtins and the linker. A
# header or library missing shows only here, so it is tried on every
# configure (a fraction of a second), and a package installed later is found.
set(bench_wasm_error "")
if(NOT BENCH_WASM_CXX)
  set(bench_wasm_error "no clang++ found")
else()
  set(probe_dir ${CMAKE_BINARY_DIR}/CMakeFiles/wasm_probe)
  file(WRITE ${probe_dir}/probe.cpp
       "#include <cstdint>\n#include <cstdio>\n#include <ctime>\n"
       "int main() {\n  timespec ts;\n  const int r = clock_gettime(CLOCK_MONOTONIC, &ts);\n"
       "  std::printf(\"%.2f %lld\\n\", static_cast<double>(ts.tv_nsec) / 1e6,\n"
       "              static_cast<long long>(INT64_C(1) << 40));\n  return r;\n}\n")
  execute_process(
    COMMAND ${BENCH_WASM_CXX} --target=wasm32-wasi -std=c++20 -O2 -o ${probe_dir}/probe.wasm
            ${probe_dir}/probe.cpp
    RESULT_VARIABLE probe_status OUTPUT_VARIABLE probe_output ERROR_VARIABLE probe_output)
  if(NOT probe_status EQUAL 0)
    # The first line that says what failed, e.g. a header or library not found.
    string(REGEX MATCH "[^\n]*(error|cannot|No such|not found)[^\n]*" bench_wasm_error
                 "${probe_output}")
    string(REPLACE "${probe_dir}/" "" bench_wasm_error "${bench_wasm_error}")
    if(bench_wasm_error STREQUAL "")
      set(bench_wasm_error "${BENCH_WASM_CXX} --target=wasm32-wasi failed (${probe_status})")
    endif()
  endif()
endif()

if(NOT bench_wasm_error STREQUAL "")
  message(STATUS "No wasm32-wasi toolchain (${bench_wasm_error}): "
                 "bench_c_jit_compare.wasm is not built and its tests skip; install clang "
                 "${bench_wasm_packages} to build it")
  return()
endif()

# bench_add_wasm(<target> <output> [<definition> ...]): builds the benchmark's
# source into the module <output>, as part of `all`.
function(bench_add_wasm target output)
  list(TRANSFORM ARGN PREPEND "-D" OUTPUT_VARIABLE definitions)
  separate_arguments(flags UNIX_COMMAND "${BENCH_WASM_FLAGS}")
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${BENCH_WASM_CXX} --target=wasm32-wasi -std=c++20 ${flags} ${BENCH_WARNINGS}
            ${definitions} -o ${output} ${PROJECT_SOURCE_DIR}/bench_c_jit_compare.cpp
    DEPENDS ${PROJECT_SOURCE_DIR}/bench_c_jit_compare.cpp
    COMMENT "Building ${output} for wasm32-wasi"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${output})
endfunction()

set(BENCH_WASM_MODULE ${CMAKE_BINARY_DIR}/bench_c_jit_compare.wasm)
bench_add_wasm(bench_wasm ${BENCH_WASM_MODULE})
