// bench_floor: a measuring instrument, not part of the benchmark. It runs the
// benchmark's three kernels as hand-written x86-64 loops and prints them in
// the benchmark's report format, so that tools/compare can show how close a
// compiled build comes to what the hardware allows for the same memory
// traffic: one read and one write of an accumulator in memory per iteration,
// the index in a register, and the loop unrolled ten times and aligned to
// 64 bytes so that its overhead all but vanishes. The branch kernel's parity test disappears in
// the unrolling (the index's parity is known at every position), leaving an
// alternation of +1 and -1 on memory. The variants chosen are the fastest
// measured on AMD Zen 4: a read-modify-write instruction on memory for the
// increment and branch kernels, and load, lea, store for the arithmetic one.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#if !defined(__x86_64__)
#error "bench_floor is written in x86-64 assembly"
#endif

namespace {

constexpr std::int64_t ITERATIONS = 100000000;
constexpr std::int64_t UNROLL = 10;
static_assert(ITERATIONS % UNROLL == 0, "the unrolled loops have no remainder loop");

std::int64_t read_monotonic_ns() {
    timespec ts;
    if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) {
        std::fprintf(stderr, "bench_floor: cannot read the monotonic clock: %s\n",
                     std::strerror(errno));
        std::exit(1);
    }
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 +
           static_cast<std::int64_t>(ts.tv_nsec);
}

#define BENCH_TEN(s) s s s s s s s s s s

// Each kernel: the accumulator lives in memory ("+m"), the trip counter in a
// register ("+r"), counting down by UNROLL iterations per trip.
[[gnu::always_inline]] inline void inc_kernel(std::uint64_t &x) {
    std::int64_t n = ITERATIONS;
    asm volatile(".p2align 6\n1:\n\t" BENCH_TEN("addq $1, %[x]\n\t") "sub $10, %[n]\n\tjnz 1b"
                 : [x] "+m"(x), [n] "+r"(n)
                 :
                 : "cc");
}

[[gnu::always_inline]] inline void arith_kernel(std::uint64_t &x) {
    std::int64_t n = ITERATIONS;
    asm volatile(".p2align 6\n1:\n\t" BENCH_TEN("mov %[x], %%rax\n\t"
                                                "lea 7(%%rax,%%rax,2), %%rax\n\t"
                                                "mov %%rax, %[x]\n\t") "sub $10, %[n]\n\tjnz 1b"
                 : [x] "+m"(x), [n] "+r"(n)
                 :
                 : "rax", "cc");
}

[[gnu::always_inline]] inline void branch_kernel(std::uint64_t &x) {
    std::int64_t n = ITERATIONS;
    asm volatile(".p2align 6\n1:\n\t" BENCH_TEN(
                     "addq $1, %[x]\n\taddq $-1, %[x]\n\t") "sub $20, %[n]\n\tjnz 1b"
                 : [x] "+m"(x), [n] "+r"(n)
                 :
                 : "cc");
}

// Same protocol as the benchmark: reset, clock, loop, clock, read, print.
// Inlined, so the accumulator is a slot in main's own frame as it is there.
template <typename Kernel>
[[gnu::always_inline]] inline void measure(const char *label, Kernel kernel) {
    std::uint64_t x = 0;
    const std::int64_t start = read_monotonic_ns();
    kernel(x);
    const std::int64_t end = read_monotonic_ns();
    std::printf("%-13s%8.2f ms  (x=%lld)\n", label, static_cast<double>(end - start) / 1000000.0,
                static_cast<long long>(x));
}

} // namespace

int main() {
    std::puts("=== Hardware floor (1e8 iterations) ===\n");
    measure("Inc loop:", [](std::uint64_t &x) { inc_kernel(x); });
    measure("Arith loop:", [](std::uint64_t &x) { arith_kernel(x); });
    measure("Branch loop:", [](std::uint64_t &x) { branch_kernel(x); });
    std::puts("\n=== Done ===");
    if (std::fflush(stdout) != 0) {
        std::fprintf(stderr, "bench_floor: write error: %s\n", std::strerror(errno));
        return 1;
    }
    return 0;
}
