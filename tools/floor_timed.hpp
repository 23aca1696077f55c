// What a form of bench_floor's kernels is to the shared code (tools/floor.cpp),
// whatever the processor: its name, kernel and unroll, and the function that
// runs it once between two clock readings. Each architecture's forms file
// (floor_forms.hpp for x86-64, floor_forms_aarch64.hpp for AArch64) includes
// this, completes the Op enumeration with its operations, defines their loop,
// and lists its forms in all_forms(); it also gives the cycle scale's chain
// and the forms the report runs by default and with --rolled.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace bench_floor {

enum class Kernel : std::uint8_t { inc, arith, branch };
constexpr int KERNEL_COUNT = 3;

enum class Align : std::uint8_t { a64, s64 };

// The operations: each forms file lists its own.
enum class Op : std::uint8_t;

// One timed run: the nanoseconds between the two clock readings and the
// accumulator after the loop.
struct Run {
    std::int64_t ns;
    std::uint64_t x;
};

using FormFunction = Run (*)(std::int64_t iterations);

struct Form {
    std::string name;    // "inc.add.u8.a64"
    Kernel kernel;       // the report line it fills
    std::int64_t unroll; // iterations per trip: a run's count must be a multiple
    FormFunction run;
    bool control; // a negative control that breaks the rule (probe builds only)
};

// The address of the accumulator of the last form run, as a number. Storing
// it makes the accumulator's address escape, so the compiler must write the
// reset to memory before the first clock call, never after it inside the
// timed stretch; the tests' probe prints it.
inline volatile std::uintptr_t last_accumulator = 0;

[[noreturn]] inline void fail_clock(int err) {
    std::fprintf(stderr, "bench_floor: cannot read the monotonic clock: %s\n", std::strerror(err));
    std::exit(1);
}

// Nanoseconds on CLOCK_MONOTONIC, as the benchmark reads them: forced
// inline so that a timed stretch holds nothing but the clock calls and the
// loop. A report line without a real time would be an invented number, so a
// clock that cannot be read ends the run (exit flushes what was printed).
[[gnu::always_inline]] inline std::int64_t read_monotonic_ns() {
    timespec ts;
    if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) {
        fail_clock(errno);
    }
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 +
           static_cast<std::int64_t>(ts.tv_nsec);
}

constexpr int pad_of(Align align) {
    return align == Align::s64 ? 56 : 0;
}
constexpr int straddles(Align align) {
    return align == Align::s64 ? 1 : 0;
}

// A form's loop, n iterations on the accumulator x: defined by the forms file
// for every operation it lists.
template <Op O, std::int64_t U, Align A>
[[gnu::always_inline]] inline void loop(std::uint64_t &x, std::int64_t n);

// One form as a function of its own, so each loop is assembled once and
// keeps its alignment and its name. The protocol is the benchmark's: reset
// the accumulator, read the clock, run the loop, read the clock, read the
// accumulator. The accumulator is a local of this frame, as the benchmark's
// locals in main are.
template <Op O, std::int64_t U, Align A> [[gnu::noinline]] Run timed(std::int64_t iterations) {
    std::uint64_t x = 0;
    last_accumulator = reinterpret_cast<std::uintptr_t>(&x);
    const std::int64_t start = read_monotonic_ns();
    loop<O, U, A>(x, iterations);
    const std::int64_t end = read_monotonic_ns();
    return {end - start, x};
}

template <Op O, std::int64_t U, Align A>
void add_form(std::vector<Form> &forms, const char *family, Kernel kernel, bool control) {
    std::string name =
        std::string(family) + ".u" + std::to_string(U) + (A == Align::a64 ? ".a64" : ".s64");
    forms.push_back(Form{std::move(name), kernel, U, &timed<O, U, A>, control});
}

// One operation at every unroll in Us, each aligned and straddling.
template <Op O, std::int64_t... Us>
void add_family(std::vector<Form> &forms, const char *family, Kernel kernel, bool control = false) {
    ((add_form<O, Us, Align::a64>(forms, family, kernel, control),
      add_form<O, Us, Align::s64>(forms, family, kernel, control)),
     ...);
}

#ifdef BENCH_FLOOR_PROBE
// The probe's broken forms, the negative controls of the tests' proofs: the
// same names, kernels and unrolls on every instruction set (each forms file
// writes their loops in its own assembly), since the tests find each by name.
// A template, so that the operations, which a forms file declares after this
// file, are looked up where it is called.
template <typename O = Op> void add_broken_forms(std::vector<Form> &forms) {
    add_family<O::broken_two_stores, 1>(forms, "inc.broken-two-stores", Kernel::inc, true);
    add_family<O::broken_one_load_fewer, 2>(forms, "inc.broken-one-load-fewer", Kernel::inc, true);
    add_family<O::broken_counter_in_memory, 1>(forms, "inc.broken-counter-in-memory", Kernel::inc,
                                               true);
    add_family<O::broken_short, 1>(forms, "inc.broken-short", Kernel::inc, true);
    add_family<O::broken_skips_a_load_late, 1>(forms, "inc.broken-skips-a-load-late", Kernel::inc,
                                               true);
    add_family<O::broken_dead_load_outside, 1>(forms, "inc.broken-dead-load-outside", Kernel::inc,
                                               true);
    add_family<O::broken_pair_swapped, 2>(forms, "branch.broken-pair-swapped", Kernel::branch,
                                          true);
    add_family<O::broken_arms_swapped, 1>(forms, "branch.broken-arms-swapped", Kernel::branch,
                                          true);
    add_family<O::broken_tests_accumulator, 1>(forms, "branch.broken-tests-accumulator",
                                               Kernel::branch, true);
}
#endif

} // namespace bench_floor
