// bench_c_jit_compare: the optimised-native baseline for a comparison with a
// just-in-time compiler. It times three tight integer loops of 1e8 iterations
// each with the monotonic clock, once each, and prints a fixed seven-line
// report: the elapsed milliseconds and the final accumulator of every loop.
//
// Every loop reads and writes a volatile accumulator in memory exactly once
// per iteration. That memory round trip is the work being measured; the
// volatile qualifier is what stops the compiler from folding a loop into its
// closed form, keeping the accumulator in a register, vectorising the loop or
// hoisting it out of the timed stretch. The index and the loop control are
// ordinary locals and stay in registers.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

// The test suite rebuilds this very file with a small iteration count to
// check the kernels' arithmetic step by step; the product always uses 1e8.
#ifdef BENCH_TEST_ITERATIONS
constexpr std::int64_t ITERATIONS = BENCH_TEST_ITERATIONS;
#else
constexpr std::int64_t ITERATIONS = 100000000;
#endif

constexpr const char *PROGRAM = "bench_c_jit_compare";

// A report line without a real time behind it would be an invented number,
// so a clock that cannot be read ends the run with an error instead. The
// lines already measured are still flushed to standard output by exit().
[[noreturn]] void fail_clock(int err) {
    std::fprintf(stderr, "%s: cannot read the monotonic clock: %s\n", PROGRAM, std::strerror(err));
    std::exit(1);
}

// Nanoseconds on CLOCK_MONOTONIC. Only differences of two readings mean
// anything; the origin is the clock's own. Forced inline so that a timed
// stretch holds nothing but the clock_gettime call and the loop: no wrapper
// call, and no zeroing of the timespec, which is read only after a
// successful call has filled it. The result check sits after the call
// returns, outside every loop.
[[gnu::always_inline]] inline std::int64_t read_monotonic_ns() {
    timespec ts;
    if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) {
        fail_clock(errno);
    }
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 +
           static_cast<std::int64_t>(ts.tv_nsec);
}

double elapsed_ms(std::int64_t start, std::int64_t end) {
    // A true division, not a multiplication by a reciprocal: the rounding
    // of the printed value must not depend on how the scale was written.
    return static_cast<double>(end - start) / 1000000.0;
}

// Returns `value` unchanged, with a compiler barrier between its computation
// and whatever the caller does with it: in `x = unfused(x + 1)` the read of
// x and the arithmetic come before the barrier and the write after it. The
// signal fence emits no instruction; it only forbids the compiler to move a
// memory access across it, so the read, the arithmetic and the write stay
// separate instructions and cannot be fused into one read-modify-write
// instruction on memory (main says why that matters). It is the compilers'
// builtin behind std::atomic_signal_fence: <atomic> would add a third of a
// second to every compile of this file, and the test suite builds it some
// hundreds of times.
[[gnu::always_inline]] inline std::uint64_t unfused(std::uint64_t value) {
    __atomic_signal_fence(__ATOMIC_SEQ_CST);
    return value;
}

// The accumulator is unsigned so that the arithmetic kernel's wrap-around
// modulo 2^64 is defined (a signed overflow would be undefined behaviour);
// the conversion to long long for printing gives the two's-complement
// signed reading of the same 64 bits.
long long signed_reading(std::uint64_t bits) {
    return static_cast<long long>(bits);
}

} // namespace

int main() {
    std::puts("=== C Baseline (1e8 iterations) ===\n");

    // Each measurement: reset the accumulator, read the clock, run the loop,
    // read the clock, and only then read the accumulator and print. Nothing
    // but the loop lies between the two clock readings. Each body reads x
    // once, computes the update from that one read in one expression, and
    // writes it once (compound assignment to a volatile is deprecated in
    // C++20 anyway).
    //
    // Why the loops are written so: processors differ in which form of a
    // dependent update through memory they run fastest. Left alone, clang++
    // fuses each update into one read-modify-write instruction (addq
    // $1,(mem)). The Intel Xeons measured (cpu family 6, models 167 and 207)
    // run a separate load, add and store, unrolled, about twice as fast as
    // that; the AMD EPYCs (cpu family 25, model 17, and family 26, model 2)
    // run both forms at about the same speed, the fused one up to a tenth
    // faster on family 25 while the host is busy with other work (the
    // 2-vCPU virtual machines measured). One form has to serve every
    // processor, so it is the one whose worst case is best: unfused() keeps
    // the load, the arithmetic and the store apart for every compiler, and
    // each loop is unrolled eight times, so that its counter and branch cost
    // a fraction of an update and, in the branch loop, the index's parity is
    // known at every position (clang++ then drops the test; g++ keeps it).
    // The figures and the forms tried: docs/measurements/.

    {
        volatile std::uint64_t x = 0;
        const std::int64_t start = read_monotonic_ns();
#pragma GCC unroll 8
        for (std::int64_t i = 0; i < ITERATIONS; ++i) {
            x = unfused(x + 1);
        }
        const std::int64_t end = read_monotonic_ns();
        const std::uint64_t final_x = x;
        std::printf("Inc loop:    %8.2f ms  (x=%lld)\n", elapsed_ms(start, end),
                    signed_reading(final_x));
    }
    {
        volatile std::uint64_t x = 0;
        const std::int64_t start = read_monotonic_ns();
#pragma GCC unroll 8
        for (std::int64_t i = 0; i < ITERATIONS; ++i) {
            x = unfused(x * 3 + 7);
        }
        const std::int64_t end = read_monotonic_ns();
        const std::uint64_t final_x = x;
        std::printf("Arith loop:  %8.2f ms  (x=%lld)\n", elapsed_ms(start, end),
                    signed_reading(final_x));
    }
    {
        volatile std::uint64_t x = 0;
        const std::int64_t start = read_monotonic_ns();
#pragma GCC unroll 8
        for (std::int64_t i = 0; i < ITERATIONS; ++i) {
            // The test is on the index, never on x; both arms read x once
            // and write it once.
            if ((i & 1) == 0) {
                x = unfused(x + 1);
            } else {
                x = unfused(x - 1);
            }
        }
        const std::int64_t end = read_monotonic_ns();
        const std::uint64_t final_x = x;
        std::printf("Branch loop: %8.2f ms  (x=%lld)\n", elapsed_ms(start, end),
                    signed_reading(final_x));
    }

    std::puts("\n=== Done ===");

    // The report is the product: if any of it could not be written (a full
    // disk, a closed descriptor), say so and fail rather than exit 0 with
    // the report lost. Flushing here, after the last line, adds nothing to
    // any timed stretch.
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        const int err = errno;
        if (err != 0) {
            std::fprintf(stderr, "%s: write error: %s\n", PROGRAM, std::strerror(err));
        } else {
            std::fprintf(stderr, "%s: write error\n", PROGRAM);
        }
        return 1;
    }
    return 0;
}
