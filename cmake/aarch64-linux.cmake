# What both AArch64 toolchain files share: the target, Debian's cross
# libraries (packages libc6-dev-arm64-cross, libstdc++-12-dev-arm64-cross,
# under /usr/aarch64-linux-gnu) and the emulator that runs the built
# programs here (qemu-user). CTest and the tests (tests/harness.py) start
# every built executable through CMAKE_CROSSCOMPILING_EMULATOR.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(BENCH_AARCH64_LIBRARIES /usr/aarch64-linux-gnu)
# The libraries and the host's headers are found without a sysroot: Debian's
# cross libc.so names absolute paths under /usr/aarch64-linux-gnu, which a
# sysroot would prefix a second time.
find_program(BENCH_QEMU_AARCH64 NAMES qemu-aarch64 qemu-aarch64-static)
if(NOT BENCH_QEMU_AARCH64)
  message(FATAL_ERROR "qemu-aarch64 not found: the tests run the AArch64 build through it "
                      "(Debian package qemu-user)")
endif()
# -L: where qemu finds the guest's dynamic loader and libraries.
set(CMAKE_CROSSCOMPILING_EMULATOR ${BENCH_QEMU_AARCH64} -L ${BENCH_AARCH64_LIBRARIES})

# The target's binutils, for reading its machine code (objdump).
find_program(CMAKE_OBJDUMP NAMES aarch64-linux-gnu-objdump)

# Programs (python3, java, objdump) are the host's; nothing else is searched
# for under the cross libraries.
set(CMAKE_FIND_ROOT_PATH ${BENCH_AARCH64_LIBRARIES})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
