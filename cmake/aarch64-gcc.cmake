# Cross-builds for AArch64 Linux with Debian's g++ cross compiler (package
# g++-aarch64-linux-gnu); the preset aarch64-gcc uses it. The Release flags
# are g++'s own (cmake/release_flags.cmake), as on x86-64.
include(${CMAKE_CURRENT_LIST_DIR}/aarch64-linux.cmake)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
