// bench_floor: a measuring instrument, not part of the benchmark. It runs the
// benchmark's three kernels as hand-written x86-64 loops and prints them in
// the benchmark's report format, so that tools/compare can show how close a
// compiled build comes to what the hardware allows for the same memory
// traffic: one read and one write of an accumulator in memory per iteration,
// the index in a register.
//
//   bench_floor            the unrolled floor: each loop unrolled ten times
//                          and aligned to 64 bytes, so that its overhead all
//                          but vanishes. The branch kernel's parity test
//                          disappears in the unrolling (the index's parity is
//                          known at every position), leaving an alternation
//                          of +1 and -1 on memory. The variants chosen are the
//                          fastest measured on AMD Zen 4: a read-modify-write
//                          instruction on memory for the increment and branch
//                          kernels, and load, lea, store for the arithmetic one.
//   bench_floor --rolled   the rolled floor: one iteration per trip, the
//                          instruction sequences g++ 12 -O2 emits for the
//                          benchmark's loops (load, update, store, count,
//                          branch; the branch kernel keeps the test of the
//                          index's low bit and its two paths), aligned to 64
//                          bytes. It is the floor for a compiler or JIT that
//                          does not unroll: every iteration costs a taken
//                          branch, which the unrolled floor pays once per ten.
//
// The report says which floor ran in its banner; any other argument is a
// usage error (exit 2).
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

// The rolled kernels: the trip counter (or, for the branch kernel, the index
// counting up, whose low bit picks the path) in a register, the value in
// %rax or %rdx between its load and its store, exactly as g++ -O2 has them.
[[gnu::always_inline]] inline void inc_kernel_rolled(std::uint64_t &x) {
    std::int64_t n = ITERATIONS;
    asm volatile(".p2align 6\n1:\n\t"
                 "mov %[x], %%rax\n\tadd $1, %%rax\n\tmov %%rax, %[x]\n\t"
                 "sub $1, %[n]\n\tjne 1b"
                 : [x] "+m"(x), [n] "+r"(n)
                 :
                 : "rax", "cc");
}

[[gnu::always_inline]] inline void arith_kernel_rolled(std::uint64_t &x) {
    std::int64_t n = ITERATIONS;
    asm volatile(".p2align 6\n1:\n\t"
                 "mov %[x], %%rax\n\tlea 7(%%rax,%%rax,2), %%rax\n\tmov %%rax, %[x]\n\t"
                 "sub $1, %[n]\n\tjne 1b"
                 : [x] "+m"(x), [n] "+r"(n)
                 :
                 : "rax", "cc");
}

// g++'s layout: the loop is entered at the load and parity test (2:); the
// even path (1:) sits before it and falls through into the next iteration's
// load, the odd path jumps back. Each path advances the index, stores and
// tests for the end, so every iteration takes exactly one taken branch.
[[gnu::always_inline]] inline void branch_kernel_rolled(std::uint64_t &x) {
    std::int64_t i = 0;
    asm volatile("jmp 2f\n\t"
                 ".p2align 6\n1:\n\t"
                 "add $1, %%rdx\n\tadd $1, %[i]\n\tmov %%rdx, %[x]\n\t"
                 "cmp %[n], %[i]\n\tje 3f\n"
                 "2:\n\t"
                 "mov %[x], %%rdx\n\ttest $1, %b[i]\n\tje 1b\n\t"
                 "sub $1, %%rdx\n\tadd $1, %[i]\n\tmov %%rdx, %[x]\n\t"
                 "cmp %[n], %[i]\n\tjne 2b\n"
                 "3:"
                 : [x] "+m"(x), [i] "+r"(i)
                 : [n] "i"(ITERATIONS)
                 : "rdx", "cc");
}

} // namespace

int main(int argc, char **argv) {
    const bool rolled = argc == 2 && std::strcmp(argv[1], "--rolled") == 0;
    if (argc > 2 || (argc == 2 && !rolled)) {
        std::fputs("usage: bench_floor [--rolled]\n", stderr);
        return 2;
    }
    if (rolled) {
        std::puts("=== Hardware floor, rolled loops (1e8 iterations) ===\n");
        measure("Inc loop:", [](std::uint64_t &x) { inc_kernel_rolled(x); });
        measure("Arith loop:", [](std::uint64_t &x) { arith_kernel_rolled(x); });
        measure("Branch loop:", [](std::uint64_t &x) { branch_kernel_rolled(x); });
    } else {
        std::puts("=== Hardware floor (1e8 iterations) ===\n");
        measure("Inc loop:", [](std::uint64_t &x) { inc_kernel(x); });
        measure("Arith loop:", [](std::uint64_t &x) { arith_kernel(x); });
        measure("Branch loop:", [](std::uint64_t &x) { branch_kernel(x); });
    }
    std::puts("\n=== Done ===");
    // If any of the report could not be written, fail rather than exit 0
    // with it lost. A write can fail before this flush (a line-buffered
    // stream writes each line as it is printed), leaving the flush nothing
    // to do: only the stream's error indicator remembers it.
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        const int err = errno;
        if (err != 0) {
            std::fprintf(stderr, "bench_floor: write error: %s\n", std::strerror(err));
        } else {
            std::fprintf(stderr, "bench_floor: write error\n");
        }
        return 1;
    }
    return 0;
}
